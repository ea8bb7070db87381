#include "dispatch_object.h"

#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>

#include "call_counts.h"
#include "faults.h"
#include "module.h"

namespace backend {

namespace {

using talverin::ComPtr;

// Raised by the argument readers; Invoke turns it into its HRESULT and the
// index of the offending argument.
struct ArgumentError {
  HRESULT hr;
  UINT index;  // position in rgvarg
};

// The members tests use to read and clear the counts do not count themselves.
bool Counted(const wchar_t* member) {
  return CompareStringOrdinal(member, -1, L"CallCounts", -1, TRUE) != CSTR_EQUAL &&
         CompareStringOrdinal(member, -1, L"ClearCallCounts", -1, TRUE) != CSTR_EQUAL;
}

bool AcceptedArgumentType(VARTYPE type) {
  switch (type) {
    case VT_EMPTY:
    case VT_BSTR:
    case VT_I2:
    case VT_I4:
    case VT_BOOL:
    case VT_UI1:
    case VT_I1:
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

void FillException(EXCEPINFO* info, const std::wstring& description) {
  if (!info) return;
  *info = EXCEPINFO{};
  info->bstrSource = SysAllocString(L"TALVERIN test back end");
  info->bstrDescription = SysAllocString(description.c_str());
  info->scode = E_FAIL;
}

std::wstring Widen(const char* text) {
  std::wstring out;
  for (; text && *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

SAFEARRAY* CopyBytesInto(SAFEARRAY* source, VARTYPE elementType, UINT dims, LONG lowerBound) {
  LONG lb = 0, ub = -1;
  SafeArrayGetLBound(source, 1, &lb);
  SafeArrayGetUBound(source, 1, &ub);
  const ULONG count = static_cast<ULONG>(ub - lb + 1);
  SAFEARRAYBOUND bounds[2] = {{count, lowerBound}, {1, lowerBound}};
  SAFEARRAY* target = SafeArrayCreate(elementType, dims, bounds);
  if (!target) throw std::bad_alloc();
  const unsigned char* in = nullptr;
  SafeArrayAccessData(source, reinterpret_cast<void**>(const_cast<unsigned char**>(&in)));
  void* out = nullptr;
  SafeArrayAccessData(target, &out);
  for (ULONG i = 0; i < count; ++i) {
    if (elementType == VT_I2) {
      static_cast<SHORT*>(out)[i] = in[i];
    } else {
      static_cast<unsigned char*>(out)[i] = in[i];
    }
  }
  SafeArrayUnaccessData(target);
  SafeArrayUnaccessData(source);
  return target;
}

// Bends a byte-array answer into the shape a fault asks for.
void Reshape(VARIANT* result, FaultKind kind) {
  if (V_VT(result) != (VT_ARRAY | VT_UI1)) return;
  SAFEARRAY* source = V_ARRAY(result);
  SAFEARRAY* target = nullptr;
  switch (kind) {
    case FaultKind::ArrayLowerBound1:
      target = CopyBytesInto(source, VT_UI1, 1, 1);
      break;
    case FaultKind::Array2D:
      target = CopyBytesInto(source, VT_UI1, 2, 0);
      break;
    case FaultKind::ArrayI2:
      target = CopyBytesInto(source, VT_I2, 1, 0);
      break;
    case FaultKind::ArrayEmpty: {
      SAFEARRAYBOUND bound = {0, 0};
      target = SafeArrayCreate(VT_UI1, 1, &bound);
      if (!target) throw std::bad_alloc();
      break;
    }
    default:
      return;
  }
  VariantClear(result);
  V_VT(result) = static_cast<VARTYPE>(VT_ARRAY | (kind == FaultKind::ArrayI2 ? VT_I2 : VT_UI1));
  V_ARRAY(result) = target;
}

// Writes the answer a fault gives instead of the member's own; false when the
// fault does not replace the answer.
bool FaultyAnswer(const Fault& fault, ResultType type, VARIANT* result) {
  switch (fault.kind) {
    case FaultKind::Empty:
      return true;
    case FaultKind::NullObject:
      V_VT(result) = VT_DISPATCH;
      V_DISPATCH(result) = nullptr;
      return true;
    case FaultKind::WrongType:
      if (type == ResultType::Text) {
        SetInt(result, 7);
      } else {
        SetText(result, L"wrong");
      }
      return true;
    case FaultKind::Value:
      if (type == ResultType::Bool) {
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = static_cast<VARIANT_BOOL>(fault.number);
      } else {
        SetInt(result, static_cast<long>(fault.number));
      }
      return true;
    default:
      return false;
  }
}

}  // namespace

void Args::Convert(size_t i, VARTYPE type, VARIANT* out) const {
  const UINT index = static_cast<UINT>(params_->cArgs - 1 - i);
  VARIANT plain;
  VariantInit(&plain);
  if (FAILED(VariantCopyInd(&plain, &params_->rgvarg[index]))) throw ArgumentError{DISP_E_TYPEMISMATCH, index};
  if (!AcceptedArgumentType(V_VT(&plain))) {
    VariantClear(&plain);
    throw ArgumentError{DISP_E_TYPEMISMATCH, index};
  }
  HRESULT hr = VariantChangeType(out, &plain, 0, type);
  VariantClear(&plain);
  if (FAILED(hr)) throw ArgumentError{DISP_E_TYPEMISMATCH, index};
}

std::wstring Args::Text(size_t i) const {
  talverin::UniqueVariant v;
  Convert(i, VT_BSTR, v.Get());
  return std::wstring(V_BSTR(v.Get()) ? V_BSTR(v.Get()) : L"", SysStringLen(V_BSTR(v.Get())));
}

long Args::Int(size_t i) const {
  talverin::UniqueVariant v;
  Convert(i, VT_I4, v.Get());
  return V_I4(v.Get());
}

bool Args::Bool(size_t i) const {
  talverin::UniqueVariant v;
  Convert(i, VT_BOOL, v.Get());
  return V_BOOL(v.Get()) != VARIANT_FALSE;
}

void SetText(VARIANT* result, const std::wstring& text) {
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!b) throw std::bad_alloc();
  V_VT(result) = VT_BSTR;
  V_BSTR(result) = b;
}

void SetInt(VARIANT* result, long value) {
  V_VT(result) = VT_I4;
  V_I4(result) = value;
}

void SetBool(VARIANT* result, bool value) {
  V_VT(result) = VT_BOOL;
  V_BOOL(result) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

void SetObject(VARIANT* result, ComPtr<IDispatch> object) {
  V_VT(result) = VT_DISPATCH;
  V_DISPATCH(result) = object.Detach();
}

void SetBytes(VARIANT* result, const unsigned char* data, size_t size) {
  SAFEARRAYBOUND bound = {static_cast<ULONG>(size), 0};
  SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
  if (!array) throw std::bad_alloc();
  void* out = nullptr;
  SafeArrayAccessData(array, &out);
  if (size) memcpy(out, data, size);
  SafeArrayUnaccessData(array);
  V_VT(result) = VT_ARRAY | VT_UI1;
  V_ARRAY(result) = array;
}

DispatchObject::DispatchObject(const wchar_t* objectName) : objectName_(objectName) { AddObject(); }

DispatchObject::~DispatchObject() { ReleaseObject(); }

HRESULT DispatchObject::QueryInterface(REFIID riid, void** object) {
  if (!object) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
    *object = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef() { return ++refs_; }

ULONG DispatchObject::Release() {
  ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT DispatchObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT DispatchObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info) *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (!names || !ids || count == 0) return E_INVALIDARG;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  // Members take no named arguments, so only the first name can be known.
  for (size_t m = 0; m < members_.size(); ++m) {
    if (names[0] && CompareStringOrdinal(names[0], -1, members_[m].name, -1, TRUE) == CSTR_EQUAL) {
      ids[0] = static_cast<DISPID>(m + 1);
      if (Counted(members_[m].name)) Counts().Count(objectName_, members_[m].name, L"lookup");
      return count == 1 ? S_OK : DISP_E_UNKNOWNNAME;
    }
  }
  return DISP_E_UNKNOWNNAME;
}

HRESULT DispatchObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* excepInfo, UINT* argErr) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (id < 1 || static_cast<size_t>(id) > members_.size()) return DISP_E_MEMBERNOTFOUND;
  if (!params) return E_INVALIDARG;
  if (result) VariantInit(result);
  try {
    return Call(members_[id - 1], flags, params, result, excepInfo);
  } catch (const ArgumentError& e) {
    if (argErr) *argErr = e.index;
    return e.hr;
  } catch (const BackendError& e) {
    FillException(excepInfo, e.description);
    return DISP_E_EXCEPTION;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    FillException(excepInfo, Widen(e.what()));
    return DISP_E_EXCEPTION;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

HRESULT DispatchObject::Call(const Member& member, WORD flags, DISPPARAMS* params, VARIANT* result,
                             EXCEPINFO* excepInfo) {
  const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  const bool method = !put && (flags & DISPATCH_METHOD) && (member.access & kMethod);
  const bool get = !put && !method && (flags & DISPATCH_PROPERTYGET) && (member.access & kGet);
  if (put && !(member.access & kPut)) return DISP_E_MEMBERNOTFOUND;
  if (!put && !method && !get) return DISP_E_MEMBERNOTFOUND;
  if (Counted(member.name)) Counts().Count(objectName_, member.name, put ? L"put" : method ? L"method" : L"get");

  if (put) {
    if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
      return DISP_E_PARAMNOTOPTIONAL;
    }
    if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
  } else {
    if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    const unsigned minArgs = method ? member.minArgs : 0;
    const unsigned maxArgs = method ? member.maxArgs : 0;
    if (params->cArgs < minArgs || params->cArgs > maxArgs) return DISP_E_BADPARAMCOUNT;
  }

  std::optional<Fault> fault = Faults().Take(objectName_, member.name, put ? L"put" : method ? L"method" : L"get");
  if (fault) {
    switch (fault->kind) {
      case FaultKind::Delay:
        Sleep(static_cast<DWORD>(fault->number));
        break;
      case FaultKind::HResult:
        return static_cast<HRESULT>(fault->number);
      case FaultKind::Exception:
        FillException(excepInfo, fault->text);
        return DISP_E_EXCEPTION;
      default:
        break;
    }
  }

  Args args(params);
  if (put) {
    member.put(args);
    return S_OK;
  }
  talverin::UniqueVariant answer;
  if (!(fault && FaultyAnswer(*fault, member.type, answer.Get()))) {
    member.call(args, answer.Get());
    if (fault && member.type == ResultType::Bytes) Reshape(answer.Get(), fault->kind);
  }
  if (result) {
    *result = *answer.Get();
    V_VT(answer.Get()) = VT_EMPTY;  // ownership moved to the caller
  }
  return S_OK;
}

}  // namespace backend
