// The baseline of the filter benchmark: a web filter that takes the same
// notifications as the real one and lets every one of them go on untouched.
#include <windows.h>
#include <httpfilt.h>

namespace {

// The notification flags of the real filter.
constexpr DWORD kNotifications = 0x0400ECC0;

}  // namespace

extern "C" BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = HTTP_FILTER_REVISION;
  version->dwFlags = kNotifications;
  return TRUE;
}

extern "C" DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT*, DWORD, void*) { return SF_STATUS_REQ_NEXT_NOTIFICATION; }

extern "C" BOOL WINAPI TerminateFilter(DWORD) { return TRUE; }
