// The back-end connection and the proxies against the test back end through
// real COM, in-process and as a separate process: connecting, the reset rules,
// what a reset does to proxies held by callers, a back end that dies, and the
// faults a back end can show.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend_client.h"
#include "stub/backend_connection.h"
#include "stub/errors.h"
#include "stub/log_capture.h"

namespace stubtest {
namespace {

using backend_test::BackendHost;
using backend_test::BackendSession;
using backend_test::Method;
using backend_test::Reply;

const char kConnected[] = "Connection to service has been established successfully.";
const char kClosing[] = "Closing COM connection.";
const char kSkipped[] = "Backend exception detected. Reset skipped";
const char kExpired[] = "COM pointer has expired";

// Points the filter's ProgID at a class id of our choice.
void PointFilterProgIdAtClsid(const wchar_t* clsid) {
  talverin::UniqueHkey key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TALVERIN.ISA.Service.Object.ConnectionMaster\\CLSID",
                            0, nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid),
                                          static_cast<DWORD>((wcslen(clsid) + 1) * sizeof(wchar_t))));
}

// What a call did, as one comparable text.
std::string Outcome(const std::function<std::string()>& call) {
  try {
    return "value:" + call();
  } catch (const Stub::Exception& e) {
    return std::string("raised:") + e.what();
  } catch (const HRXEx& e) {
    char text[32];
    std::snprintf(text, sizeof text, "hrxex:0x%08lX", static_cast<unsigned long>(e.hr));
    return text;
  } catch (const Stub::HResultException& e) {
    char text[32];
    std::snprintf(text, sizeof text, "hresult:0x%08lX", static_cast<unsigned long>(e.hr()));
    return text;
  }
}

class BackendTest : public testing::TestWithParam<BackendHost> {
 protected:
  void SetUp() override {
    if (GetParam() == BackendHost::Local) {
      // The server of the previous test may still be going away, holding
      // its class registration: this test starts once it is gone.
      ASSERT_TRUE(backend_test::LocalServerStartsAfresh());
    }
    backend_test::PointFilterProgIdAt(GetParam());
    control_ = std::make_unique<BackendSession>(GetParam() == BackendHost::InProc ? backend_test::kInProcProgId
                                                                                  : backend_test::kLocalProgId);
    ASSERT_TRUE(control_->master());
    ASSERT_EQ(S_OK, Method(control_->master(), L"ClearFaults").hr);
  }

  void TearDown() override {
    connection_.reset();
    if (!control_ || !control_->master()) return;
    Method(control_->master(), L"ClearFaults");
    if (GetParam() == BackendHost::Local && Method(control_->master(), L"ProcessId").hr == S_OK) {
      // Leave no server behind for the next test.
      EXPECT_TRUE(backend_test::ShutDownLocalServer(control_->master(), backend_test::kServerEndMs));
    }
  }

  void InjectFault(const wchar_t* member, const wchar_t* kind, const wchar_t* value, long count = 0) {
    Reply reply = Method(control_->master(), L"InjectFault", {member, kind, value, count});
    ASSERT_EQ(S_OK, reply.hr) << backend_test::Narrow(reply.description);
  }

  Stub::BackendConnection& connection() { return *connection_; }

  LogCapture log_;
  std::unique_ptr<BackendSession> control_;
  std::unique_ptr<Stub::BackendConnection> connection_ = std::make_unique<Stub::BackendConnection>();
};

std::string HostName(const testing::TestParamInfo<BackendHost>& info) {
  return info.param == BackendHost::InProc ? "InProc" : "Local";
}

// ---------------------------------------------------------------------------
// Connecting

