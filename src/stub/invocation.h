#pragma once
// The late-bound call on a back-end object and the conversions between the
// filter's narrow strings, integers and booleans and COM VARIANTs. The proxies
// reach the back end only through these.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "base/win.h"
#include "stub/dispid_cache.h"

namespace Stub {

using talverin::UniqueVariant;

// How a member is invoked: the DISPATCH_* flag.
enum class CallKind : WORD {
  PropertyGet = DISPATCH_PROPERTYGET,
  PropertyPut = DISPATCH_PROPERTYPUT,
  Method = DISPATCH_METHOD,
};

// Looks name up (GetIDsOfNames, IID_NULL, LOCALE_USER_DEFAULT) and invokes it.
// args are in the order the back end receives them; they are handed over in
// reverse, as COM wants. A put passes its one argument as the named argument
// DISPID_PROPERTYPUT. result may be null when no result is wanted. Answers the
// lookup's HRESULT when it fails (Invoke is then not called), else Invoke's;
// E_INVALIDARG without a call when dispatch is null.
HRESULT InvokeByName(IDispatch* dispatch, const wchar_t* name, CallKind kind, UniqueVariant* args, UINT count,
                     VARIANT* result);

// The same with the member's DISPID remembered in cache (null: looked up
// every time). A remembered DISPID is used without a lookup; when the back end
// answers it with DISP_E_MEMBERNOTFOUND or DISP_E_UNKNOWNNAME (a back end that
// numbers its members differently now), the member is looked up and invoked
// once more.
HRESULT InvokeMember(IDispatch* dispatch, DispidCache* cache, MemberSlot slot, const wchar_t* name, CallKind kind,
                     UniqueVariant* args, UINT count, VARIANT* result);

// Argument conversions. Each leaves a previous value cleared.
// A narrow string in the thread's ANSI code page as VT_BSTR; raises an Error
// (category Request, E_OUTOFMEMORY) when the string cannot be made.
void SetText(UniqueVariant& argument, const std::string& text);
// The same, but a string that cannot be made becomes a null VT_BSTR.
void SetTextOrNull(UniqueVariant& argument, const std::string& text) noexcept;
void SetInteger(UniqueVariant& argument, int value) noexcept;
// VT_BOOL, VARIANT_TRUE or VARIANT_FALSE.
void SetBoolean(UniqueVariant& argument, bool value) noexcept;
// VT_I2 holding -1 or 0: what the back end expects for one flag of a session.
void SetShortBoolean(UniqueVariant& argument, bool value) noexcept;

// An IDispatch reference for an object result: VT_DISPATCH as it is, VT_UNKNOWN
// through QueryInterface, VT_EMPTY and VT_NULL as none (null). Anything else is
// not an object: HRXEx(DISP_E_TYPEMISMATCH) instead of reading a
// number as a pointer.
talverin::ComPtr<IDispatch> DispatchFromResult(const VARIANT& result);

}  // namespace Stub
