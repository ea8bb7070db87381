// The test back end as a local server: a process of its own that keeps its
// state across clients, serves the filter's ProgID when pointed there, and
// exits on request or when its last object is gone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "backend_client.h"

namespace backend_test {
namespace {

using ::testing::HasSubstr;

DWORD ServerPid(IDispatch* master) {
  Reply reply = Method(master, L"ProcessId");
  EXPECT_EQ(S_OK, reply.hr);
  return static_cast<DWORD>(reply.Int());
}

class LocalBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(earlierServerGone_);
    ASSERT_TRUE(session_.master());
  }
  void TearDown() override {
    // Leave no server behind for the next test; a test may have ended it already.
    if (!session_.master() || FAILED(Method(session_.master(), L"ProcessId").hr)) return;
    EXPECT_TRUE(ShutDownLocalServer(session_.master(), kServerEndMs));
  }
  // Before the session is made: a server still going away could otherwise
  // hand this test an object that dies with it, and a registration left by a
  // server that is gone would keep COM from starting a new one.
  testing::AssertionResult earlierServerGone_ = LocalServerStartsAfresh();
  BackendSession session_{kLocalProgId};
};

TEST_F(LocalBackend, ServesFromAProcessOfItsOwnAndSharesStateAcrossClients) {
  ASSERT_TRUE(session_.master());
  const DWORD pid = ServerPid(session_.master());
  EXPECT_NE(GetCurrentProcessId(), pid);

  ComPtr<IDispatch> store = session_.Child(L"Store");
  ComPtr<IDispatch> session = Method(store.Get(), L"CreateSession", {L"shared-key"}).Object();
  ASSERT_TRUE(session);
  ASSERT_EQ(S_OK, Put(session.Get(), L"Url", L"/owa/").hr);

  // A second root object comes from the same process and sees the same sessions.
  ComPtr<IDispatch> other = Create(kLocalProgId);
  ASSERT_TRUE(other);
  EXPECT_EQ(pid, ServerPid(other.Get()));
  ComPtr<IDispatch> otherStore = Get(other.Get(), L"Store").Object();
  ComPtr<IDispatch> found = Method(otherStore.Get(), L"GetSession", {L"shared-key"}).Object();
  ASSERT_TRUE(found);
  EXPECT_EQ(L"/owa/", Get(found.Get(), L"Url").Text());
}

