#pragma once
// A raw IDispatch client for the test back end: members looked up by name, hand-built DISPPARAMS.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/win.h"
#include "support/test_files.h"

namespace backend_test {

using talverin::ComPtr;

extern const wchar_t kInProcProgId[];
extern const wchar_t kLocalProgId[];

enum class BackendHost { InProc, Local, Nowhere };

// Points the filter's ProgID at one of the two hosts, or at an unregistered class (a vanished back end).
void PointFilterProgIdAt(BackendHost host);

class Arg {
 public:
  Arg(const wchar_t* text) : Arg(std::wstring(text)) {}
  Arg(const std::wstring& text) {
    V_VT(&v_) = VT_BSTR;
    V_BSTR(&v_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  Arg(long value) {
    V_VT(&v_) = VT_I4;
    V_I4(&v_) = value;
  }
  Arg(int value) : Arg(static_cast<long>(value)) {}
  Arg(const Arg& other) { VariantCopy(&v_, const_cast<VARIANT*>(&other.v_)); }
  Arg& operator=(const Arg&) = delete;
  ~Arg() { VariantClear(&v_); }
  const VARIANT& Get() const { return v_; }

 private:
  VARIANT v_{};  // VT_EMPTY, as VariantInit leaves it
};

struct Reply {
  HRESULT hr = E_FAIL;
  VARIANT value;
  std::wstring description;  // of DISP_E_EXCEPTION

  Reply() { VariantInit(&value); }
  Reply(Reply&& other) noexcept : Reply() { *this = std::move(other); }  // copies are deleted with it
  Reply& operator=(Reply&& other) noexcept {  // the value held before goes with `other`, which clears it
    std::swap(hr, other.hr);
    std::swap(value, other.value);
    std::swap(description, other.description);
    return *this;
  }
  ~Reply() { VariantClear(&value); }

  VARTYPE type() const { return V_VT(&value); }
  std::wstring Text() const {
    return type() == VT_BSTR && V_BSTR(&value) ? std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value))) : L"";
  }
  long Int() const { return V_I4(&value); }
  ComPtr<IDispatch> Object() const {
    return type() == VT_DISPATCH ? ComPtr<IDispatch>::Copy(V_DISPATCH(&value)) : ComPtr<IDispatch>();
  }
};

Reply Method(IDispatch* object, const wchar_t* name, const std::vector<Arg>& args = {});
Reply Get(IDispatch* object, const wchar_t* name);
Reply Put(IDispatch* object, const wchar_t* name, const Arg& value);

ComPtr<IDispatch> Create(const wchar_t* progId, HRESULT* hr = nullptr);

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

std::string PasscodeFromOutbox(const std::string& outbox, const std::wstring& token);  // empty when none

// A local server outlives its last client a moment, still registered: each test waits for the previous one's end.
testing::AssertionResult ProcessEndsWithin(DWORD pid, DWORD waitMs, DWORD* exitCode = nullptr);
// Shutdown through `master`, then its process's end with exit code 0 (not a crash).
testing::AssertionResult ShutDownLocalServer(IDispatch* master, DWORD waitMs);
// A fresh RPC service: Wine, unlike Windows, hands a dead server's unrevoked registration to every later client.
testing::AssertionResult ForgetRegistrationsOfEndedServers();
testing::AssertionResult LocalServerStartsAfresh();  // no local server left, registrations forgotten

// Generous: a busy machine slows every process start and end under Wine.
constexpr DWORD kServerEndMs = 30000;

// A root object of one host, with its own users file, outbox and audit file.
class BackendSession {
 public:
  explicit BackendSession(const wchar_t* progId);
  IDispatch* master() const { return master_.Get(); }
  std::string Outbox() const { return talverin::test::ReadFileText(dir_.Sub("outbox.txt")); }
  std::string UsersPath() const { return dir_.Sub("users.txt"); }
  void SetOption(const wchar_t* name, const std::wstring& value) const;

 private:
  talverin::test::ScratchDir dir_;
  ComPtr<IDispatch> master_;
};

}  // namespace backend_test
