#pragma once
// The gateway's one configuration file: its own [gateway] section, and the
// sections of the emulation, the configuration store and the back end in
// their own syntax. Each of those is cut out with the other sections' lines
// blanked, so that every parser (and every file derived from it) reports the
// line of the configuration file.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/isa_config.h"

namespace talverin::gateway {

// "<config path>(<line>): <problem>".
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Endpoint {
  std::string host;
  uint16_t port = 0;
  std::string Text() const { return host + ":" + std::to_string(port); }
};

struct GatewayConfig {
  std::string path;  // the configuration file as given

  Endpoint listen{"127.0.0.1", 8080};
  int threads = 32;
  std::string filter;  // the DLL's path; empty: publish without a filter
  bool builtinSite = true;
  Endpoint upstream;  // the server published when not the built-in site
  size_t downloadBytes = 3072 * 1024;
  bool secure = false;
  int idleSeconds = 30;
  bool accessLog = true;
  std::string dataDir;

  // The cut-out sections, as long as the file (line for line).
  std::string storeText;
  std::string usersText;
  std::string emulationText;
  // What the emulation reads from them.
  std::vector<host::ListenerConfig> listeners;
  std::vector<host::UserAccount> users;
  host::IsaOptions options;

  std::string StorePath() const { return dataDir + "\\store.conf"; }
  std::string UsersPath() const { return dataDir + "\\users.txt"; }
};

// Reads the configuration text of the file at `path` (relative paths in it
// are taken from that file's folder). `checkFilter` false leaves the filter
// file unchecked (the proxy is to publish without it).
GatewayConfig ParseGatewayConfig(std::string_view text, const std::string& path, bool checkFilter = true);
GatewayConfig LoadGatewayConfig(const std::string& path, bool checkFilter = true);

// Creates the data folder and writes store.conf and users.txt into it.
void WriteDerivedFiles(const GatewayConfig& config);

// "127.0.0.1:8080" (an IPv4 address or "localhost", and a port); false when
// the text is no such address.
bool ParseListenAddress(std::string_view text, Endpoint* endpoint);

// A path of the configuration: a Linux path ("/work/x") as Wine sees it
// ("Z:\work\x"), a relative one below `folder`.
std::string ResolvePath(const std::string& folder, const std::string& path);
std::string FolderOf(const std::string& path);

}  // namespace talverin::gateway
