// Test main for Windows tests under Wine: COM initialized like the host's worker threads, and a crash ends
// the process with a reliable exit code (Wine's own unhandled-crash codes are not).
#include <windows.h>
#include <objbase.h>

#include <gmock/gmock.h>

static LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info) {
  DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0xDEADu;
  TerminateProcess(GetCurrentProcess(), code ? code : 0xDEADu);
  return EXCEPTION_EXECUTE_HANDLER;
}

int main(int argc, char** argv) {
  SetUnhandledExceptionFilter(EndOnCrash);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  testing::InitGoogleMock(&argc, argv);
  int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
