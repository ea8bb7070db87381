#include "auth/flow_text.h"

#include <cctype>

#include "config/url_canonical.h"
#include "http/percent_coding.h"

namespace talverin {

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\v\f\r";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kWhiteSpace);
  return text.substr(first, last - first + 1);
}

std::string StripQuotes(std::string_view value) {
  while (!value.empty() && value.back() == '"') value.remove_suffix(1);
  while (!value.empty() && value.front() == '"') value.remove_prefix(1);
  return std::string(value);
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return LowerAscii(a) == LowerAscii(b); }

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

namespace {

// Whether the text names the cookie anywhere: its name, in any letter case,
// followed by optional blanks and "=". A reader that trims or case-folds
// cookie names takes every such place for the cookie.
bool NamesCookie(std::string_view lowerText, std::string_view lowerName) {
  for (std::size_t at = lowerText.find(lowerName); at != std::string_view::npos;
       at = lowerText.find(lowerName, at + 1)) {
    const std::size_t next = lowerText.find_first_not_of(" \t", at + lowerName.size());
    if (next != std::string_view::npos && lowerText[next] == '=') return true;
  }
  return false;
}

}  // namespace

CookieLookup FindCookie(std::string_view cookieText, std::string_view cookieName) {
  CookieLookup result;
  if (cookieName.empty()) return result;
  const std::string lowerName = LowerAscii(cookieName);
  if (!NamesCookie(LowerAscii(cookieText), lowerName)) return result;

  int count = 0;
  std::string_view value;
  std::size_t start = 0;
  while (start <= cookieText.size()) {
    std::size_t end = cookieText.find(';', start);
    if (end == std::string_view::npos) end = cookieText.size();
    const std::string_view cookie = cookieText.substr(start, end - start);
    const std::size_t eq = cookie.find('=');
    if (eq != std::string_view::npos && LowerAscii(Trim(cookie.substr(0, eq))) == lowerName) {
      ++count;
      value = Trim(cookie.substr(eq + 1));
    }
    start = end + 1;
  }
  // A look-alike (the name only inside another cookie's name or value) or a
  // second cookie of the name cannot be told apart from a forged one.
  if (count != 1) {
    result.match = CookieMatch::Ambiguous;
    return result;
  }
  result.match = CookieMatch::Found;
  result.value = StripQuotes(value);
  return result;
}

CookieLookup CombineCookieLookups(const CookieLookup& a, const CookieLookup& b) {
  if (a.match == CookieMatch::Ambiguous || b.match == CookieMatch::Ambiguous) return {CookieMatch::Ambiguous, {}};
  if (a.match == CookieMatch::Absent) return b;
  if (b.match == CookieMatch::Absent) return a;
  if (a.value != b.value) return {CookieMatch::Ambiguous, {}};
  return a;
}

CookieLookup FindSessionKey(std::string_view cookieText, const std::vector<std::string>& cookieLines,
                            std::string_view cookieName) {
  std::string lines;
  for (const std::string& line : cookieLines) {
    if (!lines.empty()) lines += "; ";
    lines += line;
  }
  return CombineCookieLookups(FindCookie(cookieText, cookieName), FindCookie(lines, cookieName));
}

std::string UserNameFromLgnCookie(std::string_view cookieHeader) {
  const std::string lowered = LowerAscii(cookieHeader);
  const std::size_t at = lowered.find("lgn=");
  if (at == std::string::npos) return {};
  const std::size_t begin = at + 4;
  const std::size_t semicolon = lowered.find(';', begin);
  std::string name = lowered.substr(begin, semicolon == std::string::npos ? std::string::npos : semicolon - begin);
  const std::size_t last = name.find_last_not_of(kWhiteSpace);
  name.erase(last == std::string::npos ? 0 : last + 1);
  return name;
}

std::string CompleteWithDefaultDomain(const std::string& name, const std::string& defaultDomain) {
  if (defaultDomain.empty() || name.find('@') != std::string::npos || name.find('\\') != std::string::npos) {
    return name;
  }
  return defaultDomain + "\\" + name;
}

