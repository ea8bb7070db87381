#pragma once
// The back-end client's own failure: a proxy misuse or an empty answer. Failed
// calls raise HRXEx (base/error.h).
#include <string>

#include "base/error.h"

namespace Stub {

// "COM pointer has expired" (a proxy let go by a reset) or "COM method
// returned VT_EMPTY": the request cannot go on, but the connection is sound.
class Exception : public talverin::Error {
 public:
  explicit Exception(std::string message)
      : Error(FromMessage(talverin::ErrorCategory::Request, std::move(message))) {}
};

extern const char kPointerExpired[];  // "COM pointer has expired"
extern const char kReturnedEmpty[];   // "COM method returned VT_EMPTY"

// What a back end that raised an exception inside a member answers: a managed
// back end's unhandled exception (COR_E_EXCEPTION) or DISP_E_EXCEPTION. Such a
// back end may well be healthy.
constexpr HRESULT kCorException = static_cast<HRESULT>(0x80131500);
constexpr HRESULT kDispException = DISP_E_EXCEPTION;
inline bool IsBackendExceptionCode(HRESULT hr) { return hr == kCorException || hr == kDispException; }

// A back-end call failed (HRXEx, category BackEnd) when hr is a failure code,
// or, strictly, for anything but S_OK.
inline void ThrowIfFailed(HRESULT hr) { talverin::ThrowIfFailed(talverin::ErrorCategory::BackEnd, hr); }
inline void ThrowIfNotOk(HRESULT hr) { talverin::ThrowIfNotOk(talverin::ErrorCategory::BackEnd, hr); }

}  // namespace Stub
