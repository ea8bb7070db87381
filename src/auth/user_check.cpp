// Before ISA/TMG checks a password, the back end decides whether the user may
// log on at all; a refused user's credentials never reach ISA/TMG.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/url_canonical.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/responses.h"
#include "stub/authentication_proxy.h"

namespace {

using Stub::UserDenied;
using Stub::UserLockedOut;
using Stub::UserMayBypass;
using Stub::UserNotFound;
using Stub::UserValid;

// The event of a user the back end refused; 0 for any other outcome.
DWORD RefusedUserEvent(int result) {
  return result == UserNotFound    ? TALVERIN_EVENT_LOGON_UNKNOWN_USER
         : result == UserLockedOut ? TALVERIN_EVENT_LOGON_LOCKED_OUT
         : result == UserDenied    ? TALVERIN_EVENT_LOGON_DENIED
                                   : 0;
}

}  // namespace

bool CAnonymousLogonFilterImplementation::RunUserCheck(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record,
                                                       const HttpMessage& request, ConnectionContext& context) {
  if (!talverin::IsIsaTmgLogonPost(talverin::CanonicalizeUrl(request.GetSecondToken().str()))) return true;
  context.clientAddress = GetServerVariableText(pfc, "REMOTE_ADDR");

  // A form naming a field twice may be read one way here and another way by
  // ISA/TMG: the user checked would not be the user logged on.
  if (request.GetFormFieldOccurrences("username").size() > 1 ||
      request.GetFormFieldOccurrences("password").size() > 1) {
    TLOG(0, "ISA/TMG logon post carries the user name or the password more than once - resetting username and "
            "password");
    talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_AMBIGUOUS_FORM, pfc, request.GetSecondToken().str());
    context.bypassAllowed = false;
    return EmptyCredentials(pfc, record, request);
  }
  if (CheckUser(context)) return true;
  if (const DWORD event = RefusedUserEvent(context.checkAuthenticationAllowedResult)) talverin::EventLog::Instance().ReportUser(event, pfc, context.username.str(), request.GetSecondToken().str());
  TLOG(1, "Checking in TALVERIN failed - resetting username and password");
  return EmptyCredentials(pfc, record, request);
}

bool CAnonymousLogonFilterImplementation::EmptyCredentials(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record,
                                                           const HttpMessage& request) {
  const talverin::SecureString body = request.GetBody();
  const talverin::SecureString emptied =
      talverin::EmptyFormFields(std::string_view(body.data(), body.size()), {"username", "password"});
  talverin::SecureString text = request.GetHeaders();
  text.append("\r\n\r\n");
  text.append(emptied);
  HttpMessage rewritten(std::string_view(text.data(), text.size()));
  rewritten.ReplaceHeaderValue("Content-Length", std::to_string(emptied.size()));
  if (WriteToRawData(pfc, record, rewritten)) return true;
  // The credentials must not reach ISA/TMG: the request ends instead.
  TLOG(0, "Unable to write the emptied logon post. Finishing the request.");
  return false;
}

bool CAnonymousLogonFilterImplementation::CheckUser(ConnectionContext& context) {
  context.bypassAllowed = false;
  const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
  if (!proxy) {
    TLOG(1, "Unable to check user - proxy is null.");
    return false;
  }
  const std::string user = context.username.str();
  const int result = proxy->CheckAuthenticationAllowed(user, context.clientAddress);
  context.checkAuthenticationAllowedResult = result;
  const char* address = context.clientAddress.c_str();
  switch (result) {
    case UserNotFound:
      TLOGF(1, "User '%s' coming from '%s' has NOT been found in TALVERIN database.", user.c_str(), address);
      return false;
    case UserLockedOut:
      TLOGF(1, "User '%s' coming from '%s' has been locked out from TALVERIN database.", user.c_str(), address);
      return false;
    case UserDenied:
      TLOGF(1, "User '%s' coming from '%s' is denied access.", user.c_str(), address);
      return false;
    case UserMayBypass:
      TLOGF(1, "User '%s' coming from '%s is a allowed to bypass TALVERIN authentication.", user.c_str(), address);
      context.bypassAllowed = true;
      return true;
    case UserValid:
      TLOGF(1,
            "User '%s' coming from '%s' is a valid TALVERIN user. Two factor authentication will be performed for "
            "this user.",
            user.c_str(), address);
      return true;
    default:
      return false;
  }
}