std::string StripLocation(std::string_view location) {
  // A Location that already is a path names the same page; reading it as
  // "no URL" would leave the session without a protected URL, so the passcode
  // would never be asked for.
  const std::string_view trimmed = Trim(location);
  if (StartsWith(trimmed, "/") && !StartsWith(trimmed, "//") && !StartsWith(trimmed, "/\\")) {
    return std::string(trimmed);
  }
  const std::size_t scheme = location.find("://");
  if (scheme == std::string_view::npos) return {};
  const std::size_t slash = location.find('/', scheme + 3);
  if (slash == std::string_view::npos) return {};
  return std::string(Trim(location.substr(slash)));
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

SecureString EmptyFormFields(std::string_view body, const std::vector<std::string>& names) {
  SecureString out;
  std::size_t start = 0;
  while (true) {
    std::size_t end = body.find('&', start);
    const bool last = end == std::string_view::npos;
    if (last) end = body.size();
    const std::string_view field = body.substr(start, end - start);
    const std::size_t eq = field.find('=');
    const std::string_view rawName = field.substr(0, eq);
    const SecureString decoded = PercentDecode(rawName);
    bool emptied = false;
    for (const std::string& name : names) {
      if (EqualsNoCase(std::string_view(decoded.data(), decoded.size()), name)) emptied = true;
    }
    if (emptied) {
      out.append(rawName.data(), rawName.size());
      out.push_back('=');
    } else {
      out.append(field.data(), field.size());
    }
    if (last) break;
    out.push_back('&');
    start = end + 1;
  }
  return out;
}

bool IsIsaTmgPage(const std::optional<std::string>& canonicalUrl) {
  return canonicalUrl && CanonicalPath(*canonicalUrl) == "/cookieauth.dll";
}

namespace {

// The command word of a query to ISA/TMG's pages ("Logon&x=1" and
// "GetLogon?curl=..."): percent-decoded and lower-cased, so that no spelling
// of it escapes a test that ISA/TMG's own reading would pass.
std::string IsaTmgCommand(const std::string& canonicalUrl) {
  const std::size_t question = canonicalUrl.find('?');
  if (question == std::string::npos) return {};
  const SecureString decoded = PercentDecode(std::string_view(canonicalUrl).substr(question + 1));
  return LowerAscii(std::string_view(decoded.data(), decoded.size()));
}

}  // namespace

bool IsIsaTmgLogonPost(const std::optional<std::string>& canonicalUrl) {
  return IsIsaTmgPage(canonicalUrl) && StartsWith(IsaTmgCommand(*canonicalUrl), "logon");
}

bool IsIsaTmgGetLogon(const std::optional<std::string>& canonicalUrl) {
  return IsIsaTmgPage(canonicalUrl) && StartsWith(IsaTmgCommand(*canonicalUrl), "getlogon");
}

bool IsOwnUrl(const std::optional<std::string>& canonicalUrl, std::string_view pathAndQuery) {
  return canonicalUrl && *canonicalUrl == pathAndQuery;
}

bool ContainsOwnUrl(const std::optional<std::string>& canonicalUrl, std::string_view pathAndQuery) {
  return canonicalUrl && canonicalUrl->find(pathAndQuery) != std::string::npos;
}

std::optional<std::string> CanonicalLocation(std::string_view location) {
  const std::string_view trimmed = Trim(location);
  if (trimmed.find("://") != std::string_view::npos) {
    const std::string path = StripLocation(trimmed);
    if (path.empty()) return std::nullopt;
    return CanonicalizeUrl(path);
  }
  if (StartsWith(trimmed, "/")) return CanonicalizeUrl(trimmed);
  return std::nullopt;
}

bool IsSameSiteUrl(std::string_view url, std::string_view requestHost) {
  if (url.empty()) return false;
  if (url[0] == '/') return url.size() == 1 || (url[1] != '/' && url[1] != '\\');
  const std::string lowered = LowerAscii(url);
  std::size_t hostBegin;
  if (StartsWith(lowered, "http://")) {
    hostBegin = 7;
  } else if (StartsWith(lowered, "https://")) {
    hostBegin = 8;
  } else {
    return false;
  }
  const std::size_t hostEnd = lowered.find_first_of("/?#\\", hostBegin);
  const std::string host = lowered.substr(hostBegin, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostBegin);
  if (host.empty() || host.find('@') != std::string::npos || requestHost.empty()) return false;
  return host == LowerAscii(requestHost);
}

}  // namespace talverin