TEST_P(BackendTest, ConnectsOnDemandOnceAndHandsOutWorkingProxies) {
  EXPECT_FALSE(connection().IsConnected());
  EXPECT_EQ(connection().GetSessionStore(), nullptr);
  EXPECT_EQ(connection().GetHtmlServer(), nullptr);
  EXPECT_EQ(connection().GetAuthenticationProxy(), nullptr);

  ASSERT_TRUE(connection().Connect());
  ASSERT_TRUE(connection().Connect());
  EXPECT_TRUE(connection().IsConnected());
  EXPECT_EQ(log_.Count(kConnected), 1);

  auto store = connection().GetSessionStore();
  ASSERT_NE(store, nullptr);
  ASSERT_NE(connection().GetHtmlServer(), nullptr);
  ASSERT_NE(connection().GetAuthenticationProxy(), nullptr);
  auto session = store->CreateSession("connect-key");
  ASSERT_NE(session, nullptr);
  session->PutUsername("CONTOSO\\alice");
  auto found = store->GetSession("connect-key");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->GetUsername(), "CONTOSO\\alice");
  EXPECT_EQ(store->GetSession("no-such-key"), nullptr);
}

// The lines of the back end's call counts that name one member.
std::vector<std::string> CountsOf(IDispatch* master, const std::string& member) {
  Reply counts = Method(master, L"CallCounts");
  std::vector<std::string> lines;
  const std::string text = backend_test::Narrow(counts.Text());
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.compare(0, member.size() + 1, member + " ") == 0) lines.push_back(line);
    start = end + 2;
  }
  return lines;
}

// In process only: the counts of a local server would also hold the calls of
// any other test using it at the same time.
class DispidTest : public BackendTest {};

// A member is looked up once per connection, whichever of its sessions asks;
// a reset forgets every DISPID, so the new connection looks up again.
TEST_P(DispidTest, EachMemberIsLookedUpOncePerConnection) {
  ASSERT_TRUE(connection().Connect());
  auto store = connection().GetSessionStore();
  ASSERT_NE(store, nullptr);
  ASSERT_NE(store->CreateSession("dispid-key"), nullptr);
  ASSERT_EQ(S_OK, Method(control_->master(), L"ClearCallCounts").hr);
  for (int i = 0; i < 3; ++i) {
    auto session = store->GetSession("dispid-key");
    ASSERT_NE(session, nullptr);
    session->PutState(2);
    EXPECT_EQ(session->GetState(), 2);
  }
  EXPECT_THAT(CountsOf(control_->master(), "Session.State"),
              testing::ElementsAre("Session.State get 3", "Session.State lookup 1", "Session.State put 3"));
  EXPECT_THAT(CountsOf(control_->master(), "SessionStore.GetSession"),
              testing::ElementsAre("SessionStore.GetSession lookup 1", "SessionStore.GetSession method 3"));

  ASSERT_TRUE(connection().Reset(true, E_FAIL));
  ASSERT_EQ(S_OK, Method(control_->master(), L"ClearCallCounts").hr);
  auto session = connection().GetSessionStore()->GetSession("dispid-key");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->GetState(), 2);
  EXPECT_THAT(CountsOf(control_->master(), "Session.State"),
              testing::ElementsAre("Session.State get 1", "Session.State lookup 1"));
  EXPECT_THAT(CountsOf(control_->master(), "SessionStore.GetSession"),
              testing::ElementsAre("SessionStore.GetSession lookup 1", "SessionStore.GetSession method 1"));
}

TEST_P(BackendTest, MissingBackendIsLoggedEveryTimeAndConnectsOnceItIsThere) {
  PointFilterProgIdAtClsid(L"{5A0C5F7E-0000-4000-8000-00000000DEAD}");
  EXPECT_FALSE(connection().Connect());
  EXPECT_FALSE(connection().Connect());
  EXPECT_EQ(log_.Count("Failed connect to the service, error: 0x80040154."), 2);
  EXPECT_EQ(connection().GetSessionStore(), nullptr);

  backend_test::PointFilterProgIdAt(GetParam());
  EXPECT_TRUE(connection().Connect());
  EXPECT_TRUE(connection().Connect());
  EXPECT_EQ(log_.Count(kConnected), 1);
}

TEST_P(BackendTest, FailingChildLeavesTheConnectionDownUntilTheNextConnect) {
  InjectFault(L"Store", L"hresult", L"0x80004005", 1);
  EXPECT_EQ(Outcome([&] { return std::to_string(connection().Connect()); }), "hrxex:0x80004005");
  EXPECT_FALSE(connection().IsConnected());
  EXPECT_EQ(log_.Count(kConnected), 0);

  EXPECT_TRUE(connection().Connect());
  EXPECT_EQ(log_.Count(kConnected), 1);
  EXPECT_NE(connection().GetSessionStore(), nullptr);
}

