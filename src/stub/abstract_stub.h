#pragma once
// The base of every back-end proxy: one IDispatch reference, one lock, and the
// one sequence in which every member of a back-end object is called.
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>

#include "base/win.h"
#include "stub/errors.h"
#include "stub/invocation.h"

namespace Stub {

// Which HRESULTs of a member raise an HRXEx.
enum class HResultCheck {
  FailureCodes,   // negative codes only
  AnythingButOk,  // success codes other than S_OK too
};

// What a VT_EMPTY answer gives.
enum class OnEmpty {
  Raise,      // Stub::Exception "COM method returned VT_EMPTY"
  ZeroValue,  // the zero-filled value: empty string, 0, false, no object
};

// One row of the back-end member table: how the member is called and checked.
struct Member {
  MemberSlot slot;
  const wchar_t* name;
  CallKind kind;
  bool wantsResult;
  HResultCheck check;
};

constexpr Member PropertyGet(MemberSlot slot, const wchar_t* name) {
  return Member{slot, name, CallKind::PropertyGet, true, HResultCheck::FailureCodes};
}
constexpr Member PropertyPut(MemberSlot slot, const wchar_t* name) {
  return Member{slot, name, CallKind::PropertyPut, false, HResultCheck::FailureCodes};
}
constexpr Member MethodCall(MemberSlot slot, const wchar_t* name) {
  return Member{slot, name, CallKind::Method, true, HResultCheck::FailureCodes};
}
constexpr Member StrictMethodCall(MemberSlot slot, const wchar_t* name) {
  return Member{slot, name, CallKind::Method, true, HResultCheck::AnythingButOk};
}
constexpr Member MethodCallWithoutResult(MemberSlot slot, const wchar_t* name) {
  return Member{slot, name, CallKind::Method, false, HResultCheck::FailureCodes};
}

// Argument values. A std::string goes as VT_BSTR, an int as VT_I4, a bool as
// VT_BOOL; the two wrappers below choose the other forms.
struct ShortBoolean {  // VT_I2 -1 or 0
  bool value;
};
struct TextOrNull {  // VT_BSTR, null when the text cannot be converted
  const std::string& text;
};

inline void SetArgument(UniqueVariant& argument, const std::string& value) { SetText(argument, value); }
inline void SetArgument(UniqueVariant& argument, int value) { SetInteger(argument, value); }
inline void SetArgument(UniqueVariant& argument, bool value) { SetBoolean(argument, value); }
inline void SetArgument(UniqueVariant& argument, ShortBoolean value) { SetShortBoolean(argument, value.value); }
inline void SetArgument(UniqueVariant& argument, TextOrNull value) { SetTextOrNull(argument, value.text); }
// A literal would otherwise be sent as a boolean.
void SetArgument(UniqueVariant& argument, const char* value) = delete;

// Result conversions. Each makes the empty-result check its row asks for.
void RaiseIfEmpty(const VARIANT& result, OnEmpty onEmpty);

struct NoResult {
  void operator()(const VARIANT&) const {}
};
// A VT_BSTR (or VT_NULL) result as a narrow string. Any other type raises
// HRXEx(DISP_E_TYPEMISMATCH): its value word is not a string.
struct TextResult {
  OnEmpty onEmpty;
  std::string operator()(const VARIANT& result) const;
};
// The 32-bit value word as a signed integer, whatever the type.
struct IntegerResult {
  OnEmpty onEmpty;
  int operator()(const VARIANT& result) const;
};
// True only for a 16-bit value word of VARIANT_TRUE; VT_EMPTY reads as false.
struct TrueOnlyResult {
  bool operator()(const VARIANT& result) const;
};
// True for any non-zero 16-bit value word.
struct NonZeroResult {
  OnEmpty onEmpty;
  bool operator()(const VARIANT& result) const;
};

class AbstractStub {
 public:
  AbstractStub(const AbstractStub&) = delete;
  AbstractStub& operator=(const AbstractStub&) = delete;
  // Deletes the lock, then releases the object if one is still held.
  virtual ~AbstractStub() = 0;

  // Holds a new reference to dispatch and releases the one held before.
  void Attach(IDispatch* dispatch);
  // Lets go of the object without releasing it: it is left to the back end,
  // which may be gone. Every later member raises "COM pointer has expired".
  void Abandon() noexcept;

  // The member DISPIDs of the connection this object came from, shared with
  // the objects it hands out. Without one every call looks its member up.
  // Set before the proxy is shared.
  void UseDispids(std::shared_ptr<DispidCache> dispids) noexcept { dispids_ = std::move(dispids); }
  const std::shared_ptr<DispidCache>& Dispids() const noexcept { return dispids_; }

 protected:
  AbstractStub() = default;

  // The sequence of every member: enter the lock, expired check, arguments
  // built from values (in the order the back end receives them), lookup and
  // invoke, HRESULT check, then convert(result), which makes the empty check.
  // The lock is left and every VARIANT cleared on every exit.
  template <class Convert, class... Values>
  auto Call(const Member& member, const Convert& convert, const Values&... values);

  // Pieces for the few members that need a sequence of their own; the caller
  // holds Lock() while it uses the others.
  talverin::CriticalSection& Lock() noexcept { return lock_; }
  void RaiseIfExpired() const;
  talverin::ComPtr<IDispatch>& HeldDispatch() noexcept { return dispatch_; }
  template <class... Values>
  HRESULT Invoke(const Member& member, VARIANT* result, const Values&... values);

 private:
  talverin::ComPtr<IDispatch> dispatch_;
  std::shared_ptr<DispidCache> dispids_;
  talverin::CriticalSection lock_;
};

// An object result as a new proxy. optional: VT_EMPTY and a null object give a
// null reference; otherwise both raise "COM method returned VT_EMPTY" (a proxy
// of nothing would only fail later, and less clearly).
template <class Proxy>
struct ProxyResult {
  bool optional;
  std::shared_ptr<DispidCache> dispids;  // the new proxy's: its parent's
  std::shared_ptr<Proxy> operator()(const VARIANT& result) const {
    RaiseIfEmpty(result, optional ? OnEmpty::ZeroValue : OnEmpty::Raise);
    talverin::ComPtr<IDispatch> object = DispatchFromResult(result);
    if (!object) {
      if (!optional) throw Exception(kReturnedEmpty);
      return nullptr;
    }
    auto proxy = std::make_shared<Proxy>();
    proxy->UseDispids(dispids);
    proxy->Attach(object.Get());
    return proxy;
  }
};

void CheckHResult(HResultCheck check, HRESULT hr);

template <class... Values>
HRESULT AbstractStub::Invoke(const Member& member, VARIANT* result, const Values&... values) {
  static_assert(sizeof...(Values) <= 2, "back-end members take at most two arguments");
  UniqueVariant arguments[sizeof...(Values) + 1];
  UINT next = 0;
  (SetArgument(arguments[next++], values), ...);
  (void)next;
  return InvokeMember(dispatch_.Get(), dispids_.get(), member.slot, member.name, member.kind, arguments,
                      sizeof...(Values), result);
}

template <class Convert, class... Values>
auto AbstractStub::Call(const Member& member, const Convert& convert, const Values&... values) {
  talverin::CsLock guard(lock_);
  RaiseIfExpired();
  UniqueVariant result;
  const HRESULT hr = Invoke(member, member.wantsResult ? result.Get() : nullptr, values...);
  CheckHResult(member.check, hr);
  return convert(*result.Get());
}

}  // namespace Stub
