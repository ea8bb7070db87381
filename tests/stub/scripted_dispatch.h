#pragma once
// An IDispatch object scripted by the test: it answers each member by name with a chosen HRESULT and result, and
// records every call; those not made in LOCALE_USER_DEFAULT with IID_NULL end in " !", and such lookups are refused.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/win.h"
#include "stub/errors.h"

namespace stubtest {

// What one member answers: the HRESULT of Invoke and, when a result is requested, what goes into it.
struct Answer {
  HRESULT hr = S_OK;
  std::function<void(VARIANT*)> fill = [](VARIANT*) {};
};

inline Answer Empty() { return Answer{}; }
inline Answer Failure(HRESULT hr) { return Answer{hr}; }
inline Answer WithHResult(Answer answer, HRESULT hr) { return answer.hr = hr, answer; }
inline Answer Integer(long value) { return {S_OK, [value](VARIANT* v) { v->vt = VT_I4, v->lVal = value; }}; }
inline Answer Short(short value) { return {S_OK, [value](VARIANT* v) { v->vt = VT_I2, v->iVal = value; }}; }
inline Answer Boolean(VARIANT_BOOL b) { return {S_OK, [b](VARIANT* v) { v->vt = VT_BOOL, v->boolVal = b; }}; }
inline Answer NullText() { return {S_OK, [](VARIANT* v) { v->vt = VT_BSTR, v->bstrVal = nullptr; }}; }
inline Answer Text(const std::wstring& text) {
  return {S_OK, [text](VARIANT* v) {
            v->vt = VT_BSTR;
            v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
          }};
}
// One reference per answer, as a server hands out; null allowed.
inline Answer Reference(VARTYPE type, IUnknown* object) {
  return {S_OK, [type, object](VARIANT* v) {
            v->vt = type;
            v->punkVal = object;
            if (object) object->AddRef();
          }};
}
inline Answer Object(IDispatch* object) { return Reference(VT_DISPATCH, object); }
// A SAFEARRAY of one element type: one dimension with the given lower bound, or rows x columns.
template <class T>
Answer Array(VARTYPE type, const std::vector<T>& values, LONG lowerBound = 0, ULONG columns = 0) {
  return {S_OK, [=](VARIANT* v) {
            SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(values.size()), lowerBound}, {columns, 0}};
            v->vt = VT_ARRAY | type;
            v->parray = SafeArrayCreate(type, columns ? 2 : 1, bounds);
            void* data = nullptr;
            SafeArrayAccessData(v->parray, &data);
            if (!columns && !values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(T));
            SafeArrayUnaccessData(v->parray);
          }};
}

class ScriptedDispatch : public IDispatch {
 public:
  static talverin::ComPtr<ScriptedDispatch> Create() {
    return talverin::ComPtr<ScriptedDispatch>::Attach(new ScriptedDispatch());
  }