TEST_P(BackendTest, ChildAnsweredAsNullObjectFailsTheConnect) {
  InjectFault(L"Proxy", L"nullobject", L"", 1);
  EXPECT_EQ(Outcome([&] { return std::to_string(connection().Connect()); }),
            "raised:COM method returned VT_EMPTY");
  EXPECT_FALSE(connection().IsConnected());
  EXPECT_TRUE(connection().Connect());
  EXPECT_NE(connection().GetAuthenticationProxy(), nullptr);
}

// ---------------------------------------------------------------------------
// Reset rules

TEST_P(BackendTest, BackendExceptionWhileTheRootAnswersSkipsTheReset) {
  ASSERT_TRUE(connection().Connect());
  auto server = connection().GetHtmlServer();
  auto store = connection().GetSessionStore();
  auto session = store->CreateSession("skip-key");
  ASSERT_NE(session, nullptr);

  InjectFault(L"Session.Username", L"exception", L"user table locked", 1);
  HRESULT failure = S_OK;
  try {
    session->GetUsername();
  } catch (const HRXEx& e) {
    failure = e.hr;
  }
  ASSERT_EQ(failure, DISP_E_EXCEPTION);
  EXPECT_TRUE(connection().Reset(true, failure));
  EXPECT_TRUE(connection().Reset(true, static_cast<HRESULT>(0x80131500)));

  EXPECT_EQ(log_.Count(kSkipped), 2);
  EXPECT_EQ(log_.Count(kClosing), 0);
  EXPECT_EQ(log_.Count(kConnected), 1);
  EXPECT_TRUE(connection().IsConnected());
  EXPECT_EQ(connection().GetHtmlServer(), server);
  EXPECT_EQ(connection().GetSessionStore(), store);
  session->PutUsername("bob");
  EXPECT_EQ(session->GetUsername(), "bob");
  EXPECT_NE(store->GetSession("skip-key"), nullptr);
}

struct FailingProbe {
  const wchar_t* kind;
  const wchar_t* value;
};

class FailingProbeTest : public BackendTest {};

TEST_P(FailingProbeTest, BackendExceptionWithAFailingProbeClosesAndReconnects) {
  for (const FailingProbe& probe : {FailingProbe{L"value", L"0"}, FailingProbe{L"hresult", L"0x8001010E"}}) {
    SCOPED_TRACE(backend_test::Narrow(probe.kind));
    ASSERT_TRUE(connection().Connect());
    auto oldServer = connection().GetHtmlServer();
    auto oldStore = connection().GetSessionStore();
    auto oldProxy = connection().GetAuthenticationProxy();
    auto session = oldStore->CreateSession("probe-key");
    session->PutUrl("/owa/");
    const long connects = log_.Count(kConnected);
    const long closes = log_.Count(kClosing);

    InjectFault(L"Server", probe.kind, probe.value, 1);
    EXPECT_TRUE(connection().Reset(true, DISP_E_EXCEPTION));
    EXPECT_EQ(log_.Count(kSkipped), 0);
    EXPECT_EQ(log_.Count(kClosing), closes + 1);
    EXPECT_EQ(log_.Count(kConnected), connects + 1);
    EXPECT_TRUE(connection().IsConnected());

    // Proxies held from before answer "expired"; the session keeps its object.
    EXPECT_EQ(Outcome([&] { return oldServer->RenderHtmlPage("TalvLogon.html", "/owa/"); }),
              std::string("raised:") + kExpired);
    EXPECT_EQ(Outcome([&] { return std::to_string(oldStore->GetSession("probe-key") != nullptr); }),
              std::string("raised:") + kExpired);
    EXPECT_EQ(Outcome([&] { return oldProxy->RequestPasscode("CONTOSO\\alice"); }), std::string("raised:") + kExpired);
    EXPECT_EQ(session->GetUrl(), "/owa/");

    auto newStore = connection().GetSessionStore();
    ASSERT_NE(newStore, nullptr);
    EXPECT_NE(newStore, oldStore);
    EXPECT_NE(newStore->GetSession("probe-key"), nullptr);
  }
}

