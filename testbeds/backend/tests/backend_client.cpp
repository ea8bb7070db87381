#include "backend_client.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <memory>
#include <regex>
#include <type_traits>
#include <utility>

namespace backend_test {

using testing::AssertionFailure;
using testing::AssertionResult;
using testing::AssertionSuccess;

const wchar_t kInProcProgId[] = L"TALVERIN.TestBackend.InProc";
const wchar_t kLocalProgId[] = L"TALVERIN.TestBackend.Local";

namespace {

const char kUsersFile[] =
    "CONTOSO\\alice       | +49 170 1234567 | Secret1 | valid\r\n"
    "bob@contoso.example  | +44 7700 900123 | pa|ss   | bypass\r\n"
    "CONTOSO\\carol       | +1 555 0101     | x       | locked\r\n"
    "CONTOSO\\dave        | +1 555 0102     | y       | denied\r\n";

Reply Invoke(IDispatch* object, const wchar_t* name, WORD flags, const std::vector<Arg>& args) {
  Reply reply;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  reply.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(reply.hr)) return reply;
  // COM wants the arguments last to first.
  std::vector<VARIANT> reversed(args.size());
  for (size_t i = 0; i < args.size(); ++i) reversed[args.size() - 1 - i] = args[i].Get();
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags & DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &putId;
    params.cNamedArgs = 1;
  }
  EXCEPINFO info{};
  reply.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                            (flags & DISPATCH_PROPERTYPUT) ? nullptr : &reply.value, &info, nullptr);
  if (info.bstrDescription) reply.description.assign(info.bstrDescription, SysStringLen(info.bstrDescription));
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrHelpFile);
  return reply;
}

// Waits until the service reaches `state`; false after the bound.
bool ServiceReaches(SC_HANDLE service, DWORD state, DWORD waitMs) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == state) return true;
    if (GetTickCount64() > deadline) return false;
    Sleep(50);
  }
}

AssertionResult EndsWithin(HANDLE process, DWORD pid, DWORD waitMs, DWORD* code) {
  if (WaitForSingleObject(process, waitMs) != WAIT_OBJECT_0) {
    return AssertionFailure() << "process " << pid << " still runs after " << waitMs << " ms";
  }
  GetExitCodeProcess(process, code);
  return AssertionSuccess();
}

// Waits, within the bound, until every local server an earlier client left running has ended.
AssertionResult NoLocalServerWithin(DWORD waitMs) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  talverin::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.Get() == INVALID_HANDLE_VALUE) return AssertionSuccess();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"TalverinTestBackend.exe") != 0) continue;
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    AssertionResult ended = ProcessEndsWithin(entry.th32ProcessID, left);
    if (!ended) return AssertionFailure() << "a local server of an earlier client: " << ended.message();
  }
  return AssertionSuccess();
}

}  // namespace

void PointFilterProgIdAt(BackendHost host) {
  const wchar_t* clsid = host == BackendHost::InProc  ? L"{D6644A5B-B472-4C9C-AF9B-F4A992509EA6}"
                         : host == BackendHost::Local ? L"{C2F29DC9-1957-4830-9CE6-3DAC754B1AD4}"
                                                      : L"{00000000-0000-0000-0000-0000000000EE}";
  talverin::UniqueHkey key;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                           L"Software\\Classes\\TALVERIN.ISA.Service.Object.ConnectionMaster\\CLSID",
                                           0, nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid),
                                          static_cast<DWORD>((wcslen(clsid) + 1) * sizeof(wchar_t))));
}

Arg::Arg() { VariantInit(&v_); }
Arg::Arg(const std::wstring& text) : Arg() {
  V_VT(&v_) = VT_BSTR;
  V_BSTR(&v_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}
Arg::Arg(long value) : Arg() {
  V_VT(&v_) = VT_I4;
  V_I4(&v_) = value;
}
Arg::Arg(const Arg& other) : Arg() { VariantCopy(&v_, const_cast<VARIANT*>(&other.v_)); }
Arg::~Arg() { VariantClear(&v_); }

Reply& Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    VariantClear(&value);
    hr = other.hr;
    value = other.value;
    V_VT(&other.value) = VT_EMPTY;
    description = std::move(other.description);
  }
  return *this;
}

std::wstring Reply::Text() const {
  if (V_VT(&value) != VT_BSTR || !V_BSTR(&value)) return {};
  return std::wstring(V_BSTR(&value), SysStringLen(V_BSTR(&value)));
}

