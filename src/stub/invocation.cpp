#include "stub/invocation.h"

#include <climits>

#include "base/secure.h"
#include "stub/errors.h"

namespace Stub {

void Variant::Clear() noexcept {
  if (v_.vt == VT_BSTR && v_.bstrVal != nullptr) {
    talverin::SecureZero(v_.bstrVal, SysStringByteLen(v_.bstrVal));
  }
  VariantClear(&v_);
  v_ = VARIANT();
}

namespace {

HRESULT LookUp(IDispatch* dispatch, const wchar_t* name, DISPID& id) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  return dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
}

HRESULT InvokeId(IDispatch* dispatch, DISPID id, CallKind kind, Variant* args, UINT count, VARIANT* result) {
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

HRESULT InvokeByName(IDispatch* dispatch, const wchar_t* name, CallKind kind, Variant* args, UINT count,
                     VARIANT* result) {
  return InvokeMember(dispatch, nullptr, MemberSlot::Count, name, kind, args, count, result);
}

HRESULT InvokeMember(IDispatch* dispatch, DispidCache* cache, MemberSlot slot, const wchar_t* name, CallKind kind,
                     Variant* args, UINT count, VARIANT* result) {
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

namespace {

// The wide form of text, or null when it cannot be made.
BSTR MakeBstr(const std::string& text) noexcept {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return nullptr;
  if (text.empty()) return SysAllocStringLen(L"", 0);
  const int length = static_cast<int>(text.size());
  int wideLength = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0);
  if (wideLength <= 0) return nullptr;
  talverin::UniqueBstr wide(SysAllocStringLen(nullptr, static_cast<UINT>(wideLength)));
  if (!wide) return nullptr;
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, wide.Get(), wideLength) != wideLength) {
    return nullptr;
  }
  return wide.Take();
}

}  // namespace

void SetText(Variant& argument, const std::string& text) {
  argument.Clear();
  BSTR wide = MakeBstr(text);
  if (wide == nullptr) {
    argument->vt = VT_ERROR;
    argument->scode = E_OUTOFMEMORY;
    throw HResultException(E_OUTOFMEMORY);
  }
  argument->vt = VT_BSTR;
  argument->bstrVal = wide;
}

void SetTextOrNull(Variant& argument, const std::string& text) noexcept {
  argument.Clear();
  argument->vt = VT_BSTR;
  argument->bstrVal = MakeBstr(text);
}

void SetInteger(Variant& argument, int value) noexcept {
  argument.Clear();
  argument->vt = VT_I4;
  argument->lVal = value;
}

void SetBoolean(Variant& argument, bool value) noexcept {
  argument.Clear();
  argument->vt = VT_BOOL;
  argument->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetShortBoolean(Variant& argument, bool value) noexcept {
  argument.Clear();
  argument->vt = VT_I2;
  argument->iVal = value ? -1 : 0;
}

std::string NarrowFromBstr(BSTR text) {
  const UINT wideLength = text != nullptr ? SysStringLen(text) : 0;
  if (wideLength == 0) return std::string();
  if (wideLength > static_cast<UINT>(INT_MAX)) throw HResultException(E_OUTOFMEMORY);
  const int length =
      WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(wideLength), nullptr, 0, nullptr, nullptr);
  if (length <= 0) {
    const DWORD error = GetLastError();
    throw HResultException(error != 0 ? HRESULT_FROM_WIN32(error) : E_FAIL);
  }
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(wideLength), &narrow[0], length, nullptr, nullptr);
  return narrow;
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
        if (FAILED(hr)) throw HResultException(DISP_E_TYPEMISMATCH);
      }
      return dispatch;
    }
    default:
      throw HResultException(DISP_E_TYPEMISMATCH);
  }
}

}  // namespace Stub