TEST_F(LocalBackend, PasscodeRoundTripAcrossProcesses) {
  ASSERT_TRUE(session_.master());
  ComPtr<IDispatch> proxy = session_.Child(L"Proxy");
  EXPECT_EQ(5, Method(proxy.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice", L"192.0.2.1"}).Int());
  const std::wstring token = Method(proxy.Get(), L"RequestPasscode", {L"CONTOSO\\alice"}).Text();
  const std::string passcode = PasscodeFromOutbox(session_.Outbox(), token);
  ASSERT_EQ(6u, passcode.size());
  Reply accepted = Method(proxy.Get(), L"Authenticate", {token, Widen(passcode)});
  EXPECT_EQ(S_OK, accepted.hr);
  EXPECT_EQ(VARIANT_TRUE, accepted.BoolValue());

  ComPtr<IDispatch> record = Method(proxy.Get(), L"GetStatus", {token}).Object();
  ASSERT_TRUE(record);
  EXPECT_EQ(VT_I4, Method(record.Get(), L"Status").type());

  Reply picture = Method(session_.Child(L"Server").Get(), L"RenderPicture", {L"login_img.jpg"});
  ASSERT_EQ(VT_ARRAY | VT_UI1, picture.type());
  EXPECT_EQ(0xFF, picture.Bytes().at(0));
}

TEST_F(LocalBackend, FaultsReachTheOtherProcess) {
  ASSERT_TRUE(session_.master());
  ASSERT_EQ(S_OK, Method(session_.master(), L"InjectFault", {L"RenderPicture", L"array-lbound1", L""}).hr);
  Reply picture = Method(session_.Child(L"Server").Get(), L"RenderPicture", {L"login_img.jpg"});
  ASSERT_EQ(VT_ARRAY | VT_UI1, picture.type());
  LONG lb = 0;
  SafeArrayGetLBound(V_ARRAY(&picture.value), 1, &lb);
  EXPECT_EQ(1, lb);
  Method(session_.master(), L"ClearFaults");
}

TEST_F(LocalBackend, FilterProgIdFollowsTheChosenHost) {
  ASSERT_TRUE(session_.master());
  PointFilterProgIdAt(BackendHost::Local);
  ComPtr<IDispatch> local = Create(kFilterProgId);
  PointFilterProgIdAt(BackendHost::InProc);
  ComPtr<IDispatch> inproc = Create(kFilterProgId);
  ASSERT_TRUE(local && inproc);
  EXPECT_EQ(ServerPid(session_.master()), ServerPid(local.Get()));
  EXPECT_EQ(GetCurrentProcessId(), ServerPid(inproc.Get()));
}

TEST_F(LocalBackend, ShutdownEndsTheProcessAndClientsSeeItGone) {
  ASSERT_TRUE(session_.master());
  const DWORD pid = ServerPid(session_.master());
  ComPtr<IDispatch> store = session_.Child(L"Store");
  Reply reply = Method(session_.master(), L"Shutdown");
  EXPECT_EQ(S_OK, reply.hr);
  EXPECT_EQ(VARIANT_TRUE, reply.BoolValue());
  EXPECT_TRUE(ProcessEndsWithin(pid, kServerEndMs));

  Reply afterwards = Method(store.Get(), L"GetSession", {L"k"});
  EXPECT_TRUE(FAILED(afterwards.hr)) << std::hex << afterwards.hr;

  // The next client starts a new server.
  ComPtr<IDispatch> again = Create(kLocalProgId);
  ASSERT_TRUE(again);
  const DWORD newPid = ServerPid(again.Get());
  EXPECT_NE(pid, newPid);
  EXPECT_TRUE(ShutDownLocalServer(again.Get(), kServerEndMs));
}

// Sets REG_SZ values under the back end's settings key and removes them again.
class RegistrySettings {
 public:
  RegistrySettings() {
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                             key_.Put(), nullptr));
  }
  ~RegistrySettings() {
    key_.Reset();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
  }
  void Set(const wchar_t* name, const std::wstring& value) {
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key_.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
  }

 private:
  static constexpr const wchar_t* kKey = L"SOFTWARE\\TALVERIN\\TestBackend";
  talverin::UniqueHkey key_;
};

TEST(LocalBackendSettings, ServerStartedByComReadsItsSettingsFromTheRegistry) {
  ASSERT_TRUE(LocalServerStartsAfresh());
  talverin::test::ScratchDir dir;
  talverin::test::WriteFileText(dir.Sub("people.txt"), "LAB\\zoe | +1 555 0199 | pw | bypass\n");
  RegistrySettings settings;
  settings.Set(L"UsersFile", Widen(dir.Sub("people.txt")));
  settings.Set(L"DataDir", Widen(dir.path()));

  ComPtr<IDispatch> master = Create(kLocalProgId);
  ASSERT_TRUE(master);
  ComPtr<IDispatch> proxy = Get(master.Get(), L"Proxy").Object();
  EXPECT_EQ(4, Method(proxy.Get(), L"CheckAuthenticationAllowed", {L"zoe@lab", L"192.0.2.9"}).Int());
  const std::wstring token = Method(proxy.Get(), L"RequestPasscode", {L"LAB\\zoe"}).Text();
  EXPECT_EQ(6u, PasscodeFromOutbox(talverin::test::ReadFileText(dir.Sub("outbox.txt")), token).size());
  EXPECT_THAT(talverin::test::ReadFileText(dir.Sub("audit.txt")), HasSubstr("user=zoe@lab client=192.0.2.9 result=4"));
  EXPECT_TRUE(ShutDownLocalServer(master.Get(), kServerEndMs));
}

TEST(LocalBackendLifetime, ServerExitsAfterItsLastObjectIsReleased) {
  ASSERT_TRUE(LocalServerStartsAfresh());
  DWORD pid = 0;
  {
    ComPtr<IDispatch> master = Create(kLocalProgId);
    ASSERT_TRUE(master);
    pid = ServerPid(master.Get());
    ComPtr<IDispatch> proxy = Get(master.Get(), L"Proxy").Object();
    ASSERT_TRUE(proxy);
  }
  DWORD exitCode = 1;
  EXPECT_TRUE(ProcessEndsWithin(pid, kServerEndMs, &exitCode));
  EXPECT_EQ(0u, exitCode);
}

}  // namespace
}  // namespace backend_test
