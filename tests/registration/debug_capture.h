#pragma once
// Collects what OutputDebugStringA hands to a debugger, by watching the
// exception it raises for one; the exception goes on to the system's own
// handling unchanged.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

namespace talverin::test {

class DebugOutputCapture {
 public:
  DebugOutputCapture() {
    std::lock_guard<std::mutex> guard(Mutex());
    Lines().clear();
    handler_ = AddVectoredExceptionHandler(1, &Watch);
  }
  ~DebugOutputCapture() { RemoveVectoredExceptionHandler(handler_); }
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  std::vector<std::string> Messages() const {
    std::lock_guard<std::mutex> guard(Mutex());
    return Lines();
  }

 private:
  static LONG CALLBACK Watch(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2) {
      const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
      if (text != nullptr) {
        std::lock_guard<std::mutex> guard(Mutex());
        Lines().push_back(text);
      }
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }

  PVOID handler_ = nullptr;
};

}  // namespace talverin::test
