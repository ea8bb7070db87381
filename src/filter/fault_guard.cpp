#include "filter/fault_guard.h"

#include <cstdio>
#include <string>

#include "diag/event_log.h"
#include "filter/crash_dump.h"
#include "filter/filter.h"
#include "filter/seh_guard.h"

namespace talverin {
namespace {

struct DispatchCall {
  CFilter* filter;
  HTTP_FILTER_CONTEXT* pfc;
  DWORD notificationType;
  void* notification;
};

// No C++ exception may cross the C guard's frame: its unwinding would skip the
// guard's own bookkeeping. One that escapes dispatch is handed back as a flag.
DWORD DispatchBody(void* argument, int* escaped) {
  auto* call = static_cast<DispatchCall*>(argument);
  try {
    return call->filter->Dispatch(call->pfc, call->notificationType, call->notification);
  } catch (...) {
    *escaped = 1;
    return SF_STATUS_REQ_FINISHED;
  }
}

void ReportFaultContained(EXCEPTION_POINTERS* info, const std::string& dump) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX",
                static_cast<unsigned long>(info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0));
  EventLog::Instance().Report(TALVERIN_EVENT_FAULT_CONTAINED, {code, dump.empty() ? "none written" : dump});
}

void ContainFault(void* argument, EXCEPTION_POINTERS* info) {
  auto* call = static_cast<DispatchCall*>(argument);
  std::string dump;
  try {
    dump = WriteCrashDump(*call->filter, info);
  } catch (...) {
    // The dump step is best effort; the fault is contained regardless.
  }
  try {
    ReportFaultContained(info, dump);
  } catch (...) {
  }
  try {
    call->filter->RecordFault();
  } catch (...) {
  }
}

}  // namespace

DWORD GuardedDispatch(CFilter& filter, HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification) {
  DispatchCall call{&filter, pfc, notificationType, notification};
  return TalverinRunGuarded(DispatchBody, ContainFault, &call, SF_STATUS_REQ_FINISHED);
}

}  // namespace talverin
