#pragma once
// The trace log: one text file beside the module, one line per message,
// appended and closed line by line so that the file can be read, moved or
// deleted while the filter runs.
#include <windows.h>

#include <atomic>
#include <string>

#include "base/win.h"

namespace talverin {

class TraceLog {
 public:
  TraceLog() = default;
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  // The process-wide log.
  static TraceLog& Instance();

  // Writes text as it is ('%' included).
  void Log(unsigned level, const char* text);
  void Log(unsigned level, const std::string& text) { Log(level, text.c_str()); }
  // printf-style; keeps the thread's last error.
#if defined(__GNUC__)
  __attribute__((format(printf, 3, 4)))
#endif
  void LogFormat(unsigned level, const char* format, ...);

  void SetLevel(unsigned level) noexcept { level_.store(level); }
  unsigned Level() const noexcept { return level_.load(); }
  void SetPath(const std::string& path);
  std::string Path();

  bool Enabled(unsigned level) const noexcept { return level <= level_.load(std::memory_order_relaxed); }

 private:
  void WriteLine(const char* message, std::size_t length);

  std::atomic<unsigned> level_{0};
  CriticalSection lock_;
  std::string path_ = ".log";
};

// "<dir>\Logs\<base>.log" for a module file name "<dir>\<base>.dll". Fails
// (false) when the name holds no backslash or no letter.
bool ComputeLogFilePath(const std::string& moduleFileName, std::string& logPath);
// The rule for this module; an error HRESULT when the module's own file name
// cannot be read or has no backslash. Nothing is logged.
HRESULT GetLogFilePath(std::string& logPath);

// The full file name of the module this code is linked into.
HRESULT GetThisModuleFileName(std::string& fileName);
HMODULE ThisModule() noexcept;

}  // namespace talverin

// Shorthands used across the filter.
// The arguments are built only when the line is due: a trail line's text is
// not made on every request at level 0.
#define TLOG(level, text)                                                                 \
  (::talverin::TraceLog::Instance().Enabled(level) ? ::talverin::TraceLog::Instance().Log((level), (text)) \
                                                   : void())
#define TLOGF(level, ...)                                                                              \
  (::talverin::TraceLog::Instance().Enabled(level)                                                     \
       ? ::talverin::TraceLog::Instance().LogFormat((level), __VA_ARGS__)                              \
       : void())
