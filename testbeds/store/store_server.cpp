// In-process COM server standing in for the ISA/TMG administration objects.
// Every interface is declared here on its own, slot by slot, and does not
// share the filter's declarations: a slot the filter gets wrong then calls
// an E_NOTIMPL placeholder here instead of the intended operation.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>

#include "store_model.h"

namespace storebed {
namespace {

// {6EB6B56F-AC96-4B2F-9DD6-678ECAD5789D}
const CLSID kClsidRoot = {0x6EB6B56F, 0xAC96, 0x4B2F, {0x9D, 0xD6, 0x67, 0x8E, 0xCA, 0xD5, 0x78, 0x9D}};
// {77C180DA-AF0D-4314-8FA7-BA0C5B8C9E94}
const IID kIidRoot = {0x77C180DA, 0xAF0D, 0x4314, {0x8F, 0xA7, 0xBA, 0x0C, 0x5B, 0x8C, 0x9E, 0x94}};
// {F5537DFF-D3F2-41BA-A86A-75CEAB173151}
const IID kIidProperties = {0xF5537DFF, 0xD3F2, 0x41BA, {0xA8, 0x6A, 0x75, 0xCE, 0xAB, 0x17, 0x31, 0x51}};

HMODULE g_module = nullptr;

std::string ModuleDirectory() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(g_module, path, MAX_PATH);
  std::string text = path;
  return text.substr(0, text.rfind('\\') + 1);
}

std::string EnvironmentValue(const char* name) {
  char buffer[4096] = {};
  DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) return std::string();
  return std::string(buffer, length);
}

void Report(const std::string& message) {
  std::fprintf(stderr, "store test bed: %s\n", message.c_str());
  std::fflush(stderr);
  OutputDebugStringA(("store test bed: " + message + "\n").c_str());
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return true;
}

BSTR MakeBstr(const std::string& utf8) {
  int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  BSTR text = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (text && length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text, length);
  return text;
}

std::string Utf8(const wchar_t* text, UINT length) {
  if (text == nullptr || length == 0) return std::string();
  int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], size, nullptr, nullptr);
  return out;
}
std::string Utf8(BSTR text) { return Utf8(text, text ? SysStringLen(text) : 0); }

// Everything one root object sees: the parsed configuration (changed in
// memory by "add set") and the fault lists.
struct State {
  StoreConfig config;
  Faults environmentFaults;
  std::string filtersPath;

  // The answer injected for a step, S_OK when none. A listener's own faults
  // come first, then the environment's, then the file's.
  HRESULT Fault(const char* step, const Listener* listener = nullptr) const {
    if (listener) {
      auto it = listener->faults.find(step);
      if (it != listener->faults.end()) return it->second;
    }
    auto env = environmentFaults.find(step);
    if (env != environmentFaults.end()) return env->second;
    auto file = config.faults.find(step);
    if (file != config.faults.end()) return file->second;
    return S_OK;
  }
};
using StatePtr = std::shared_ptr<State>;

#define STOREBED_UNUSED(n) \
  virtual HRESULT STDMETHODCALLTYPE Unused##n() { return E_NOTIMPL; }

// IUnknown and IDispatch for every object; no virtual destructor, which would
// take function-table slots of its own.
template <class Derived>
class DispatchObject : public IDispatch {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        static_cast<Derived*>(this)->Provides(riid)) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) delete static_cast<Derived*>(this);
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  bool Provides(REFIID) const { return false; }

 protected:
  std::atomic<ULONG> refs_{1};
};

// Hands a new object (reference count 1) to an out-parameter.
template <class T, class Out>
void Hand(T* object, Out** out) {
  *out = object;
}

// A step's injected answer: a failure is answered instead of the work; a
// success code (S_FALSE and the like) after the work.
#define STOREBED_STEP(out, fault)  \
  if (out) *(out) = nullptr;       \
  const HRESULT injected = (fault); \
  if (FAILED(injected)) return injected

