#include "host/isa_config.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/header_block.h"

namespace talverin::host {
namespace {

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw IsaConfigError(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "CONTOSO\alice" and "alice@contoso" both give {"contoso", "alice"}.
struct AccountName {
  std::string domain;
  std::string user;
};

AccountName SplitAccount(std::string_view name) {
  std::string lower = ToLowerAscii(name);
  if (size_t slash = lower.find('\\'); slash != std::string::npos) {
    return {lower.substr(0, slash), lower.substr(slash + 1)};
  }
  if (size_t at = lower.rfind('@'); at != std::string::npos) return {lower.substr(at + 1), lower.substr(0, at)};
  return {{}, lower};
}

}  // namespace

std::string ToLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string ListenerConfig::CookieDomainFor(std::string_view host) const {
  if (!cookieDomainsInUse) return {};
  std::string name = ToLowerAscii(host.substr(0, host.find(':')));
  for (const std::string& domain : cookieDomains) {
    std::string lower = ToLowerAscii(domain);
    std::string bare = !lower.empty() && lower[0] == '.' ? lower.substr(1) : lower;
    if (name == bare) return domain;
    if (name.size() > bare.size() && name.compare(name.size() - bare.size(), bare.size(), bare) == 0 &&
        name[name.size() - bare.size() - 1] == '.') {
      return domain;
    }
  }
  return {};
}

std::vector<ListenerConfig> ParseListeners(std::string_view text, const std::string& source) {
  std::vector<ListenerConfig> listeners;
  bool inListener = false;
  int number = 0;
  for (const std::string& raw : ConfigLines(text)) {
    ++number;
    std::string line = TrimConfigText(raw);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      std::string header = TrimConfigText(line.substr(1, line.find(']') - 1));
      inListener = header == "listener";
      if (inListener) listeners.emplace_back();
      continue;
    }
    if (!inListener) continue;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      throw IsaConfigError(source + "(" + std::to_string(number) + "): expected \"key = value\"");
    }
    std::string key = TrimConfigText(line.substr(0, equals));
    std::string value = StripConfigComment(line.substr(equals + 1));
    ListenerConfig& listener = listeners.back();
    if (key == "name") {
      listener.name = value;
    } else if (key == "persistent-name") {
      listener.persistentName = value;
    } else if (key == "cookie-name") {
      listener.cookieName = value;
    } else if (key == "cookie-domains-in-use") {
      listener.cookieDomainsInUse = value == "yes" || value == "true" || value == "1";
    } else if (key == "cookie-domain") {
      listener.cookieDomains.push_back(value);
    }
  }
  return listeners;
}

std::vector<ListenerConfig> LoadListeners(const std::string& path) { return ParseListeners(ReadWholeFile(path), path); }

std::vector<UserAccount> ParseUsers(std::string_view text, const std::string& source) {
  std::vector<UserAccount> users;
  int number = 0;
  for (const std::string& raw : ConfigLines(text)) {
    ++number;
    std::string line = TrimConfigText(raw);
    if (line.empty() || line[0] == '#') continue;
    size_t first = line.find('|');
    size_t second = first == std::string::npos ? first : line.find('|', first + 1);
    size_t last = line.rfind('|');
    if (second == std::string::npos || last == second) {
      throw IsaConfigError(source + "(" + std::to_string(number) + "): expected four fields separated by '|'");
    }
    UserAccount user;
    user.name = TrimConfigText(line.substr(0, first));
    user.phone = TrimConfigText(line.substr(first + 1, second - first - 1));
    user.password = TrimConfigText(line.substr(second + 1, last - second - 1));
    user.status = TrimConfigText(line.substr(last + 1));
    if (user.name.empty()) throw IsaConfigError(source + "(" + std::to_string(number) + "): a user name is missing");
    users.push_back(std::move(user));
  }
  return users;
}

std::vector<UserAccount> LoadUsers(const std::string& path) { return ParseUsers(ReadWholeFile(path), path); }

namespace {

bool ParseYesNo(const std::string& value, const std::string& where) {
  if (value == "yes" || value == "true" || value == "1") return true;
  if (value == "no" || value == "false" || value == "0") return false;
  throw IsaConfigError(where + ": \"" + value + "\" is not yes or no");
}

int ParseCount(const std::string& value, const std::string& where) {
  char* end = nullptr;
  long number = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || number < 0 || number > 1 << 30) {
    throw IsaConfigError(where + ": \"" + value + "\" is not a count");
  }
  return static_cast<int>(number);
}

}  // namespace

