#pragma once
// HttpFilterProc's body: CFilter's dispatch under the machine-fault guard.
#include <windows.h>
#include <httpfilt.h>

namespace talverin {

class CFilter;

// A machine fault anywhere inside dispatch, or a C++ exception escaping it, is
// logged with a crash dump, counted by the fault guard and answered with
// SF_STATUS_REQ_FINISHED; the process goes on serving.
DWORD GuardedDispatch(CFilter& filter, HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification);

}  // namespace talverin
