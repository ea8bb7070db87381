#include "config/com_text.h"

#include <climits>

namespace talverin {

std::string BstrToNarrow(BSTR text, ErrorCategory category) {
  if (text == nullptr) return std::string();
  const UINT wideLength = SysStringLen(text);
  if (wideLength == 0) return std::string();
  if (wideLength > static_cast<UINT>(INT_MAX)) ThrowIfFailed(category, E_OUTOFMEMORY);
  const int length = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(wideLength), nullptr, 0, nullptr,
                                         nullptr);
  if (length <= 0) ThrowIfFailed(category, HResultFromError(GetLastError()));
  std::string narrow(static_cast<std::size_t>(length), '\0');
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(wideLength), &narrow[0], length, nullptr,
                          nullptr) != length) {
    ThrowIfFailed(category, HResultFromError(GetLastError()));
  }
  return narrow;
}

UniqueBstr NarrowToBstr(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return UniqueBstr();
  if (text.empty()) return UniqueBstr(SysAllocStringLen(L"", 0));
  const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return UniqueBstr();
  UniqueBstr wide(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
  if (!wide) return UniqueBstr();
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), wide.Get(), length) !=
      length) {
    // A part of the text may be in it, and texts here may be secrets.
    SecureZeroMemory(wide.Get(), SysStringByteLen(wide.Get()));
    return UniqueBstr();
  }
  return wide;
}

}  // namespace talverin
