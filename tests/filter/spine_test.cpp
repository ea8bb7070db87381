// The filter spine linked with a scripted handler implementation: lifecycle,
// dispatch, failure containment, the fault guard and the machine-fault guard.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "auth/connection_context.h"
#include "config/settings_registry.h"
#include "diag/trace_log.h"
#include "filter/crash_dump.h"
#include "filter/fault_guard.h"
#include "filter/filter.h"
#include "filter/log_lines.h"
#include "stub/errors.h"
#include "support/test_files.h"

namespace talverin {
namespace {

using test::Banner;
using test::Contains;
using test::CountOf;
using test::IndexOf;

constexpr DWORD kFinished = SF_STATUS_REQ_FINISHED;
constexpr DWORD kNext = SF_STATUS_REQ_NEXT_NOTIFICATION;

class ScriptedImplementation : public IFilterImplementation {
 public:
  using Action = std::function<DWORD(const std::string& slot)>;

  explicit ScriptedImplementation(Action action) : action_(std::move(action)) {}

  HRESULT Init() override { return initResult; }
  DWORD Deinit() override { return deinitResult; }

  DWORD OnPreprocHeaders(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnPreprocHeaders", n, c);
  }
  DWORD OnAuthentication(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnAuthentication", n, c);
  }
  DWORD OnAccessDenied(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnAccessDenied", n, c);
  }
  DWORD OnAuthComplete(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnAuthComplete", n, c);
  }
  DWORD OnEndOfRequest(HTTP_FILTER_CONTEXT*, ConnectionContext* c) override { return Handle("OnEndOfRequest", nullptr, c); }
  DWORD OnReadRawData(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnReadRawData", n, c);
  }
  DWORD OnSendRawData(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnSendRawData", n, c);
  }
  DWORD OnSendResponse(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override {
    return Handle("OnSendResponse", n, c);
  }

  bool Connect() override {
    ++connects;
    return connectResult;
  }
  bool Reset(bool force, HRESULT code) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      resets.emplace_back(force, code);
    }
    if (onReset) onReset();
    return true;
  }

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }

  HRESULT initResult = S_OK;
  DWORD deinitResult = 0;
  std::atomic<bool> connectResult{true};
  std::atomic<int> connects{0};
  std::function<void()> onReset;
  std::vector<std::pair<bool, HRESULT>> resets;
  void* lastNotification = nullptr;
  ConnectionContext* lastContext = reinterpret_cast<ConnectionContext*>(1);
  DWORD lastErrorInHandler = 0xFFFFFFFF;

 private:
  DWORD Handle(const std::string& slot, void* notification, ConnectionContext* context) {
    lastErrorInHandler = GetLastError();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      calls_.push_back(slot);
      lastNotification = notification;
      lastContext = context;
    }
    return action_ ? action_(slot) : kNext;
  }

  Action action_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

// Provokes an access violation the optimizer cannot see coming.
volatile std::uintptr_t g_invalidAddress = 0;

DWORD AccessViolation() {
  *reinterpret_cast<volatile int*>(g_invalidAddress) = 1;
  return kNext;
}

class SpineTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::MakeDir(test::ExeDir() + "Logs"));
    ASSERT_EQ(GetLogFilePath(logPath_), S_OK);
    std::string module;
    ASSERT_EQ(GetThisModuleFileName(module), S_OK);
    ASSERT_TRUE(ComputeDumpFilePath(module, dumpPath_));
    RemoveOutputs();
    ASSERT_TRUE(key_.SetDword("TraceLevel", 2));
  }
  void TearDown() override {
    filter_.reset();
    RemoveOutputs();
  }
  void RemoveOutputs() {
    DeleteFileA(logPath_.c_str());
    test::RemoveTree(dumpPath_);
    DeleteFileA(dumpPath_.c_str());
  }

  // A filter whose implementations all run action; the newest is implementation().
  CFilter& MakeFilter(ScriptedImplementation::Action action = nullptr) {
    action_ = std::move(action);
    filter_ = std::make_unique<CFilter>(
        [this] {
          ++created_;
          auto implementation = std::make_shared<ScriptedImplementation>(action_);
          if (configure_) configure_(*implementation);
          latest_ = implementation;
          return implementation;
        },
        [this](CFilter&, WebListenerMap& map) {
          if (readListeners_) readListeners_(map);
        },
        [this] { return now_.load(); });
    return *filter_;
  }

  CFilter& InitializedFilter(ScriptedImplementation::Action action = nullptr) {
    CFilter& filter = MakeFilter(std::move(action));
    EXPECT_EQ(filter.Init(), S_OK);
    return filter;
  }

  std::shared_ptr<ScriptedImplementation> implementation() { return latest_.lock(); }

  // One notification on a connection of its own. Except for raw request data
  // (which creates it) and end of request, the request is already under way,
  // so its context is in the slot; whatever the dispatch leaves there goes.
  DWORD Notify(DWORD type) {
    HTTP_FILTER_CONTEXT pfc{};
    pfc.cbSize = sizeof pfc;
    if (type != SF_NOTIFY_READ_RAW_DATA && type != SF_NOTIFY_END_OF_REQUEST) pfc.pFilterContext = new ConnectionContext();
    DWORD status = GuardedDispatch(*filter_, &pfc, type, &notification_);
    delete static_cast<ConnectionContext*>(pfc.pFilterContext);
    return status;
  }

  std::vector<std::string> Messages() const { return test::LogMessages(logPath_); }

  test::SettingsKey key_;
  std::string logPath_;
  std::string dumpPath_;
  std::atomic<std::int64_t> now_{1000};
  std::atomic<int> created_{0};
  ScriptedImplementation::Action action_;
  std::function<void(ScriptedImplementation&)> configure_;
  std::function<void(WebListenerMap&)> readListeners_;
  std::weak_ptr<ScriptedImplementation> latest_;
  std::unique_ptr<CFilter> filter_;
  int notification_ = 0;
};

// ---- Lifecycle ----

TEST_F(SpineTest, InitLogsItsStepsInOrderAndSavesTheListeners) {
  readListeners_ = [](WebListenerMap& map) { map["{L1}"].Enabled = true; };
  InitializedFilter();
  std::vector<std::string> expected = {
      "*********** Initializing TALVERIN ISA Web Filter ***********",
      "Version: ",  // a test executable carries no version resource
      "Settings have been loaded successfully.",
      "Web listeners configuration map initialized successfully.",
      "Saved web listeners configuration to settings successfully.",
      "Loading \"Anonymous logon\" implementation.",
  };
  EXPECT_EQ(Messages(), expected);
  EXPECT_TRUE(FilterSettings::Instance().Enabled("{L1}"));
  EXPECT_EQ(TraceLog::Instance().Path(), logPath_);
  EXPECT_EQ(TraceLog::Instance().Level(), 2u);
}

TEST_F(SpineTest, SecondInitOnlyLogsTheSkip) {
  CFilter& filter = InitializedFilter();
  EXPECT_EQ(filter.Init(), S_OK);
  EXPECT_EQ(created_, 1);
  EXPECT_EQ(Messages().back(), "Init has already has been called. Skipping this one.");
}

TEST_F(SpineTest, ListenerReadFailureFailsTheVersionCallAndIsRetried) {
  bool fail = true;
  readListeners_ = [&fail](WebListenerMap&) {
    if (fail) throw HRXEx{HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "Reading listeners failed %s", "Access is denied."};
  };
  CFilter& filter = MakeFilter();
  HTTP_FILTER_VERSION version{};
  SetLastError(0);
  EXPECT_FALSE(filter.GetFilterVersion(&version));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)));
  std::vector<std::string> messages = Messages();
  EXPECT_TRUE(Contains(messages, "Reading listeners failed %s"));
  EXPECT_TRUE(Contains(messages, "Access is denied."));
  EXPECT_EQ(created_, 0);
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);  // no implementation: refused

  fail = false;
  EXPECT_TRUE(filter.GetFilterVersion(&version));
  EXPECT_EQ(created_, 1);
  EXPECT_EQ(CountOf(Messages(), "*********** Initializing TALVERIN ISA Web Filter ***********"), 2u);
}

