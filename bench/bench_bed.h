#pragma once
// What the benchmarks that drive the proxy emulation share: the listener and
// the user they log on with, the filter's registry values, the clock, and a
// session made Valid in the test back end.
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "backend_client.h"
#include "base/win.h"
#include "support/filter_install.h"
#include "support/test_files.h"

namespace talverin::bench {

inline constexpr char kSettingsKey[] = "SOFTWARE\\TALVERIN\\ISA";
inline constexpr char kStore[] =
    "[listener]\nname = Exchange OWA\npersistent-name = {AAAAAAAA-0000-0000-0000-000000000001}\n"
    "cookie-name = cadata\ncookie-domains-in-use = no\n\n"
    "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\nEnabled = i4:1\n";
inline constexpr char kUsers[] = "CONTOSO\\alice | +49 170 1234567 | Secret1 | valid\r\n";

// Seconds on the steady clock (the performance counter on Windows).
inline double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

inline void SetDword(const char* name, DWORD value) {
  talverin::UniqueHkey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr) == 0) {
    RegSetValueExA(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
}

// Makes the browser's session Valid in the back end, whatever road the filter
// took to get there (the measurement is of the Valid path only).
inline bool MakeValid(IDispatch* master, const std::string& key) {
  talverin::ComPtr<IDispatch> store = backend_test::Get(master, L"Store").Object();
  if (!store) return false;
  backend_test::Reply found = backend_test::Method(store.Get(), L"GetSession", {backend_test::Widen(key)});
  talverin::ComPtr<IDispatch> session;
  if (found.type() == VT_DISPATCH) {
    session = found.Object();
  } else {
    session = backend_test::Method(store.Get(), L"CreateSession", {backend_test::Widen(key)}).Object();
  }
  if (!session) return false;
  backend_test::Put(session.Get(), L"Url", backend_test::Arg(L"/owa/"));
  return backend_test::Put(session.Get(), L"State", backend_test::Arg(2L)).hr == S_OK;
}

// The installed filter, its settings at the given trace level and the test
// back end in process with the user above; all undone when it ends.
class BenchSetUp {
 public:
  explicit BenchSetUp(DWORD traceLevel) {
    talverin::test::WriteFileText(data_.Sub("fpc_store.conf"), kStore);
    talverin::test::WriteFileText(data_.Sub("users.txt"), kUsers);
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", data_.Sub("fpc_store.conf").c_str());
    SetDword("TraceLevel", traceLevel);
    backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc);
    master_ = backend_test::Create(backend_test::kInProcProgId);
    if (!master_) return;
    backend_test::Method(master_.Get(), L"SetOption", {L"UsersFile", backend_test::Widen(data_.Sub("users.txt"))});
    backend_test::Method(master_.Get(), L"SetOption", {L"DataDir", backend_test::Widen(data_.path() + "\\")});
  }
  ~BenchSetUp() {
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_WOW64_64KEY, 0);
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", nullptr);
  }
  BenchSetUp(const BenchSetUp&) = delete;
  BenchSetUp& operator=(const BenchSetUp&) = delete;

  // Says what failed when the set-up is not complete.
  bool Ok() const {
    if (install_.ok() && master_) return true;
    std::printf("set-up failed: install %d, back end %d\n", install_.ok(), static_cast<bool>(master_));
    return false;
  }
  IDispatch* Master() const { return master_.Get(); }
  std::string DllPath() const { return install_.dllPath(); }
  std::string DataFile(const char* name) { return data_.Sub(name); }

 private:
  talverin::test::FilterInstall install_;
  talverin::test::ScratchDir data_;
  talverin::ComPtr<IDispatch> master_;
};

}  // namespace talverin::bench
