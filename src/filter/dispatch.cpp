// CFilter's notification dispatch and fault guard.
#include <optional>
#include <string>

#include "auth/connection_context.h"
#include "base/error.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "filter/filter.h"

namespace talverin {
namespace {

enum class ContextOperation { GetExisting, CreateOrGet, GetMayBeAbsent };

using Handler = DWORD (*)(IFilterImplementation&, HTTP_FILTER_CONTEXT*, void*, ConnectionContext*);

struct Route {
  DWORD type;
  const char* name;
  ContextOperation context;
  Handler handler;
};

// End of request takes no notification structure.
const Route kRoutes[] = {
    {SF_NOTIFY_PREPROC_HEADERS, "OnPreprocHeaders", ContextOperation::GetExisting,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnPreprocHeaders(p, n, c);
     }},
    {SF_NOTIFY_READ_RAW_DATA, "OnReadRawData", ContextOperation::CreateOrGet,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnReadRawData(p, n, c);
     }},
    {SF_NOTIFY_AUTH_COMPLETE, "OnAuthComplete", ContextOperation::GetExisting,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnAuthComplete(p, n, c);
     }},
    {SF_NOTIFY_AUTHENTICATION, "OnAuthentication", ContextOperation::GetExisting,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnAuthentication(p, n, c);
     }},
    {SF_NOTIFY_SEND_RESPONSE, "OnSendResponse", ContextOperation::GetExisting,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnSendResponse(p, n, c);
     }},
    {SF_NOTIFY_END_OF_REQUEST, "OnEndOfRequest", ContextOperation::GetMayBeAbsent,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void*, ConnectionContext* c) {
       return i.OnEndOfRequest(p, c);
     }},
    {SF_NOTIFY_SEND_RAW_DATA, "OnSendRawData", ContextOperation::GetExisting,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnSendRawData(p, n, c);
     }},
    {SF_NOTIFY_ACCESS_DENIED, "OnAccessDenied", ContextOperation::GetExisting,
     [](IFilterImplementation& i, HTTP_FILTER_CONTEXT* p, void* n, ConnectionContext* c) {
       return i.OnAccessDenied(p, n, c);
     }},
};

const Route* FindRoute(DWORD type) {
  for (const Route& route : kRoutes) {
    if (route.type == type) return &route;
  }
  return nullptr;
}

void LogBanner(const char* name) {
  if (!TraceLog::Instance().Enabled(1)) return;
  std::string banner = name;
  if (banner.size() < 80) banner.append(80 - banner.size(), '=');
  TLOG(1, banner);
}

// The per-request record lives in the connection's slot (pfc->pFilterContext);
// these two functions are the only place dispatch touches the slot.
ConnectionContext* AcquireConnectionContext(HTTP_FILTER_CONTEXT* pfc, ContextOperation operation) {
  switch (operation) {
    case ContextOperation::CreateOrGet:
      ConnectionContextRegistry::CreateOrGet(pfc);
      return ConnectionContextRegistry::Get(pfc, true);
    case ContextOperation::GetExisting:
      return ConnectionContextRegistry::Get(pfc, true);
    case ContextOperation::GetMayBeAbsent:
      break;
  }
  return ConnectionContextRegistry::Get(pfc, false);
}

// Ends the request's context when the end-of-request notification leaves
// dispatch by any road, refusals and failures included: a context that
// outlived its request would take the next request on the connection for the
// body of the last one, whose header block was handed on long ago.
class EndOfRequestContext {
 public:
  EndOfRequestContext(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType)
      : pfc_(notificationType == SF_NOTIFY_END_OF_REQUEST ? pfc : nullptr) {}
  ~EndOfRequestContext() {
    if (pfc_) ConnectionContextRegistry::Destroy(pfc_);
  }
  EndOfRequestContext(const EndOfRequestContext&) = delete;
  EndOfRequestContext& operator=(const EndOfRequestContext&) = delete;

 private:
  HTTP_FILTER_CONTEXT* pfc_;
};

// The dispatcher's line for a failure: a failed call by its HRESULT, any
// other by its message; an exception of unknown type has neither.
void LogFailure(const Error& failure) {
  if (failure.category == ErrorCategory::MachineFault) {
    TLOG(0, "Unknown error occured.");
  } else if (failure.fromHResult) {
    TLOGF(0, "COM error occurred, error: 0x%X.", static_cast<unsigned>(failure.hr));
  } else {
    TLOGF(0, "Exception during processing. Error message: \"%s\".", failure.what());
  }
}

}  // namespace