  // Makes member known to lookups and sets its answer for every call kind.
  void Script(const std::wstring& member, Answer answer) { Locked([&] { EntryOf(member).answer = answer; }); }
  void FailLookup(const std::wstring& member, HRESULT hr) { Locked([&] { EntryOf(member).lookupFailure = hr; }); }
  // New DISPIDs for all, as a back end replaced by one that numbers its members otherwise: the old ones are unknown.
  void Renumber() { Locked([&] { for (auto& entry : members_) entry.second.id = nextId_++; }); }
  // Called inside every Invoke, before the answer (for blocking tests).
  void OnInvoke(std::function<void(const std::wstring& member)> hook) { Locked([&] { hook_ = hook; }); }
  // Each call as "<member> <flags> result|-", " named<id>" for each named DISPID, then " <vt>:<value>" per
  // argument in the order the member receives them; a null text reads "null", a character past ASCII "\\uXXXX".
  std::vector<std::string> Calls() { return Locked([&] { return calls_; }); }
  ULONG References() const { return references_.load(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch)) return E_NOINTERFACE;
    *object = static_cast<IDispatch*>(this);
    return AddRef(), S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override { return *info = nullptr, E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override {
    if (!Stray(riid, locale, count).empty()) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = members_.find(names[0]);
    ids[0] = DISPID_UNKNOWN;
    if (found == members_.end()) return DISP_E_UNKNOWNNAME;
    if (FAILED(found->second.lookupFailure)) return found->second.lookupFailure;
    return ids[0] = found->second.id, S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO*, UINT*) override {
    std::wstring member;
    Answer answer;
    std::function<void(const std::wstring&)> hook;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const auto& entry : members_)
        if (entry.second.id == id) member = entry.first, answer = entry.second.answer;
      std::string call = Narrow(member) + " " + std::to_string(flags) + (result ? " result" : " -");
      for (UINT i = 0; params && i < params->cNamedArgs; ++i)
        call += " named" + std::to_string(params->rgdispidNamedArgs[i]);
      for (UINT i = params ? params->cArgs : 0; i > 0; --i) {
        const VARIANT& v = params->rgvarg[i - 1];
        call += " " + std::to_string(v.vt) + ":";
        if (v.vt == VT_BSTR) call += v.bstrVal ? Narrow(std::wstring(v.bstrVal, SysStringLen(v.bstrVal))) : "null";
        if (v.vt == VT_I4 || v.vt == VT_I2 || v.vt == VT_BOOL)
          call += std::to_string(v.vt == VT_I4 ? v.lVal : v.iVal);
      }
      calls_.push_back(call + Stray(riid, locale, 1));
      hook = hook_;
    }
    if (member.empty()) return DISP_E_MEMBERNOTFOUND;
    if (hook) hook(member);
    if (result != nullptr) answer.fill(result);
    return answer.hr;
  }

 private:
  ScriptedDispatch() = default;
  virtual ~ScriptedDispatch() = default;

  struct Entry {
    DISPID id = 0;
    Answer answer;
    HRESULT lookupFailure = S_OK;
  };
  Entry& EntryOf(const std::wstring& member) {
    Entry& entry = members_[member];
    if (entry.id == 0) entry.id = nextId_++;
    return entry;
  }
  static std::string Narrow(const std::wstring& text) {
    std::string narrow;
    char escaped[8];
    for (wchar_t c : text)
      narrow += c < 0x80 ? std::string(1, static_cast<char>(c))
                         : (std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c)), escaped);
    return narrow;
  }
  static std::string Stray(REFIID riid, LCID locale, UINT count) {
    return IsEqualIID(riid, IID_NULL) && locale == LOCALE_USER_DEFAULT && count == 1 ? "" : " !";
  }
  template <class F>
  auto Locked(F f) -> decltype(f()) {
    std::lock_guard<std::mutex> guard(mutex_);
    return f();
  }

  std::atomic<ULONG> references_{1};
  std::mutex mutex_;
  std::map<std::wstring, Entry> members_;
  std::vector<std::string> calls_;
  std::function<void(const std::wstring&)> hook_;
  DISPID nextId_ = 100;
};

// What a call did, as one comparable text: "value:...", "raised:<message>"
// (a request that cannot go on), or "hrxex:0x<hr>" for a failed back-end call,
// followed by "/<category>" when the failure is not the back end's.
inline std::string Outcome(const std::function<std::string()>& call) {
  try {
    return "value:" + call();
  } catch (const talverin::Error& e) {
    const bool request = e.category == talverin::ErrorCategory::Request;
    const std::string category = e.category == talverin::ErrorCategory::BackEnd ? "" : request ? "/request" : "/other";
    if (!e.fromHResult) return (request ? "raised:" : "other:") + std::string(e.what());
    char text[32];
    std::snprintf(text, sizeof text, "hrxex:0x%08lX", static_cast<unsigned long>(e.hr));
    return text + category;
  }
}

}  // namespace stubtest
