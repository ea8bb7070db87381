// Placeholder exports: replaced by the filter's entry points.
#include <windows.h>
#include <httpfilt.h>

extern "C" {
BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION*) { return FALSE; }
DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT*, DWORD, LPVOID) { return SF_STATUS_REQ_FINISHED; }
BOOL WINAPI TerminateFilter(DWORD) { return TRUE; }
BOOL WINAPI GetWPXFilterVersion(HTTP_FILTER_VERSION*) { return FALSE; }
DWORD WINAPI HttpWPXFilterProc(void*, DWORD, void*) { SetLastError(0); return 0; }
BOOL WINAPI ReloadWPXFilterConfiguration() { return FALSE; }
HRESULT WINAPI DllRegisterServer() { return E_NOTIMPL; }
HRESULT WINAPI DllUnregisterServer() { return E_NOTIMPL; }
}