class VendorSetObject : public DispatchObject<VendorSetObject> {
 public:
  VendorSetObject(StatePtr state, std::size_t listener, std::size_t set)
      : state_(std::move(state)), listener_(listener), set_(set) {}
  // 7
  virtual HRESULT STDMETHODCALLTYPE get_Value(BSTR name, VARIANT* value) {
    if (value == nullptr) return E_POINTER;
    VariantInit(value);
    const Listener& listener = state_->config.listeners[listener_];
    const HRESULT injected = state_->Fault("set.value", &listener);
    if (FAILED(injected)) return injected;
    const VendorSet& set = listener.sets[set_];
    auto it = set.values.find(Utf8(name));
    if (it == set.values.end()) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    const VendorValue& stored = it->second;
    switch (stored.type) {
      case ValueType::I4: value->vt = VT_I4; value->lVal = stored.number; break;
      case ValueType::Bool: value->vt = VT_BOOL; value->boolVal = static_cast<VARIANT_BOOL>(stored.number); break;
      case ValueType::Bstr: value->vt = VT_BSTR; value->bstrVal = MakeBstr(stored.text); break;
      case ValueType::Empty: break;
    }
    return stored.result != 0 ? stored.result : injected;
  }

 private:
  StatePtr state_;
  std::size_t listener_, set_;
};

class VendorSetsObject : public DispatchObject<VendorSetsObject> {
 public:
  VendorSetsObject(StatePtr state, std::size_t listener) : state_(std::move(state)), listener_(listener) {}
  // 7
  virtual HRESULT STDMETHODCALLTYPE Item(VARIANT name, VendorSetObject** set) {
    Listener& listener = state_->config.listeners[listener_];
    STOREBED_STEP(set, state_->Fault("sets.item", &listener));
    if (name.vt != VT_BSTR) return E_INVALIDARG;
    const std::string wanted = Utf8(name.bstrVal);
    for (std::size_t i = 0; i < listener.sets.size(); ++i) {
      if (EqualNoCase(listener.sets[i].name, wanted)) {
        Hand(new VendorSetObject(state_, listener_, i), set);
        return injected;
      }
    }
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  // 12
  virtual HRESULT STDMETHODCALLTYPE Add(BSTR name, long, long, VendorSetObject** set) {
    Listener& listener = state_->config.listeners[listener_];
    STOREBED_STEP(set, state_->Fault("sets.add", &listener));
    VendorSet added;
    added.name = Utf8(name);
    listener.sets.push_back(added);
    Hand(new VendorSetObject(state_, listener_, listener.sets.size() - 1), set);
    return injected;
  }

 private:
  StatePtr state_;
  std::size_t listener_;
};

class CookieDomainsObject : public DispatchObject<CookieDomainsObject> {
 public:
  CookieDomainsObject(StatePtr state, std::size_t listener) : state_(std::move(state)), listener_(listener) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  STOREBED_UNUSED(22) STOREBED_UNUSED(23) STOREBED_UNUSED(24) STOREBED_UNUSED(25)
  // 26
  virtual HRESULT STDMETHODCALLTYPE Item(VARIANT index, BSTR* domain) {
    const Listener& listener = state_->config.listeners[listener_];
    STOREBED_STEP(domain, state_->Fault("cookie-domains.item", &listener));
    if (index.vt != VT_I4 || index.lVal < 1 || static_cast<std::size_t>(index.lVal) > listener.cookieDomains.size()) {
      return E_INVALIDARG;
    }
    *domain = MakeBstr(listener.cookieDomains[static_cast<std::size_t>(index.lVal) - 1]);
    return injected;
  }
  STOREBED_UNUSED(27) STOREBED_UNUSED(28) STOREBED_UNUSED(29)
  // 30
  virtual HRESULT STDMETHODCALLTYPE get_Count(long* count) {
    const Listener& listener = state_->config.listeners[listener_];
    const HRESULT injected = state_->Fault("cookie-domains.count", &listener);
    if (FAILED(injected)) return injected;
    *count = static_cast<long>(listener.cookieDomains.size());
    return injected;
  }

