#include "host/fba.h"

#include "host/header_block.h"

#include <random>

namespace talverin::host {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

const char* ReasonText(int reason) {
  switch (reason) {
    case 0: return "";
    case 2: return "You could not be logged on. Make sure your user name and password are correct.";
    case 4: return "Your session has ended. Please log on again.";
    default: return "Please log on.";
  }
}

}  // namespace

// ---- Sessions ---------------------------------------------------------------

std::string FbaSessions::Issue(const std::string& user, const std::string& listener, bool passwordChangePending) {
  // std::random_device draws from the system's cryptographic generator here.
  static std::random_device random;
  static const char digits[] = "0123456789ABCDEF";
  std::string key;
  do {
    key.clear();
    for (int word = 0; word < 4; ++word) {
      unsigned int bits = random();
      for (int nibble = 0; nibble < 8; ++nibble, bits >>= 4) key += digits[bits & 0xF];
    }
  } while (sessions_.count(key) != 0);
  FbaSession session;
  session.user = user;
  session.listener = listener;
  session.passwordChangePending = passwordChangePending;
  sessions_[key] = session;
  return key;
}

FbaSession* FbaSessions::Use(const std::string& key, const std::string& listener) {
  auto it = sessions_.find(key);
  if (it == sessions_.end() || it->second.listener != listener) return nullptr;
  FbaSession& session = it->second;
  if (session.graceLeft) {
    if (*session.graceLeft <= 0) {
      sessions_.erase(it);
      return nullptr;
    }
    --*session.graceLeft;
  }
  ++session.requests;
  return &session;
}

std::optional<std::string> FbaSessions::RotateIfDue(const std::string& key, int rotateAfter, int grace) {
  auto it = sessions_.find(key);
  if (rotateAfter <= 0 || it == sessions_.end() || it->second.graceLeft || it->second.requests < rotateAfter) {
    return std::nullopt;
  }
  FbaSession old = it->second;
  std::string successor = Issue(old.user, old.listener, old.passwordChangePending);
  sessions_[key].graceLeft = grace;
  sessions_[key].successor = successor;
  return successor;
}

void FbaSessions::Revoke(const std::string& key) { sessions_.erase(key); }

const FbaSession* FbaSessions::Find(const std::string& key) const {
  auto it = sessions_.find(key);
  return it == sessions_.end() ? nullptr : &it->second;
}

// ---- Forms and cookies ----------------------------------------------------

std::string PercentDecodeForm(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string PercentEncodeUrl(std::string_view text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                 c == '.' || c == '~' || c == '/';
    if (plain) {
      out += c;
    } else {
      auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += digits[byte >> 4];
      out += digits[byte & 0xF];
    }
  }
  return out;
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

FormFields FormFields::Parse(std::string_view body) {
  FormFields form;
  size_t at = 0;
  while (at < body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string_view::npos) end = body.size();
    std::string_view pair = body.substr(at, end - at);
    at = end + 1;
    if (pair.empty()) continue;
    size_t equals = pair.find('=');
    std::string name = PercentDecodeForm(pair.substr(0, equals));
    std::string value = equals == std::string_view::npos ? std::string() : PercentDecodeForm(pair.substr(equals + 1));
    form.fields_.emplace_back(std::move(name), std::move(value));
  }
  return form;
}

std::string FormFields::First(std::string_view name) const {
  for (const auto& [field, value] : fields_) {
    if (field == name) return value;
  }
  return {};
}

bool FormFields::Has(std::string_view name) const {
  for (const auto& field : fields_) {
    if (field.first == name) return true;
  }
  return false;
}

std::optional<std::string> CookieValue(std::string_view cookieHeader, std::string_view name, CookieReading reading) {
  size_t at = 0;
  while (at <= cookieHeader.size()) {
    size_t end = cookieHeader.find(';', at);
    if (end == std::string_view::npos) end = cookieHeader.size();
    std::string_view pair = cookieHeader.substr(at, end - at);
    at = end + 1;
    size_t equals = pair.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string pairName = reading.namesTrimmed ? TrimBlanks(pair.substr(0, equals)) : std::string(pair.substr(0, equals));
    const bool same = reading.namesCaseFolded ? EqualsIgnoringCase(pairName, name) : pairName == name;
    if (same) return TrimBlanks(pair.substr(equals + 1));
  }
  return std::nullopt;
}

std::string KeyOfCookieValue(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  return std::string(value);
}

// ---- Pages -------------------------------------------------------------------

