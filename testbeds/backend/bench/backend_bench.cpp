// Measures what a client of the test back end pays per call, in-process and
// across processes: creating the root object, a user check, a picture, and a
// passcode request with its check; and how many calls per second the local
// server answers in all when several threads call it at once (the machine's
// ceiling for a gateway whose requests each cost calls across processes).
// Needs the back end registered (register.sh).
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Dispatch {
  IDispatch* p = nullptr;
  ~Dispatch() {
    if (p) p->Release();
  }
};

// Calls a member by name with BSTR arguments; the result is handed back.
HRESULT Call(IDispatch* object, const wchar_t* name, WORD flags, std::vector<const wchar_t*> args, VARIANT* result) {
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> v(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    VariantInit(&v[args.size() - 1 - i]);
    V_VT(&v[args.size() - 1 - i]) = VT_BSTR;
    V_BSTR(&v[args.size() - 1 - i]) = SysAllocString(args[i]);
  }
  DISPPARAMS params = {v.data(), nullptr, static_cast<UINT>(v.size()), 0};
  VariantInit(result);
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
  for (auto& a : v) VariantClear(&a);
  return hr;
}

IDispatch* Child(IDispatch* master, const wchar_t* name) {
  VARIANT r;
  if (FAILED(Call(master, name, DISPATCH_PROPERTYGET, {}, &r)) || V_VT(&r) != VT_DISPATCH) return nullptr;
  return V_DISPATCH(&r);  // the reference moves to the caller
}

IDispatch* Create(const wchar_t* progId) {
  CLSID clsid;
  IDispatch* object = nullptr;
  if (FAILED(CLSIDFromProgID(progId, &clsid))) return nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, reinterpret_cast<void**>(&object)))) {
    return nullptr;
  }
  return object;
}

void Measure(const char* what, int count, const std::function<bool()>& step) {
  const auto start = Clock::now();
  int done = 0;
  for (; done < count; ++done) {
    if (!step()) break;
  }
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  if (done < count) {
    std::printf("  %-44s FAILED after %d calls\n", what, done);
  } else {
    std::printf("  %-44s %10.1f us/call  (%d calls)\n", what, us / count, count);
  }
}