TEST_F(SpineTest, StubExceptionDuringInitGivesEFail) {
  readListeners_ = [](WebListenerMap&) { throw Stub::Exception("COM pointer has expired"); };
  CFilter& filter = MakeFilter();
  EXPECT_EQ(filter.Init(), E_FAIL);
  EXPECT_TRUE(Contains(Messages(), "Stub exception during initializing, error message: \"COM pointer has expired\"."));
}

TEST_F(SpineTest, OtherFailuresDuringInitFailTheCallInsteadOfEscaping) {
  readListeners_ = [](WebListenerMap&) { throw Stub::HResultException(E_OUTOFMEMORY); };
  CFilter& filter = MakeFilter();
  HTTP_FILTER_VERSION version{};
  EXPECT_FALSE(filter.GetWPXFilterVersion(&version));
  EXPECT_NE(GetLastError(), 0u);
}

TEST_F(SpineTest, ImplementationInitFailureFailsOnceThenSkips) {
  configure_ = [](ScriptedImplementation& i) { i.initResult = E_ACCESSDENIED; };
  CFilter& filter = MakeFilter();
  HTTP_FILTER_VERSION version{};
  EXPECT_FALSE(filter.GetFilterVersion(&version));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
  EXPECT_TRUE(filter.GetFilterVersion(&version));
  EXPECT_EQ(created_, 1);
  EXPECT_EQ(Messages().back(), "Init has already has been called. Skipping this one.");
}

TEST_F(SpineTest, ReloadRunsTheWholeInitAgain) {
  CFilter& filter = InitializedFilter();
  std::weak_ptr<ScriptedImplementation> first = latest_;
  ASSERT_TRUE(key_.SetDword("TraceLevel", 0));
  EXPECT_TRUE(filter.ReloadConfiguration());
  EXPECT_EQ(created_, 2);
  EXPECT_TRUE(first.expired());
  EXPECT_EQ(TraceLog::Instance().Level(), 0u);
  std::vector<std::string> messages = Messages();
  std::size_t reload = IndexOf(messages, "Reloading the filter...");
  ASSERT_LT(reload, messages.size());
  EXPECT_EQ(messages[reload + 1], "*********** Initializing TALVERIN ISA Web Filter ***********");
}

TEST_F(SpineTest, TerminateAnswersTheImplementationsDeinit) {
  configure_ = [](ScriptedImplementation& i) { i.deinitResult = 0; };
  CFilter& filter = InitializedFilter();
  EXPECT_TRUE(filter.TerminateFilter());
  EXPECT_EQ(Messages().back(), "*********** Deinitializing TALVERIN ISA Web Filter ***********");
  implementation()->deinitResult = 5;
  EXPECT_FALSE(filter.TerminateFilter());
  EXPECT_EQ(GetLastError(), 5u);
}

// ---- Dispatch ----

struct RouteCase {
  DWORD type;
  const char* name;
};

class DispatchRouteTest : public SpineTest, public testing::WithParamInterface<RouteCase> {};

