#include "config/url_exclusion_check.h"

#include "base/error.h"
#include "diag/trace_log.h"

namespace talverin {

bool CheckUrlExclusion(HTTP_FILTER_CONTEXT* pfc, const std::string& url, const std::string& listenerGuid,
                       const std::string& method, const ListenerExclusionSettings& listener) {
  TLOGF(2, "%s %s", method.c_str(), url.c_str());

  const ExclusionDecision decision = DecideUrlExclusion(url, listenerGuid, listener);
  if (!decision.logText.empty()) TLOG(decision.logLevel, decision.logText);
  if (!decision.Excluded()) return false;

  if (!pfc->ServerSupportFunction(pfc, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, kRequestNotifications, 0)) {
    const DWORD error = GetLastError();
    TLOGF(0, "Disable all notifications failed! Error: %d", static_cast<int>(error));
    // A host that fails without saying why must still fail the request: an
    // HRESULT of 0 would read as success further up.
    throw HRXEx(HResultFromError(error), "Disable all notifications failed!", ErrorCategory::Host);
  }
  return true;
}

}  // namespace talverin