namespace {

// The look of the proxy's own pages, so that a person trying the gateway in a
// browser tells at a glance which page is the proxy's and which the filter's.
constexpr const char* kProxyStyle =
    "<style>\r\n"
    "body{margin:0;font-family:Segoe UI,Tahoma,Arial,sans-serif;background:#e9e9e9;color:#222}\r\n"
    ".bar{background:#5a5a5a;color:#fff;padding:14px 24px;font-size:18px}\r\n"
    ".box{width:420px;margin:48px auto;background:#fff;border:1px solid #bbb;padding:24px 28px}\r\n"
    "h1{font-size:18px;margin:0 0 16px}label{display:block;margin:12px 0 4px;font-size:13px}\r\n"
    "input[type=text],input[type=password]{width:100%;box-sizing:border-box;padding:6px}\r\n"
    ".trust{font-size:12px;margin:14px 0}.trust label{display:inline;margin:0 12px 0 4px}\r\n"
    "#reason{color:#b00;font-size:13px;margin-bottom:8px}\r\n"
    "input[type=submit]{padding:6px 18px}\r\n"
    "</style>\r\n";

std::string ProxyPageHead(std::string_view title) {
  return "<html><head><title>" + HtmlEscape(title) + "</title>\r\n" + kProxyStyle +
         "</head><body>\r\n<div class=\"bar\">ISA/TMG web publishing</div>\r\n<div class=\"box\">\r\n";
}

constexpr const char* kProxyPageTail = "</div></body></html>\r\n";

}  // namespace

std::string ProxyMessagePage(std::string_view title, std::string_view text) {
  return ProxyPageHead(title) + "<h1>" + HtmlEscape(title) + "</h1><p>" + HtmlEscape(text) + "</p>" + kProxyPageTail;
}

std::string LogonFormPage(std::string_view curl, int reason, int formDir) {
  std::string page = ProxyPageHead("Web Access logon") +
                     "<h1>Log on</h1>\r\n"
                     "<form action=\"/CookieAuth.dll?Logon\" method=\"POST\" name=\"logonForm\" autocomplete=\"off\">\r\n";
  if (const char* message = ReasonText(reason); *message) {
    page += "<div id=\"reason\">" + std::string(message) + "</div>\r\n";
  }
  page += "<input type=\"hidden\" name=\"curl\" value=\"" + HtmlEscape(curl) + "\">\r\n";
  page += "<input type=\"hidden\" name=\"flags\" value=\"0\">\r\n";
  page += "<input type=\"hidden\" name=\"forcedownlevel\" value=\"0\">\r\n";
  page += "<input type=\"hidden\" name=\"formdir\" value=\"" + std::to_string(formDir) + "\">\r\n";
  page += "<label for=\"username\">Domain\\user name:</label><input id=\"username\" name=\"username\" type=\"text\">\r\n";
  page += "<label for=\"password\">Password:</label><input id=\"password\" name=\"password\" type=\"password\">\r\n";
  page += "<div class=\"trust\">";
  page += "<input id=\"rdoPblc\" type=\"radio\" name=\"trusted\" value=\"0\" checked>";
  page += "<label for=\"rdoPblc\">public or shared computer</label>";
  page += "<input id=\"rdoPrvt\" type=\"radio\" name=\"trusted\" value=\"4\">";
  page += "<label for=\"rdoPrvt\">private computer</label></div>\r\n";
  page += "<input type=\"submit\" value=\"Log On\">\r\n</form>";
  page += kProxyPageTail;
  return page;
}

std::string PasswordChangePage(std::string_view user, std::string_view curl) {
  return ProxyPageHead("Change Password") +
         "<h1>Change password</h1>\r\n"
         "<p>Your password has expired. You must change your password before you can log on.</p>\r\n"
         "<form action=\"/CookieAuth.dll?ChangePwd\" method=\"POST\" name=\"changePwdForm\">\r\n"
         "<input type=\"hidden\" name=\"curl\" value=\"" +
         HtmlEscape(curl) +
         "\">\r\n"
         "<label>Domain\\user name:</label><input type=\"text\" name=\"username\" value=\"" +
         HtmlEscape(user) +
         "\">\r\n"
         "<label>Current password:</label><input type=\"password\" name=\"oldpassword\">\r\n"
         "<label>New password:</label><input type=\"password\" name=\"newpassword\">\r\n"
         "<label>Confirm new password:</label><input type=\"password\" name=\"confirmpassword\">\r\n"
         "<p><input type=\"submit\" value=\"Change Password\"></p>\r\n</form>" +
         kProxyPageTail;
}

std::string LogoffPage() {
  return ProxyMessagePage("Logged off", "You have successfully logged off. Close the browser window.");
}

}  // namespace talverin::host