TEST_P(DispatchRouteTest, LogsTypeAndBannerAndReturnsTheHandlersStatus) {
  InitializedFilter([](const std::string&) { return static_cast<DWORD>(SF_STATUS_REQ_READ_NEXT); });
  SetLastError(77);
  EXPECT_EQ(Notify(GetParam().type), static_cast<DWORD>(SF_STATUS_REQ_READ_NEXT));
  auto impl = implementation();
  EXPECT_EQ(impl->Calls(), std::vector<std::string>{GetParam().name});
  EXPECT_EQ(impl->lastErrorInHandler, 0u);
  // End of request on a connection without a context gets none; every other
  // notification gets the request's context.
  EXPECT_EQ(impl->lastContext == nullptr, GetParam().type == SF_NOTIFY_END_OF_REQUEST);
  if (GetParam().type != SF_NOTIFY_END_OF_REQUEST) EXPECT_EQ(impl->lastNotification, &notification_);
  std::vector<std::string> messages = Messages();
  char typeLine[64];
  std::snprintf(typeLine, sizeof typeLine, "Notification Type: 0x%08X", static_cast<unsigned>(GetParam().type));
  std::size_t typeAt = IndexOf(messages, typeLine);
  ASSERT_LT(typeAt + 1, messages.size());
  EXPECT_EQ(messages[typeAt + 1], Banner(GetParam().name));
  EXPECT_EQ(messages[typeAt + 1].size(), 80u);
}

INSTANTIATE_TEST_SUITE_P(Notifications, DispatchRouteTest,
                         testing::Values(RouteCase{SF_NOTIFY_PREPROC_HEADERS, "OnPreprocHeaders"},
                                         RouteCase{SF_NOTIFY_READ_RAW_DATA, "OnReadRawData"},
                                         RouteCase{SF_NOTIFY_AUTH_COMPLETE, "OnAuthComplete"},
                                         RouteCase{SF_NOTIFY_AUTHENTICATION, "OnAuthentication"},
                                         RouteCase{SF_NOTIFY_SEND_RESPONSE, "OnSendResponse"},
                                         RouteCase{SF_NOTIFY_END_OF_REQUEST, "OnEndOfRequest"},
                                         RouteCase{SF_NOTIFY_SEND_RAW_DATA, "OnSendRawData"},
                                         RouteCase{SF_NOTIFY_ACCESS_DENIED, "OnAccessDenied"}),
                         [](const testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.name); });

// A context that outlived its request would read the next request on the
// connection as the body of the last one: a failing end of request still
// ends the context, and the next request starts with a fresh one.
TEST_F(SpineTest, FailingEndOfRequestStillEndsTheContext) {
  InitializedFilter([](const std::string& slot) -> DWORD {
    if (slot == "OnEndOfRequest") throw std::runtime_error("end of request failed");
    return kNext;
  });
  HTTP_FILTER_CONTEXT pfc{};
  pfc.cbSize = sizeof pfc;
  ASSERT_EQ(GuardedDispatch(*filter_, &pfc, SF_NOTIFY_READ_RAW_DATA, &notification_), kNext);
  ASSERT_NE(pfc.pFilterContext, nullptr);
  EXPECT_EQ(GuardedDispatch(*filter_, &pfc, SF_NOTIFY_END_OF_REQUEST, nullptr), kFinished);
  EXPECT_EQ(pfc.pFilterContext, nullptr);
  EXPECT_EQ(GuardedDispatch(*filter_, &pfc, SF_NOTIFY_READ_RAW_DATA, &notification_), kNext);
  bool reused = false;
  for (const std::string& line : Messages()) reused = reused || line.rfind("Return existing context: 0x", 0) == 0;
  EXPECT_FALSE(reused);
  ConnectionContextRegistry::Destroy(&pfc);
}

TEST_F(SpineTest, UnregisteredTypeConnectsButReachesNoHandler) {
  InitializedFilter();
  EXPECT_EQ(Notify(SF_NOTIFY_LOG), 0u);
  auto impl = implementation();
  EXPECT_TRUE(impl->Calls().empty());
  EXPECT_EQ(impl->connects, 1);
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(messages.back(), "Notification Type: 0x00000200");
}

TEST_F(SpineTest, NoBackEndConnectionRefusesTheNotification) {
  configure_ = [](ScriptedImplementation& i) { i.connectResult = false; };
  InitializedFilter();
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  EXPECT_TRUE(implementation()->Calls().empty());
  EXPECT_EQ(Messages().back(), "Notification Type: 0x00004000");
}