TEST_P(BackendTest, OtherCodesAlwaysCloseAndReconnect) {
  const HRESULT codes[] = {static_cast<HRESULT>(0x800706BA), static_cast<HRESULT>(1), E_FAIL};
  for (HRESULT code : codes) {
    ASSERT_TRUE(connection().Connect());
    auto oldServer = connection().GetHtmlServer();
    EXPECT_TRUE(connection().Reset(true, code));
    EXPECT_EQ(Outcome([&] { return oldServer->RenderHtmlPage("TalvLogon.html"); }),
              std::string("raised:") + kExpired);
  }
  ASSERT_TRUE(connection().Connect());
  EXPECT_TRUE(connection().Reset(false, 1));  // unforced: the same, logged before closing
  EXPECT_EQ(log_.Count(kSkipped), 0);
  EXPECT_EQ(log_.Count(kClosing), 4);
  EXPECT_EQ(log_.Count(kConnected), 5);
}

TEST_P(BackendTest, ResetWhoseReconnectFailsAnswersFalseAndRaisesNothing) {
  ASSERT_TRUE(connection().Connect());
  InjectFault(L"Server", L"hresult", L"0x80004005", 1);
  bool result = true;
  EXPECT_NO_THROW(result = connection().Reset(true, 1));
  EXPECT_FALSE(result);
  EXPECT_FALSE(connection().IsConnected());
  EXPECT_EQ(log_.Count("Failed connect to the service, error: 0x80004005."), 1);
  EXPECT_TRUE(connection().Connect());
}

TEST_P(BackendTest, BackendExceptionBeforeAnyConnectResetsInsteadOfRaising) {
  // No root object is held, so the probe cannot be asked.
  bool result = false;
  EXPECT_NO_THROW(result = connection().Reset(true, DISP_E_EXCEPTION));
  EXPECT_TRUE(result);
  EXPECT_EQ(log_.Count(kSkipped), 0);
  EXPECT_EQ(log_.Count(kConnected), 1);
}

// The race is between our own copies and resets; the in-process back end
// keeps it fast and free of the remote-call layer's timing.
class ConcurrentResetTest : public BackendTest {};

TEST_P(ConcurrentResetTest, ProxiesCopiedDuringResetsAreWholeAndEitherWorkOrHaveExpired) {
  ASSERT_TRUE(connection().Connect());
  connection().GetSessionStore()->CreateSession("busy-key");
  std::atomic<bool> stop{false};
  std::atomic<long> answered{0};
  std::atomic<long> expired{0};
  std::atomic<long> other{0};
  auto worker = [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (!stop.load()) {
      try {
        if (!connection().Connect()) continue;
        if (auto store = connection().GetSessionStore()) {
          if (store->GetSession("busy-key") == nullptr) store->CreateSession("busy-key");
          ++answered;
        }
      } catch (const Stub::Exception& e) {
        if (std::string(e.what()) == kExpired) {
          ++expired;
        } else {
          ++other;
        }
      } catch (...) {
        ++other;
      }
    }
    CoUninitialize();
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) workers.emplace_back(worker);
  for (int i = 0; i < 15; ++i) {
    EXPECT_TRUE(connection().Reset(true, 1));
    Sleep(10);
  }
  stop = true;
  for (std::thread& t : workers) t.join();
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(log_.Count(kConnected), 16);
}

INSTANTIATE_TEST_SUITE_P(Hosts, BackendTest, testing::Values(BackendHost::InProc, BackendHost::Local), HostName);
INSTANTIATE_TEST_SUITE_P(Hosts, DispidTest, testing::Values(BackendHost::InProc), HostName);
INSTANTIATE_TEST_SUITE_P(Hosts, ConcurrentResetTest, testing::Values(BackendHost::InProc), HostName);
INSTANTIATE_TEST_SUITE_P(Hosts, FailingProbeTest, testing::Values(BackendHost::InProc, BackendHost::Local),
                         HostName);

