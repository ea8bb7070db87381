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
  return CoCreateInstance(clsid, nullptr, kAnyServerContext, IID_IDispatch, HeldDispatch().PutVoid());
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