DWORD CFilter::Dispatch(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification) {
  // Our own reference: a reload may install a new implementation meanwhile.
  std::shared_ptr<IFilterImplementation> implementation = Implementation();
  const EndOfRequestContext endOfRequest(pfc, notificationType);
  std::optional<Error> failure;
  try {
    TLOGF(1, "Notification Type: 0x%08X", static_cast<unsigned>(notificationType));
    if (IsBlocked()) {
      TLOG(0, "Event is blocked. Restart the filter!");
      return SF_STATUS_REQ_FINISHED;
    }
    if (!implementation) return SF_STATUS_REQ_FINISHED;  // start-up failed before installing one
    if (!implementation->Connect()) return SF_STATUS_REQ_FINISHED;
    SetLastError(0);

    const Route* route = FindRoute(notificationType);
    if (!route) return 0;
    LogBanner(route->name);
    ConnectionContext* context = AcquireConnectionContext(pfc, route->context);
    // Again: writing the banner may have left the log file's status behind.
    SetLastError(0);
    return route->handler(*implementation, pfc, notification, context);
  } catch (const Error& e) {
    failure = e;
  } catch (const std::exception& e) {
    // The standard library's own (out of memory, a bad conversion): this
    // request cannot go on.
    failure = Error::FromMessage(ErrorCategory::Request, e.what());
  } catch (...) {
    failure = Error::FromMessage(ErrorCategory::MachineFault, "an exception of unknown type");
  }
  // Acted on outside the handlers, where a reset that fails meets no live
  // exception.
  LogFailure(*failure);
  switch (ActionFor(failure->category)) {
    case ErrorAction::ResetBackEnd:
      if (implementation) implementation->Reset(true, failure->hr);
      break;
    case ErrorAction::CountFault:
      RecordFault();
      break;
    case ErrorAction::FinishRequest:
      break;
  }
  return SF_STATUS_REQ_FINISHED;
}

void CFilter::RecordFault() {
  const std::int32_t maxRetryCount = FilterSettings::Instance().BlockMaxRetryCount();
  CsLock guard(guardLock_);
  const bool wasRefusing = blocked_ && blockAttempts_ > maxRetryCount;
  if (!blocked_) {
    TLOG(0, "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
    blocked_ = true;
    blockAttempts_ = 0;
    blockStart_ = clock_();
  } else {
    TLOGF(0, "Web filter block attempt - retry count %i", static_cast<int>(blockAttempts_));
    ++blockAttempts_;
  }
  if (!wasRefusing && blockAttempts_ > maxRetryCount)
    EventLog::Instance().Report(TALVERIN_EVENT_FAULT_BLOCK, {std::to_string(static_cast<long long>(blockAttempts_) + 1)});
}

bool CFilter::IsBlocked() {
  {
    // Every notification asks; the clock (a time-zone lookup on some
    // systems) and the settings only matter while blocked.
    CsLock guard(guardLock_);
    if (!blocked_) return false;
  }
  std::int64_t now = clock_();
  const ConfigSnapshot config = FilterSettings::Instance().Snapshot();
  const std::int32_t maxTime = config->Settings().blockMaxTime;
  const std::int32_t maxRetryCount = config->Settings().blockMaxRetryCount;

  bool lifted = false;
  bool refusing = false;
  bool wasRefusing = false;
  {
    CsLock guard(guardLock_);
    wasRefusing = blocked_ && blockAttempts_ > maxRetryCount;
    if (blocked_ && maxTime > 0 && static_cast<double>(now - blockStart_) > static_cast<double>(maxTime)) {
      TLOG(0, "Web filter - max block time reached, try restart service and lift the block");
      blocked_ = false;
      blockAttempts_ = 0;
      lifted = true;
    }
    refusing = blocked_ && blockAttempts_ > maxRetryCount;
  }
  // Outside the guard's lock: the reset takes the implementation's own locks.
  if (lifted) {
    if (wasRefusing) EventLog::Instance().Report(TALVERIN_EVENT_FAULT_BLOCK_LIFTED);
    if (std::shared_ptr<IFilterImplementation> implementation = Implementation()) implementation->Reset(true, 1);
  }
  return refusing;
}

}  // namespace talverin
