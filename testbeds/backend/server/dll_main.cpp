// The in-process host: COM loads this DLL into the client and asks it for the
// root object's class factory.
#include <windows.h>
#include <objbase.h>

#include "module.h"
#include "objects.h"

extern "C" HRESULT __stdcall DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, backend::CLSID_BackendInProc)) return CLASS_E_CLASSNOTAVAILABLE;
  backend::SetHost(backend::Host::InProc);
  return backend::ConnectionMasterFactory()->QueryInterface(riid, object);
}

extern "C" HRESULT __stdcall DllCanUnloadNow() { return backend::LiveObjects() == 0 ? S_OK : S_FALSE; }