 private:
  StatePtr state_;
  std::size_t listener_;
};

class FbaSettingsObject : public DispatchObject<FbaSettingsObject> {
 public:
  FbaSettingsObject(StatePtr state, std::size_t listener) : state_(std::move(state)), listener_(listener) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20)
  // 21
  virtual HRESULT STDMETHODCALLTYPE get_CookieName(BSTR* name) {
    const Listener& listener = state_->config.listeners[listener_];
    STOREBED_STEP(name, state_->Fault("fba.cookie-name", &listener));
    *name = MakeBstr(listener.cookieName);
    return injected;
  }

 private:
  StatePtr state_;
  std::size_t listener_;
};

class PropertiesObject : public DispatchObject<PropertiesObject> {
 public:
  PropertiesObject(StatePtr state, std::size_t listener) : state_(std::move(state)), listener_(listener) {}
  bool Provides(REFIID riid) const {
    return IsEqualIID(riid, kIidProperties) &&
           SUCCEEDED(state_->Fault("properties.query-interface", &state_->config.listeners[listener_]));
  }
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  STOREBED_UNUSED(22) STOREBED_UNUSED(23) STOREBED_UNUSED(24) STOREBED_UNUSED(25) STOREBED_UNUSED(26)
  STOREBED_UNUSED(27) STOREBED_UNUSED(28) STOREBED_UNUSED(29) STOREBED_UNUSED(30) STOREBED_UNUSED(31)
  STOREBED_UNUSED(32) STOREBED_UNUSED(33) STOREBED_UNUSED(34) STOREBED_UNUSED(35) STOREBED_UNUSED(36)
  STOREBED_UNUSED(37) STOREBED_UNUSED(38) STOREBED_UNUSED(39) STOREBED_UNUSED(40) STOREBED_UNUSED(41)
  STOREBED_UNUSED(42) STOREBED_UNUSED(43) STOREBED_UNUSED(44)
  // 45. The flag is written even when a failure is injected: a store that
  // answers garbage along with an error is what the reader must survive.
  virtual HRESULT STDMETHODCALLTYPE get_CookieDomainListInUse(VARIANT_BOOL* inUse) {
    const Listener& listener = state_->config.listeners[listener_];
    *inUse = listener.cookieDomainsInUse ? VARIANT_TRUE : VARIANT_FALSE;
    return state_->Fault("properties.cookie-domains-in-use", &listener);
  }
  STOREBED_UNUSED(46)
  // 47
  virtual HRESULT STDMETHODCALLTYPE get_CookieDomains(CookieDomainsObject** domains) {
    STOREBED_STEP(domains, state_->Fault("properties.cookie-domains", &state_->config.listeners[listener_]));
    Hand(new CookieDomainsObject(state_, listener_), domains);
    return injected;
  }
  // 48
  virtual HRESULT STDMETHODCALLTYPE get_FormsBasedAuthenticationSettings(FbaSettingsObject** settings) {
    STOREBED_STEP(settings, state_->Fault("properties.fba-settings", &state_->config.listeners[listener_]));
    Hand(new FbaSettingsObject(state_, listener_), settings);
    return injected;
  }

 private:
  StatePtr state_;
  std::size_t listener_;
};

class WebListenerObject : public DispatchObject<WebListenerObject> {
 public:
  WebListenerObject(StatePtr state, std::size_t listener) : state_(std::move(state)), listener_(listener) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14)
  // 15
  virtual HRESULT STDMETHODCALLTYPE get_PersistentName(BSTR* name) {
    STOREBED_STEP(name, state_->Fault("listener.persistent-name", &Me()));
    *name = MakeBstr(Me().persistentName);
    return injected;
  }
  // 16
  virtual HRESULT STDMETHODCALLTYPE get_VendorParametersSets(VendorSetsObject** sets) {
    STOREBED_STEP(sets, state_->Fault("listener.vendor-sets", &Me()));
    Hand(new VendorSetsObject(state_, listener_), sets);
    return injected;
  }
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  // 22
  virtual HRESULT STDMETHODCALLTYPE get_Properties(IDispatch** properties) {
    STOREBED_STEP(properties, state_->Fault("listener.properties", &Me()));
    Hand(new PropertiesObject(state_, listener_), properties);
    return injected;
  }
  STOREBED_UNUSED(23) STOREBED_UNUSED(24)
  // 25
  virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) {
    STOREBED_STEP(name, state_->Fault("listener.name", &Me()));
    *name = MakeBstr(Me().name);
    return injected;
  }

 private:
  const Listener& Me() const { return state_->config.listeners[listener_]; }
  StatePtr state_;
  std::size_t listener_;
};

