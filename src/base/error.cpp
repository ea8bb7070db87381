#include "base/error.h"

#include <cstdio>

#include "base/win.h"

namespace talverin {

std::string ErrorText(HRESULT hr) {
  char* buffer = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  UniqueLocalMem owner(buffer);
  if (length != 0 && buffer != nullptr) {
    // Trimmed from the end first, then from the start; a text of blanks alone
    // is still the system's answer and stays (empty).
    std::string text(buffer, length);
    const char* blanks = " \t\r\n\v\f";
    text.erase(text.find_last_not_of(blanks) + 1);
    text.erase(0, text.find_first_not_of(blanks));
    return text;
  }
  char unknown[32];
  std::snprintf(unknown, sizeof unknown, "Unknown error 0x%08lX", static_cast<unsigned long>(hr));
  return unknown;
}

HRESULT HResultFromError(DWORD error) noexcept { return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error); }

void ThrowIfFailed(ErrorCategory category, HRESULT hr) {
  if (FAILED(hr)) throw HRXEx(hr, std::string(), category);
}

void ThrowIfNotOk(ErrorCategory category, HRESULT hr) {
  if (hr != S_OK) throw HRXEx(hr, std::string(), category);
}

}  // namespace talverin
