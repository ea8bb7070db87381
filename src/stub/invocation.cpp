#include "stub/invocation.h"

#include <climits>

#include "config/com_text.h"
#include "stub/errors.h"

namespace Stub {

namespace {

HRESULT LookUp(IDispatch* dispatch, const wchar_t* name, DISPID& id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
}

HRESULT InvokeId(IDispatch* dispatch, DISPID id, CallKind kind, UniqueVariant* args, UINT count, VARIANT* result) {
  // COM takes the arguments last first. The array holds shallow copies; the
  // caller's owners keep and clear the values.
  constexpr UINT kMaxArguments = 2;
  if (count > kMaxArguments) return E_INVALIDARG;
  VARIANT reversed[kMaxArguments] = {};
  for (UINT i = 0; i < count; ++i) reversed[count - 1 - i] = *args[i].Get();

  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params = {};
  params.rgvarg = count != 0 ? reversed : nullptr;
  params.cArgs = count;
  if (kind == CallKind::PropertyPut) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  return dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, static_cast<WORD>(kind), &params, result, nullptr,
                          nullptr);
}

}  // namespace

HRESULT InvokeByName(IDispatch* dispatch, const wchar_t* name, CallKind kind, UniqueVariant* args, UINT count,
                     VARIANT* result) {
  return InvokeMember(dispatch, nullptr, MemberSlot::Count, name, kind, args, count, result);
}

HRESULT InvokeMember(IDispatch* dispatch, DispidCache* cache, MemberSlot slot, const wchar_t* name, CallKind kind,
                     UniqueVariant* args, UINT count, VARIANT* result) {
  if (dispatch == nullptr) return E_INVALIDARG;
  DISPID id = cache ? cache->Find(slot) : DISPID_UNKNOWN;
  const bool remembered = id != DISPID_UNKNOWN;
  if (!remembered) {
    const HRESULT hr = LookUp(dispatch, name, id);
    if (FAILED(hr)) return hr;
    if (cache) cache->Remember(slot, id);
  }
  HRESULT hr = InvokeId(dispatch, id, kind, args, count, result);
  if (remembered && (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_UNKNOWNNAME)) {
    cache->Forget(slot);
    if (result) VariantClear(result);
    hr = LookUp(dispatch, name, id);
    if (FAILED(hr)) return hr;
    cache->Remember(slot, id);
    hr = InvokeId(dispatch, id, kind, args, count, result);
  }
  return hr;
}

void SetText(UniqueVariant& argument, const std::string& text) {
  argument.Clear();
  talverin::UniqueBstr wide = talverin::NarrowToBstr(text);
  if (!wide) {
    argument->vt = VT_ERROR;
    argument->scode = E_OUTOFMEMORY;
    throw talverin::Error::FromHResult(talverin::ErrorCategory::Request, E_OUTOFMEMORY);
  }
  argument->vt = VT_BSTR;
  argument->bstrVal = wide.Take();
}

void SetTextOrNull(UniqueVariant& argument, const std::string& text) noexcept {
  argument.Clear();
  argument->vt = VT_BSTR;
  argument->bstrVal = talverin::NarrowToBstr(text).Take();
}

void SetInteger(UniqueVariant& argument, int value) noexcept {
  argument.Clear();
  argument->vt = VT_I4;
  argument->lVal = value;
}

void SetBoolean(UniqueVariant& argument, bool value) noexcept {
  argument.Clear();
  argument->vt = VT_BOOL;
  argument->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetShortBoolean(UniqueVariant& argument, bool value) noexcept {
  argument.Clear();
  argument->vt = VT_I2;
  argument->iVal = value ? -1 : 0;
}

talverin::ComPtr<IDispatch> DispatchFromResult(const VARIANT& result) {
  switch (result.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return nullptr;
    case VT_DISPATCH:
      return talverin::ComPtr<IDispatch>::Copy(result.pdispVal);
    case VT_UNKNOWN: {
      talverin::ComPtr<IDispatch> dispatch;
      if (result.punkVal != nullptr) {
        HRESULT hr = result.punkVal->QueryInterface(IID_IDispatch, dispatch.PutVoid());
        if (FAILED(hr)) throw HRXEx(DISP_E_TYPEMISMATCH);
      }
      return dispatch;
    }
    default:
      throw HRXEx(DISP_E_TYPEMISMATCH);
  }
}

}  // namespace Stub
