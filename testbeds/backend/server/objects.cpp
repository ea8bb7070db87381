#include "objects.h"

#include <cstdint>
#include <memory>

#include "backend.h"
#include "call_counts.h"
#include "content.h"
#include "dispatch_object.h"
#include "faults.h"
#include "module.h"

namespace backend {

namespace {

using talverin::ComPtr;

class Session : public DispatchObject {
 private:
  // Declared before use: their return types are deduced.
  template <class F>
  auto Locked(F f) {
    Backend::Instance().TouchSession(*data_);
    std::lock_guard<std::mutex> lock(data_->mutex);
    return f(*data_);
  }

  void AddText(const wchar_t* name, std::wstring SessionData::*field) {
    AddMember({name, kGet | kPut, 0, 0, ResultType::Text,
               [this, field](const Args&, VARIANT* r) { SetText(r, Locked([field](SessionData& d) { return d.*field; })); },
               [this, field](const Args& a) {
                 std::wstring value = a.Text(0);
                 Locked([&](SessionData& d) {
                   (d.*field).swap(value);
                   return 0;
                 });
               }});
  }

  void AddInt(const wchar_t* name, long SessionData::*field) {
    AddMember({name, kGet | kPut, 0, 0, ResultType::Int,
               [this, field](const Args&, VARIANT* r) { SetInt(r, Locked([field](SessionData& d) { return d.*field; })); },
               [this, field](const Args& a) {
                 const long value = a.Int(0);
                 Locked([&](SessionData& d) { return d.*field = value; });
               }});
  }

 public:
  explicit Session(std::shared_ptr<SessionData> data) : DispatchObject(L"Session"), data_(std::move(data)) {
    AddText(L"Url", &SessionData::url);
    AddText(L"FbaCookieDomain", &SessionData::fbaCookieDomain);
    AddText(L"Username", &SessionData::username);
    AddText(L"Password", &SessionData::password);
    AddText(L"Token", &SessionData::token);
    AddInt(L"State", &SessionData::state);
    AddInt(L"CheckAuthenticationAllowedResult", &SessionData::checkResult);
    AddMember({L"BypassTalverinAuthentication", kGet | kPut, 0, 0, ResultType::Bool,
               [this](const Args&, VARIANT* r) { SetBool(r, Locked([](SessionData& d) { return d.bypass; })); },
               [this](const Args& a) {
                 const bool value = a.Bool(0);
                 Locked([value](SessionData& d) { return d.bypass = value; });
               }});
  }

 private:
  std::shared_ptr<SessionData> data_;
};

class SessionStore : public DispatchObject {
 public:
  SessionStore() : DispatchObject(L"SessionStore") {
    AddMember({L"CreateSession", kMethod, 1, 1, ResultType::Object, [](const Args& a, VARIANT* r) {
                 SetObject(r, MakeObject<Session>(Backend::Instance().CreateSession(a.Text(0))));
               }});
    AddMember({L"GetSession", kMethod, 1, 1, ResultType::Object, [](const Args& a, VARIANT* r) {
                 if (auto data = Backend::Instance().GetSession(a.Text(0))) SetObject(r, MakeObject<Session>(data));
               }});
  }
};

class PasscodeStatusEx : public DispatchObject {
 public:
  explicit PasscodeStatusEx(PasscodeStatus status) : DispatchObject(L"PasscodeStatusEx"), status_(status) {
    AddMember({L"Status", kMethod | kGet, 0, 0, ResultType::Int,
               [this](const Args&, VARIANT* r) { SetInt(r, status_.status); }});
    AddMember({L"QueuePosition", kMethod | kGet, 0, 0, ResultType::Int,
               [this](const Args&, VARIANT* r) { SetInt(r, status_.queuePosition); }});
    AddMember({L"ExpireTicks", kMethod | kGet, 0, 0, ResultType::Int,
               [this](const Args&, VARIANT* r) { SetInt(r, status_.expireTicks); }});
  }

