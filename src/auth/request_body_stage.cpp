// Raw request data: waits for the header block, applies the URL exclusions
// and recognizes the two login forms that matter to the second factor.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "config/filter_settings.h"
#include "config/url_canonical.h"
#include "config/url_exclusion_check.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/raw_data.h"

namespace {

const char kOwnLoginAction[] = "/talverinauth.dll?action=talvlogin";

}  // namespace

DWORD CAnonymousLogonFilterImplementation::OnReadRawData(HTTP_FILTER_CONTEXT* pfc, void* notification,
                                                         ConnectionContext* context) {
  auto* record = static_cast<HTTP_FILTER_RAW_DATA*>(notification);
  const HttpMessage request = HttpMessageFromRawData(*record);
  if (!context->requestHeadersRead && !request.HeadersComplete()) {
    TLOG(1, "Not all headers have been received. Waiting for the next chunk...");
    return SF_STATUS_REQ_READ_NEXT;
  }
  context->requestHeadersRead = true;
  TLOG(1, "All headers have been received.");

  const std::string listener = GetServerVariableText(pfc, "LISTENER_GUID");
  const auto lookup = [](const std::string& guid) {
    return talverin::FilterSettings::Instance().ListenerExclusion(guid);
  };
  if (talverin::CheckUrlExclusion(pfc, request.GetSecondToken().str(), listener, request.GetFirstToken().str(),
                                  lookup)) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  if (request.GetMethod() != HttpMessage::Method::Post) return SF_STATUS_REQ_NEXT_NOTIFICATION;

  TLOG(1, "POST request has been detected.");
  if (!RecognizeLoginForm(pfc, request, *context)) return SF_STATUS_REQ_READ_NEXT;
  if (!RunUserCheck(pfc, record, request, *context)) return SF_STATUS_REQ_FINISHED;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

bool CAnonymousLogonFilterImplementation::RecognizeLoginForm(HTTP_FILTER_CONTEXT*, const HttpMessage& request,
                                                             ConnectionContext& context) {
  const std::optional<std::string> canonical = talverin::CanonicalizeUrl(request.GetSecondToken().str());

  if (talverin::IsIsaTmgLogonPost(canonical)) {
    if (!request.IsBodyComplete()) return false;
    TLOG(1, "ISA/TMG post FBA login request has been detected.");
    // Read the fields as ISA/TMG's form parser does; a repeated field is
    // refused by the user check, so the name checked is the name used.
    const std::vector<talverin::SecureString> names = request.GetFormFieldOccurrences("username");
    const std::string formName = names.size() == 1 ? names.front().str() : std::string();
    const std::string name = ExtractUserName(request, formName);
    context.username = name;
    context.formAction = FormAction::IsaTmgLogon;
    TLOGF(1, "Username saved to the context: '%s'.", name.c_str());
    return true;
  }

  if (talverin::ContainsOwnUrl(canonical, kOwnLoginAction)) {
    if (!request.IsBodyComplete()) return false;
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
  return true;
}