class WebListenersObject : public DispatchObject<WebListenersObject> {
 public:
  explicit WebListenersObject(StatePtr state) : state_(std::move(state)) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  // 22
  virtual HRESULT STDMETHODCALLTYPE Item(VARIANT index, WebListenerObject** listener) {
    if (listener) *listener = nullptr;
    if (index.vt != VT_I4 || index.lVal < 1 ||
        static_cast<std::size_t>(index.lVal) > state_->config.listeners.size()) {
      return E_INVALIDARG;
    }
    const std::size_t at = static_cast<std::size_t>(index.lVal) - 1;
    const HRESULT injected = state_->Fault("web-listeners.item", &state_->config.listeners[at]);
    if (FAILED(injected)) return injected;
    Hand(new WebListenerObject(state_, at), listener);
    return injected;
  }
  // 23
  virtual HRESULT STDMETHODCALLTYPE get_Count(long* count) {
    const HRESULT injected = state_->Fault("web-listeners.count");
    if (FAILED(injected)) return injected;
    *count = static_cast<long>(state_->config.listeners.size());
    return injected;
  }

 private:
  StatePtr state_;
};

class RuleElementsObject : public DispatchObject<RuleElementsObject> {
 public:
  explicit RuleElementsObject(StatePtr state) : state_(std::move(state)) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  STOREBED_UNUSED(22) STOREBED_UNUSED(23) STOREBED_UNUSED(24) STOREBED_UNUSED(25) STOREBED_UNUSED(26)
  STOREBED_UNUSED(27) STOREBED_UNUSED(28) STOREBED_UNUSED(29) STOREBED_UNUSED(30)
  // 31
  virtual HRESULT STDMETHODCALLTYPE get_WebListeners(WebListenersObject** listeners) {
    STOREBED_STEP(listeners, state_->Fault("rule-elements.web-listeners"));
    Hand(new WebListenersObject(state_), listeners);
    return injected;
  }

 private:
  StatePtr state_;
};

// One web filter of the collection; its properties go straight into the
// collection's record.
class WebFilterObject : public DispatchObject<WebFilterObject> {
 public:
  WebFilterObject(StatePtr state, std::shared_ptr<WebFilter> filter)
      : state_(std::move(state)), filter_(std::move(filter)) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  STOREBED_UNUSED(22) STOREBED_UNUSED(23) STOREBED_UNUSED(24)
  // 25
  virtual HRESULT STDMETHODCALLTYPE put_Version(BSTR text) { return Put("web-filter.version", filter_->version, text); }
  STOREBED_UNUSED(26)
  // 27
  virtual HRESULT STDMETHODCALLTYPE put_Vendor(BSTR text) { return Put("web-filter.vendor", filter_->vendor, text); }
  STOREBED_UNUSED(28)
  // 29
  virtual HRESULT STDMETHODCALLTYPE put_Description(BSTR text) {
    return Put("web-filter.description", filter_->description, text);
  }
  STOREBED_UNUSED(30) STOREBED_UNUSED(31) STOREBED_UNUSED(32) STOREBED_UNUSED(33) STOREBED_UNUSED(34)
  // 35
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL enabled) {
    const HRESULT injected = state_->Fault("web-filter.enabled");
    if (FAILED(injected)) return injected;
    filter_->enabled = enabled == VARIANT_TRUE;
    return injected;
  }

 private:
  HRESULT Put(const char* step, std::string& field, BSTR text) {
    const HRESULT injected = state_->Fault(step);
    if (FAILED(injected)) return injected;
    field = Utf8(text);
    return injected;
  }
  StatePtr state_;
  std::shared_ptr<WebFilter> filter_;
};

