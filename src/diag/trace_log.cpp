#include "diag/trace_log.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace talverin {

TraceLog& TraceLog::Instance() {
  static TraceLog log;
  return log;
}

void TraceLog::Log(unsigned level, const char* text) {
  if (!Enabled(level)) return;
  WriteLine(text, std::strlen(text));
}

void TraceLog::LogFormat(unsigned level, const char* format, ...) {
  if (!Enabled(level)) return;
  DWORD error = GetLastError();
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length >= 0) {
    try {
      std::vector<char> message(static_cast<std::size_t>(length) + 1, '\0');
      std::vsnprintf(message.data(), message.size(), format, args);
      WriteLine(message.data(), static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
      // The message is dropped; logging never fails a request.
    }
  }
  va_end(args);
  SetLastError(error);
}

void TraceLog::SetPath(const std::string& path) {
  CsLock guard(lock_);
  path_ = path;
}

std::string TraceLog::Path() {
  CsLock guard(lock_);
  return path_;
}

void TraceLog::WriteLine(const char* message, std::size_t length) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_s(&local, &now) != 0) local = std::tm{};
  char stamp[128];
  std::size_t stampLength = std::strftime(stamp, sizeof stamp, "%d\\%m\\%Y %H:%M:%S", &local);
  stamp[stampLength] = '\0';

  char prefix[256];
  int prefixLength = std::snprintf(prefix, sizeof prefix, "%s - [%u:%u] \t", stamp,
                                   static_cast<unsigned>(GetCurrentProcessId()),
                                   static_cast<unsigned>(GetCurrentThreadId()));
  if (prefixLength < 0) return;

  std::string line;
  try {
    line.reserve(static_cast<std::size_t>(prefixLength) + length + 2);
    line.append(prefix, static_cast<std::size_t>(prefixLength));
    line.append(message, length);
    line.append("\r\n", 2);
  } catch (const std::bad_alloc&) {
    return;
  }

  CsLock guard(lock_);
  UniqueHandle file(CreateFileA(path_.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;  // no "Logs" folder: the line is lost, as designed
  DWORD written = 0;
  WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

bool ComputeLogFilePath(const std::string& moduleFileName, std::string& logPath) {
  // A long-path prefix ("\\?\") and the like: start at the first letter.
  std::size_t start = 0;
  while (start < moduleFileName.size() && !std::isalpha(static_cast<unsigned char>(moduleFileName[start]))) ++start;
  std::string name = moduleFileName.substr(start);
  std::size_t slash = name.rfind('\\');
  if (slash == std::string::npos) return false;
  std::string directory = name.substr(0, slash + 1);
  std::string base = name.substr(slash + 1);
  base.resize(base.size() >= 4 ? base.size() - 4 : 0);  // drop ".dll"
  logPath = directory + "Logs\\" + base + ".log";
  return true;
}

HMODULE ThisModule() noexcept {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

HRESULT GetThisModuleFileName(std::string& fileName) {
  char buffer[2048] = {};
  DWORD length = GetModuleFileNameA(ThisModule(), buffer, sizeof buffer);
  if (length == 0) return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_MOD_NOT_FOUND);
  if (length >= sizeof buffer) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  fileName.assign(buffer, length);
  return S_OK;
}

HRESULT GetLogFilePath(std::string& logPath) {
  std::string moduleFileName;
  HRESULT hr = GetThisModuleFileName(moduleFileName);
  if (FAILED(hr)) return hr;
  if (!ComputeLogFilePath(moduleFileName, logPath)) return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
  return S_OK;
}

}  // namespace talverin
