#pragma once
// The forms-based authentication of the emulated ISA/TMG server: its
// authentication cookies (issued, counted, rotated, revoked), the form
// parsing of its logon post, and its own pages under "/CookieAuth.dll".
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talverin::host {

struct FbaSession {
  std::string user;      // the account name as the users file spells it
  std::string listener;  // persistent name of the listener that issued it
  int requests = 0;      // requests made with the key
  bool passwordChangePending = false;
  // Once the key has been replaced: how many more requests it is honoured for,
  // and the key that replaced it.
  std::optional<int> graceLeft;
  std::string successor;
};

class FbaSessions {
 public:
  // A fresh key of 128 random bits in hexadecimal.
  std::string Issue(const std::string& user, const std::string& listener, bool passwordChangePending);
  // The session of a key presented by a request on this listener, counting
  // the request; null for an unknown, revoked or spent key. A replaced key
  // uses up one request of its grace.
  FbaSession* Use(const std::string& key, const std::string& listener);
  // After `rotateAfter` requests with a key not yet replaced, issues its
  // successor for the same user and gives the old key `grace` more requests.
  std::optional<std::string> RotateIfDue(const std::string& key, int rotateAfter, int grace);
  void Revoke(const std::string& key);
  const FbaSession* Find(const std::string& key) const;
  size_t Count() const { return sessions_.size(); }

 private:
  std::map<std::string, FbaSession> sessions_;
};

// An "application/x-www-form-urlencoded" body as a typical form parser reads
// it: fields in order, names and values percent-decoded with "+" as blank.
// Lookups take the first field of a name, in exact case; a body naming a
// field twice is therefore read by its first occurrence.
class FormFields {
 public:
  static FormFields Parse(std::string_view body);
  std::string First(std::string_view name) const;
  bool Has(std::string_view name) const;
  const std::vector<std::pair<std::string, std::string>>& All() const { return fields_; }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

std::string PercentDecodeForm(std::string_view text);
// Everything but letters, digits, "-", "_", ".", "~" and "/" escaped.
std::string PercentEncodeUrl(std::string_view text);
std::string HtmlEscape(std::string_view text);

// How a proxy reads cookie names, where real proxies differ.
struct CookieReading {
  bool namesTrimmed = true;     // "cadata =K" names cadata
  bool namesCaseFolded = false;  // "CADATA=K" names cadata
};
// The value of a cookie in a Cookie header ("a=1; b=2"): the first cookie of
// that name as the reading compares names, blanks around the value removed;
// nullopt when absent.
std::optional<std::string> CookieValue(std::string_view cookieHeader, std::string_view name,
                                       CookieReading reading = {});
// The key a cookie value holds: the value without surrounding double quotes.
std::string KeyOfCookieValue(std::string_view value);

// The proxy's own pages.
// Logon form: fields username, password, curl, flags, forcedownlevel,
// formdir and trusted, posted to "/CookieAuth.dll?Logon".
std::string LogonFormPage(std::string_view curl, int reason, int formDir);
// Password change form, posted to "/CookieAuth.dll?ChangePwd".
std::string PasswordChangePage(std::string_view user, std::string_view curl);
std::string LogoffPage();
std::string ProxyMessagePage(std::string_view title, std::string_view text);

}  // namespace talverin::host