class WebFiltersObject : public DispatchObject<WebFiltersObject> {
 public:
  WebFiltersObject(StatePtr state, std::vector<WebFilter> saved) : state_(std::move(state)) {
    for (WebFilter& filter : saved) filters_.push_back(std::make_shared<WebFilter>(std::move(filter)));
  }
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12)
  // 13
  virtual HRESULT STDMETHODCALLTYPE Save(VARIANT_BOOL, VARIANT_BOOL) {
    const HRESULT injected = state_->Fault("web-filters.save");
    if (FAILED(injected)) return injected;
    std::vector<WebFilter> all;
    for (const auto& filter : filters_) all.push_back(*filter);
    std::ofstream out(state_->filtersPath, std::ios::binary | std::ios::trunc);
    out << FormatWebFilters(all);
    if (!out) {
      Report("cannot write " + state_->filtersPath);
      return E_FAIL;
    }
    return injected;
  }
  STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16) STOREBED_UNUSED(17) STOREBED_UNUSED(18)
  STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21) STOREBED_UNUSED(22) STOREBED_UNUSED(23)
  STOREBED_UNUSED(24)
  // 25
  virtual HRESULT STDMETHODCALLTYPE Add(BSTR guid, BSTR name, BSTR dllPath, long arg1, long arg2,
                                        WebFilterObject** webFilter) {
    STOREBED_STEP(webFilter, state_->Fault("web-filters.add"));
    const std::string wanted = Utf8(guid);
    for (const auto& filter : filters_) {
      if (EqualNoCase(filter->guid, wanted)) return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    }
    auto filter = std::make_shared<WebFilter>();
    filter->guid = wanted;
    filter->name = Utf8(name);
    filter->dllPath = Utf8(dllPath);
    filter->arg1 = arg1;
    filter->arg2 = arg2;
    filters_.push_back(filter);
    Hand(new WebFilterObject(state_, filter), webFilter);
    return injected;
  }
  // 26
  virtual HRESULT STDMETHODCALLTYPE Remove(VARIANT guid) {
    const HRESULT injected = state_->Fault("web-filters.remove");
    if (FAILED(injected)) return injected;
    if (guid.vt != VT_BSTR) return E_INVALIDARG;
    const std::string wanted = Utf8(guid.bstrVal);
    for (auto it = filters_.begin(); it != filters_.end(); ++it) {
      if (EqualNoCase((*it)->guid, wanted)) {
        filters_.erase(it);
        return injected;
      }
    }
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }

 private:
  StatePtr state_;
  std::vector<std::shared_ptr<WebFilter>> filters_;
};

class ExtensionsObject : public DispatchObject<ExtensionsObject> {
 public:
  explicit ExtensionsObject(StatePtr state) : state_(std::move(state)) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  STOREBED_UNUSED(22)
  // 23
  virtual HRESULT STDMETHODCALLTYPE get_WebFilters(WebFiltersObject** webFilters) {
    STOREBED_STEP(webFilters, state_->Fault("extensions.web-filters"));
    std::vector<WebFilter> saved;
    std::string text;
    if (ReadWholeFile(state_->filtersPath, text)) {
      try {
        saved = ParseWebFilters(text, state_->filtersPath);
      } catch (const ConfigError& error) {
        Report(error.what());
        return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
      }
    }
    Hand(new WebFiltersObject(state_, std::move(saved)), webFilters);
    return injected;
  }

 private:
  StatePtr state_;
};