TEST_F(SpineTest, TraceLevelZeroHidesTheDispatchLines) {
  ASSERT_TRUE(key_.SetDword("TraceLevel", 0));
  InitializedFilter();
  std::size_t before = Messages().size();
  EXPECT_EQ(Notify(SF_NOTIFY_SEND_RAW_DATA), kNext);
  EXPECT_EQ(Messages().size(), before);
}

// ---- Failures thrown by handlers ----

TEST_F(SpineTest, StandardExceptionIsLoggedAndNotCounted) {
  InitializedFilter([](const std::string&) -> DWORD { throw std::runtime_error("bad 100% %s input"); });
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(messages.back(), "Exception during processing. Error message: \"bad 100% %s input\".");
  EXPECT_TRUE(implementation()->resets.empty());
  EXPECT_FALSE(Contains(messages, "Web filter blocked from execution. All requests will be rejected. Please restart the service."));
}

TEST_F(SpineTest, ComErrorResetsTheBackEndConnection) {
  InitializedFilter([](const std::string&) -> DWORD { throw HRXEx{RPC_E_DISCONNECTED, "d", "t"}; });
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), kFinished);
  EXPECT_EQ(Messages().back(), "COM error occurred, error: 0x80010108.");
  auto impl = implementation();
  ASSERT_EQ(impl->resets.size(), 1u);
  EXPECT_TRUE(impl->resets[0].first);
  EXPECT_EQ(impl->resets[0].second, RPC_E_DISCONNECTED);
  EXPECT_EQ(Notify(SF_NOTIFY_SEND_RESPONSE), kFinished);  // not counted as a fault: still served
  EXPECT_EQ(impl->Calls().size(), 2u);
}

TEST_F(SpineTest, UnknownExceptionIsCountedAsFault) {
  InitializedFilter([](const std::string&) -> DWORD { throw Stub::HResultException(E_OUTOFMEMORY); });
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  std::vector<std::string> messages = Messages();
  ASSERT_GE(messages.size(), 2u);
  EXPECT_EQ(messages[messages.size() - 2], "Unknown error occured.");
  EXPECT_EQ(messages.back(),
            "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
}

// ---- Fault guard ----

TEST_F(SpineTest, RefusesAfterRetryCountPlusTwoFaults) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", 3));
  std::atomic<bool> fail{true};
  InitializedFilter([&fail](const std::string&) -> DWORD {
    if (fail) throw 1;
    return kNext;
  });
  for (int fault = 0; fault < 5; ++fault) EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(CountOf(messages, "Web filter blocked from execution. All requests will be rejected. Please restart the service."), 1u);
  for (int retry = 0; retry <= 3; ++retry)
    EXPECT_EQ(CountOf(messages, "Web filter block attempt - retry count " + std::to_string(retry)), 1u) << retry;
  EXPECT_EQ(implementation()->Calls().size(), 5u);

  fail = false;
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  EXPECT_EQ(Messages().back(), "Event is blocked. Restart the filter!");
  EXPECT_EQ(implementation()->Calls().size(), 5u);
  EXPECT_TRUE(filter_->IsBlocked());
}

TEST_F(SpineTest, NegativeRetryCountRefusesAfterTheFirstFault) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", static_cast<DWORD>(-1)));
  CFilter& filter = InitializedFilter();
  filter.RecordFault();
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  EXPECT_TRUE(implementation()->Calls().empty());
}