// ---------------------------------------------------------------------------
// A back end that dies

class LocalBackendTest : public BackendTest {};

TEST_P(LocalBackendTest, KilledServerFailsWithAnRpcErrorAndAResetStartsItAgain) {
  ASSERT_TRUE(connection().Connect());
  auto server = connection().GetHtmlServer();
  auto session = connection().GetSessionStore()->CreateSession("dying-key");
  session->PutUsername("CONTOSO\\alice");
  const DWORD pid = static_cast<DWORD>(Method(control_->master(), L"ProcessId").Int());

  Method(control_->master(), L"Shutdown");
  ASSERT_TRUE(backend_test::ProcessEndsWithin(pid, backend_test::kServerEndMs));

  HRESULT failure = S_OK;
  try {
    server->RenderHtmlPage("TalvLogon.html", "/owa/");
  } catch (const HRXEx& e) {
    failure = e.hr;
    EXPECT_FALSE(e.errorText.empty());
  }
  ASSERT_TRUE(FAILED(failure));
  EXPECT_THAT(HRESULT_FACILITY(failure), testing::AnyOf(FACILITY_RPC, FACILITY_WIN32)) << std::hex << failure;

  EXPECT_TRUE(connection().Reset(true, failure));
  EXPECT_EQ(log_.Count(kClosing), 1);
  EXPECT_EQ(log_.Count(kConnected), 2);
  auto store = connection().GetSessionStore();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(store->GetSession("dying-key"), nullptr);  // the new process knows nothing of it
  EXPECT_NE(store->CreateSession("new-key"), nullptr);
  // The old session's process is gone.
  EXPECT_THAT(Outcome([&] { return session->GetUsername(); }), testing::StartsWith("hrxex:0x800"));

  // The new server replaces the one the control object talked to.
  control_ = std::make_unique<BackendSession>(backend_test::kLocalProgId);
  ASSERT_TRUE(control_->master());
  EXPECT_NE(static_cast<DWORD>(Method(control_->master(), L"ProcessId").Int()), pid);
}

TEST_P(LocalBackendTest, CrashedServerIsConnectedAgainOnceItsRegistrationIsGone) {
  ASSERT_TRUE(connection().Connect());
  auto server = connection().GetHtmlServer();
  const DWORD pid = static_cast<DWORD>(Method(control_->master(), L"ProcessId").Int());

  // Ended as a crash ends it: the server has no chance to revoke its class.
  talverin::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  ASSERT_TRUE(process);
  ASSERT_TRUE(TerminateProcess(process.Get(), 0xC0000005));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), backend_test::kServerEndMs));

  HRESULT failure = S_OK;
  try {
    server->RenderHtmlPage("TalvLogon.html", "/owa/");
  } catch (const HRXEx& e) {
    failure = e.hr;
  }
  ASSERT_TRUE(FAILED(failure));
  // Whether COM can start a new server yet is the platform's affair; the
  // reset raises nothing either way.
  EXPECT_NO_THROW(connection().Reset(true, failure));
  EXPECT_EQ(log_.Count(kClosing), 1);

  // Once the dead registration is gone, as the supervisor of the service
  // sees to, the next connect reaches a new server, once.
  ASSERT_TRUE(backend_test::ForgetRegistrationsOfEndedServers());
  EXPECT_TRUE(connection().Connect());
  EXPECT_TRUE(connection().Connect());
  EXPECT_EQ(log_.Count(kConnected), 2);
  auto store = connection().GetSessionStore();
  ASSERT_NE(store, nullptr);
  EXPECT_NE(store->CreateSession("after-crash"), nullptr);

  control_ = std::make_unique<BackendSession>(backend_test::kLocalProgId);
  ASSERT_TRUE(control_->master());
  EXPECT_NE(static_cast<DWORD>(Method(control_->master(), L"ProcessId").Int()), pid);
}

INSTANTIATE_TEST_SUITE_P(Hosts, LocalBackendTest, testing::Values(BackendHost::Local), HostName);

// ---------------------------------------------------------------------------
// Faults a back end can show, read through the proxies

