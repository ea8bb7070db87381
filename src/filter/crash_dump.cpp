#include "filter/crash_dump.h"

#include <dbghelp.h>

#include "base/win.h"
#include "diag/trace_log.h"
#include "filter/filter.h"

namespace talverin {
namespace {

// Full memory, handle data, unloaded modules.
constexpr MINIDUMP_TYPE kDumpType = static_cast<MINIDUMP_TYPE>(0x00000026);

}  // namespace

bool ComputeDumpFilePath(const std::string& moduleFileName, std::string& dumpPath) {
  std::size_t slash = moduleFileName.rfind('\\');
  if (slash == std::string::npos) return false;
  dumpPath = moduleFileName.substr(0, slash + 1) + "Logs\\" + moduleFileName.substr(slash + 1) + ".dmp";
  return true;
}

std::string WriteCrashDump(CFilter& filter, EXCEPTION_POINTERS* info) {
  DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
  TLOGF(0, "SEH caught!!! Alarm, alarm, alarm! Exception code: 0x%X.", static_cast<unsigned>(code));
  // While requests are refused no further dump is written.
  if (filter.IsBlocked()) return std::string();

  std::string moduleFileName;
  if (FAILED(GetThisModuleFileName(moduleFileName))) return std::string();
  std::string dumpPath;
  if (!ComputeDumpFilePath(moduleFileName, dumpPath)) return std::string();
  TLOGF(0, "Attempt to create dump file: \"%s\".", dumpPath.c_str());

  UniqueHandle file(CreateFileA(dumpPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    TLOGF(0, "Failed to create dump file, error: %d.", static_cast<int>(GetLastError()));
    return std::string();
  }
  MINIDUMP_EXCEPTION_INFORMATION exception{};
  exception.ThreadId = GetCurrentThreadId();
  exception.ExceptionPointers = info;
  exception.ClientPointers = FALSE;
  if (!MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), kDumpType,
                         info ? &exception : nullptr, nullptr, nullptr)) {
    TLOGF(0, "Failed to write dump file, error: %d.", static_cast<int>(GetLastError()));
    return std::string();
  }
  return dumpPath;
}

}  // namespace talverin
