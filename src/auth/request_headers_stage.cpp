// Pre-processing of the request headers: gathers what the request carries,
// refuses an FBA fallback, sends a stale cookie back to ISA/TMG's logon page,
// serves the filter's own pages and hands the rest to the state dispatch.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "base/secure.h"
#include "config/filter_settings.h"
#include "config/url_canonical.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/percent_coding.h"
#include "stub/session_store.h"

namespace {

// Whether the request carries a non-empty Authorization header. A header the
// host cannot hand over in full counts as present: a long Negotiate token
// must not slip past the fallback refusal.
bool AuthorizationHeaderPresent(HTTP_FILTER_PREPROC_HEADERS* headers, HTTP_FILTER_CONTEXT* pfc) {
  char name[] = "Authorization:";
  // On the stack, wiped on the way out: the value may carry credentials.
  char buffer[1024] = {};
  DWORD size = sizeof buffer;
  const BOOL got = headers->GetHeader(pfc, name, buffer, &size);
  const bool present = got ? buffer[0] != '\0' : GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  talverin::SecureZero(buffer, sizeof buffer);
  if (got || !present) return present;
  if (size == 0 || size >= MAXDWORD) return true;
  talverin::SecureString longer(static_cast<std::size_t>(size) + 1, '\0');
  size = static_cast<DWORD>(longer.size());
  if (headers->GetHeader(pfc, name, &longer[0], &size)) return longer[0] != '\0';
  return true;
}

}  // namespace

DWORD CAnonymousLogonFilterImplementation::OnPreprocHeaders(HTTP_FILTER_CONTEXT* pfc, void* notification,
                                                            ConnectionContext* context) {
  auto* headers = static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification);
  ConnectionContext& ctx = *context;

  const std::string url = GetServerVariableText(pfc, "URL");
  const std::string cookies = GetServerVariableText(pfc, "HTTP_COOKIE");
  const KeyExtraction extraction = ExtractKey(pfc, ctx, cookies, ctx.requestCookieLines);
  TLOGF(1, "URL: '%s'", PercentDecode(url).str().c_str());
  TLOGF(1, "Cookies: '%s'", cookies.c_str());
  TLOGF(1, "Key parsed: '%s'", extraction.key.c_str());
  if (extraction.ambiguous) {
    talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_AMBIGUOUS_COOKIE, pfc, url);
    return SF_STATUS_REQ_FINISHED;
  }

  ctx.url = url;
  ctx.urlLower = talverin::LowerCaseMultibyte(url);
  const std::optional<std::string> canonical = talverin::CanonicalizeUrl(url);
  ctx.urlCanonicalValid = canonical.has_value();
  ctx.urlCanonical = canonical.value_or(std::string());
  ctx.key = extraction.key;
  ctx.authCookiePresent = extraction.cookieFound;
  if (!ctx.key.empty()) ctx.session = FindSession(ctx.key);

  const bool hasSession = ctx.HasValidSession();
  // The kept URL matters only before the second factor; it is read here only
  // for the trail, else when a stage first asks.
  if (hasSession && talverin::TraceLog::Instance().Enabled(1)) {
    const bool isProtected = ctx.UrlIsProtected();
    TLOGF(1, "Is URL protected: %d\r\nCurrent url..: '%s';\r\nProtected url: '%s'.", isProtected ? 1 : 0,
          ctx.url.c_str(), ctx.KeptUrl().c_str());
  }
  ctx.referer = GetRequestHeaderText(headers, pfc, "Referer:");
  ctx.authorizationHeaderPresent = AuthorizationHeaderPresent(headers, pfc);
  if (ctx.authorizationHeaderPresent) TLOG(1, "Authorization header present");

  TLOG(1, "Check authorization header presense is forbidden...");
  talverin::flow::RequestView view;
  view.url = ctx.url;
  view.urlLower = ctx.urlLower;
  view.canonicalUrl = canonical;
  view.method = ctx.requestMethod;
  view.hasBody = ctx.requestHasBody;
  view.keyPresent = !ctx.key.empty();
  view.authorizationPresent = ctx.authorizationHeaderPresent;
  view.fallbackForbidden = ctx.config->Settings().fallbackFromFBAForbidden;
  view.htmlServerPresent = hasSession && HtmlServer() != nullptr;
  view.formAction = ctx.formAction;
  // Decide, reading a session member only when the decision asks for it.
  talverin::flow::RequestDecision decision = talverin::flow::DecideRequest(view, ctx.Snapshot());
  while (decision.need != talverin::flow::Member::None) {
    ctx.Fill(decision.need);
    decision = talverin::flow::DecideRequest(view, ctx.Snapshot());
  }
  if (decision.reason == talverin::flow::RequestReason::FallbackRefused) {
    TLOG(0, "Authorization header detected which could mean fall back from FBA to IWA/Basic which is not supported!");
    talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_AUTHORIZATION, pfc, url);
    return SF_STATUS_REQ_FINISHED;
  }
  TLOG(1, "Authorization header has not been detected or it is not forbidden to fallback");
  return ActOnRequest(pfc, ctx, decision);
}
