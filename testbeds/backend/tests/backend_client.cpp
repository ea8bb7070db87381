#include "backend_client.h"

#include <tlhelp32.h>

#include <memory>
#include <regex>
#include <type_traits>

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
  std::vector<VARIANT> reversed;
  for (auto arg = args.rbegin(); arg != args.rend(); ++arg) reversed.push_back(arg->Get());
  const bool put = flags & DISPATCH_PROPERTYPUT;
  DISPID putId = DISPID_PROPERTYPUT;
  DISPPARAMS params = {reversed.data(), put ? &putId : nullptr, static_cast<UINT>(reversed.size()), put ? 1u : 0u};
  EXCEPINFO info{};
  reply.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : &reply.value, &info,
                            nullptr);
  if (info.bstrDescription) reply.description.assign(info.bstrDescription, SysStringLen(info.bstrDescription));
  for (BSTR text : {info.bstrDescription, info.bstrSource, info.bstrHelpFile}) SysFreeString(text);
  return reply;
}

bool ServiceReaches(SC_HANDLE service, DWORD state) {
  for (const ULONGLONG deadline = GetTickCount64() + kServerEndMs;; Sleep(50)) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == state) return true;
    if (GetTickCount64() > deadline) return false;
  }
}

AssertionResult NoLocalServerWithin(DWORD waitMs) {
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  talverin::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot || snapshot.Get() == INVALID_HANDLE_VALUE) return AssertionSuccess();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, L"TalverinTestBackend.exe") != 0) continue;
    const ULONGLONG now = GetTickCount64(), left = now < deadline ? deadline - now : 0;
    AssertionResult ended = ProcessEndsWithin(entry.th32ProcessID, static_cast<DWORD>(left));
    if (!ended) return AssertionFailure() << "a local server of an earlier client: " << ended.message();
  }
  return AssertionSuccess();
}

}  // namespace

void PointFilterProgIdAt(BackendHost host) {
  const wchar_t* clsid = host == BackendHost::InProc  ? L"{D6644A5B-B472-4C9C-AF9B-F4A992509EA6}"
                         : host == BackendHost::Local ? L"{C2F29DC9-1957-4830-9CE6-3DAC754B1AD4}"
                                                      : L"{00000000-0000-0000-0000-0000000000EE}";
  const wchar_t* key = L"Software\\Classes\\TALVERIN.ISA.Service.Object.ConnectionMaster\\CLSID";
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, nullptr, REG_SZ, clsid,
                                           static_cast<DWORD>((wcslen(clsid) + 1) * sizeof(wchar_t))));
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
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string PasscodeFromOutbox(const std::string& outbox, const std::wstring& token) {
  std::smatch match;
  const std::regex line("passcode=([0-9]{6}) token=" + Narrow(token));
  return std::regex_search(outbox, match, line) ? match[1].str() : std::string();
}

// A process gone before it was opened has ended, its exit code (0 here) lost with it.
AssertionResult ProcessEndsWithin(DWORD pid, DWORD waitMs, DWORD* exitCode) {
  const talverin::UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  DWORD code = 0;
  if (process && WaitForSingleObject(process.Get(), waitMs) != WAIT_OBJECT_0) {
    return AssertionFailure() << "process " << pid << " still runs after " << waitMs << " ms";
  }
  if (process) GetExitCodeProcess(process.Get(), &code);
  if (exitCode) *exitCode = code;
  return AssertionSuccess();
}

AssertionResult ShutDownLocalServer(IDispatch* master, DWORD waitMs) {
  const Reply pid = Method(master, L"ProcessId");
  if (pid.hr != S_OK) return AssertionFailure() << "ProcessId failed, 0x" << std::hex << pid.hr;
  // Held open across the request, so that the ended process, its identifier and exit code outlive it.
  const talverin::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid.Int())));
  const Reply reply = Method(master, L"Shutdown");
  if (reply.hr != S_OK) return AssertionFailure() << "Shutdown failed, 0x" << std::hex << reply.hr;
  if (!process) return AssertionFailure() << "process " << pid.Int() << " cannot be opened";
  DWORD code = 0;
  AssertionResult ended = ProcessEndsWithin(static_cast<DWORD>(pid.Int()), waitMs, &code);
  if (ended && code != 0) return AssertionFailure() << "process " << pid.Int() << " ended with 0x" << std::hex << code;
  return ended;
}

AssertionResult ForgetRegistrationsOfEndedServers() {
  using Handle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, decltype(&CloseServiceHandle)>;
  const Handle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), &CloseServiceHandle);
  const Handle service(OpenServiceW(manager.get(), L"RpcSs", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS),
                       &CloseServiceHandle);
  if (!service) return AssertionFailure() << "RpcSs cannot be opened, error " << GetLastError();
  SERVICE_STATUS status{};
  // Where the service cannot be stopped there is nothing to do.
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status) && GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
    return AssertionSuccess();
  }
  if (!ServiceReaches(service.get(), SERVICE_STOPPED)) return AssertionFailure() << "RpcSs did not stop";
  if (!StartServiceW(service.get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    return AssertionFailure() << "RpcSs did not start again, error " << GetLastError();
  }
  return ServiceReaches(service.get(), SERVICE_RUNNING) ? AssertionSuccess() : AssertionFailure() << "RpcSs is down";
}

AssertionResult LocalServerStartsAfresh() {
  AssertionResult gone = NoLocalServerWithin(kServerEndMs);
  return gone ? ForgetRegistrationsOfEndedServers() : gone;
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
