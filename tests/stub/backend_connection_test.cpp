// The back-end connection against the test back end through real COM, in-process and as a separate process:
// connecting, the reset rules and what a reset does to proxies held by callers (a dying one: the outage check's).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "backend_client.h"
#include "stub/backend_connection.h"
#include "stub/scripted_dispatch.h"
#include "support/trace_capture.h"

namespace stubtest {
namespace {

using backend_test::BackendHost;
using backend_test::BackendSession;
using backend_test::Method;

// The lines an administrator reads about the connection.
const char kConnected[] = "Connection to service has been established successfully.";
const char kClosing[] = "Closing COM connection.";
const char kSkipped[] = "Backend exception detected. Reset skipped";
const std::string kExpired = std::string("raised:") + Stub::kPointerExpired;

class BackendTest : public testing::TestWithParam<BackendHost> {
 protected:
  void SetUp() override {
    // The server of the previous test may still be going away, holding its class registration.
    if (GetParam() == BackendHost::Local) ASSERT_TRUE(backend_test::LocalServerStartsAfresh());
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
    if (GetParam() == BackendHost::Local && Method(control_->master(), L"ProcessId").hr == S_OK)
      EXPECT_TRUE(backend_test::ShutDownLocalServer(control_->master(), backend_test::kServerEndMs));
  }
  void InjectFault(const wchar_t* member, const wchar_t* kind, const wchar_t* value, long count = 1) {
    auto reply = Method(control_->master(), L"InjectFault", {member, kind, value, count});
    ASSERT_EQ(S_OK, reply.hr) << backend_test::Narrow(reply.description);
  }
  std::size_t Connects() { return log_.Count(kConnected); }

  talverin::test::TraceCapture log_{0};
  std::unique_ptr<BackendSession> control_;
  std::unique_ptr<Stub::BackendConnection> connection_ = std::make_unique<Stub::BackendConnection>();
  Stub::BackendConnection& connection = *connection_;
};

std::string HostName(const testing::TestParamInfo<BackendHost>& info) {
  return info.param == BackendHost::InProc ? "InProc" : "Local";
}

// The connection is made on demand, once, and only when the back end and its children answer. A back-end exception
// is the back end's answer, not a broken connection, so long as the root still answers the probe; anything else
// closes and reconnects, and proxies held from before answer "expired". A reset raises nothing.
TEST_P(BackendTest, ConnectsOnceWhenAllAnswerAndResetKeepsItOnlyForABackEndExceptionWhileTheProbeAnswers) {
  EXPECT_EQ(connection.GetSessionStore(), nullptr);
  EXPECT_TRUE(connection.Reset(true, DISP_E_EXCEPTION));  // before any connect no root can be probed
  ASSERT_TRUE(connection.Connect());
  EXPECT_EQ(Connects(), 1u);
  auto store = connection.GetSessionStore();
  auto session = store->CreateSession("reset-key");
  session->PutUrl("/owa/");
  EXPECT_TRUE(connection.Reset(true, DISP_E_EXCEPTION));
  EXPECT_TRUE(connection.Reset(true, static_cast<HRESULT>(0x80131500)));
  EXPECT_EQ(log_.Count(kSkipped), 2u);
  EXPECT_EQ(connection.GetSessionStore(), store);

  struct Row {
    const wchar_t* probeKind;  // the fault of the probe, or none
    const wchar_t* probeValue;
    HRESULT code;
    bool force;
  };
  const std::size_t closings = log_.Count(kClosing);
  std::size_t resets = 0;
  for (const Row& row : {Row{L"value", L"0", DISP_E_EXCEPTION, true},
                         Row{L"hresult", L"0x8001010E", DISP_E_EXCEPTION, true},
                         Row{nullptr, nullptr, static_cast<HRESULT>(0x800706BA), true}, Row{nullptr, nullptr, 1, true},
                         Row{nullptr, nullptr, E_FAIL, true}, Row{nullptr, nullptr, 1, false}}) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.code << " " << row.force);
    auto oldStore = connection.GetSessionStore();
    auto oldServer = connection.GetHtmlServer();
    auto oldProxy = connection.GetAuthenticationProxy();
    if (row.probeKind) InjectFault(L"Server", row.probeKind, row.probeValue);
    EXPECT_TRUE(connection.Reset(row.force, row.code));
    EXPECT_EQ(log_.Count(kClosing), closings + ++resets);
    EXPECT_EQ(Connects(), resets + 1);
    EXPECT_EQ(Outcome([&] { return oldServer->RenderHtmlPage("TalvLogon.html", "/owa/"); }), kExpired);
    EXPECT_EQ(Outcome([&] { return std::to_string(oldStore->GetSession("reset-key") != nullptr); }), kExpired);
    EXPECT_EQ(Outcome([&] { return oldProxy->RequestPasscode("CONTOSO\\alice"); }), kExpired);
    EXPECT_EQ(session->GetUrl(), "/owa/");  // a session keeps its object
    EXPECT_NE(connection.GetSessionStore()->GetSession("reset-key"), nullptr);
  }
  EXPECT_EQ(log_.Count(kSkipped), 2u);