 private:
  PasscodeStatus status_;
};

class AuthenticationProxy : public DispatchObject {
 public:
  AuthenticationProxy() : DispatchObject(L"AuthenticationProxy") {
    AddMember({L"RequestPasscode", kMethod, 1, 1, ResultType::Text,
               [](const Args& a, VARIANT* r) { SetText(r, Backend::Instance().RequestPasscode(a.Text(0))); }});
    AddMember({L"Authenticate", kMethod, 2, 2, ResultType::Bool, [](const Args& a, VARIANT* r) {
                 SetBool(r, Backend::Instance().Authenticate(a.Text(0), a.Text(1)));
               }});
    AddMember({L"CheckAuthenticationAllowed", kMethod, 2, 2, ResultType::Int, [](const Args& a, VARIANT* r) {
                 SetInt(r, Backend::Instance().CheckAuthenticationAllowed(a.Text(0), a.Text(1)));
               }});
    AddMember({L"ReportPasswordAuthenticationStatus", kMethod, 2, 2, ResultType::None,
               [](const Args& a, VARIANT*) {
                 Backend::Instance().ReportPasswordAuthenticationStatus(a.Text(0), a.Bool(1));
               }});
    AddMember({L"GetStatus", kMethod, 1, 1, ResultType::Object, [](const Args& a, VARIANT* r) {
                 if (auto status = Backend::Instance().GetStatus(a.Text(0))) {
                   SetObject(r, MakeObject<PasscodeStatusEx>(*status));
                 }
               }});
  }
};

class HtmlServer : public DispatchObject {
 public:
  HtmlServer() : DispatchObject(L"HtmlServer") {
    AddMember({L"RenderHtmlPage", kMethod, 1, 2, ResultType::Text, [](const Args& a, VARIANT* r) {
                 const std::wstring name = a.Text(0);
                 auto page = RenderPage(name, a.size() > 1 ? a.Text(1) : std::wstring());
                 if (!page) throw BackendError{L"no page named '" + name + L"'"};
                 SetText(r, *page);
               }});
    AddMember({L"RenderPicture", kMethod, 1, 1, ResultType::Bytes, [](const Args& a, VARIANT* r) {
                 const std::wstring name = a.Text(0);
                 auto picture = FindPicture(name);
                 if (!picture) throw BackendError{L"no picture named '" + name + L"'"};
                 SetBytes(r, picture->first, picture->second);
               }});
  }
};

// The liveness probe reads only the low 16 bits of the answer; an in-process
// object whose address ends in sixteen zero bits would read as "not alive".
// Such an address is rare but possible, so take another object instead.
ComPtr<IDispatch> MakeProbeSafeHtmlServer() {
  ComPtr<IDispatch> server = MakeObject<HtmlServer>();
  while ((reinterpret_cast<uintptr_t>(server.Get()) & 0xFFFF) == 0) {
    ComPtr<IDispatch> other = MakeObject<HtmlServer>();
    server = other;  // the earlier one goes only after the new one exists, so the address differs
  }
  return server;
}

class ConnectionMaster : public DispatchObject {
 public:
  ConnectionMaster() : DispatchObject(L"ConnectionMaster") {
    AddMember({L"Store", kGet, 0, 0, ResultType::Object,
               [](const Args&, VARIANT* r) { SetObject(r, MakeObject<SessionStore>()); }});
    AddMember({L"Proxy", kGet, 0, 0, ResultType::Object,
               [](const Args&, VARIANT* r) { SetObject(r, MakeObject<AuthenticationProxy>()); }});
    // Also answers as a method: clients call it that way to see whether the service is alive.
    AddMember({L"Server", kGet | kMethod, 0, 0, ResultType::Object,
               [](const Args&, VARIANT* r) { SetObject(r, MakeProbeSafeHtmlServer()); }});

    AddMember({L"InjectFault", kMethod, 3, 4, ResultType::None, [](const Args& a, VARIANT*) {
                 const std::wstring kindName = a.Text(1);
                 auto kind = ParseFaultKind(kindName);
                 if (!kind) throw BackendError{L"unknown fault kind '" + kindName + L"'"};
                 try {
                   Faults().Inject(a.Text(0), *kind, a.Text(2), a.size() > 3 ? a.Int(3) : 0);
                 } catch (const std::invalid_argument&) {
                   throw BackendError{L"fault '" + kindName + L"' needs a number, not '" + a.Text(2) + L"'"};
                 }
               }});
    AddMember({L"ClearFaults", kMethod, 0, 0, ResultType::None, [](const Args&, VARIANT*) { Faults().Clear(); }});
    // Every lookup and invocation since the last ClearCallCounts, one line
    // per member and kind: "Session.State get 6".
    AddMember({L"CallCounts", kMethod, 0, 0, ResultType::Text,
               [](const Args&, VARIANT* r) { SetText(r, Counts().Text()); }});
    AddMember({L"ClearCallCounts", kMethod, 0, 0, ResultType::None, [](const Args&, VARIANT*) { Counts().Clear(); }});
    AddMember({L"SetOption", kMethod, 2, 2, ResultType::None,
               [](const Args& a, VARIANT*) { Backend::Instance().SetOption(a.Text(0), a.Text(1)); }});
    AddMember({L"Shutdown", kMethod, 0, 0, ResultType::Bool,
               [](const Args&, VARIANT* r) { SetBool(r, RequestShutdown()); }});
    AddMember({L"ProcessId", kMethod | kGet, 0, 0, ResultType::Int,
               [](const Args&, VARIANT* r) { SetInt(r, static_cast<long>(GetCurrentProcessId())); }});
  }
};

class Factory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *object = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      ComPtr<IDispatch> master = CreateConnectionMaster();
      return master->QueryInterface(riid, object);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      AddObject();
    } else {
      ReleaseObject();
    }
    return S_OK;
  }
};

}  // namespace

ComPtr<IDispatch> CreateConnectionMaster() { return MakeObject<ConnectionMaster>(); }

IClassFactory* ConnectionMasterFactory() {
  static Factory factory;
  return &factory;
}

}  // namespace backend
