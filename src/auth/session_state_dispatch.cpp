// What a request may do, decided from its session's state: this is where the
// second factor is enforced.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "base/secure.h"
#include "diag/trace_log.h"
#include "http/http_message.h"
#include "http/responses.h"
#include "stub/authentication_proxy.h"
#include "stub/session_store.h"

namespace {

// Every notification of the request after the stored answer has been sent.
constexpr DWORD kAllRequestNotifications = 0x0400EC40;

std::optional<std::string> CanonicalOf(const ConnectionContext& context) {
  if (!context.urlCanonicalValid) return std::nullopt;
  return context.urlCanonical;
}

bool IsIsaTmgWebSite(const ConnectionContext& context) {
  if (!talverin::IsIsaTmgPage(CanonicalOf(context))) return false;
  TLOGF(1, "Url '%s' is a part of the ISA/TMG web site", context.urlCanonical.c_str());
  return true;
}

}  // namespace

DWORD CAnonymousLogonFilterImplementation::DispatchOnSessionState(HTTP_FILTER_CONTEXT* pfc,
                                                                  ConnectionContext& context) {
  switch (context.SessionState()) {
    case static_cast<int>(SessionState::Initial):
      return CheckBypass(pfc, context);
    case static_cast<int>(SessionState::AwaitingPasscode):
      return TakePasscode(pfc, context);
    case static_cast<int>(SessionState::Valid):
      return PassThrough(context);
    case static_cast<int>(SessionState::Expired):
      return HandleExpired(pfc, context);
    default:
      TLOG(1, "Session has invalid state!");
      return SF_STATUS_REQ_FINISHED;
  }
}

DWORD CAnonymousLogonFilterImplementation::CheckBypass(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  if (IsIsaTmgWebSite(context)) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  // Before the passcode the site may see one thing of the session: a plain
  // read of the page the logon was for, whose answer the response stage
  // replaces by the passcode page. Anything that could change the site (a
  // POST that sends mail as the user) waits for the second factor; with no
  // page kept there is nothing to read at all.
  const std::string protectedUrl = context.KeptUrl();
  const bool plainRead = context.requestMethod == "GET" || context.requestMethod == "HEAD";
  if (protectedUrl.empty() || !context.UrlIsProtected() || !plainRead || context.requestHasBody) {
    TLOG(1, "Bypassing detected!");
    return RedirectToIsaTmgLoginPage(pfc, context);
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::TakePasscode(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  switch (context.formAction) {
    case FormAction::Login: {
      TLOG(1, "About to perform TALVERIN authentication...");
      // One guess at a time: a guess that comes while another is checked
      // sees its outcome, so a wrong guess ends every guess made beside it.
      talverin::CsLock guessLock(passcodeCheckLock_);
      // What the guess beside this one did is in the back end, not in what
      // this request read before it waited.
      context.ForgetSessionState();
      const int state = context.SessionState();
      if (state == static_cast<int>(SessionState::Valid)) {
        // The guess beside this one was right (a form sent twice): the
        // session has passed, this post has nothing left to check.
        IsapiRedirect(pfc, context.KeptUrl(), std::string(), std::string(), false, std::string());
        TLOG(1, "The user has been redirected to the requested page");
        return SF_STATUS_REQ_FINISHED;
      }
      if (state != static_cast<int>(SessionState::AwaitingPasscode)) {
        TLOGF(0, "Passcode posted while the session is in state %d. Redirecting to the ISA/TMG login page.", state);
        return RedirectToIsaTmgLoginPage(pfc, context);
      }
      const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
      if (!proxy) {
        TLOG(1, "TALVERIN authentication has failed. proxy null.");
        return RedirectToIsaTmgLoginPage(pfc, context);
      }
      std::string passcode = context.passcode.str();
      const bool accepted = proxy->Authenticate(context.session->GetToken(), passcode);
      talverin::SecureZero(&passcode[0], passcode.size());
      if (!accepted) {
        TLOG(1, "TALVERIN authentication has failed. Incorrect passcode was provided.");
        return RedirectToIsaTmgLoginPage(pfc, context);
      }
      TLOG(1, "TALVERIN authentication has succeeded.");
      context.SetSessionState(static_cast<int>(SessionState::Valid));

      const talverin::SecureString stored(context.session->GetFbaCookieDomain());
      if (!stored.empty()) {
        const HttpMessage page(std::string_view(stored.data(), stored.size()));
        pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, kAllRequestNotifications, 0);
        const talverin::SecureString headers = page.GetHeaders();
        const talverin::SecureString body = page.GetBody();
        SendStoredResponse(pfc, std::string_view(headers.data(), headers.size()),
                           std::string_view(body.data(), body.size()));
        TLOG(1, "Password change page has been sent to the user");
      } else {
        IsapiRedirect(pfc, context.KeptUrl(), std::string(), std::string(), false, std::string());
        TLOG(1, "The user has been redirected to the requested page");
      }
      return SF_STATUS_REQ_FINISHED;
    }
    case FormAction::Cancel:
      TLOG(1, "TALVERIN authentication has failed. User has canceled TALVERIN authentication.");
      return RedirectToIsaTmgLoginPage(pfc, context);
    default:
      TLOG(1, "Incorrect URL has been detected. Redirecting back to the TALVERIN login page");
      return RedirectToOwnLoginPage(pfc, context);
  }
}

DWORD CAnonymousLogonFilterImplementation::PassThrough(ConnectionContext& context) {
  TLOGF(1, "Session(%s) has valid state and the request will be allowed", context.key.c_str());
  context.validAtRequest = true;
  // The one member read beyond the state: whether the report of a bypass is
  // still owed is known only to the back end (it was set when the logon was
  // answered, perhaps by another filter sharing the back end, or before a
  // restart), so it cannot be learned without asking.
  if (context.BypassReportPending()) {
    context.bypassAllowed = false;
    ReportPasswordAuthenticationStatus(context, true);
    context.SetBypassReportPending(false);
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::HandleExpired(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  TLOGF(1, "State is 'Expired'. Url: '%s'", context.urlLower.c_str());
  if (talverin::IsIsaTmgGetLogon(CanonicalOf(context))) {
    TLOG(1, "ISA/TMG logon page detected. Dropping state from 'Expired' to 'Initial'.");
    // The page kept for the failed logon is forgotten: only a new password
    // post keeps one again, so coming back here does not reopen the one read
    // that state Initial allows without the password being entered again.
    context.SetKeptUrl(std::string());
    context.SetSessionState(static_cast<int>(SessionState::Initial));
  }
  if (IsIsaTmgWebSite(context)) {
    TLOGF(1, "The url '%s' has been allowed!", context.url.c_str());
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  // ISA/TMG still honours the cookie of a session whose second factor failed,
  // was cancelled or ended: anything but its own pages would carry that kept
  // cookie to the published site. Start over at the password instead.
  TLOG(0, "Wrong url has been detected in state 'Expired'. Redirecting to the ISA/TMG login page.");
  return RedirectToIsaTmgLoginPage(pfc, context);
}
