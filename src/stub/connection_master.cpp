#include "stub/connection_master.h"

namespace Stub {

const wchar_t kConnectionMasterProgId[] = L"TALVERIN.ISA.Service.Object.ConnectionMaster";

namespace {

// In-process server and handler, local and remote server.
constexpr DWORD kAnyServerContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kAnyServerContext == 23, "CLSCTX_ALL");

constexpr Member kGetServer = PropertyGet(MemberSlot::MasterServer, L"Server");
constexpr Member kGetStore = PropertyGet(MemberSlot::MasterStore, L"Store");
constexpr Member kGetProxy = PropertyGet(MemberSlot::MasterProxy, L"Proxy");
constexpr Member kProbe = MethodCall(MemberSlot::MasterServer, L"Server");

// Wine's COM runtime (Wine 8, where the filter is tested) gives all proxies of
// one server process a shared proxy of the server's remote IUnknown, frees it
// when the last of them lets go, and can hand it to another thread in that
// moment: a session proxy released at the end of a request then calls through
// freed memory. A proxy that has asked its server for an interface keeps the
// shared one until it is released itself, so the root object, asked once here,
// keeps it for the whole connection. On Windows it is one call at connect; the
// answer does not matter.
void KeepRemoteUnknown(IDispatch* root) {
  talverin::ComPtr<IUnknown> unused;
  (void)root->QueryInterface(IID_ISupportErrorInfo, unused.PutVoid());
}

}  // namespace

HRESULT ConnectionMaster::CreateInstance() {
  talverin::CsLock guard(Lock());
  CLSID clsid = {};
  HRESULT hr = CLSIDFromProgID(kConnectionMasterProgId, &clsid);
  if (FAILED(hr)) return hr;
  // A new root object may be another back end, numbering its members its
  // own way: nothing looked up before is taken over.
  UseDispids(std::make_shared<DispidCache>());
  // A root object left from a connect whose later steps failed is released
  // here rather than leaked.
  hr = CoCreateInstance(clsid, nullptr, kAnyServerContext, IID_IDispatch, HeldDispatch().PutVoid());
  if (SUCCEEDED(hr) && HeldDispatch()) KeepRemoteUnknown(HeldDispatch().Get());
  return hr;
}

std::shared_ptr<HtmlServer> ConnectionMaster::GetServer() {
  return Call(kGetServer, ProxyResult<HtmlServer>{false, Dispids()});
}

std::shared_ptr<SessionStore> ConnectionMaster::GetStore() {
  return Call(kGetStore, ProxyResult<SessionStore>{false, Dispids()});
}

std::shared_ptr<AuthenticationProxy> ConnectionMaster::GetProxy() {
  return Call(kGetProxy, ProxyResult<AuthenticationProxy>{false, Dispids()});
}

bool ConnectionMaster::IsAlive() {
  talverin::CsLock guard(Lock());
  RaiseIfExpired();
  UniqueVariant result;
  const HRESULT hr = Invoke(kProbe, result.Get());
  return hr == S_OK && result->boolVal != 0;
}

void ConnectionMaster::Close() {
  talverin::CsLock guard(Lock());
  // The field is null before the object hears of it.
  talverin::ComPtr<IDispatch> old = std::move(HeldDispatch());
  old.Reset();
}

}  // namespace Stub