class ArrayObject : public DispatchObject<ArrayObject> {
 public:
  explicit ArrayObject(StatePtr state) : state_(std::move(state)) {}
  STOREBED_UNUSED(7) STOREBED_UNUSED(8) STOREBED_UNUSED(9) STOREBED_UNUSED(10) STOREBED_UNUSED(11)
  STOREBED_UNUSED(12) STOREBED_UNUSED(13) STOREBED_UNUSED(14) STOREBED_UNUSED(15) STOREBED_UNUSED(16)
  STOREBED_UNUSED(17) STOREBED_UNUSED(18) STOREBED_UNUSED(19) STOREBED_UNUSED(20) STOREBED_UNUSED(21)
  STOREBED_UNUSED(22) STOREBED_UNUSED(23) STOREBED_UNUSED(24) STOREBED_UNUSED(25) STOREBED_UNUSED(26)
  STOREBED_UNUSED(27) STOREBED_UNUSED(28) STOREBED_UNUSED(29) STOREBED_UNUSED(30) STOREBED_UNUSED(31)
  STOREBED_UNUSED(32) STOREBED_UNUSED(33) STOREBED_UNUSED(34) STOREBED_UNUSED(35) STOREBED_UNUSED(36)
  // 37
  virtual HRESULT STDMETHODCALLTYPE get_RuleElements(RuleElementsObject** ruleElements) {
    STOREBED_STEP(ruleElements, state_->Fault("array.rule-elements"));
    Hand(new RuleElementsObject(state_), ruleElements);
    return injected;
  }
  STOREBED_UNUSED(38) STOREBED_UNUSED(39) STOREBED_UNUSED(40)
  // 41
  virtual HRESULT STDMETHODCALLTYPE get_Extensions(ExtensionsObject** extensions) {
    STOREBED_STEP(extensions, state_->Fault("array.extensions"));
    Hand(new ExtensionsObject(state_), extensions);
    return injected;
  }

 private:
  StatePtr state_;
};

class RootObject : public DispatchObject<RootObject> {
 public:
  explicit RootObject(StatePtr state) : state_(std::move(state)) {}
  bool Provides(REFIID riid) const { return IsEqualIID(riid, kIidRoot); }
  STOREBED_UNUSED(7)
  // 8
  virtual HRESULT STDMETHODCALLTYPE GetContainingArray(ArrayObject** array) {
    STOREBED_STEP(array, state_->Fault("root.containing-array"));
    Hand(new ArrayObject(state_), array);
    return injected;
  }

 private:
  StatePtr state_;
};

// Reads the configuration for a new root object.
HRESULT LoadState(StatePtr& state) {
  state = std::make_shared<State>();
  try {
    std::string path = EnvironmentValue("TALVERIN_STORE_CONFIG");
    const bool chosen = !path.empty();
    if (!chosen) path = ModuleDirectory() + "fpc_store.conf";
    std::string text;
    if (ReadWholeFile(path, text)) {
      state->config = ParseConfig(text, path);
    } else if (chosen) {
      throw ConfigError(path + ": cannot be read");
    }
    state->environmentFaults = ParseFaultList(EnvironmentValue("TALVERIN_STORE_FAULTS"), "TALVERIN_STORE_FAULTS");
  } catch (const ConfigError& error) {
    Report(error.what());
    return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  }
  state->filtersPath = EnvironmentValue("TALVERIN_STORE_FILTERS");
  if (state->filtersPath.empty()) state->filtersPath = ModuleDirectory() + "fpc_store_filters.txt";
  return S_OK;
}

class ClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
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
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    StatePtr state;
    HRESULT hr = LoadState(state);
    if (FAILED(hr)) return hr;
    const HRESULT injected = state->Fault("root.create");
    if (FAILED(injected)) return injected;
    RootObject* root = new RootObject(state);
    hr = root->QueryInterface(riid, object);
    root->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

ClassFactory g_factory;

}  // namespace
}  // namespace storebed

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) storebed::g_module = instance;
  return TRUE;
}

HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualCLSID(clsid, storebed::kClsidRoot)) return CLASS_E_CLASSNOTAVAILABLE;
  return storebed::g_factory.QueryInterface(riid, object);
}

// The configuration is read again for every root object, so staying loaded
// costs nothing and spares the objects' lifetime questions.
HRESULT WINAPI DllCanUnloadNow() { return S_FALSE; }
}
