#include "config/com_text.h"

#include <climits>

#include "stub/errors.h"

namespace talverin {

std::string BstrToNarrow(BSTR text) {
  if (text == nullptr) return std::string();
  const UINT wideLength = SysStringLen(text);
  if (wideLength == 0) return std::string();
  if (wideLength > static_cast<UINT>(INT_MAX)) Stub::ThrowIfFailed(E_OUTOFMEMORY);
  const int length = WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(wideLength), nullptr, 0, nullptr,
                                         nullptr);
  if (length <= 0) Stub::ThrowIfFailed(HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_NO_UNICODE_TRANSLATION));
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, text, static_cast<int>(wideLength), &narrow[0], length, nullptr, nullptr);
  return narrow;
}

UniqueBstr NarrowToBstr(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return UniqueBstr();
  if (text.empty()) return UniqueBstr(SysAllocStringLen(L"", 0));
  const int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return UniqueBstr();
  UniqueBstr wide(SysAllocStringLen(nullptr, static_cast<UINT>(length)));
  if (!wide) return UniqueBstr();
  MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), wide.Get(), length);
  return wide;
}

}  // namespace talverin
