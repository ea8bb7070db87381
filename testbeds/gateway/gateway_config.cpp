#include "gateway/gateway_config.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace talverin::gateway {
namespace {


bool ParseNumber(const std::string& text, long low, long high, long* value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  long number = std::strtol(text.c_str(), nullptr, 10);
  if (number < low || number > high) return false;
  *value = number;
  return true;
}

bool ParseIpv4(const std::string& text) {
  int parts = 0;
  size_t at = 0;
  while (at <= text.size()) {
    size_t dot = text.find('.', at);
    if (dot == std::string::npos) dot = text.size();
    long part = 0;
    if (!ParseNumber(text.substr(at, dot - at), 0, 255, &part)) return false;
    ++parts;
    at = dot + 1;
  }
  return parts == 4;
}

enum class Section { None, Gateway, Store, Users, Emulation };

class Reader {
 public:
  Reader(const std::string& path) : path_(path) {}

  [[noreturn]] void Fail(int line, const std::string& problem) const {
    throw ConfigError(path_ + "(" + std::to_string(line) + "): " + problem);
  }

 private:
  const std::string& path_;
};

bool YesNo(const std::string& value, bool* result) {
  if (value == "yes" || value == "true" || value == "1") {
    *result = true;
    return true;
  }
  if (value == "no" || value == "false" || value == "0") {
    *result = false;
    return true;
  }
  return false;
}

void MakeFolders(const std::string& path) {
  // Each parent first; an existing folder is fine.
  for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos; at = path.find_first_of("\\/", at + 1)) {
    CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
  }
  if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    throw ConfigError(path + ": the data folder cannot be created (error " + std::to_string(GetLastError()) + ")");
  }
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw ConfigError(path + ": cannot be written");
}

}  // namespace

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string ResolvePath(const std::string& folder, const std::string& path) {
  std::string resolved = path;
  if (!resolved.empty() && resolved[0] == '/') {
    resolved = "Z:" + resolved;
  } else if (!(resolved.size() >= 2 && resolved[1] == ':') && !(!resolved.empty() && resolved[0] == '\\') &&
             !folder.empty()) {
    resolved = ResolvePath({}, folder) + "\\" + resolved;
  }
  for (char& c : resolved) {
    if (c == '/') c = '\\';
  }
  return resolved;
}

bool ParseListenAddress(std::string_view text, Endpoint* endpoint) {
  std::string address = host::TrimConfigText(text);
  size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = address.substr(0, colon);
  long port = 0;
  if (!ParseNumber(address.substr(colon + 1), 0, 65535, &port)) return false;
  if (host == "localhost") host = "127.0.0.1";
  if (!ParseIpv4(host)) return false;
  endpoint->host = host;
  endpoint->port = static_cast<uint16_t>(port);
  return true;
}

