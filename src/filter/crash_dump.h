#pragma once
// The crash dump written when a machine fault is caught inside dispatch.
#include <windows.h>

#include <string>

namespace talverin {

class CFilter;

// Logs the fault and, unless the filter refuses requests, writes a full memory
// dump of the process to "<dir>\Logs\<module file name>.dmp". Every failure is
// logged and swallowed. Runs on the faulting thread before the unwind. The
// answer is the dump's path, empty when none was written.
std::string WriteCrashDump(CFilter& filter, EXCEPTION_POINTERS* info);

// "<dir>\Logs\<name>.dmp" for "<dir>\<name>"; false without a backslash.
bool ComputeDumpFilePath(const std::string& moduleFileName, std::string& dumpPath);

}  // namespace talverin
