#pragma once
// The one canonical form of a request URL that every prefix decision is made
// on, so that "/rpc/../owa/" and its encoded spellings cannot pass for a URL
// below "/rpc/". Pure logic: no Windows header.
#include <optional>
#include <string>
#include <string_view>

namespace talverin {

// ASCII letters lower-cased, every other byte unchanged (UTF-8 and the lead
// bytes of double-byte code pages stay intact).
std::string LowerAscii(std::string_view text);

// The canonical form of a URL as sent in the request line (an absolute
// "http://" or "https://" URL counts by its path and query):
//   path (before the first "?"): percent-decoded once, "\" taken as "/",
//   "." and ".." segments resolved (".." never climbs above the root),
//   repeated "/" collapsed, then lower-cased; a decoded "%" or "?" is written
//   back as "%25" / "%3f" so that the result is itself canonical;
//   then "?" and the query as sent, lower-cased.
// No value when the path cannot be judged: a malformed escape, an IIS-style
// "%u" escape, a NUL byte or an overlong UTF-8 sequence (raw or encoded).
std::optional<std::string> CanonicalizeUrl(std::string_view url);

// The path part of a canonical URL (up to the first "?").
std::string_view CanonicalPath(std::string_view canonicalUrl);

}  // namespace talverin
