// The cost of one late-bound back-end call, through the filter's proxies,
// against the test back end in-process and as a local server. Prints its
// measurements; a host that is not registered is skipped.
//
//   backend_call_bench [calls]     (default 1000)
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "stub/connection_master.h"
#include "stub/errors.h"
#include "stub/invocation.h"

namespace {

// Seconds on the steady clock (the performance counter on Windows).
double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Microseconds per run of f, over `count` runs after a short warm-up.
double MicrosecondsPerCall(int count, const std::function<void()>& f) {
  for (int i = 0; i < 20; ++i) f();
  const double start = Now();
  for (int i = 0; i < count; ++i) f();
  return (Now() - start) * 1e6 / count;
}

// The same property get with the DISPID looked up once: what the lookup on
// every call costs is the difference.
void InvokeOnly(IDispatch* object, DISPID id) {
  DISPPARAMS none = {};
  VARIANT result;
  VariantInit(&result);
  object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  VariantClear(&result);
}

void Measure(const char* label, const wchar_t* progId, int count) {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(progId, &clsid))) {
    std::printf("%-12s skipped: %ls is not registered\n", label, progId);
    return;
  }
  talverin::ComPtr<IDispatch> root;
  double start = Now();
  HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, root.PutVoid());
  const double createMs = (Now() - start) * 1e3;
  if (FAILED(hr)) {
    std::printf("%-12s skipped: CoCreateInstance failed, 0x%08lX\n", label, static_cast<unsigned long>(hr));
    return;
  }

  try {
    Stub::ConnectionMaster master;
    master.Attach(root.Get());
    start = Now();
    auto server = master.GetServer();
    auto store = master.GetStore();
    auto proxy = master.GetProxy();
    const double childrenMs = (Now() - start) * 1e3;
    auto session = store->CreateSession("bench-key");
    session->PutUrl("/owa/");

    std::printf("%-12s CoCreateInstance %.2f ms; Server+Store+Proxy %.3f ms\n", label, createMs, childrenMs);
    std::printf("%-12s %-44s %9.2f us/call\n", label, "Session.State get (int)",
                MicrosecondsPerCall(count, [&] { session->GetState(); }));
    std::printf("%-12s %-44s %9.2f us/call\n", label, "Session.Url get (string)",
                MicrosecondsPerCall(count, [&] { session->GetUrl(); }));
    std::printf("%-12s %-44s %9.2f us/call\n", label, "Session.Url put (string)",
                MicrosecondsPerCall(count, [&] { session->PutUrl("/owa/"); }));
    std::printf("%-12s %-44s %9.2f us/call\n", label, "SessionStore.GetSession (object)",
                MicrosecondsPerCall(count, [&] { store->GetSession("bench-key"); }));
    std::printf("%-12s %-44s %9.2f us/call\n", label, "ConnectionMaster probe (Server as method)",
                MicrosecondsPerCall(count, [&] { master.IsAlive(); }));
    std::vector<unsigned char> bytes;
    std::printf("%-12s %-44s %9.2f us/call\n", label, "HtmlServer.RenderPicture (picture bytes)",
                MicrosecondsPerCall(count / 10 + 1, [&] {
                  bytes.clear();
                  server->RenderPicture("login_img.jpg", bytes);
                }));
    std::printf("%-12s   (picture of %zu bytes)\n", label, bytes.size());

    // The raw session object, for the lookup-free comparison.
    talverin::ComPtr<IDispatch> rawSession;
    {
      talverin::UniqueVariant storeResult;
      Stub::InvokeByName(root.Get(), L"Store", Stub::CallKind::PropertyGet, nullptr, 0, storeResult.Get());
      talverin::ComPtr<IDispatch> rawStore = Stub::DispatchFromResult(*storeResult.Get());
      talverin::UniqueVariant key;
      Stub::SetText(key, "bench-key");
      talverin::UniqueVariant sessionResult;
      if (rawStore) {
        Stub::InvokeByName(rawStore.Get(), L"GetSession", Stub::CallKind::Method, &key, 1, sessionResult.Get());
        rawSession = Stub::DispatchFromResult(*sessionResult.Get());
      }
    }
    if (rawSession) {
      DISPID stateId = DISPID_UNKNOWN;
      LPOLESTR name = const_cast<LPOLESTR>(L"State");
      if (SUCCEEDED(rawSession->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &stateId))) {
        std::printf("%-12s %-44s %9.2f us/call\n", label, "Session.State get, DISPID cached (raw Invoke)",
                    MicrosecondsPerCall(count, [&] { InvokeOnly(rawSession.Get(), stateId); }));
      }
    }
  } catch (const talverin::Error& e) {
    std::printf("%-12s failed: 0x%08lX %s %s\n", label, static_cast<unsigned long>(e.hr), e.text.c_str(),
                e.errorText.c_str());
  } catch (const std::exception& e) {
    std::printf("%-12s failed: %s\n", label, e.what());
  }

  // A local server started for this run is asked to go.
  talverin::UniqueVariant ignored;
  Stub::InvokeByName(root.Get(), L"Shutdown", Stub::CallKind::Method, nullptr, 0, ignored.Get());
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::printf("late-bound back-end calls (lookup by name on every call), %d calls each, MTA\n", count);
  Measure("in-process", L"TALVERIN.TestBackend.InProc", count);
  Measure("local", L"TALVERIN.TestBackend.Local", count);
  CoUninitialize();
  return 0;
}
