// What ISA/TMG's answer says about the password it has just judged, and the
// filter's next step: request the passcode, let ISA/TMG's own redirect
// through, or refuse.
#include <cstdio>

#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/percent_coding.h"
#include "http/responses.h"
#include "stub/authentication_proxy.h"
#include "stub/errors.h"
#include "stub/session_store.h"

namespace {

std::string Format(const char* format, const std::string& a, const std::string& b = std::string()) {
  const int size = std::snprintf(nullptr, 0, format, a.c_str(), b.c_str());
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(&text[0], text.size(), format, a.c_str(), b.c_str());
  text.resize(static_cast<std::size_t>(size));
  return text;
}

}  // namespace

void CAnonymousLogonFilterImplementation::GetIsaTmgCookieNameAndDomain(HTTP_FILTER_CONTEXT* pfc,
                                                                       ConnectionContext& context,
                                                                       std::string& name, std::string& domain) {
  const talverin::Config& config = *context.config;
  const std::string& listener = context.ListenerGuid(pfc);
  const std::string host = GetServerVariableText(pfc, "HTTP_HOST");
  name = config.FBACookieName(listener);
  domain = talverin::MatchFBACookieDomain(config, listener, host);
}

DWORD CAnonymousLogonFilterImplementation::ReplaceResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record,
                                                           ConnectionContext& context, const std::string& location,
                                                           const std::string& cookieText) {
  const DWORD status = RawRedirect(pfc, record, location, cookieText);
  // ISA/TMG's answer is gone for good: nothing of its later chunks may follow
  // the filter's own.
  context.responseReplaced = true;
  context.ClearResponseData();
  return status;
}

DWORD CAnonymousLogonFilterImplementation::CheckIsaTmgAuthenticationStatus(
    HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, ConnectionContext& context,
    const talverin::flow::AnswerView& view, const talverin::flow::AnswerDecision& decision,
    const std::string& setCookie) {
  TLOGF(1, "Checking ISA/TMG authentication status: Redirection URL: '%s'.", view.location.c_str());
  TLOGF(1, "Checking ISA/TMG authentication status: Response code: %d.", view.statusCode);
  if (decision.outcome.passwordChange) TLOG(1, "Password change has been detected");

  switch (decision.outcome.outcome) {
    case talverin::flow::Outcome::Rejected:
      TLOG(1, "ISA/TMG authentication failed! Bypassing the redirect...");
      ReportPasswordAuthenticationStatus(context, false);
      return SF_STATUS_REQ_NEXT_NOTIFICATION;
    case talverin::flow::Outcome::Accepted:
      return AskForPasscode(pfc, record, context, decision.outcome.passwordChange ? setCookie : std::string());
    case talverin::flow::Outcome::BackToReferer:
      TLOGF(1, "Referrer URL: '%s'.", context.referer.c_str());
      TLOG(1, "ISA/TMG response code is weird! Redirecting ourselves...");
      ReportPasswordAuthenticationStatus(context, false);
      return ReplaceResponse(pfc, record, context, decision.outcome.target, std::string());
    case talverin::flow::Outcome::Refused:
      break;
  }
  TLOGF(1, "Referrer URL: '%s'.", context.referer.c_str());
  TLOG(1, "Got wrong state! Rejecting the connection...");
  return SF_STATUS_REQ_FINISHED;
}

DWORD CAnonymousLogonFilterImplementation::AskForPasscode(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record,
                                                          ConnectionContext& context, const std::string& keptCookie) {
  TLOG(1, "ISA/TMG has authenticated the user successfully!");
  const std::string user = context.username.empty() ? context.session->GetUsername() : context.username.str();
  ReportPasswordAuthenticationStatus(context, true);
  const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
  if (!proxy) {
    TLOG(0, "ERROR proxy is null");
    return SF_STATUS_REQ_FINISHED;
  }
  TLOGF(1, "Requesting passcode in TALVERIN. Username: \"%s\".", user.c_str());
  DWORD status = SF_STATUS_REQ_FINISHED;
  const std::optional<talverin::Error> failure = talverin::CaptureError([&] {
    const std::string token = proxy->RequestPasscode(user);
    context.SetSessionState(static_cast<int>(SessionState::AwaitingPasscode));
    TLOGF(1, "Requesting token in TALVERIN. Token: \"%s\".", token.c_str());
    context.session->PutToken(token);
    // The member Password carries the Referer of this request: the way back
    // to ISA/TMG's logon page if the passcode fails.
    context.session->PutPassword(context.referer);
    status = ReplaceResponse(pfc, record, context, talverin::flow::kOwnLoginPage, keptCookie);
  });
  if (!failure) return status;
  const talverin::Error& e = *failure;
  if (!e.fromHResult || !Stub::IsBackendExceptionCode(e.hr)) throw e;
  TLOG(1, "Recoverable exception while requesting a passcode. Redirect back to login page.");
  context.SetSessionState(static_cast<int>(SessionState::Expired));
  std::string name;
  std::string domain;
  GetIsaTmgCookieNameAndDomain(pfc, context, name, domain);
  const std::string target =
      Format("/CookieAuth.dll?GetLogon?curl=%s&reason=2&formdir=1", PercentEncode(context.KeptUrl()).str());
  const std::string cookie =
      domain.empty() ? Format("%s=; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT", name)
                     : Format("%s=; Domain=%s; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT", name, domain);
  return ReplaceResponse(pfc, record, context, target, cookie);
}

void CAnonymousLogonFilterImplementation::SaveRedirectLocation(ConnectionContext& context,
                                                               const HttpMessage& response) {
  if (!context.HasValidSession()) return;
  const std::string location = response.GetHeaderValue("Location").str();
  if (!location.empty()) {
    const std::string stripped = talverin::StripLocation(location);
    context.SetKeptUrl(stripped);
    TLOGF(1, "Location: '%s'. Strip location: '%s'.", location.c_str(), stripped.c_str());
  } else if (response.GetStatusCode() == 200) {
    TLOG(1, "Url is not saved due to password change. Reply content will be saved.");
    context.session->PutFbaCookieDomain(response.GetRaw().str());
  }
}
