#include "config/url_canonical.h"

#include <vector>

namespace talverin {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Decodes every "%XX" once. Anything else after a "%" ("%u002e", "%zz", a
// "%" at the end) makes the path unjudgeable rather than being passed on,
// because the server behind may read it differently; so does a NUL byte,
// raw or encoded, which ends the path early for C-string code.
std::optional<std::string> DecodePath(std::string_view path) {
  std::string decoded;
  decoded.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '\0') return std::nullopt;
    if (c != '%') {
      decoded.push_back(c);
      continue;
    }
    if (i + 2 >= path.size()) return std::nullopt;
    int high = HexValue(path[i + 1]);
    int low = HexValue(path[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0') return std::nullopt;
    decoded.push_back(byte);
    i += 2;
  }
  // An overlong UTF-8 form ("%c0%ae" for ".") is a "." or "/" to a lax
  // decoder behind us but an ordinary byte here.
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(decoded[i]);
    const unsigned char next = i + 1 < decoded.size() ? static_cast<unsigned char>(decoded[i + 1]) : 0;
    if (byte == 0xC0 || byte == 0xC1) return std::nullopt;
    if (byte == 0xE0 && next >= 0x80 && next < 0xA0) return std::nullopt;
    if (byte == 0xF0 && next >= 0x80 && next < 0x90) return std::nullopt;
  }
  return decoded;
}

std::string ResolveSegments(const std::string& path) {
  bool rooted = !path.empty() && path[0] == '/';
  std::vector<std::string_view> segments;
  bool trailingSlash = false;
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = path.find('/', start);
    std::string_view segment =
        std::string_view(path).substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (segment.empty() || segment == ".") {
      trailingSlash = true;
    } else if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      trailingSlash = true;
    } else {
      segments.push_back(segment);
      trailingSlash = false;
    }
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  std::string result = rooted ? "/" : "";
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i != 0) result += '/';
    result.append(segments[i].data(), segments[i].size());
  }
  if (trailingSlash && !segments.empty()) result += '/';
  return result;
}

}  // namespace

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerChar(c);
  return lower;
}

std::optional<std::string> CanonicalizeUrl(std::string_view url) {
  // A proxy takes a request target in absolute form ("https://host/owa/")
  // for the path it carries.
  const std::string lowerHead = LowerAscii(url.substr(0, 8));
  const std::size_t scheme = lowerHead.rfind("http://", 0) == 0 ? 7 : lowerHead.rfind("https://", 0) == 0 ? 8 : 0;
  if (scheme != 0) {
    const std::size_t pathBegin = url.find_first_of("/?", scheme);
    if (pathBegin == std::string_view::npos) return std::string("/");
    if (url[pathBegin] == '?') return "/" + LowerAscii(url.substr(pathBegin));
    url = url.substr(pathBegin);
  }
  std::size_t question = url.find('?');
  std::string_view path = url.substr(0, question);

  std::optional<std::string> decoded = DecodePath(path);
  if (!decoded) return std::nullopt;
  for (char& c : *decoded) c = c == '\\' ? '/' : LowerChar(c);

  std::string resolved = ResolveSegments(*decoded);
  std::string canonical;
  canonical.reserve(url.size());
  for (char c : resolved) {
    if (c == '%') {
      canonical += "%25";
    } else if (c == '?') {
      canonical += "%3f";
    } else {
      canonical += c;
    }
  }
  if (question != std::string_view::npos) canonical += LowerAscii(url.substr(question));
  return canonical;
}

std::string_view CanonicalPath(std::string_view canonicalUrl) { return canonicalUrl.substr(0, canonicalUrl.find('?')); }

}  // namespace talverin