TEST_F(SpineTest, BlockIsLiftedOnlyAfterMoreThanBlockMaxTime) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", static_cast<DWORD>(-1)));
  ASSERT_TRUE(key_.SetDword("BlockMaxTime", 120));
  CFilter& filter = InitializedFilter();
  filter.RecordFault();
  now_ += 60;
  filter.RecordFault();  // later faults do not move the start
  now_ += 60;
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);  // exactly 120 s: still blocked
  EXPECT_TRUE(implementation()->resets.empty());
  now_ += 1;
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kNext);
  std::vector<std::string> messages = Messages();
  EXPECT_TRUE(Contains(messages, "Web filter - max block time reached, try restart service and lift the block"));
  auto impl = implementation();
  ASSERT_EQ(impl->resets.size(), 1u);
  EXPECT_EQ(impl->resets[0], std::make_pair(true, static_cast<HRESULT>(1)));
  EXPECT_EQ(impl->Calls().size(), 1u);
  // Counting starts afresh.
  filter.RecordFault();
  EXPECT_EQ(Messages().back(), "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
}

TEST_F(SpineTest, ZeroBlockMaxTimeNeverLifts) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", static_cast<DWORD>(-1)));
  ASSERT_TRUE(key_.SetDword("BlockMaxTime", 0));
  CFilter& filter = InitializedFilter();
  filter.RecordFault();
  now_ += 1000000;
  EXPECT_TRUE(filter.IsBlocked());
  EXPECT_TRUE(implementation()->resets.empty());
}

TEST_F(SpineTest, ReloadDoesNotLiftABlock) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", static_cast<DWORD>(-1)));
  CFilter& filter = InitializedFilter();
  filter.RecordFault();
  EXPECT_EQ(filter.Reload(), S_OK);
  EXPECT_TRUE(filter.IsBlocked());
}

TEST_F(SpineTest, ConcurrentFaultsAreCountedExactlyOnce) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", 100000));
  ASSERT_TRUE(key_.SetDword("TraceLevel", 0));
  InitializedFilter([](const std::string&) -> DWORD { throw 1; });
  constexpr int kThreads = 4;
  constexpr int kFaults = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this] {
      for (int i = 0; i < kFaults; ++i) Notify(SF_NOTIFY_PREPROC_HEADERS);
    });
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(CountOf(messages, "Web filter blocked from execution. All requests will be rejected. Please restart the service."), 1u);
  for (int retry = 0; retry < kThreads * kFaults - 1; ++retry)
    ASSERT_EQ(CountOf(messages, "Web filter block attempt - retry count " + std::to_string(retry)), 1u) << retry;
  EXPECT_EQ(CountOf(messages, "Web filter block attempt - retry count " + std::to_string(kThreads * kFaults - 1)), 0u);
}

// ---- Machine faults ----

TEST_F(SpineTest, AccessViolationIsDumpedCountedAndContained) {
  std::atomic<bool> fault{true};
  InitializedFilter([&fault](const std::string&) { return fault ? AccessViolation() : kNext; });
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), kFinished);

  std::vector<std::string> messages = Messages();
  std::size_t seh = IndexOf(messages, "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xC0000005.");
  ASSERT_LT(seh + 2, messages.size()) << "no SEH line";
  EXPECT_EQ(messages[seh + 1], "Attempt to create dump file: \"" + dumpPath_ + "\".");
  EXPECT_EQ(messages[seh + 2],
            "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
  EXPECT_EQ(dumpPath_, test::ExeDir() + "Logs\\" + dumpPath_.substr(dumpPath_.rfind('\\') + 1));
  EXPECT_EQ(test::ReadFileText(dumpPath_).substr(0, 4), "MDMP");

  // The process goes on serving.
  fault = false;
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), kNext);
  EXPECT_EQ(implementation()->Calls().size(), 2u);
}

