#include "store_model.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace storebed {
namespace {

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  std::size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Where(const std::string& source, int line) { return source + ":" + std::to_string(line); }

[[noreturn]] void Fail(const std::string& where, const std::string& message) {
  throw ConfigError(where + ": " + message);
}

std::int32_t ParseNumber(const std::string& text, const std::string& where) {
  if (text.empty()) Fail(where, "a number is missing");
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 0);
  if (*end != '\0') Fail(where, "\"" + text + "\" is not a number");
  if (value < INT32_MIN || value > UINT32_MAX) Fail(where, "\"" + text + "\" is out of range");
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

bool ParseYesNo(const std::string& text, const std::string& where) {
  if (text == "yes" || text == "true" || text == "1") return true;
  if (text == "no" || text == "false" || text == "0") return false;
  Fail(where, "\"" + text + "\" is not yes or no");
}

// "i4:1", "bool:-1", "bstr:text", "empty", each optionally followed by
// " !HRESULT", the answer of the read.
VendorValue ParseValue(const std::string& text, const std::string& where) {
  VendorValue value;
  std::string body = text;
  std::size_t bang = body.rfind(" !");
  if (bang != std::string::npos) {
    value.result = ParseNumber(Trim(body.substr(bang + 2)), where);
    body = Trim(body.substr(0, bang));
  }
  if (body == "empty") return value;
  std::size_t colon = body.find(':');
  if (colon == std::string::npos) Fail(where, "value \"" + body + "\" has no type (i4:, bool:, bstr: or empty)");
  const std::string type = body.substr(0, colon);
  const std::string data = body.substr(colon + 1);
  if (type == "i4") {
    value.type = ValueType::I4;
    value.number = ParseNumber(data, where);
  } else if (type == "bool") {
    value.type = ValueType::Bool;
    value.number = ParseNumber(data, where);
  } else if (type == "bstr") {
    value.type = ValueType::Bstr;
    value.text = Unescape(data, where);
  } else {
    Fail(where, "unknown value type \"" + type + "\"");
  }
  return value;
}

struct Line {
  int number;
  std::string text;
};

std::vector<Line> Lines(const std::string& text) {
  std::vector<Line> lines;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    lines.push_back({number, line});
  }
  return lines;
}

void SplitKeyValue(const std::string& line, const std::string& where, std::string& key, std::string& value) {
  std::size_t equals = line.find('=');
  if (equals == std::string::npos) Fail(where, "expected \"key = value\", found \"" + line + "\"");
  key = Trim(line.substr(0, equals));
  value = Trim(line.substr(equals + 1));
  if (key.empty()) Fail(where, "a key is missing before \"=\"");
}

}  // namespace

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

std::string Unescape(const std::string& text, const std::string& where) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i == text.size()) Fail(where, "a \"\\\" ends the text");
    switch (text[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      default: Fail(where, std::string("unknown escape \"\\") + text[i] + "\"");
    }
  }
  return out;
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

Faults ParseFaultList(const std::string& text, const std::string& source) {
  Faults faults;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    std::string item = Trim(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (!item.empty()) {
      std::string key, value;
      SplitKeyValue(item, source, key, value);
      faults[key] = ParseNumber(value, source);
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return faults;
}

StoreConfig ParseConfig(const std::string& text, const std::string& source) {
  StoreConfig config;
  enum class Section { None, Listener, Set, Faults } section = Section::None;
  for (const Line& line : Lines(text)) {
    const std::string where = Where(source, line.number);
    if (line.text[0] == '[') {
      if (line.text.back() != ']') Fail(where, "a section header must end with \"]\"");
      const std::string header = Trim(line.text.substr(1, line.text.size() - 2));
      if (header == "listener") {
        config.listeners.emplace_back();
        section = Section::Listener;
      } else if (header.compare(0, 4, "set ") == 0) {
        if (config.listeners.empty()) Fail(where, "a [set] must follow a [listener]");
        VendorSet set;
        set.name = Trim(header.substr(4));
        config.listeners.back().sets.push_back(set);
        section = Section::Set;
      } else if (header == "faults") {
        section = Section::Faults;
      } else {
        Fail(where, "unknown section \"[" + header + "]\"");
      }
      continue;
    }
    std::string key, value;
    SplitKeyValue(line.text, where, key, value);
    switch (section) {
      case Section::None:
        Fail(where, "\"" + key + "\" outside a section");
      case Section::Faults:
        config.faults[key] = ParseNumber(value, where);
        break;
      case Section::Set:
        config.listeners.back().sets.back().values[key] = ParseValue(value, where);
        break;
      case Section::Listener: {
        Listener& listener = config.listeners.back();
        if (key == "name") {
          listener.name = Unescape(value, where);
        } else if (key == "persistent-name") {
          listener.persistentName = Unescape(value, where);
        } else if (key == "cookie-name") {
          listener.cookieName = Unescape(value, where);
        } else if (key == "cookie-domains-in-use") {
          listener.cookieDomainsInUse = ParseYesNo(value, where);
        } else if (key == "cookie-domain") {
          listener.cookieDomains.push_back(Unescape(value, where));
        } else if (key.compare(0, 6, "fault.") == 0 && key.size() > 6) {
          listener.faults[key.substr(6)] = ParseNumber(value, where);
        } else {
          Fail(where, "unknown listener key \"" + key + "\"");
        }
        break;
      }
    }
  }
  return config;
}

std::vector<WebFilter> ParseWebFilters(const std::string& text, const std::string& source) {
  std::vector<WebFilter> filters;
  for (const Line& line : Lines(text)) {
    const std::string where = Where(source, line.number);
    if (line.text.compare(0, 8, "[filter ") == 0 && line.text.back() == ']') {
      WebFilter filter;
      filter.guid = Trim(line.text.substr(8, line.text.size() - 9));
      filters.push_back(filter);
      continue;
    }
    if (filters.empty()) Fail(where, "expected \"[filter GUID]\"");
    std::string key, value;
    SplitKeyValue(line.text, where, key, value);
    WebFilter& filter = filters.back();
    if (key == "name") filter.name = Unescape(value, where);
    else if (key == "dll") filter.dllPath = Unescape(value, where);
    else if (key == "arg1") filter.arg1 = ParseNumber(value, where);
    else if (key == "arg2") filter.arg2 = ParseNumber(value, where);
    else if (key == "description") filter.description = Unescape(value, where);
    else if (key == "vendor") filter.vendor = Unescape(value, where);
    else if (key == "version") filter.version = Unescape(value, where);
    else if (key == "enabled") filter.enabled = ParseYesNo(value, where);
    else Fail(where, "unknown filter key \"" + key + "\"");
  }
  return filters;
}

std::string FormatWebFilters(const std::vector<WebFilter>& filters) {
  std::ostringstream out;
  for (const WebFilter& filter : filters) {
    out << "[filter " << filter.guid << "]\n"
        << "name = " << Escape(filter.name) << "\n"
        << "dll = " << Escape(filter.dllPath) << "\n"
        << "arg1 = " << filter.arg1 << "\n"
        << "arg2 = " << filter.arg2 << "\n"
        << "description = " << Escape(filter.description) << "\n"
        << "vendor = " << Escape(filter.vendor) << "\n"
        << "version = " << Escape(filter.version) << "\n"
        << "enabled = " << (filter.enabled ? "yes" : "no") << "\n\n";
  }
  return out.str();
}

}  // namespace storebed