GatewayConfig ParseGatewayConfig(std::string_view text, const std::string& path, bool checkFilter) {
  Reader reader(path);
  GatewayConfig config;
  config.path = path;
  const std::string folder = FolderOf(ResolvePath({}, path));
  config.dataDir = ResolvePath(folder, "gateway-data");
  std::string filterPath = "filter/TALVERIN.ISA.Filter.dll";
  int filterLine = 0, gatewayLine = 0;
  std::vector<int> listenerLines;
  std::set<std::string> seenKeys;

  std::vector<std::string> lines = host::ConfigLines(text);
  std::string store, users, emulation;
  Section section = Section::None;
  for (size_t index = 0; index < lines.size(); ++index) {
    const int number = static_cast<int>(index + 1);
    std::string line = host::TrimConfigText(lines[index]);
    std::string storeLine, usersLine, emulationLine;
    if (line.empty() || line[0] == '#') {
      // Comments and blank lines stay blank everywhere.
    } else if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) reader.Fail(number, "a section header must end with \"]\"");
      std::string rest = host::TrimConfigText(line.substr(close + 1));
      if (!rest.empty() && rest[0] != '#') reader.Fail(number, "text after the section header");
      std::string header = host::TrimConfigText(line.substr(1, close - 1));
      std::string normalized = "[" + header + "]";
      if (header == "gateway") {
        section = Section::Gateway;
        gatewayLine = number;
      } else if (header == "listener") {
        section = Section::Store;
        listenerLines.push_back(number);
        storeLine = normalized;
      } else if (header.compare(0, 4, "set ") == 0 || header == "faults") {
        section = Section::Store;
        storeLine = normalized;
      } else if (header == "users") {
        section = Section::Users;
      } else if (header == "proxy" || header.compare(0, 9, "listener ") == 0 || header.compare(0, 5, "user ") == 0) {
        section = Section::Emulation;
        emulationLine = normalized;
      } else {
        reader.Fail(number, "unknown section \"[" + header + "]\"");
      }
    } else {
      switch (section) {
        case Section::None:
          reader.Fail(number, "\"" + line + "\" outside a section");
        case Section::Store: storeLine = lines[index]; break;
        case Section::Users: usersLine = lines[index]; break;
        case Section::Emulation: emulationLine = lines[index]; break;
        case Section::Gateway: {
          size_t equals = line.find('=');
          if (equals == std::string::npos) reader.Fail(number, "expected \"key = value\"");
          std::string key = host::TrimConfigText(line.substr(0, equals));
          std::string value = host::StripConfigComment(line.substr(equals + 1));
          if (!seenKeys.insert(key).second) reader.Fail(number, "\"" + key + "\" is given twice");
          long count = 0;
          if (key == "listen") {
            if (!ParseListenAddress(value, &config.listen)) {
              reader.Fail(number, "bad listen address \"" + value + "\" (expected an IPv4 address and a port, "
                                  "127.0.0.1:8080)");
            }
          } else if (key == "threads") {
            if (!ParseNumber(value, 1, 512, &count)) reader.Fail(number, "threads must be a number from 1 to 512");
            config.threads = static_cast<int>(count);
          } else if (key == "filter") {
            if (value.empty()) reader.Fail(number, "filter needs a DLL path or \"none\"");
            filterPath = value;
            filterLine = number;
          } else if (key == "site") {
            if (value == "builtin") {
              config.builtinSite = true;
            } else {
              std::string address = value.compare(0, 7, "http://") == 0 ? value.substr(7) : std::string();
              if (!address.empty() && address.back() == '/') address.pop_back();
              size_t colon = address.rfind(':');
              std::string host = address.substr(0, colon);
              long port = 80;
              bool ok = !host.empty() && host.find_first_of("/?#@ ") == std::string::npos &&
                        (colon == std::string::npos || ParseNumber(address.substr(colon + 1), 1, 65535, &port));
              if (!ok) reader.Fail(number, "site must be \"builtin\" or http://HOST:PORT, not \"" + value + "\"");
              config.builtinSite = false;
              config.upstream = {host, static_cast<uint16_t>(port)};
            }
          } else if (key == "download-kib") {
            if (!ParseNumber(value, 0, 1024 * 1024, &count)) {
              reader.Fail(number, "download-kib must be a number of KiB up to 1048576");
            }
            config.downloadBytes = static_cast<size_t>(count) * 1024;
          } else if (key == "secure") {
            if (!YesNo(value, &config.secure)) reader.Fail(number, "secure must be yes or no");
          } else if (key == "idle-seconds") {
            if (!ParseNumber(value, 1, 86400, &count)) reader.Fail(number, "idle-seconds must be a number from 1 to 86400");
            config.idleSeconds = static_cast<int>(count);
          } else if (key == "access-log") {
            if (!YesNo(value, &config.accessLog)) reader.Fail(number, "access-log must be yes or no");
          } else if (key == "data") {
            if (value.empty()) reader.Fail(number, "data needs a folder");
            config.dataDir = ResolvePath(folder, value);
          } else {
            reader.Fail(number, "unknown key \"" + key + "\" in [gateway]");
          }
          break;
        }
      }
    }
    store += storeLine + "\n";
    users += usersLine + "\n";
    emulation += emulationLine + "\n";
  }
  config.storeText = std::move(store);
  config.usersText = std::move(users);
  config.emulationText = std::move(emulation);

  if (filterPath != "none") {
    config.filter = ResolvePath(folder, filterPath);
    if (checkFilter && GetFileAttributesA(config.filter.c_str()) == INVALID_FILE_ATTRIBUTES) {
      reader.Fail(filterLine ? filterLine : std::max(gatewayLine, 1),
                  "the filter " + config.filter + " does not exist" +
                      (filterLine ? "" : " (the default; set filter = PATH or none)"));
    }
  }

  try {
    config.listeners = host::ParseListeners(config.storeText, path);
    config.users = host::ParseUsers(config.usersText, path);
  } catch (const host::IsaConfigError& e) {
    throw ConfigError(e.what());
  }
  if (config.listeners.empty()) reader.Fail(1, "no [listener] section: the proxy needs a web listener");
  for (size_t i = 0; i < config.listeners.size(); ++i) {
    const host::ListenerConfig& listener = config.listeners[i];
    if (listener.persistentName.empty()) reader.Fail(listenerLines[i], "the listener has no persistent-name");
    if (listener.cookieName.empty()) reader.Fail(listenerLines[i], "the listener has no cookie-name");
    for (size_t j = 0; j < i; ++j) {
      if (config.listeners[j].persistentName == listener.persistentName) {
        reader.Fail(listenerLines[i], "a second listener " + listener.persistentName);
      }
    }
  }
  try {
    host::ApplyEmulationSettings(config.emulationText, config.listeners, config.users, config.options, path);
  } catch (const host::IsaConfigError& e) {
    throw ConfigError(e.what());
  }
  return config;
}

GatewayConfig LoadGatewayConfig(const std::string& path, bool checkFilter) {
  std::string resolved = ResolvePath({}, path);
  std::ifstream in(resolved, std::ios::binary);
  if (!in) throw ConfigError(path + "(0): the configuration file cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return ParseGatewayConfig(text.str(), path, checkFilter);
}

void WriteDerivedFiles(const GatewayConfig& config) {
  MakeFolders(config.dataDir);
  WriteText(config.StorePath(), config.storeText);
  WriteText(config.UsersPath(), config.usersText);
}

}  // namespace talverin::gateway
