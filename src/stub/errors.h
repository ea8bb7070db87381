#pragma once
// The failure types of the back-end client and of the configuration-store
// reads, and the one helper that turns an HRESULT into the right one.
#include <windows.h>

#include <stdexcept>
#include <string>

namespace Stub {

// A proxy misuse or an empty answer: "COM pointer has expired",
// "COM method returned VT_EMPTY".
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

extern const char kPointerExpired[];  // "COM pointer has expired"
extern const char kReturnedEmpty[];   // "COM method returned VT_EMPTY"

// Out of memory during a conversion, or a returned array of the wrong shape.
// Deliberately neither a std::exception nor an HRXEx: the dispatcher counts it
// as an unknown failure.
class HResultException {
 public:
  explicit HResultException(HRESULT hr) noexcept : hr_(hr) {}
  HRESULT hr() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace Stub

// A failed COM call: its HRESULT, a text of the raiser's and the system's text
// for the HRESULT. Plain structure, caught by its own type only.
struct HRXEx {
  HRESULT hr = S_OK;
  std::string description;
  std::string errorText;
};

namespace Stub {

// FormatMessageA's text for hr, trimmed, or "Unknown error 0x%08lX".
std::string ErrorText(HRESULT hr);

// Raises an HRXEx (with its error text) when hr is a failure code.
void ThrowIfFailed(HRESULT hr);
// Raises an HRXEx for anything but S_OK, success codes included.
void ThrowIfNotOk(HRESULT hr);

}  // namespace Stub
