#include "stub/scripted_dispatch.h"

#include <cstring>

namespace stubtest {
namespace {

template <class Set>
Answer Filled(Set set) {
  return Answer{S_OK, set};
}

template <class T>
Answer Array(VARTYPE type, const std::vector<T>& values, LONG lowerBound) {
  return Filled([type, values, lowerBound](VARIANT* v) {
    SAFEARRAYBOUND bound = {static_cast<ULONG>(values.size()), lowerBound};
    v->vt = VT_ARRAY | type;
    v->parray = SafeArrayCreate(type, 1, &bound);
    void* data = nullptr;
    SafeArrayAccessData(v->parray, &data);
    if (!values.empty()) std::memcpy(data, values.data(), values.size() * sizeof(T));
    SafeArrayUnaccessData(v->parray);
  });
}

// One reference per answer, as a server hands out.
Answer Reference(VARTYPE type, IUnknown* object) {
  return Filled([type, object](VARIANT* v) {
    v->vt = type;
    v->punkVal = object;
    if (object) object->AddRef();
  });
}

ReceivedArgument Receive(const VARIANT& v) {
  ReceivedArgument argument;
  argument.vt = v.vt;
  if (v.vt == VT_BSTR) {
    argument.nullText = v.bstrVal == nullptr;
    if (v.bstrVal) argument.text.assign(v.bstrVal, SysStringLen(v.bstrVal));
  }
  if (v.vt == VT_I2 || v.vt == VT_BOOL) argument.number = v.iVal;
  if (v.vt == VT_I4) argument.number = v.lVal;
  return argument;
}

}  // namespace

Answer Empty() { return Answer{S_OK, [](VARIANT*) {}}; }
Answer Failure(HRESULT hr) { return Answer{hr, [](VARIANT*) {}}; }
Answer WithHResult(Answer answer, HRESULT hr) {
  answer.hr = hr;
  return answer;
}
Answer Text(const std::wstring& text) {
  return Filled([text](VARIANT* v) {
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  });
}
Answer NullText() { return Filled([](VARIANT* v) { v->vt = VT_BSTR; v->bstrVal = nullptr; }); }
Answer Integer(long value) { return Filled([value](VARIANT* v) { v->vt = VT_I4; v->lVal = value; }); }
Answer Short(short value) { return Filled([value](VARIANT* v) { v->vt = VT_I2; v->iVal = value; }); }
Answer Boolean(VARIANT_BOOL value) { return Filled([value](VARIANT* v) { v->vt = VT_BOOL; v->boolVal = value; }); }
Answer Object(IDispatch* object) { return Reference(VT_DISPATCH, object); }
Answer Unknown(IUnknown* object) { return Reference(VT_UNKNOWN, object); }
Answer ByteArray(const std::vector<unsigned char>& bytes, LONG lowerBound) { return Array(VT_UI1, bytes, lowerBound); }
Answer ShortArray(const std::vector<short>& values) { return Array(VT_I2, values, 0); }
Answer TwoDimensionalByteArray(ULONG rows, ULONG columns) {
  return Filled([rows, columns](VARIANT* v) {
    SAFEARRAYBOUND bounds[2] = {{rows, 0}, {columns, 0}};
    v->vt = VT_ARRAY | VT_UI1;
    v->parray = SafeArrayCreate(VT_UI1, 2, bounds);
  });
}

talverin::ComPtr<ScriptedDispatch> ScriptedDispatch::Create() {
  return talverin::ComPtr<ScriptedDispatch>::Attach(new ScriptedDispatch());
}

ScriptedDispatch::Entry& ScriptedDispatch::EntryOf(const std::wstring& member) {
  Entry& entry = members_[member];
  if (entry.id == 0) entry.id = nextId_++;
  return entry;
}

void ScriptedDispatch::Script(const std::wstring& member, Answer answer) {
  std::lock_guard<std::mutex> guard(mutex_);
  EntryOf(member).answer = std::move(answer);
}

void ScriptedDispatch::FailLookup(const std::wstring& member, HRESULT hr) {
  std::lock_guard<std::mutex> guard(mutex_);
  EntryOf(member).lookupFailure = hr;
}

void ScriptedDispatch::Renumber() {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto& entry : members_) entry.second.id = nextId_++;
}

void ScriptedDispatch::OnInvoke(std::function<void(const std::wstring&)> hook) {
  std::lock_guard<std::mutex> guard(mutex_);
  hook_ = std::move(hook);
}

std::vector<ReceivedCall> ScriptedDispatch::Calls() {
  std::lock_guard<std::mutex> guard(mutex_);
  return calls_;
}

std::vector<Lookup> ScriptedDispatch::Lookups() {
  std::lock_guard<std::mutex> guard(mutex_);
  return lookups_;
}

void ScriptedDispatch::ForgetTraffic() {
  std::lock_guard<std::mutex> guard(mutex_);
  calls_.clear();
  lookups_.clear();
}

HRESULT ScriptedDispatch::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch)) return E_NOINTERFACE;
  *object = static_cast<IDispatch*>(this);
  AddRef();
  return S_OK;
}

ULONG ScriptedDispatch::Release() {
  ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT ScriptedDispatch::GetTypeInfoCount(UINT* count) { return *count = 0, S_OK; }

HRESULT ScriptedDispatch::GetTypeInfo(UINT, LCID, ITypeInfo** info) { return *info = nullptr, E_NOTIMPL; }

HRESULT ScriptedDispatch::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) {
  std::lock_guard<std::mutex> guard(mutex_);
  lookups_.push_back(Lookup{count > 0 ? names[0] : L"", locale, IsEqualIID(riid, IID_NULL) != 0, count});
  if (count != 1) return E_INVALIDARG;
  auto found = members_.find(names[0]);
  ids[0] = DISPID_UNKNOWN;
  if (found == members_.end()) return DISP_E_UNKNOWNNAME;
  if (FAILED(found->second.lookupFailure)) return found->second.lookupFailure;
  ids[0] = found->second.id;
  return S_OK;
}

HRESULT ScriptedDispatch::Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO*, UINT*) {
  ReceivedCall call;
  Answer answer;
  std::function<void(const std::wstring&)> hook;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& entry : members_) {
      if (entry.second.id != id) continue;
      call.member = entry.first;
      answer = entry.second.answer;
    }
    call.flags = flags;
    call.locale = locale;
    call.iidNull = IsEqualIID(riid, IID_NULL) != 0;
    call.resultRequested = result != nullptr;
    if (params) {
      for (UINT i = 0; i < params->cNamedArgs; ++i) call.namedArguments.push_back(params->rgdispidNamedArgs[i]);
      for (UINT i = params->cArgs; i > 0; --i) call.arguments.push_back(Receive(params->rgvarg[i - 1]));
    }
    calls_.push_back(call);
    hook = hook_;
  }
  if (call.member.empty()) return DISP_E_MEMBERNOTFOUND;
  if (hook) hook(call.member);
  if (result != nullptr && answer.fill) answer.fill(result);
  return answer.hr;
}

}  // namespace stubtest
