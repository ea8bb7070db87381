// ISA/TMG's answers: held back until their header block (or, for the logon
// post, the whole answer) is known, bound to the session of the cookie they
// set, and passed on only when the session may see them.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/percent_coding.h"
#include "stub/session_store.h"

namespace {

constexpr DWORD kResponseNotifications = SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SEND_RESPONSE;

void SetResponseEmpty(HTTP_FILTER_RAW_DATA* record) {
  record->pvInData = nullptr;
  record->cbInData = 0;
  record->cbInBuffer = 0;
  TLOG(1, "Response was set to empty");
}

std::optional<std::string> CanonicalOf(const ConnectionContext& context) {
  if (!context.urlCanonicalValid) return std::nullopt;
  return context.urlCanonical;
}

bool IsAnswerToLogonPost(const ConnectionContext& context) {
  return talverin::IsIsaTmgLogonPost(CanonicalOf(context));
}

HttpMessage HeldResponse(const ConnectionContext& context) {
  const talverin::SecureBytes& bytes = context.ResponseData();
  return HttpMessage(bytes.data(), bytes.size());
}

int StateOf(ConnectionContext& context) {
  return context.session ? context.SessionState() : -1;
}

}  // namespace

DWORD CAnonymousLogonFilterImplementation::AccumulateResponse(HTTP_FILTER_RAW_DATA* record,
                                                              ConnectionContext& context) {
  context.AppendResponseData(*record);
  const HttpMessage response = HeldResponse(context);
  if (!response.HeadersComplete() && !context.responseHeadersRead) {
    if (context.ResponseData().size() > kMaxResponseHeaderBlock) {
      TLOG(0, "Response header block is longer than the filter holds. Finishing the request.");
      context.ClearResponseData();
      SetResponseEmpty(record);
      return SF_STATUS_REQ_FINISHED;
    }
    TLOG(1, "Response headers were not read. Reading next chunk...");
    SetResponseEmpty(record);
    return SF_STATUS_REQ_READ_NEXT;
  }
  if (!context.responseHeadersRead && !context.validAtRequest) {
    // Other requests of the session may have moved it on while this one was
    // at the site: the answer is judged by the state as it is now. An answer
    // of a session that had passed is the session's whatever happened since.
    context.ForgetSessionState();
  }
  context.responseHeadersRead = true;
  TLOG(1, "Response headers have been read");

  const bool beyondInitial = context.HasValidSession() && StateOf(context) != static_cast<int>(SessionState::Initial);
  if (!beyondInitial && IsAnswerToLogonPost(context)) {
    TLOG(1, "Might be the password change page. Reading the whole response...");
    if (!response.IsBodyComplete()) {
      if (context.ResponseData().size() > kMaxLogonPostAnswer) {
        TLOG(0, "Answer to the ISA/TMG logon post is longer than the filter holds. Finishing the request.");
        context.ClearResponseData();
        SetResponseEmpty(record);
        return SF_STATUS_REQ_FINISHED;
      }
      TLOG(1, "Whole response was not read. Reading next chunk...");
      SetResponseEmpty(record);
      return SF_STATUS_REQ_READ_NEXT;
    }
    TLOG(1, "Whole response has been read and stored");
  }
  SetResponseEmpty(record);
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

bool CAnonymousLogonFilterImplementation::MayPassResponseOn(ConnectionContext& context, const HttpMessage& response,
                                                            bool outcomeHandled) {
  if (outcomeHandled) return true;
  // The answer to a request the session made after its second factor is the
  // session's, even when it ends the session (a logoff).
  if (context.validAtRequest) return true;
  if (context.session && StateOf(context) == static_cast<int>(SessionState::Valid)) return true;
  if (!context.authCookiePresent) return true;
  if (talverin::IsIsaTmgPage(CanonicalOf(context))) return true;
  const int code = response.GetStatusCode();
  if (code >= 300 && code < 400 &&
      talverin::IsIsaTmgPage(talverin::CanonicalLocation(response.GetHeaderValue("Location").str()))) {
    return true;
  }
  return false;
}

DWORD CAnonymousLogonFilterImplementation::OnSendRawData(HTTP_FILTER_CONTEXT* pfc, void* notification,
                                                         ConnectionContext* context) {
  auto* record = static_cast<HTTP_FILTER_RAW_DATA*>(notification);
  ConnectionContext& ctx = *context;
  if (ctx.responseReplaced) {
    ctx.ClearResponseData();
    SetResponseEmpty(record);
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  const DWORD accumulated = AccumulateResponse(record, ctx);
  if (accumulated != SF_STATUS_REQ_NEXT_NOTIFICATION) return accumulated;

  const HttpMessage response = HeldResponse(ctx);
  const int code = response.GetStatusCode();
  TLOGF(1, "Response code set by the ISA/TMG (other web filters): '%d'", code);
  TLOGF(1, "All response headers:\r\n%s", response.GetHeaders().str().c_str());

  const bool hadSession = ctx.HasValidSession();
  const int state = StateOf(ctx);
  if ((!hadSession || state != static_cast<int>(SessionState::Valid)) && code == 401 &&
      ctx.config->Settings().fallbackFromFBAForbidden) {
    TLOGF(0, "Response code %d detected which could mean fall back from FBA to IWA/Basic which is not supported!",
          code);
    return SF_STATUS_REQ_FINISHED;
  }

  // One Set-Cookie line per cookie: the first line that carries the
  // listener's cookie counts.
  std::string setCookie;
  KeyExtraction extraction;
  for (const talverin::SecureString& line : response.GetHeaderValues("Set-Cookie")) {
    extraction = ExtractKey(pfc, *ctx.config, line.str());
    if (extraction.ambiguous) return SF_STATUS_REQ_FINISHED;
    if (extraction.cookieFound) {
      setCookie = line.str();
      break;
    }
  }
  TLOGF(1, "Set-Cookie header set by the server: '%s'", setCookie.c_str());

  if (extraction.cookieFound) {
    UpdateSessionBoundToIsaTmg(&ctx, extraction.key);
    SaveRedirectLocation(ctx, response);
  } else if (hadSession && state == static_cast<int>(SessionState::Expired)) {
    TLOGF(1, "Session(%s) has expired and there was no renewal from ISA/TMG", ctx.key.c_str());
    return SF_STATUS_REQ_FINISHED;
  }

  // A 200 to the logon post is a password change page only when ISA/TMG
  // logs the user on with it; its logon form shown again is no such answer.
  const bool passwordChangePage = talverin::IsIsaTmgLogonPost(CanonicalOf(ctx)) && code == 200 &&
                                  extraction.cookieFound && !extraction.key.empty();
  if (ctx.HasValidSession() && StateOf(ctx) == static_cast<int>(SessionState::Initial) &&
      (ctx.UrlIsProtected() || passwordChangePage)) {
    bool continueFlag = false;
    const DWORD outcome = CheckIsaTmgAuthenticationStatus(pfc, record, ctx, response, setCookie, continueFlag);
    if (!continueFlag) return outcome;
  }

  if (!MayPassResponseOn(ctx, response, false)) {
    TLOGF(0, "Response to '%s' is not passed on: the session has not passed the second factor.", ctx.url.c_str());
    ctx.ClearResponseData();
    return SF_STATUS_REQ_FINISHED;
  }
  if (!ctx.HandResponseDataToHost(pfc, record)) {
    TLOG(0, "No host memory for the held-back response. Finishing the request.");
    ctx.ClearResponseData();
    return SF_STATUS_REQ_FINISHED;
  }
  ctx.ClearResponseData();
  pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, kResponseNotifications, 0);
  return SF_STATUS_REQ_READ_NEXT;
}

DWORD CAnonymousLogonFilterImplementation::OnEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ConnectionContext*) {
  const std::string url = GetServerVariableText(pfc, "URL");
  TLOGF(1, "URL: '%s'", PercentDecode(url).str().c_str());
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnAuthentication(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnAccessDenied(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnAuthComplete(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnSendResponse(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
