// ISA/TMG's answers: held back until their header block (or, for the logon
// post, the whole answer) is known, bound to the session of the cookie they
// set, and passed on only when the session may see them.
#include <algorithm>
#include <string_view>

#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/http_header_block.h"
#include "http/http_message.h"
#include "http/notification_masks.h"
#include "http/percent_coding.h"
#include "stub/session_store.h"

namespace {

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

std::string_view HeldBytes(const ConnectionContext& context) { return std::string_view(context.ResponseData()); }

std::string_view RecordBytes(const HTTP_FILTER_RAW_DATA& record) {
  if (record.pvInData == nullptr) return {};
  return std::string_view(static_cast<const char*>(record.pvInData), std::min(record.cbInData, record.cbInBuffer));
}

// Leaves the host's record presenting nothing on every way out of the
// decision but a pass-on (a replaced answer presents the filter's own): an
// answer decided on where it lies must not go out by a failure's road.
class PresentNothingUnlessPassed {
 public:
  PresentNothingUnlessPassed(HTTP_FILTER_RAW_DATA* record, const ConnectionContext& context, bool active)
      : record_(record), context_(context), active_(active) {}
  ~PresentNothingUnlessPassed() {
    if (active_ && !passed_ && !context_.responseReplaced) SetResponseEmpty(record_);
  }
  PresentNothingUnlessPassed(const PresentNothingUnlessPassed&) = delete;
  PresentNothingUnlessPassed& operator=(const PresentNothingUnlessPassed&) = delete;
  void Passed() { passed_ = true; }

 private:
  HTTP_FILTER_RAW_DATA* record_;
  const ConnectionContext& context_;
  bool active_;
  bool passed_ = false;
};


}  // namespace