TEST_F(SpineTest, ConcurrentAccessViolationsAreEachContained) {
  ASSERT_TRUE(test::MakeDir(dumpPath_));  // keeps the dump step short: creation fails
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", 100000));
  ASSERT_TRUE(key_.SetDword("TraceLevel", 0));
  std::atomic<bool> fault{true};
  InitializedFilter([&fault](const std::string&) { return fault ? AccessViolation() : kNext; });
  constexpr int kThreads = 4;
  constexpr int kFaults = 10;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, &finished] {
      for (int i = 0; i < kFaults; ++i) finished += Notify(SF_NOTIFY_SEND_RAW_DATA) == kFinished ? 1 : 0;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(finished, kThreads * kFaults);
  std::vector<std::string> messages = Messages();
  EXPECT_EQ(CountOf(messages, "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xC0000005."),
            static_cast<std::size_t>(kThreads * kFaults));
  for (int retry = 0; retry < kThreads * kFaults - 1; ++retry)
    ASSERT_EQ(CountOf(messages, "Web filter block attempt - retry count " + std::to_string(retry)), 1u) << retry;
  fault = false;
  EXPECT_EQ(Notify(SF_NOTIFY_SEND_RAW_DATA), kNext);
}

TEST_F(SpineTest, ExceptionEscapingDispatchIsTreatedAsMachineFault) {
  // The dump file's place is taken by a folder, so the dump step fails fast
  // and logs its failure.
  ASSERT_TRUE(test::MakeDir(dumpPath_));
  configure_ = [](ScriptedImplementation& i) { i.onReset = [] { throw std::runtime_error("reset failed"); }; };
  InitializedFilter([](const std::string&) -> DWORD { throw HRXEx{E_FAIL, "", ""}; });
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  std::vector<std::string> messages = Messages();
  std::size_t seh = IndexOf(messages, "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xE0544C46.");
  ASSERT_LT(seh + 3, messages.size());
  EXPECT_EQ(messages[seh - 1], "COM error occurred, error: 0x80004005.");
  EXPECT_EQ(messages[seh + 1], "Attempt to create dump file: \"" + dumpPath_ + "\".");
  EXPECT_EQ(messages[seh + 2], "Failed to create dump file, error: 5.");
  EXPECT_EQ(messages[seh + 3],
            "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
}

TEST_F(SpineTest, NoDumpWhileRequestsAreRefused) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", static_cast<DWORD>(-1)));
  CFilter& filter = InitializedFilter();
  filter.RecordFault();
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  WriteCrashDump(filter, &pointers);
  EXPECT_EQ(Messages().back(), "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xC0000005.");
  EXPECT_FALSE(test::FileExists(dumpPath_));
}

TEST_F(SpineTest, MissingLogsFolderMakesTheDumpFailWithPathNotFound) {
  CFilter& filter = InitializedFilter();
  std::string logs = test::ExeDir() + "Logs";
  test::RemoveTree(logs);
  // The log goes with the folder; collect the lines through a log of our own.
  TraceLog::Instance().SetPath(test::ExeDir() + "dump-failure.log");
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  WriteCrashDump(filter, &pointers);
  std::vector<std::string> messages = test::LogMessages(test::ExeDir() + "dump-failure.log");
  DeleteFileA((test::ExeDir() + "dump-failure.log").c_str());
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), "Failed to create dump file, error: 3.");
}

// ---- Reload while handlers run ----

TEST_F(SpineTest, ReloadKeepsTheOldImplementationAliveUntilItsCallsReturn) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> firstCall{true};
  InitializedFilter([&](const std::string&) {
    if (firstCall.exchange(false)) {
      entered.set_value();
      released.wait();
    }
    return kNext;
  });
  std::weak_ptr<ScriptedImplementation> old = latest_;

  std::thread worker([this] { EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kNext); });
  entered.get_future().wait();
  EXPECT_EQ(filter_->Reload(), S_OK);
  EXPECT_EQ(created_, 2);
  EXPECT_FALSE(old.expired());  // the worker is still inside it
  release.set_value();
  worker.join();
  EXPECT_TRUE(old.expired());

  EXPECT_EQ(Notify(SF_NOTIFY_SEND_RAW_DATA), kNext);
  EXPECT_EQ(implementation()->Calls(), std::vector<std::string>{"OnSendRawData"});
}

}  // namespace
}  // namespace talverin
