#include "stub/abstract_stub.h"

#include "config/com_text.h"

namespace Stub {

AbstractStub::~AbstractStub() = default;

void AbstractStub::Attach(IDispatch* dispatch) {
  talverin::ComPtr<IDispatch> added = talverin::ComPtr<IDispatch>::Copy(dispatch);
  talverin::CsLock guard(lock_);
  std::swap(dispatch_, added);
  // The reference held before goes with `added`, after the lock is left.
}

void AbstractStub::Abandon() noexcept {
  talverin::CsLock guard(lock_);
  (void)dispatch_.Detach();
}

void AbstractStub::RaiseIfExpired() const {
  if (!dispatch_) throw Exception(kPointerExpired);
}

void CheckHResult(HResultCheck check, HRESULT hr) {
  if (check == HResultCheck::AnythingButOk) {
    ThrowIfNotOk(hr);
  } else {
    ThrowIfFailed(hr);
  }
}

void RaiseIfEmpty(const VARIANT& result, OnEmpty onEmpty) {
  if (onEmpty == OnEmpty::Raise && result.vt == VT_EMPTY) throw Exception(kReturnedEmpty);
}

std::string TextResult::operator()(const VARIANT& result) const {
  RaiseIfEmpty(result, onEmpty);
  switch (result.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return std::string();
    case VT_BSTR:
      return talverin::BstrToNarrow(result.bstrVal, talverin::ErrorCategory::BackEnd);
    default:
      throw HRXEx(DISP_E_TYPEMISMATCH);
  }
}

int IntegerResult::operator()(const VARIANT& result) const {
  RaiseIfEmpty(result, onEmpty);
  return static_cast<int>(result.lVal);
}

bool TrueOnlyResult::operator()(const VARIANT& result) const {
  return static_cast<unsigned short>(result.boolVal) == 0xFFFFu;
}

bool NonZeroResult::operator()(const VARIANT& result) const {
  RaiseIfEmpty(result, onEmpty);
  return result.boolVal != 0;
}

}  // namespace Stub
