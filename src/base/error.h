#pragma once
// The filter's one way to fail. A failure is an Error: an HRESULT, a category
// and a text. What is done about a failure follows from its category alone
// (ActionFor), whoever raised it; errors are caught only at the module's edges
// (the exports, the start-up and the notification dispatch), and the few steps
// that go on after a failed call take the error as a value (CaptureError).
#include <windows.h>

#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace talverin {

enum class ErrorCategory {
  BackEnd,        // a back-end call failed or answered what cannot be used
  Host,           // the host refused a call or called out of order
  Configuration,  // the configuration store, the settings or a resource library
  Request,        // this request cannot go on: a proxy let go by a reset, an empty answer, no memory
  MachineFault,   // a structured exception, or an exception from outside this vocabulary
};

enum class ErrorAction {
  ResetBackEnd,   // end the request and reconnect to the back end
  FinishRequest,  // end the request; nothing else is wrong
  CountFault,     // end the request and count towards blocking the filter
};

constexpr ErrorAction ActionFor(ErrorCategory category) noexcept {
  switch (category) {
    case ErrorCategory::BackEnd:
      return ErrorAction::ResetBackEnd;
    case ErrorCategory::Host:
    case ErrorCategory::Configuration:
    case ErrorCategory::Request:
      return ErrorAction::FinishRequest;
    case ErrorCategory::MachineFault:
      break;
  }
  return ErrorAction::CountFault;
}

// FormatMessageA's text for hr, trimmed, or "Unknown error 0x%08lX".
std::string ErrorText(HRESULT hr);

// The HRESULT of a Win32 error code; a host that fails without an error code
// still fails: 0 gives E_FAIL, never a success.
HRESULT HResultFromError(DWORD error) noexcept;

class Error : public std::exception {
 public:
  // A failed call: its HRESULT, the raiser's description (may be empty) and
  // the system's text for the HRESULT. The log calls it a COM error.
  static Error FromHResult(ErrorCategory category, HRESULT hr, std::string description = std::string()) {
    return Error(category, hr, std::move(description), ErrorText(hr), true);
  }
  // The same with the error text given by the raiser (empty: none).
  static Error FromHResult(ErrorCategory category, HRESULT hr, std::string description, std::string errorText) {
    return Error(category, hr, std::move(description), std::move(errorText), true);
  }
  // A failure told by a text of its own; its HRESULT is E_FAIL.
  static Error FromMessage(ErrorCategory category, std::string message) {
    return Error(category, E_FAIL, std::move(message), std::string(), false);
  }

  const char* what() const noexcept override { return text.c_str(); }

  HRESULT hr;
  ErrorCategory category;
  std::string text;       // the description of a failed call, or the message
  std::string errorText;  // the system's text for hr; empty for a message
  bool fromHResult;       // a failed call rather than a message

 protected:
  Error(ErrorCategory c, HRESULT h, std::string t, std::string e, bool f)
      : hr(h), category(c), text(std::move(t)), errorText(std::move(e)), fromHResult(f) {}
};

// Raise HRXEx (below) with FromHResult(category, hr) when hr is a failure code.
void ThrowIfFailed(ErrorCategory category, HRESULT hr);
// The same for anything but S_OK, success codes included.
void ThrowIfNotOk(ErrorCategory category, HRESULT hr);

// Runs f and hands back the Error it raised, if any; other exceptions pass.
template <class F>
std::optional<Error> CaptureError(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const Error& error) {
    return error;
  }
  return std::nullopt;
}

}  // namespace talverin

// The names the back-end client and the store reads raise under: a failed COM
// call, with the HRESULT, the raiser's description and the system's text.
struct HRXEx : talverin::Error {
  explicit HRXEx(HRESULT h, std::string description = std::string(),
                 talverin::ErrorCategory c = talverin::ErrorCategory::BackEnd)
      : Error(FromHResult(c, h, std::move(description))) {}
  explicit HRXEx(const talverin::Error& error) : Error(error) {}
};
