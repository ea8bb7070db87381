// The local-server host: a process of its own, as the production service is.
// Started by COM ("-Embedding") it ends a few seconds after its last object
// is gone; started by hand it serves until told to shut down. Either way the
// control member Shutdown ends it at once.
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cwchar>

#include "base/win.h"
#include "module.h"
#include "objects.h"

namespace {

// Gives clients that release and create again in quick succession the same process.
constexpr ULONGLONG kLingerMs = 3000;
// A process started by COM that never gets its first object goes after this.
constexpr ULONGLONG kStartupGraceMs = 60000;

HANDLE g_wake = nullptr;
std::atomic<bool> g_shutdown{false};
DWORD g_cookie = 0;
std::atomic<bool> g_registered{false};

void Revoke() {
  if (g_registered.exchange(false)) CoRevokeClassObject(g_cookie);
}

DWORD WINAPI RevokeOnThread(void*) {
  Revoke();
  return 0;
}

// A server that dies must not leave its class registered. Windows forgets
// the registration of a dead process; Wine's RPC service keeps it and hands
// it to every later client before any live server's, so that no client could
// reach a server again until the service restarts.
LONG WINAPI RevokeAndEnd(EXCEPTION_POINTERS* info) {
  const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0xDEADu;
  // On a thread of its own and with a bound: the fault may have left a lock
  // of COM held on this one.
  if (HANDLE thread = CreateThread(nullptr, 0, RevokeOnThread, nullptr, 0, nullptr)) {
    WaitForSingleObject(thread, 2000);
    CloseHandle(thread);
  }
  TerminateProcess(GetCurrentProcess(), code ? code : 0xDEADu);
  return EXCEPTION_EXECUTE_HANDLER;
}

void OnLastObject() { SetEvent(g_wake); }

void OnShutdown() {
  g_shutdown = true;
  SetEvent(g_wake);
}

bool StartedByCom(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"-Embedding") == 0 || _wcsicmp(argv[i], L"/Embedding") == 0) return true;
  }
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool byCom = StartedByCom(argc, argv);
  talverin::UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  g_wake = wake.Get();
  backend::SetHost(backend::Host::Local);
  backend::SetLastObjectCallback(OnLastObject);
  backend::SetShutdownCallback(OnShutdown);

  SetUnhandledExceptionFilter(RevokeAndEnd);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);

  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  HRESULT hr = CoRegisterClassObject(backend::CLSID_BackendLocal, backend::ConnectionMasterFactory(),
                                     CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &g_cookie);
  if (FAILED(hr)) {
    std::fwprintf(stderr, L"TALVERIN test back end: CoRegisterClassObject failed, 0x%08lX\n",
                  static_cast<unsigned long>(hr));
    CoUninitialize();
    return 2;
  }
  g_registered = true;
  backend::ConsoleLine(L"TALVERIN test back end serving, process " + std::to_wstring(GetCurrentProcessId()));

  ULONGLONG idleSince = GetTickCount64();
  for (;;) {
    WaitForSingleObject(g_wake, 500);
    if (g_shutdown) break;
    if (!byCom) continue;
    const ULONGLONG now = GetTickCount64();
    if (backend::LiveObjects() > 0) {
      idleSince = now;
      continue;
    }
    // Objects may come and go between two wakes; the count remembers they did.
    if (now - idleSince >= (backend::HadObjects() ? kLingerMs : kStartupGraceMs)) break;
  }

  // Before anything else: from here on no new client may reach this process.
  Revoke();
  backend::ConsoleLine(L"TALVERIN test back end exiting");
  if (g_shutdown) {
    // Let the reply to Shutdown leave before the process goes; objects that
    // clients still hold die with it, as they would in a crashed service.
    // Terminate rather than exit: calls in progress on other threads must not
    // meet the state's destructors.
    Sleep(200);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 0);
  }
  CoUninitialize();
  return 0;
}
