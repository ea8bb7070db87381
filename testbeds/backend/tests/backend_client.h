#pragma once
// A raw IDispatch client for the test back end: members are looked up by
// name and invoked with hand-built DISPPARAMS, as the filter's own client does.
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

// Points the filter's ProgID at one of the two hosts, or at a class that is
// not registered (a back end that has vanished).
void PointFilterProgIdAt(BackendHost host);

// One argument VARIANT, owned.
class Arg {
 public:
  Arg(const wchar_t* text) : Arg(std::wstring(text)) {}
  Arg(const std::wstring& text);
  Arg(long value);
  Arg(int value) : Arg(static_cast<long>(value)) {}
  Arg(const Arg& other);
  Arg& operator=(const Arg&) = delete;
  ~Arg();
  const VARIANT& Get() const { return v_; }

 private:
  Arg();
  VARIANT v_;
};

// The outcome of one Invoke.
struct Reply {
  HRESULT hr = E_FAIL;
  VARIANT value;
  std::wstring description;  // of DISP_E_EXCEPTION

  Reply() { VariantInit(&value); }
  Reply(Reply&& other) noexcept : Reply() { *this = std::move(other); }  // copies are deleted with it
  Reply& operator=(Reply&& other) noexcept;
  ~Reply() { VariantClear(&value); }

  VARTYPE type() const { return V_VT(&value); }
  std::wstring Text() const;
  long Int() const { return V_I4(&value); }
  ComPtr<IDispatch> Object() const;
};

Reply Method(IDispatch* object, const wchar_t* name, const std::vector<Arg>& args = {});
Reply Get(IDispatch* object, const wchar_t* name);
Reply Put(IDispatch* object, const wchar_t* name, const Arg& value);

ComPtr<IDispatch> Create(const wchar_t* progId, HRESULT* hr = nullptr);

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The passcode texted for this token, from the outbox; empty when none.
std::string PasscodeFromOutbox(const std::string& outbox, const std::wstring& token);

// A local server outlives its last client for a moment, and one going away
// may still hold its class registration: each test of the local server starts
// once the previous server is gone and ends its own, each wait with a bound.
// ProcessEndsWithin answers the exit code, or fails while the process runs.
testing::AssertionResult ProcessEndsWithin(DWORD pid, DWORD waitMs, DWORD* exitCode = nullptr);
// Asks the server behind `master` to shut down and waits until its process
// has ended as Shutdown ends it (exit code 0, not a crash).
testing::AssertionResult ShutDownLocalServer(IDispatch* master, DWORD waitMs);
// A fresh RPC service: Wine's keeps the class registration of a server that
// died before revoking it and hands it to every later client, so that no new
// server would ever start. Windows forgets it by itself.
testing::AssertionResult ForgetRegistrationsOfEndedServers();
// Both: the state every test of the local server starts from.
testing::AssertionResult LocalServerStartsAfresh();

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
