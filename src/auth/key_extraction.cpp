// The session key out of ISA/TMG's cookie, and the user name of ISA/TMG's
// logon form post.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "diag/trace_log.h"
#include "http/host_access.h"

KeyExtraction CAnonymousLogonFilterImplementation::ExtractKey(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context,
                                                             const std::string& cookieText,
                                                             const std::vector<std::string>& moreCookieLines) {
  KeyExtraction result;
  if (cookieText.empty() && moreCookieLines.empty()) return result;

  const std::string& listener = context.ListenerGuid(pfc);
  TLOGF(1, "Listener's guid: '%s'", listener.c_str());
  const std::string& cookieName = context.config->FBACookieName(listener);
  TLOGF(1, "ISA/TMG's cookie name: '%s'", cookieName.c_str());

  const talverin::CookieLookup lookup = talverin::FindSessionKey(cookieText, moreCookieLines, cookieName);
  switch (lookup.match) {
    case talverin::CookieMatch::Absent:
      TLOGF(1, "Cookie name '%s' has not been found with-in '%s'", cookieName.c_str(), cookieText.c_str());
      return result;
    case talverin::CookieMatch::Ambiguous:
      TLOGF(0, "Cookie '%s' is named, but not as exactly one cookie, with-in '%s'. Refusing the request.",
            cookieName.c_str(), cookieText.c_str());
      result.cookieFound = true;
      result.ambiguous = true;
      return result;
    case talverin::CookieMatch::Found:
      break;
  }
  result.cookieFound = true;
  result.key = lookup.value;
  TLOGF(1, "Cookie value parsed to: '%s',\r\nKey parsed to: '%s'", result.key.c_str(), result.key.c_str());
  return result;
}

std::string CAnonymousLogonFilterImplementation::ExtractUserName(const HttpMessage& request,
                                                                 const std::string& formUserName,
                                                                 const std::string& defaultDomain) {
  std::string name = formUserName;
  if (name.empty()) {
    TLOG(1, "Trying to get username from cookie...");
    const talverin::SecureString cookie = request.GetHeaderValue("Cookie");
    const std::string lowered = talverin::LowerCaseMultibyte(cookie.str());
    TLOGF(1, "Cookie value is: '%s'", lowered.c_str());
    name = talverin::UserNameFromLgnCookie(lowered);
  }
  return talverin::CompleteWithDefaultDomain(name, defaultDomain);
}
