#pragma once
// What OutputDebugStringA hands to a debugger, caught from the exception it
// raises for one; the exception goes on to the system's own handling.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace talverin::test {

class DebugOutputCapture {
 public:
  DebugOutputCapture() {
    Lines(nullptr, true);
    handler_ = AddVectoredExceptionHandler(1, &Watch);
  }
  ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  std::vector<std::string> Messages() const { return Lines(nullptr); }

 private:
  // Adds a line (or, given {}, clears); answers the lines.
  static std::vector<std::string> Lines(const char* add, bool clear = false) {
    static std::mutex mutex;
    static std::vector<std::string> lines;
    std::lock_guard<std::mutex> guard(mutex);
    if (clear) lines.clear();
    if (add != nullptr) lines.push_back(add);
    return lines;
  }
  static LONG CALLBACK Watch(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
        record->ExceptionInformation[1] != 0)
      Lines(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_SEARCH;
  }

  PVOID handler_ = nullptr;
};

}  // namespace talverin::test