void ApplyEmulationSettings(std::string_view text, std::vector<ListenerConfig>& listeners,
                            std::vector<UserAccount>& users, IsaOptions& options, const std::string& source) {
  enum class Section { None, Proxy, Listener, User } section = Section::None;
  ListenerConfig* listener = nullptr;
  UserAccount* user = nullptr;
  int number = 0;
  for (const std::string& raw : ConfigLines(text)) {
    ++number;
    std::string where = source + "(" + std::to_string(number) + ")";
    std::string line = TrimConfigText(raw);
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') throw IsaConfigError(where + ": a section header must end with \"]\"");
      std::string header = TrimConfigText(line.substr(1, line.size() - 2));
      if (header == "proxy") {
        section = Section::Proxy;
      } else if (header.compare(0, 9, "listener ") == 0) {
        std::string name = TrimConfigText(header.substr(9));
        auto it = std::find_if(listeners.begin(), listeners.end(),
                               [&](const ListenerConfig& l) { return l.persistentName == name; });
        if (it == listeners.end()) throw IsaConfigError(where + ": no listener " + name);
        section = Section::Listener;
        listener = &*it;
      } else if (header.compare(0, 5, "user ") == 0) {
        user = FindAccount(users, TrimConfigText(header.substr(5)));
        if (!user) throw IsaConfigError(where + ": no user " + TrimConfigText(header.substr(5)));
        section = Section::User;
      } else {
        throw IsaConfigError(where + ": unknown section \"[" + header + "]\"");
      }
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) throw IsaConfigError(where + ": expected \"key = value\"");
    std::string key = TrimConfigText(line.substr(0, equals));
    std::string value = StripConfigComment(line.substr(equals + 1));
    bool known = true;
    switch (section) {
      case Section::None:
        throw IsaConfigError(where + ": \"" + key + "\" outside a section");
      case Section::Proxy:
        if (key == "request-chunk") {
          options.requestChunkBytes = static_cast<size_t>(std::max(1, ParseCount(value, where)));
        } else if (key == "response-chunk") {
          options.responseChunkBytes = static_cast<size_t>(std::max(1, ParseCount(value, where)));
        } else if (key == "end-of-request-after-finished") {
          options.endOfRequestAfterFinished = ParseYesNo(value, where);
        } else if (key == "cookie-names-trimmed") {
          options.cookieReading.namesTrimmed = ParseYesNo(value, where);
        } else if (key == "cookie-names-case-folded") {
          options.cookieReading.namesCaseFolded = ParseYesNo(value, where);
        } else if (key == "cookie-lines-joined") {
          options.cookieLinesJoined = ParseYesNo(value, where);
        } else {
          known = false;
        }
        break;
      case Section::Listener:
        if (key == "fallback") {
          if (value == "none") listener->fallback = FallbackMode::None;
          else if (value == "negotiate") listener->fallback = FallbackMode::Negotiate;
          else if (value == "basic") listener->fallback = FallbackMode::Basic;
          else throw IsaConfigError(where + ": fallback is none, negotiate or basic");
        } else if (key == "realm") {
          listener->realm = value;
        } else if (key == "formdir") {
          listener->formDir = ParseCount(value, where);
        } else if (key == "rotate-after") {
          listener->rotateAfterRequests = ParseCount(value, where);
        } else if (key == "grace") {
          listener->graceRequests = ParseCount(value, where);
        } else if (key == "quoted-keys") {
          listener->quotedKeys = ParseYesNo(value, where);
        } else if (key == "repeat-successor") {
          listener->repeatSuccessor = ParseYesNo(value, where);
        } else if (key == "logoff-path") {
          listener->logoffPath = ToLowerAscii(value);
        } else {
          known = false;
        }
        break;
      case Section::User:
        if (key == "must-change-password") {
          user->mustChangePassword = ParseYesNo(value, where);
        } else {
          known = false;
        }
        break;
    }
    if (!known) throw IsaConfigError(where + ": unknown key \"" + key + "\"");
  }
}

void LoadEmulationSettings(const std::string& path, std::vector<ListenerConfig>& listeners,
                           std::vector<UserAccount>& users, IsaOptions& options) {
  ApplyEmulationSettings(ReadWholeFile(path), listeners, users, options, path);
}

const UserAccount* FindAccount(const std::vector<UserAccount>& users, std::string_view posted) {
  AccountName wanted = SplitAccount(posted);
  if (wanted.user.empty()) return nullptr;
  const UserAccount* found = nullptr;
  for (const UserAccount& user : users) {
    AccountName have = SplitAccount(user.name);
    if (have.user != wanted.user) continue;
    if (!wanted.domain.empty()) {
      if (have.domain == wanted.domain) return &user;
      continue;
    }
    if (found) return nullptr;  // ambiguous without a domain
    found = &user;
  }
  return found;
}

std::string TrimConfigText(std::string_view text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

std::string StripConfigComment(std::string_view value) {
  size_t hash = value.find(" #");
  if (size_t tab = value.find("\t#"); tab < hash) hash = tab;
  return TrimConfigText(hash == std::string_view::npos ? value : value.substr(0, hash));
}

std::vector<std::string> ConfigLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(at, end - at));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    at = end + 1;
  }
  if (lines.size() > 1 && lines.back().empty() && !text.empty() && text.back() == '\n') lines.pop_back();
  return lines;
}

std::optional<std::string> IsaOptions::CookieText(
    const std::vector<std::pair<std::string, std::string>>& fields) const {
  std::optional<std::string> text;
  for (const auto& [name, value] : fields) {
    if (!EqualsIgnoringCase(name, "Cookie")) continue;
    if (!text) {
      text = value;
      if (!cookieLinesJoined) break;
    } else {
      *text += "; " + value;
    }
  }
  return text;
}

}  // namespace talverin::host
