// The two ways back: to ISA/TMG's logon page (start over with the password,
// without ISA/TMG's cookie) and to the filter's own login page.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/notification_masks.h"
#include "http/responses.h"
#include "stub/session_store.h"

DWORD CAnonymousLogonFilterImplementation::IFilterRedirect(HTTP_FILTER_CONTEXT* pfc, ConnectionContext&,
                                                           const std::string& url, const std::string& cookieToRemove,
                                                           const std::string& cookieDomain) {
  TLOGF(1, "IFilter Redirect. URL: %s. Cookie to remove: %s. Cookie to remove domain: %s", url.c_str(),
        cookieToRemove.c_str(), cookieDomain.c_str());
  pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, talverin::kResponseNotifications, 0);
  IsapiRedirect(pfc, url, cookieToRemove, std::string(), true, cookieDomain);
  return SF_STATUS_REQ_FINISHED;
}

DWORD CAnonymousLogonFilterImplementation::RedirectToIsaTmgLoginPage(HTTP_FILTER_CONTEXT* pfc,
                                                                     ConnectionContext& context) {
  TLOG(1, "Trying to redirect to ISA/TMG login page...");
  std::string stored;
  if (context.HasValidSession()) {
    TLOG(1, "Session state set to \"Expired\"");
    context.SetSessionState(static_cast<int>(SessionState::Expired));
    // The member Password carries the Referer that led to the passcode
    // request: the way back to ISA/TMG's logon page.
    stored = context.session->GetPassword();
  }
  const std::string lowered = talverin::LowerCaseMultibyte(stored);
  TLOGF(1, "Session stored redirect URL: %s", lowered.c_str());

  std::string cookieName;
  std::string cookieDomain;
  GetIsaTmgCookieNameAndDomain(pfc, context, cookieName, cookieDomain);

  const talverin::flow::IsaTmgLogonTarget target = talverin::flow::DecideIsaTmgLogonTarget(
      stored, stored.empty() ? std::string() : GetServerVariableText(pfc, "HTTP_HOST"), context.url);
  if (target.storedNotOnSite) TLOG(1, "Stored redirect URL is not on this site and is not followed.");
  if (target.kind == talverin::flow::IsaTmgLogonTarget::Kind::Nowhere) return SF_STATUS_REQ_FINISHED;
  return IFilterRedirect(pfc, context, target.url, cookieName, cookieDomain);
}

DWORD CAnonymousLogonFilterImplementation::RedirectToOwnLoginPage(HTTP_FILTER_CONTEXT* pfc,
                                                                  ConnectionContext& context) {
  return IFilterRedirect(pfc, context, talverin::flow::kOwnLoginPage, std::string(), std::string());
}