  // A back end that does not answer: the reset raises nothing, says why and leaves the connection down.
  InjectFault(L"Server", L"hresult", L"0x80004005");
  EXPECT_FALSE(connection.Reset(true, 1));
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ(log_.Count("Failed connect to the service, error: 0x80004005."), 1u);
  // So does a child that fails or is answered as a null object.
  InjectFault(L"Store", L"hresult", L"0x80004005");
  EXPECT_EQ(Outcome([&] { return std::to_string(connection.Connect()); }), "hrxex:0x80004005");
  InjectFault(L"Proxy", L"nullobject", L"");
  EXPECT_EQ(Outcome([&] { return std::to_string(connection.Connect()); }), "raised:COM method returned VT_EMPTY");
  EXPECT_FALSE(connection.IsConnected());
  EXPECT_EQ(Connects(), resets + 1);
  EXPECT_TRUE(connection.Connect());
}

INSTANTIATE_TEST_SUITE_P(Hosts, BackendTest, testing::Values(BackendHost::InProc, BackendHost::Local), HostName);

// In process only: fast and free of the remote-call layer's timing.
class InProcBackendTest : public BackendTest {};

TEST_P(InProcBackendTest, ProxiesCopiedDuringResetsAreWholeAndEitherWorkOrHaveExpired) {
  ASSERT_TRUE(connection.Connect());
  connection.GetSessionStore()->CreateSession("busy-key");
  std::atomic<bool> stop{false};
  std::atomic<long> answered{0}, other{0};
  auto worker = [&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (!stop.load()) {
      const std::string outcome = Outcome([&]() -> std::string {
        auto store = connection.Connect() ? connection.GetSessionStore() : nullptr;
        if (store && store->GetSession("busy-key") == nullptr) store->CreateSession("busy-key");
        return store ? "answered" : "";
      });
      if (outcome == "value:answered") ++answered;
      if (outcome != "value:answered" && outcome != "value:" && outcome != kExpired) ++other;
    }
    CoUninitialize();
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < 3; ++i) workers.emplace_back(worker);
  for (int i = 0; i < 15; ++i) {
    EXPECT_TRUE(connection.Reset(true, 1));
    Sleep(10);
  }
  stop = true;
  for (std::thread& t : workers) t.join();
  EXPECT_GT(answered.load(), 0);
  EXPECT_EQ(other.load(), 0);
  EXPECT_EQ(Connects(), 16u);
}

INSTANTIATE_TEST_SUITE_P(Hosts, InProcBackendTest, testing::Values(BackendHost::InProc), HostName);

}  // namespace
}  // namespace stubtest
