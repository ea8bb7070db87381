// What a request may do, decided from its session's state: this is where the
// second factor is enforced. The rules are flow::DecideRequest
// (flow_decisions.cpp); this file carries the decision out and holds the
// passcode check.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "base/secure.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "http/http_message.h"
#include "http/notification_masks.h"
#include "http/responses.h"
#include "stub/authentication_proxy.h"
#include "stub/session_store.h"

namespace {

using talverin::flow::RequestAction;
using talverin::flow::RequestReason;

}  // namespace

DWORD CAnonymousLogonFilterImplementation::ActOnRequest(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context,
                                                        const talverin::flow::RequestDecision& decision) {
  const bool inExpired = context.Snapshot().IsIn(SessionState::Expired);
  // The trail as the state dispatch has always written it.
  switch (decision.reason) {
    case RequestReason::StaleKey:
      TLOG(1, "Key is present but session is missing - removing authentication cookie!");
      TLOG(1, "Performing forwarding to ISA/TMG login page with-out authentication cookie...");
      break;
    case RequestReason::IsaTmgPage:
    case RequestReason::ExpiredWrongUrl:
      if (inExpired) TLOGF(1, "State is 'Expired'. Url: '%s'", context.urlLower.c_str());
      if (decision.backToInitial) {
        TLOG(1, "ISA/TMG logon page detected. Dropping state from 'Expired' to 'Initial'.");
      }
      if (decision.reason == RequestReason::IsaTmgPage) {
        TLOGF(1, "Url '%s' is a part of the ISA/TMG web site", context.urlCanonical.c_str());
      }
      break;
    case RequestReason::BypassDetected:
      TLOG(1, "Bypassing detected!");
      talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_BYPASS, pfc, context.url);
      break;
    case RequestReason::Cancelled:
      TLOG(1, "TALVERIN authentication has failed. User has canceled TALVERIN authentication.");
      talverin::EventLog::Instance().ReportUser(TALVERIN_EVENT_PASSCODE_CANCELLED, pfc, context.session->GetUsername(), context.url);
      break;
    case RequestReason::IncorrectUrl:
      TLOG(1, "Incorrect URL has been detected. Redirecting back to the TALVERIN login page");
      break;
    case RequestReason::Valid:
      TLOGF(1, "Session(%s) has valid state and the request will be allowed", context.key.c_str());
      break;
    case RequestReason::InvalidState:
      TLOG(1, "Session has invalid state!");
      break;
    default:
      break;
  }

  if (decision.forgetKeptUrl) context.SetKeptUrl(std::string());
  if (decision.newState) context.SetSessionState(static_cast<int>(*decision.newState));
  if (decision.validAtRequest) context.validAtRequest = true;
  if (decision.reportBypass) {
    // Whether the report of a bypass is still owed is known only to the back
    // end (set when the logon was answered, perhaps by another filter sharing
    // it, or before a restart): the one member read beyond the state.
    context.bypassAllowed = false;
    ReportPasswordAuthenticationStatus(context, true);
    context.SetBypassReportPending(false);
  }

  switch (decision.action) {
    case RequestAction::PassOn:
      if (decision.reason == RequestReason::IsaTmgPage && inExpired) {
        TLOGF(1, "The url '%s' has been allowed!", context.url.c_str());
      }
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    case RequestAction::Finish:
      return SF_STATUS_REQ_FINISHED;
    case RequestAction::SendToIsaTmgLogon:
      if (decision.reason == RequestReason::ExpiredWrongUrl) {
        TLOG(0, "Wrong url has been detected in state 'Expired'. Redirecting to the ISA/TMG login page.");
      }
      return RedirectToIsaTmgLoginPage(pfc, context);
    case RequestAction::SendToOwnLogin:
      return RedirectToOwnLoginPage(pfc, context);
    case RequestAction::ShowLoginPage:
      ShowLoginPage(pfc, context);
      return SF_STATUS_REQ_FINISHED;
    case RequestAction::ServeResource:
      ServeOwnResource(pfc, *decision.resource);
      return SF_STATUS_REQ_FINISHED;
    case RequestAction::AnswerStatusPoll:
      AnswerStatusPoll(pfc, context);
      return SF_STATUS_REQ_FINISHED;
    case RequestAction::CheckPasscode:
      return TakePasscode(pfc, context);
  }
  return SF_STATUS_REQ_FINISHED;
}

DWORD CAnonymousLogonFilterImplementation::TakePasscode(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  TLOG(1, "About to perform TALVERIN authentication...");
  // One guess at a time: a guess that comes while another is checked sees
  // its outcome, so a wrong guess ends every guess made beside it. What the
  // guess beside this one did is in the back end, not in what this request
  // read before it waited.
  talverin::CsLock guessLock(passcodeCheckLock_);
  context.ForgetSessionState();
  const int state = context.SessionState();
  const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
  switch (talverin::flow::DecidePasscodeStep(state, proxy != nullptr)) {
    case talverin::flow::PasscodeStep::AlreadyPassed:
      // The guess beside this one was right (a form sent twice): the session
      // has passed, this post has nothing left to check.
      IsapiRedirect(pfc, context.KeptUrl(), std::string(), std::string(), false, std::string());
      TLOG(1, "The user has been redirected to the requested page");
      return SF_STATUS_REQ_FINISHED;
    case talverin::flow::PasscodeStep::NotAwaited:
      TLOGF(0, "Passcode posted while the session is in state %d. Redirecting to the ISA/TMG login page.", state);
      return RedirectToIsaTmgLoginPage(pfc, context);
    case talverin::flow::PasscodeStep::NoProxy:
      TLOG(1, "TALVERIN authentication has failed. proxy null.");
      return RedirectToIsaTmgLoginPage(pfc, context);
    case talverin::flow::PasscodeStep::Check:
      break;
  }

  std::string passcode = context.passcode.str();
  const bool accepted = proxy->Authenticate(context.session->GetToken(), passcode);
  talverin::SecureZero(&passcode[0], passcode.size());
  if (!accepted) {
    TLOG(1, "TALVERIN authentication has failed. Incorrect passcode was provided.");
    talverin::EventLog::Instance().ReportUser(TALVERIN_EVENT_PASSCODE_REJECTED, pfc, context.session->GetUsername(), context.url);
    return RedirectToIsaTmgLoginPage(pfc, context);
  }
  TLOG(1, "TALVERIN authentication has succeeded.");
  context.SetSessionState(static_cast<int>(SessionState::Valid));

  // The member FbaCookieDomain holds ISA/TMG's password change page, held
  // back when it answered the logon post: it is shown now instead.
  const talverin::SecureString heldBackPage(context.session->GetFbaCookieDomain());
  if (!heldBackPage.empty()) {
    const HttpMessage page(std::string_view(heldBackPage.data(), heldBackPage.size()));
    pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, talverin::kRequestNotifications, 0);
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
