// Raw request data: waits for the header block, applies the URL exclusions
// and reads the two login forms that matter to the second factor whole.
// Everything a client sends is read as hostile: a request is parsed once,
// from its header block, and whatever arrives after that block has been
// handed on is its body, never a new request.
#include <string_view>

#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "config/url_canonical.h"
#include "config/url_exclusion_check.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/http_header_block.h"

namespace {

constexpr std::string_view kBlankLine = "\r\n\r\n";

std::string_view RecordBytes(const HTTP_FILTER_RAW_DATA& record) {
  if (record.pvInData == nullptr) return {};
  return {static_cast<const char*>(record.pvInData), std::min(record.cbInData, record.cbInBuffer)};
}

}  // namespace

DWORD CAnonymousLogonFilterImplementation::OnReadRawData(HTTP_FILTER_CONTEXT* pfc, void* notification,
                                                         ConnectionContext* context) {
  auto* record = static_cast<HTTP_FILTER_RAW_DATA*>(notification);
  ConnectionContext& ctx = *context;
  if (ctx.requestHandedOn) return SF_STATUS_REQ_NEXT_NOTIFICATION;

  const std::string_view bytes = RecordBytes(*record);
  if (!ctx.requestHeadersRead) {
    // The host presents what was read so far after each READ_NEXT: the
    // search goes on where the last one ended instead of starting over.
    const std::size_t from = std::min(ctx.requestHeaderScanFrom, bytes.size());
    const std::size_t blank = HttpHeaderBlock::FindEnd(bytes, from < 3 ? 0 : from - 3);
    if (blank == std::string_view::npos) {
      if (bytes.size() > kMaxRequestHeaderBlock) {
        TLOG(0, "Request header block is longer than the filter reads. Finishing the request.");
        talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_OVERSIZED, pfc, std::string());
        return SF_STATUS_REQ_FINISHED;
      }
      ctx.requestHeaderScanFrom = bytes.size();
      TLOG(1, "Not all headers have been received. Waiting for the next chunk...");
      return SF_STATUS_REQ_READ_NEXT;
    }
    if (blank > kMaxRequestHeaderBlock) {
      TLOG(0, "Request header block is longer than the filter reads. Finishing the request.");
      talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_OVERSIZED, pfc, std::string());
      return SF_STATUS_REQ_FINISHED;
    }
    ctx.requestHeadersRead = true;
    TLOG(1, "All headers have been received.");
    const DWORD status = ReadRequestHeaderBlock(pfc, bytes.substr(0, blank + kBlankLine.size()), ctx);
    if (ctx.requestBytesAwaited == 0) {
      ctx.requestHandedOn = true;
      return status;
    }
  }

  if (bytes.size() < ctx.requestBytesAwaited) return SF_STATUS_REQ_READ_NEXT;
  if (bytes.size() > ctx.requestBytesAwaited) {
    // More bytes than the form announced: a second request behind it, or a
    // body two readers would cut in different places.
    TLOG(0, "Login form post carries more bytes than its Content-Length. Finishing the request.");
    return SF_STATUS_REQ_FINISHED;
  }
  ctx.requestHandedOn = true;
  const HttpMessage request(bytes);
  RecordLoginForm(request, ctx);
  if (!RunUserCheck(pfc, record, request, ctx)) return SF_STATUS_REQ_FINISHED;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::ReadRequestHeaderBlock(HTTP_FILTER_CONTEXT* pfc, std::string_view block,
                                                                  ConnectionContext& context) {
  // Read where the host presents it: nothing of it is copied but the few
  // values the request keeps.
  talverin::flow::RequestBlockView request = talverin::flow::ReadRequestBlock(block);
  bool excluded = false;
  if (request.strict) {
    context.requestMethod = request.method;
    context.requestHasBody =
        request.length.kind == HttpHeaderBlock::BodyLength::Kind::Invalid || request.length.length > 0;
    context.requestCookieLines = std::move(request.cookieLines);
    const std::string& listener = context.ListenerGuid(pfc);
    excluded = talverin::CheckUrlExclusion(pfc, request.url, listener, context.requestMethod,
                                           context.config->Exclusion(listener));
  }
  const talverin::flow::RequestBlockDecision decision =
      talverin::flow::DecideRequestBlock(request, block.size(), excluded);
  using Reason = talverin::flow::RequestBlockReason;
  if (decision.reason != Reason::NotStrict && decision.reason != Reason::Excluded &&
      http_text::EqualsIgnoringCase(request.method, "POST")) {
    TLOG(1, "POST request has been detected.");
  }
  switch (decision.reason) {
    case Reason::NotStrict:
      TLOG(0, "Request header block has bare line ends, folded lines or NUL bytes. Finishing the request.");
      return SF_STATUS_REQ_FINISHED;
    case Reason::UnclearFraming:
      TLOG(0, "Login form post has a Transfer-Encoding or an unclear Content-Length. Finishing the request.");
      return SF_STATUS_REQ_FINISHED;
    case Reason::FormTooLong:
      TLOG(0, "Login form post is longer than the filter reads. Finishing the request.");
      talverin::EventLog::Instance().ReportAttack(TALVERIN_EVENT_ATTACK_OVERSIZED, pfc, request.url);
      return SF_STATUS_REQ_FINISHED;
    case Reason::NotUrlEncoded:
      TLOG(0, "ISA/TMG logon post is no URL-encoded form. Finishing the request.");
      return SF_STATUS_REQ_FINISHED;
    case Reason::LoginForm:
      context.requestBytesAwaited = decision.bytesAwaited;
      return SF_STATUS_REQ_READ_NEXT;
    case Reason::None:
    case Reason::Excluded:
    case Reason::NoLoginForm:
      break;
  }
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

void CAnonymousLogonFilterImplementation::RecordLoginForm(const HttpMessage& request, ConnectionContext& context) {
  const std::optional<std::string> canonical = talverin::CanonicalizeUrl(request.GetSecondToken().str());

  if (talverin::IsIsaTmgLogonPost(canonical)) {
    TLOG(1, "ISA/TMG post FBA login request has been detected.");
    // Read the fields as ISA/TMG's form parser does; a repeated field is
    // refused by the user check, so the name checked is the name used.
    const std::vector<talverin::SecureString> names = request.GetFormFieldOccurrences("username");
    const std::string formName = names.size() == 1 ? names.front().str() : std::string();
    const std::string name = ExtractUserName(request, formName, context.config->Settings().defaultDomain);
    context.username = name;
    context.formAction = FormAction::IsaTmgLogon;
    TLOGF(1, "Username saved to the context: '%s'.", name.c_str());
    return;
  }

  if (talverin::ContainsOwnUrl(canonical, talverin::flow::kOwnLoginAction)) {
    TLOG(1, "TALVERIN post FBA login request has been detected.");
    const talverin::SecureString action = request.GetFormField("Action");
    if (action.empty() || action == "LogIn") {
      TLOG(1, "User has pressed 'Login' button.");
      context.formAction = FormAction::Login;
      context.passcode = request.GetFormField("passcode");
    } else {
      TLOG(1, "User has pressed 'Cancel' button.");
      context.formAction = FormAction::Cancel;
    }
  }
}
