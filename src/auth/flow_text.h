#pragma once
// The text decisions of the logon flow that need no host: reading ISA/TMG's
// cookie out of a Cookie or Set-Cookie text, the user name of the logon form,
// the path of a Location, and which URLs belong to ISA/TMG or to the filter.
// Pure logic: no Windows header.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/secure.h"

namespace talverin {

// How a cookie text names the listener's cookie.
enum class CookieMatch {
  Absent,     // the name followed by "=" does not occur at all
  Found,      // exactly one cookie of that very name
  Ambiguous,  // the name occurs, but not as exactly one cookie of that name
};

struct CookieLookup {
  CookieMatch match = CookieMatch::Absent;
  std::string value;  // Found only: the value, surrounding double quotes removed
};

// Cookies are split on ";"; a cookie's name is the text before its first
// "=", blanks and tabs around it removed, compared with cookieName without
// regard to case, as the most lenient proxy reads it. Ambiguous when the text
// names the cookie (name, optional blanks, "=", in any case) but not as
// exactly one cookie. An empty cookie name matches nothing.
CookieLookup FindCookie(std::string_view cookieText, std::string_view cookieName);
// What two readings of one request's cookies say together: ambiguous when
// either is, or when both found the cookie with different values.
CookieLookup CombineCookieLookups(const CookieLookup& a, const CookieLookup& b);
// The session key in ISA/TMG's cookie: the cookie text as the host joins it
// and the request's own Cookie lines (joined with "; "), read together.
CookieLookup FindSessionKey(std::string_view cookieText, const std::vector<std::string>& cookieLines,
                            std::string_view cookieName);

// The value after the first "lgn=" of the lower-cased Cookie header, up to
// the next ";", trailing white space removed; empty when absent.
std::string UserNameFromLgnCookie(std::string_view cookieHeader);

// "DOMAIN\name" when a domain is set and the name carries neither "@" nor "\".
std::string CompleteWithDefaultDomain(const std::string& name, const std::string& defaultDomain);

// The path (with its query) of an absolute URL, or the Location itself when
// it is a path, white space trimmed; empty for anything else (no "://", no
// path, or a network-path reference such as "//host/").
std::string StripLocation(std::string_view location);

// Every occurrence of from replaced by to.
std::string ReplaceAll(std::string text, std::string_view from, std::string_view to);

// The body of a form post with the value of every field whose percent-decoded
// name equals one of names (without regard to case) emptied; field names and
// the other fields stay as sent.
SecureString EmptyFormFields(std::string_view body, const std::vector<std::string>& names);

// URL tests, each on the canonical form of the URL (url_canonical.h); a URL
// that cannot be canonicalized is none of these.
// ISA/TMG's own pages are the path "/cookieauth.dll" itself, never a path
// below it, which ISA/TMG hands on to the published site. Its logon post and
// logon page are told by the query's command word, percent-decoded and in
// any letter case, whatever follows it ("?Logon&x=1").
bool IsIsaTmgPage(const std::optional<std::string>& canonicalUrl);
bool IsIsaTmgLogonPost(const std::optional<std::string>& canonicalUrl);  // command word begins "logon"
bool IsIsaTmgGetLogon(const std::optional<std::string>& canonicalUrl);   // command word begins "getlogon"
bool IsOwnUrl(const std::optional<std::string>& canonicalUrl, std::string_view pathAndQuery);  // whole URL
bool ContainsOwnUrl(const std::optional<std::string>& canonicalUrl, std::string_view pathAndQuery);

// The canonical form of a Location: of its path when it is absolute, of the
// text itself when it starts with "/".
std::optional<std::string> CanonicalLocation(std::string_view location);

// A stored Referer that may be followed: a path on this site ("/..." but not
// "//" or "/\"), or an http/https URL whose host (with port) equals the
// request's host, without regard to case, and that carries no user info.
bool IsSameSiteUrl(std::string_view url, std::string_view requestHost);

}  // namespace talverin
