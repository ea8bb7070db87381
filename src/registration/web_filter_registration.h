#pragma once
// Adds the filter to, and removes it from, the web filters of the ISA/TMG
// array's extensions: the work of DllRegisterServer / DllUnregisterServer.
#include <windows.h>

#include "base/win.h"
#include "config/fpc_admin.h"

namespace talverin {

extern const char kWebFilterGuid[];         // "{6E394025-1BC0-4737-B999-31B84BAB6D4C}"
extern const char kWebFilterName[];         // "TALVERIN ISA Filter"
extern const char kWebFilterDllPath[];      // "TALVERIN\TALVERIN.ISA.Filter.dll"
extern const char kWebFilterDescription[];  // "TALVERIN Filter to enable Talverin authentication"
extern const char kWebFilterVendor[];       // "TALVERIN" and 0xAE, in the thread's ANSI code page
extern const char kWebFilterVersion[];      // "4.0"

// Initializes COM (single-threaded apartment) for the call, registers the
// filter and saves the store. An existing registration is left as it is and
// answers S_OK.
HRESULT RegisterFilter();
// The same for the removal; a filter that is not registered answers S_OK.
HRESULT UnregisterFilter();

}  // namespace talverin
