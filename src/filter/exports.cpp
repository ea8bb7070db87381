// The module's entry points: each forwards to the one process-wide CFilter.
#include <windows.h>
#include <httpfilt.h>

#include <memory>

#include "auth/anonymous_logon_filter_implementation.h"
#include "config/web_listener_reader.h"
#include "filter/fault_guard.h"
#include "filter/filter.h"
#include "registration/web_filter_registration.h"

namespace {

std::shared_ptr<IFilterImplementation> CreateAnonymousLogon() {
  return std::make_shared<CAnonymousLogonFilterImplementation>();
}

void ReadListenersFromStore(talverin::CFilter&, talverin::WebListenerMap& map) { talverin::ReadWebListeners(map); }

talverin::CFilter g_filter(CreateAnonymousLogon, ReadListenersFromStore);

}  // namespace

extern "C" {

BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) { return g_filter.GetFilterVersion(version); }

DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, LPVOID notification) {
  return talverin::GuardedDispatch(g_filter, pfc, notificationType, notification);
}

BOOL WINAPI TerminateFilter(DWORD) { return g_filter.TerminateFilter(); }

BOOL WINAPI GetWPXFilterVersion(HTTP_FILTER_VERSION* version) { return g_filter.GetWPXFilterVersion(version); }

// The web-proxy extension's notifications carry nothing this filter handles.
DWORD WINAPI HttpWPXFilterProc(void*, DWORD, void*) {
  SetLastError(0);
  return 0;
}

BOOL WINAPI ReloadWPXFilterConfiguration() { return g_filter.ReloadConfiguration(); }

HRESULT WINAPI DllRegisterServer() { return talverin::RegisterFilter(); }
HRESULT WINAPI DllUnregisterServer() { return talverin::UnregisterFilter(); }

}  // extern "C"