struct FaultRow {
  const char* name;
  const wchar_t* member;
  const wchar_t* kind;
  const wchar_t* value;
  std::function<std::string(Stub::BackendConnection&, Stub::Session&)> call;
  const char* expected;
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

class FaultTest : public BackendTest {
 protected:
  static const std::vector<FaultRow>& Rows();
};

std::string Picture(Stub::BackendConnection& c) {
  std::vector<unsigned char> bytes;
  c.GetHtmlServer()->RenderPicture("login_img.jpg", bytes);
  return bytes.empty() ? "none" : "some";
}

const std::vector<FaultRow>& FaultTest::Rows() {
  using C = Stub::BackendConnection;
  using S = Stub::Session;
  static const std::vector<FaultRow> rows = {
      {"EmptyUsername", L"Session.Username", L"empty", L"", [](C&, S& s) { return s.GetUsername(); },
       "raised:COM method returned VT_EMPTY"},
      {"NumberForUsername", L"Session.Username", L"wrongtype", L"", [](C&, S& s) { return s.GetUsername(); },
       "hresult:0x80020005"},
      {"NumberForTheSession", L"GetSession", L"wrongtype", L"",
       [](C& c, S&) { return std::to_string(c.GetSessionStore()->GetSession("fault-key") != nullptr); },
       "hresult:0x80020005"},
      {"BypassMinusOne", L"Session.BypassTalverinAuthentication", L"value", L"-1",
       [](C&, S& s) { return std::to_string(s.GetBypassTalverinAuthentication()); }, "value:1"},
      {"NullSession", L"GetSession", L"nullobject", L"",
       [](C& c, S&) { return std::to_string(c.GetSessionStore()->GetSession("fault-key") != nullptr); }, "value:0"},
      {"NullCreatedSession", L"CreateSession", L"nullobject", L"",
       [](C& c, S&) { return std::to_string(c.GetSessionStore()->CreateSession("k") != nullptr); },
       "raised:COM method returned VT_EMPTY"},
      {"NullStatus", L"GetStatus", L"nullobject", L"",
       [](C& c, S&) { return std::to_string(c.GetAuthenticationProxy()->GetStatus("t") != nullptr); }, "value:0"},
      {"AccessDenied", L"Session.Token", L"hresult", L"0x80070005", [](C&, S& s) { return s.GetToken(); },
       "hrxex:0x80070005"},
      {"AuthenticateSFalse", L"Authenticate", L"hresult", L"1",
       [](C& c, S&) { return std::to_string(c.GetAuthenticationProxy()->Authenticate("t", "123456")); },
       "hrxex:0x00000001"},
      {"SlowState", L"Session.State", L"delay", L"200", [](C&, S& s) { return std::to_string(s.GetState()); },
       "value:0"},
      {"PictureOfShorts", L"RenderPicture", L"array-i2", L"", [](C& c, S&) { return Picture(c); },
       "hresult:0x80070057"},
      {"PictureEmpty", L"RenderPicture", L"array-empty", L"", [](C& c, S&) { return Picture(c); }, "value:none"},
      {"PictureSlow", L"RenderPicture", L"delay", L"50", [](C& c, S&) { return Picture(c); }, "value:some"},
  };
  return rows;
}

TEST_P(FaultTest, EachFaultReadsAsTheMemberTableSays) {
  ASSERT_TRUE(connection().Connect());
  auto session = connection().GetSessionStore()->CreateSession("fault-key");
  ASSERT_NE(session, nullptr);
  session->PutState(0);
  for (const FaultRow& row : Rows()) {
    SCOPED_TRACE(row.name);
    InjectFault(row.member, row.kind, row.value, 1);
    EXPECT_EQ(Outcome([&] { return row.call(connection(), *session); }), row.expected);
    ASSERT_EQ(S_OK, Method(control_->master(), L"ClearFaults").hr);
  }
  // None of these is a reason to drop the connection.
  EXPECT_EQ(connection().GetSessionStore()->GetSession("fault-key") != nullptr, true);
}

INSTANTIATE_TEST_SUITE_P(Hosts, FaultTest, testing::Values(BackendHost::InProc, BackendHost::Local), HostName);

}  // namespace
}  // namespace stubtest
