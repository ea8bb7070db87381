#pragma once
// The content of the configuration-store test bed: web listeners with their
// vendor parameters sets, and injected faults, read from a plain text file;
// and the web filters collection, saved to a file of its own.
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace storebed {

// A bad configuration file: the message names the file and the line.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class ValueType { I4, Bool, Bstr, Empty };

struct VendorValue {
  ValueType type = ValueType::Empty;
  std::int32_t number = 0;  // I4 value, or Bool as 0 / -1
  std::string text;         // Bstr, UTF-8
  // What reading the value answers; the value is written out all the same.
  std::int32_t result = 0;
};

struct VendorSet {
  std::string name;
  std::map<std::string, VendorValue> values;
};

// Step name -> HRESULT the step answers instead of doing its work.
using Faults = std::map<std::string, std::int32_t>;

struct Listener {
  std::string name;
  std::string persistentName;
  std::string cookieName;
  bool cookieDomainsInUse = false;
  std::vector<std::string> cookieDomains;
  std::vector<VendorSet> sets;
  Faults faults;
};

struct StoreConfig {
  std::vector<Listener> listeners;
  Faults faults;
};

struct WebFilter {
  std::string guid;
  std::string name;
  std::string dllPath;
  std::int32_t arg1 = 0;
  std::int32_t arg2 = 0;
  std::string description;
  std::string vendor;
  std::string version;
  bool enabled = false;
};

// Parses the configuration text; `source` names the file in error messages.
StoreConfig ParseConfig(const std::string& text, const std::string& source);
// "a=0x80004005;b=0x1" (the environment's fault list).
Faults ParseFaultList(const std::string& text, const std::string& source);

std::vector<WebFilter> ParseWebFilters(const std::string& text, const std::string& source);
std::string FormatWebFilters(const std::vector<WebFilter>& filters);

// "\r", "\n", "\t", "\\" in configuration texts.
std::string Unescape(const std::string& text, const std::string& where);
std::string Escape(const std::string& text);

bool EqualNoCase(const std::string& a, const std::string& b);

}  // namespace storebed