void Run(const wchar_t* progId, const char* label, int scale) {
  std::printf("%s (%ls)\n", label, progId);
  Dispatch master;
  master.p = Create(progId);
  if (!master.p) {
    std::printf("  cannot create the root object: is the back end registered?\n");
    return;
  }
  // A users file and data folder of the bench's own, so the real work (file
  // look-up, outbox and audit lines) is in the measurement.
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring dir = std::wstring(temp) + L"talverin-backend-bench";
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring users = dir + L"\\users.txt";
  HANDLE file = CreateFileW(users.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  const char line[] = "BENCH\\user | +1 555 0100 | x | valid\r\n";
  DWORD written = 0;
  WriteFile(file, line, sizeof line - 1, &written, nullptr);
  CloseHandle(file);
  VARIANT ignored;
  Call(master.p, L"SetOption", DISPATCH_METHOD, {L"UsersFile", users.c_str()}, &ignored);
  Call(master.p, L"SetOption", DISPATCH_METHOD, {L"DataDir", dir.c_str()}, &ignored);

  Measure("CoCreateInstance + Release of the root object", 5 * scale, [&] {
    IDispatch* o = Create(progId);
    if (o) o->Release();
    return o != nullptr;
  });
  Dispatch proxy, server;
  proxy.p = Child(master.p, L"Proxy");
  server.p = Child(master.p, L"Server");
  if (!proxy.p || !server.p) return;
  Measure("Server probe (method call)", 100 * scale, [&] {
    VARIANT r;
    HRESULT hr = Call(master.p, L"Server", DISPATCH_METHOD, {}, &r);
    VariantClear(&r);
    return hr == S_OK;
  });
  Measure("CheckAuthenticationAllowed", 100 * scale, [&] {
    VARIANT r;
    HRESULT hr = Call(proxy.p, L"CheckAuthenticationAllowed", DISPATCH_METHOD, {L"BENCH\\user", L"127.0.0.1"}, &r);
    VariantClear(&r);
    return hr == S_OK;
  });
  Measure("RenderHtmlPage TalvLogon.html", 100 * scale, [&] {
    VARIANT r;
    HRESULT hr = Call(server.p, L"RenderHtmlPage", DISPATCH_METHOD, {L"TalvLogon.html", L"/owa/"}, &r);
    VariantClear(&r);
    return hr == S_OK;
  });
  Measure("RenderPicture login_img.jpg", 100 * scale, [&] {
    VARIANT r;
    HRESULT hr = Call(server.p, L"RenderPicture", DISPATCH_METHOD, {L"login_img.jpg"}, &r);
    VariantClear(&r);
    return hr == S_OK;
  });
  Measure("RequestPasscode + wrong Authenticate", 20 * scale, [&] {
    VARIANT token, ok;
    HRESULT hr = Call(proxy.p, L"RequestPasscode", DISPATCH_METHOD, {L"BENCH\\user"}, &token);
    if (hr == S_OK) hr = Call(proxy.p, L"Authenticate", DISPATCH_METHOD, {V_BSTR(&token), L"000000"}, &ok);
    VariantClear(&token);
    VariantClear(&ok);
    return hr == S_OK;
  });
}

// Calls per second the object answers in all, with threads callers at once,
// each in the process's multithreaded apartment, for about a second. A call
// is one member invocation (the name looked up once beforehand), as the
// filter makes them.
void MeasureConcurrent(IDispatch* object, const wchar_t* member, WORD flags, int threads,
                       const wchar_t* argument = nullptr) {
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return;
  std::atomic<long> calls{0};
  std::atomic<bool> failed{false};
  const auto end = Clock::now() + std::chrono::seconds(1);
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      while (Clock::now() < end) {
        VARIANT arg;
        VariantInit(&arg);
        if (argument) {
          V_VT(&arg) = VT_BSTR;
          V_BSTR(&arg) = SysAllocString(argument);
        }
        DISPPARAMS params = {argument ? &arg : nullptr, nullptr, argument ? 1u : 0u, 0};
        VARIANT result;
        VariantInit(&result);
        const HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &result, nullptr, nullptr);
        VariantClear(&arg);
        if (hr != S_OK || (argument && V_VT(&result) != VT_DISPATCH)) {
          failed = true;
          break;
        }
        VariantClear(&result);
        ++calls;
      }
      CoUninitialize();
    });
  }
  const auto start = Clock::now();
  for (std::thread& caller : callers) caller.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("  %-12ls %d thread(s) at once: %10.0f calls/s in all%s\n", member, threads, calls / seconds,
              failed ? "  (a call FAILED)" : "");
}

}  // namespace

int main() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Run(L"TALVERIN.TestBackend.InProc", "in-process", 10);
  Run(L"TALVERIN.TestBackend.Local", "local server", 1);
  {
    Dispatch local;
    local.p = Create(L"TALVERIN.TestBackend.Local");
    if (local.p) {
      std::printf("local server, calls from several threads at once (a number; an object; a session by its key)\n");
      for (int threads : {1, 2, 4, 8}) MeasureConcurrent(local.p, L"ProcessId", DISPATCH_PROPERTYGET, threads);
      for (int threads : {1, 8}) MeasureConcurrent(local.p, L"Server", DISPATCH_PROPERTYGET, threads);
      // A session looked up by its key, as the filter does for every request.
      Dispatch store;
      store.p = Child(local.p, L"Store");
      VARIANT created;
      if (store.p && Call(store.p, L"CreateSession", DISPATCH_METHOD, {L"bench-key"}, &created) == S_OK) {
        VariantClear(&created);
        for (int threads : {1, 8}) MeasureConcurrent(store.p, L"GetSession", DISPATCH_METHOD, threads, L"bench-key");
      }
      VARIANT r;
      Call(local.p, L"Shutdown", DISPATCH_METHOD, {}, &r);
    }
  }
  CoUninitialize();
  return 0;
}