ComPtr<IDispatch> Reply::Object() const {
  if (V_VT(&value) != VT_DISPATCH) return nullptr;
  return ComPtr<IDispatch>::Copy(V_DISPATCH(&value));
}

Reply Method(IDispatch* object, const wchar_t* name, const std::vector<Arg>& args) {
  return Invoke(object, name, DISPATCH_METHOD, args);
}
Reply Get(IDispatch* object, const wchar_t* name) { return Invoke(object, name, DISPATCH_PROPERTYGET, {}); }
Reply Put(IDispatch* object, const wchar_t* name, const Arg& value) {
  return Invoke(object, name, DISPATCH_PROPERTYPUT, {value});
}

ComPtr<IDispatch> Create(const wchar_t* progId, HRESULT* hr) {
  CLSID clsid;
  ComPtr<IDispatch> object;
  HRESULT result = CLSIDFromProgID(progId, &clsid);
  if (SUCCEEDED(result)) result = CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, object.PutVoid());
  if (hr) *hr = result;
  return object;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c));
  return out;
}

std::string PasscodeFromOutbox(const std::string& outbox, const std::wstring& token) {
  std::smatch match;
  const std::regex line("passcode=([0-9]{6}) token=" + Narrow(token));
  return std::regex_search(outbox, match, line) ? match[1].str() : std::string();
}

AssertionResult ProcessEndsWithin(DWORD pid, DWORD waitMs, DWORD* exitCode) {
  talverin::UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  DWORD code = 0;  // of a process gone before we looked: lost with it
  AssertionResult ended = AssertionSuccess();
  if (process) ended = EndsWithin(process.Get(), pid, waitMs, &code);
  if (exitCode) *exitCode = code;
  return ended;
}

AssertionResult ShutDownLocalServer(IDispatch* master, DWORD waitMs) {
  Reply pid = Method(master, L"ProcessId");
  if (pid.hr != S_OK) return AssertionFailure() << "ProcessId failed, 0x" << std::hex << pid.hr;
  // Opened before the request, so that the exit code outlives the process.
  const DWORD id = static_cast<DWORD>(pid.Int());
  talverin::UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
  Reply reply = Method(master, L"Shutdown");
  if (reply.hr != S_OK) return AssertionFailure() << "Shutdown failed, 0x" << std::hex << reply.hr;
  if (!process) return AssertionFailure() << "process " << id << " cannot be opened";
  DWORD code = 0;
  AssertionResult ended = EndsWithin(process.Get(), id, waitMs, &code);
  if (ended && code != 0) return AssertionFailure() << "process " << id << " ended with 0x" << std::hex << code;
  return ended;
}

AssertionResult ForgetRegistrationsOfEndedServers() {
  using Handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, decltype(&CloseServiceHandle)>;
  const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  if (!manager) return AssertionFailure() << "no service manager, error " << GetLastError();
  const Handle service(OpenServiceW(manager.get(), L"RpcSs", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS),
                       &CloseServiceHandle);
  if (!service) return AssertionFailure() << "RpcSs cannot be opened, error " << GetLastError();
  SERVICE_STATUS status{};
  // Where the service cannot be stopped there is nothing to do.
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return AssertionSuccess();
  }
  if (!ServiceReaches(service.get(), SERVICE_STOPPED, kServerEndMs)) return AssertionFailure() << "RpcSs did not stop";
  if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    return AssertionFailure() << "RpcSs did not start again, error " << GetLastError();
  }
  if (!ServiceReaches(service.get(), SERVICE_RUNNING, kServerEndMs)) return AssertionFailure() << "RpcSs not running";
  return AssertionSuccess();
}

AssertionResult LocalServerStartsAfresh() {
  AssertionResult gone = NoLocalServerWithin(kServerEndMs);
  if (!gone) return gone;
  return ForgetRegistrationsOfEndedServers();
}

BackendSession::BackendSession(const wchar_t* progId) {
  HRESULT hr = E_FAIL;
  master_ = Create(progId, &hr);
  EXPECT_EQ(S_OK, hr) << "creating " << Narrow(progId);
  if (!master_) return;
  talverin::test::WriteFileText(UsersPath(), kUsersFile);
  SetOption(L"UsersFile", Widen(UsersPath()));
  SetOption(L"DataDir", Widen(dir_.path()));
}

void BackendSession::SetOption(const wchar_t* name, const std::wstring& value) const {
  Reply reply = Method(master_.Get(), L"SetOption", {name, value});
  EXPECT_EQ(S_OK, reply.hr) << Narrow(reply.description);
}

}  // namespace backend_test