DWORD CAnonymousLogonFilterImplementation::AccumulateResponse(HTTP_FILTER_RAW_DATA* record, ConnectionContext& context,
                                                              bool& inRecord) {
  // An answer whose header block comes whole in its first chunk is decided
  // on where the host presents it: passed on, it goes out untouched, with no
  // copy and no host memory, which a kept-alive connection would hold until
  // it closes.
  inRecord = false;
  if (context.responseHeadersRead) {
    context.AppendResponseData(*record);
  } else if (context.ResponseData().empty()) {
    context.responseHeaderEnd = HttpHeaderBlock::FindEnd(RecordBytes(*record));
    if (context.responseHeaderEnd == std::string::npos) context.AppendResponseData(*record);
  } else {
    // The bytes held so far have no blank line: only one that straddles
    // the chunks' seam or lies in the new chunk is left to find.
    const std::size_t held = context.ResponseData().size();
    context.AppendResponseData(*record);
    context.responseHeaderEnd = HttpHeaderBlock::FindEnd(HeldBytes(context), held < 3 ? 0 : held - 3);
  }
  if (context.responseHeaderEnd == std::string::npos) {
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

  if (context.HasValidSession()) context.SessionState();
  if (talverin::flow::ReadsWholeAnswer(CanonicalOf(context), context.Snapshot())) {
    TLOG(1, "Might be the password change page. Reading the whole response...");
    if (context.ResponseData().empty()) context.AppendResponseData(*record);
    if (!HttpHeaderBlock::IsWholeMessage(HeldBytes(context))) {
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
  if (context.ResponseData().empty()) {
    inRecord = true;
  } else {
    SetResponseEmpty(record);
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
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
  bool inRecord = false;
  const DWORD accumulated = AccumulateResponse(record, ctx, inRecord);
  if (accumulated == SF_STATUS_REQ_FINISHED) talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_OVERSIZED, pfc, ctx.url);
  if (accumulated != SF_STATUS_REQ_NEXT_NOTIFICATION) return accumulated;

  PresentNothingUnlessPassed presented(record, ctx, inRecord);
  const std::string_view answer = inRecord ? RecordBytes(*record) : HeldBytes(ctx);
  // Judged by its header block, read where it lies; the body is passed on
  // unread.
  const HttpHeaderBlock response = HttpHeaderBlock::Read(answer);
  const int code = response.StatusCode();
  TLOGF(1, "Response code set by the ISA/TMG (other web filters): '%d'", code);
  TLOGF(1, "All response headers:\r\n%s", std::string(response.Text()).c_str());

  if (ctx.HasValidSession()) ctx.SessionState();
  if (talverin::flow::RefusesFallbackAnswer(code, ctx.config->Settings().fallbackFromFBAForbidden, ctx.Snapshot())) {
    TLOGF(0, "Response code %d detected which could mean fall back from FBA to IWA/Basic which is not supported!",
          code);
    return SF_STATUS_REQ_FINISHED;
  }

  talverin::flow::AnswerView view;
  view.statusCode = code;
  view.fallbackForbidden = ctx.config->Settings().fallbackFromFBAForbidden;
  view.requestKey = ctx.key;
  view.urlLower = ctx.urlLower;
  view.canonicalUrl = CanonicalOf(ctx);
  view.authCookiePresent = ctx.authCookiePresent;
  view.validAtRequest = ctx.validAtRequest;
  view.referer = ctx.referer;
  // Whether the Referer names this site matters only to an odd answer: the
  // host is asked only then.
  if (code == 500 && !ctx.referer.empty()) {
    view.refererOnSite = talverin::IsSameSiteUrl(ctx.referer, GetServerVariableText(pfc, "HTTP_HOST"));
  }
  // One Set-Cookie line per cookie: the first line that carries the
  // listener's cookie counts. The first Location line counts. One reading of
  // the lines finds both.
  std::string setCookie;
  bool cookieSettled = false;
  bool locationFound = false;
  response.VisitLines([&](std::string_view line) {
    std::string_view value;
    if (!cookieSettled && HttpHeaderBlock::MatchField(line, "Set-Cookie", value)) {
      const KeyExtraction extraction = ExtractKey(pfc, ctx, std::string(value));
      if (extraction.ambiguous) {
        view.cookieAmbiguous = true;
        cookieSettled = true;
      } else if (extraction.cookieFound) {
        setCookie = std::string(value);
        view.setsCookie = true;
        view.newKey = extraction.key;
        cookieSettled = true;
      }
    } else if (!locationFound && HttpHeaderBlock::MatchField(line, "Location", value)) {
      view.location = std::string(value);
      locationFound = true;
    }
    return cookieSettled && locationFound;
  });
  if (!view.cookieAmbiguous) TLOGF(1, "Set-Cookie header set by the server: '%s'", setCookie.c_str());
  view.locationLower = talverin::LowerCaseMultibyte(view.location);

  talverin::flow::AnswerDecision decision = DecideAnswer(ctx, view, false);
  if (decision.action == talverin::flow::AnswerAction::Bind) {
    UpdateSessionBoundToIsaTmg(&ctx, view.newKey, decision.binding);
    // A page held back for the session is the whole answer as read.
    SaveRedirectLocation(ctx, HttpMessage(answer));
    decision = DecideAnswer(ctx, view, true);
  }
  switch (decision.reason) {
    case talverin::flow::AnswerReason::CookieAmbiguous:
      return SF_STATUS_REQ_FINISHED;
    case talverin::flow::AnswerReason::ExpiredNoRenewal:
      TLOGF(1, "Session(%s) has expired and there was no renewal from ISA/TMG", ctx.key.c_str());
      return SF_STATUS_REQ_FINISHED;
    default:
      break;
  }
  if (decision.outcomeRan) {
    const DWORD status = CheckIsaTmgAuthenticationStatus(pfc, record, ctx, view, decision, setCookie);
    if (decision.action != talverin::flow::AnswerAction::PassOn &&
        decision.action != talverin::flow::AnswerAction::Drop) {
      return status;
    }
    if (decision.reason == talverin::flow::AnswerReason::WrongState) return status;
  }

  if (decision.action == talverin::flow::AnswerAction::Drop) {
    TLOGF(0, "Response to '%s' is not passed on: the session has not passed the second factor.", ctx.url.c_str());
    ctx.ClearResponseData();
    return SF_STATUS_REQ_FINISHED;
  }
  if (!inRecord && !ctx.HandResponseDataToHost(pfc, record)) {
    TLOG(0, "No host memory for the held-back response. Finishing the request.");
    ctx.ClearResponseData();
    return SF_STATUS_REQ_FINISHED;
  }
  presented.Passed();
  ctx.ClearResponseData();
  pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, talverin::kResponseNotifications, 0);
  return SF_STATUS_REQ_READ_NEXT;
}

talverin::flow::AnswerDecision CAnonymousLogonFilterImplementation::DecideAnswer(
    ConnectionContext& context, const talverin::flow::AnswerView& view, bool bound) {
  talverin::flow::AnswerDecision decision = talverin::flow::DecideAnswer(view, context.Snapshot(), bound);
  while (decision.need != talverin::flow::Member::None) {
    context.Fill(decision.need);
    decision = talverin::flow::DecideAnswer(view, context.Snapshot(), bound);
  }
  return decision;
}

DWORD CAnonymousLogonFilterImplementation::OnEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ConnectionContext*) {
  // Read for the trail alone.
  if (!talverin::TraceLog::Instance().Enabled(1)) return SF_STATUS_REQ_NEXT_NOTIFICATION;
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
