// The filter spine linked with a scripted handler implementation: lifecycle,
// dispatch, failure containment, the fault guard; and the machine-fault guard on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "auth/connection_context.h"
#include "config/settings_registry.h"
#include "filter/crash_dump.h"
#include "filter/fault_guard.h"
#include "filter/filter.h"
#include "filter/seh_guard.h"
#include "stub/errors.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using test::Contains;
using test::CountOf;
using Lines = std::vector<std::string>;

constexpr DWORD kFinished = SF_STATUS_REQ_FINISHED;
constexpr DWORD kNext = SF_STATUS_REQ_NEXT_NOTIFICATION;
const char kBlocked[] = "Web filter blocked from execution. All requests will be rejected. Please restart the service.";
const char kAccessViolation[] = "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xC0000005.";

std::string RetryLine(int retry) { return "Web filter block attempt - retry count " + std::to_string(retry); }

// Each handler records its slot, what it was handed and the thread's last error, then runs the test's action.
class ScriptedImplementation : public IFilterImplementation {
 public:
  using Action = std::function<DWORD(const std::string& slot)>;
  explicit ScriptedImplementation(Action action) : action_(std::move(action)) {}

  HRESULT Init() override { return initResult; }
  DWORD Deinit() override { return deinitResult; }
#define TALVERIN_SLOT(Name) \
  DWORD Name(HTTP_FILTER_CONTEXT*, void* n, ConnectionContext* c) override { return Handle(#Name, n, c); }
  TALVERIN_SLOT(OnPreprocHeaders) TALVERIN_SLOT(OnAuthentication) TALVERIN_SLOT(OnAccessDenied)
  TALVERIN_SLOT(OnAuthComplete) TALVERIN_SLOT(OnReadRawData) TALVERIN_SLOT(OnSendRawData) TALVERIN_SLOT(OnSendResponse)
#undef TALVERIN_SLOT
  DWORD OnEndOfRequest(HTTP_FILTER_CONTEXT*, ConnectionContext* c) override { return Handle("OnEndOfRequest", 0, c); }
  bool Connect() override { return ++connects, connectResult; }
  bool Reset(bool force, HRESULT code) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      resets.emplace_back(force, code);
    }
    if (onReset) onReset();
    return true;
  }
  Lines Calls() {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }

  HRESULT initResult = S_OK;
  DWORD deinitResult = 0;
  bool connectResult = true;
  std::atomic<int> connects{0};
  std::function<void()> onReset;
  std::vector<std::pair<bool, HRESULT>> resets;
  ConnectionContext* lastContext = nullptr;
  DWORD lastErrorInHandler = 0xFFFFFFFF;

 private:
  DWORD Handle(const std::string& slot, void*, ConnectionContext* context) {
    lastErrorInHandler = GetLastError();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      calls_.push_back(slot);
      lastContext = context;
    }
    return action_ ? action_(slot) : kNext;
  }

  Action action_;
  std::mutex mutex_;
  Lines calls_;
};

// An access violation the optimizer cannot see coming.
volatile std::uintptr_t g_invalidAddress = 8;
void WriteToInvalidAddress() { *reinterpret_cast<volatile int*>(g_invalidAddress) = 1; }
DWORD AccessViolation() { return WriteToInvalidAddress(), kNext; }

class SpineTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::MakeDir(test::ExeDir() + "Logs"));
    ASSERT_EQ(GetLogFilePath(logPath_), S_OK);
    dumpPath_ = logPath_.substr(0, logPath_.size() - 4) + ".exe.dmp";  // beside the log, named after the module
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
  }

  // A filter whose implementations all run action, started unless the test starts it itself.
  CFilter& MakeFilter(ScriptedImplementation::Action action = nullptr, bool init = true) {
    filter_ = std::make_unique<CFilter>(
        [this, action] {
          auto implementation = std::make_shared<ScriptedImplementation>(action);
          implementation->initResult = initResult_;
          latest_ = implementation;
          return implementation;
        },
        [this](CFilter&, WebListenerMap& map) {
          if (readListeners_) readListeners_(map);
        },
        [this] { return now_.load(); });
    if (init) EXPECT_EQ(filter_->Init(), S_OK);
    return *filter_;
  }
  std::shared_ptr<ScriptedImplementation> implementation() { return latest_.lock(); }

  // One notification on a connection of its own, whose request, unless this notification begins or ends it, is
  // under way: its context is in the slot. Whatever the dispatch leaves there goes.
  DWORD Notify(DWORD type) {
    HTTP_FILTER_CONTEXT pfc{};
    pfc.cbSize = sizeof pfc;
    if (type != SF_NOTIFY_READ_RAW_DATA && type != SF_NOTIFY_END_OF_REQUEST)
      pfc.pFilterContext = new ConnectionContext();
    DWORD status = GuardedDispatch(*filter_, &pfc, type, &notification_);
    delete static_cast<ConnectionContext*>(pfc.pFilterContext);
    return status;
  }
  Lines Messages() const { return test::LogMessages(logPath_); }

  test::SettingsKey key_;
  std::string logPath_;
  std::string dumpPath_;
  std::atomic<std::int64_t> now_{1000};
  HRESULT initResult_ = S_OK;
  std::function<void(WebListenerMap&)> readListeners_;
  std::weak_ptr<ScriptedImplementation> latest_;
  std::unique_ptr<CFilter> filter_;
  int notification_ = 0;
};

// A failed start-up fails the version call with the failure's code, says why,
// refuses notifications and is tried again by the next version call.
TEST_F(SpineTest, StartUpIsRetriedUntilItSucceedsAndShutDownReportsTheImplementationsFailure) {
  struct Row {
    std::function<void()> raise;
    HRESULT code;
    Lines lastLines;
  };
  const std::vector<Row> rows = {
      {[] {
         throw HRXEx(Error::FromHResult(ErrorCategory::Configuration, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                                        "Reading listeners failed %s", "Access is denied."));
       },
       HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), {"Reading listeners failed %s", "Access is denied."}},
      {[] { throw Stub::Exception("COM pointer has expired"); }, E_FAIL,
       {"Stub exception during initializing, error message: \"COM pointer has expired\"."}},
      {[] { throw std::bad_alloc(); }, E_FAIL, {"Exception during initializing, error message: \"std::bad_alloc\"."}},
      {[] { throw 1; }, E_UNEXPECTED, {"Unknown error during initializing."}},
  };
  HTTP_FILTER_VERSION version{};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    bool fail = true;
    readListeners_ = [&](WebListenerMap&) {
      if (fail) row.raise();
    };
    CFilter& filter = MakeFilter(nullptr, false);
    EXPECT_FALSE(filter.GetWPXFilterVersion(&version));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(row.code));
    const Lines messages = Messages();
    ASSERT_GE(messages.size(), row.lastLines.size());
    EXPECT_EQ(Lines(messages.end() - row.lastLines.size(), messages.end()), row.lastLines);
    EXPECT_EQ(implementation(), nullptr);
    EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);  // no implementation: refused
    fail = false;
    EXPECT_TRUE(filter.GetFilterVersion(&version));
    EXPECT_NE(implementation(), nullptr);
  }

  // An implementation that fails to start fails the call once; the next one skips the start.
  readListeners_ = [](WebListenerMap& map) { map["{L1}"].Enabled = true; };
  initResult_ = E_ACCESSDENIED;
  CFilter& filter = MakeFilter(nullptr, false);
  EXPECT_FALSE(filter.GetFilterVersion(&version));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(E_ACCESSDENIED));
  EXPECT_TRUE(filter.GetFilterVersion(&version));  // a second start would fail again
  EXPECT_TRUE(FilterSettings::Instance().Enabled("{L1}"));

  implementation()->deinitResult = 5;
  EXPECT_FALSE(filter.TerminateFilter());
  EXPECT_EQ(GetLastError(), 5u);
}

TEST_F(SpineTest, EachRegisteredNotificationReachesItsHandlerOnceTheBackEndAnswers) {
  bool failEnd = false;
  MakeFilter([&failEnd](const std::string& slot) -> DWORD {
    if (failEnd && slot == "OnEndOfRequest") throw std::runtime_error("end of request failed");
    return SF_STATUS_REQ_READ_NEXT;
  });
  const std::vector<std::pair<DWORD, std::string>> routes = {
      {SF_NOTIFY_PREPROC_HEADERS, "OnPreprocHeaders"}, {SF_NOTIFY_READ_RAW_DATA, "OnReadRawData"},
      {SF_NOTIFY_AUTH_COMPLETE, "OnAuthComplete"},     {SF_NOTIFY_AUTHENTICATION, "OnAuthentication"},
      {SF_NOTIFY_SEND_RESPONSE, "OnSendResponse"},     {SF_NOTIFY_END_OF_REQUEST, "OnEndOfRequest"},
      {SF_NOTIFY_SEND_RAW_DATA, "OnSendRawData"},      {SF_NOTIFY_ACCESS_DENIED, "OnAccessDenied"}};
  for (const auto& [type, slot] : routes) {
    SCOPED_TRACE(slot);
    SetLastError(77);
    EXPECT_EQ(Notify(type), static_cast<DWORD>(SF_STATUS_REQ_READ_NEXT));
    auto impl = implementation();
    EXPECT_EQ(impl->Calls().back(), slot);
    EXPECT_EQ(impl->lastErrorInHandler, 0u);
    // End of request on a connection without a context gets none; every other notification the request's.
    EXPECT_EQ(impl->lastContext == nullptr, type == SF_NOTIFY_END_OF_REQUEST);
  }
  EXPECT_EQ(implementation()->Calls().size(), routes.size());

  // A context that outlived a failing end of request would read the connection's next request as its body.
  failEnd = true;
  HTTP_FILTER_CONTEXT pfc{sizeof pfc};
  ASSERT_EQ(GuardedDispatch(*filter_, &pfc, SF_NOTIFY_READ_RAW_DATA, &notification_), DWORD(SF_STATUS_REQ_READ_NEXT));
  ASSERT_NE(pfc.pFilterContext, nullptr);
  EXPECT_EQ(GuardedDispatch(*filter_, &pfc, SF_NOTIFY_END_OF_REQUEST, nullptr), kFinished);
  EXPECT_EQ(pfc.pFilterContext, nullptr);

  // A type the filter did not register for, or a back end it cannot reach, reaches no handler.
  const int connects = implementation()->connects;
  EXPECT_EQ(Notify(SF_NOTIFY_LOG), 0u);
  implementation()->connectResult = false;
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  EXPECT_EQ(implementation()->connects, connects + 2);
  EXPECT_EQ(implementation()->Calls().size(), routes.size() + 2);  // no more than the end-of-request pair
}

// Only the back end's failures reset its connection, and only exceptions of
// unknown type count towards blocking the filter, whoever raised them. An
// exception that escapes dispatch (from the reset, say) is a machine fault;
// the dump file's place is taken, so the dump step fails and says so.
TEST_F(SpineTest, ThrownFailuresAreLoggedAndActedOnByTheirCategory) {
  struct Row {
    std::function<void()> raise;
    Lines lastLines;
    HRESULT reset;  // S_OK: none
    bool resetThrows = false;
  };
  const std::string comError = "COM error occurred, error: 0x";
  const std::vector<Row> rows = {
      {[] { throw std::runtime_error("bad 100% %s input"); },
       {"Exception during processing. Error message: \"bad 100% %s input\"."}, S_OK},
      {[] { throw HRXEx(RPC_E_DISCONNECTED); }, {comError + "80010108."}, RPC_E_DISCONNECTED},
      {[] { throw HRXEx(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), "Disable all notifications failed!",
                        ErrorCategory::Host); },
       {comError + "80070057."}, S_OK},
      {[] { throw HRXEx(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "Resource DLL", ErrorCategory::Configuration); },
       {comError + "8007007E."}, S_OK},
      {[] { throw Error::FromHResult(ErrorCategory::Request, E_OUTOFMEMORY); }, {comError + "8007000E."}, S_OK},
      {[] { throw Stub::Exception(Stub::kPointerExpired); },
       {"Exception during processing. Error message: \"COM pointer has expired\"."}, S_OK},
      {[] { throw 1; }, {"Unknown error occured.", kBlocked}, S_OK},
      {[] { throw HRXEx(E_FAIL); },
       {comError + "80004005.", "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xE0544C46.",
        "Attempt to create dump file: \"" + dumpPath_ + "\".", "Failed to create dump file, error: 5.", kBlocked},
       E_FAIL, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lastLines[0]);
    ASSERT_TRUE(test::MakeDir(dumpPath_));
    MakeFilter([&row](const std::string&) -> DWORD { return row.raise(), kNext; });
    if (row.resetThrows) implementation()->onReset = [] { throw std::runtime_error("reset failed"); };
    EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), kFinished);
    const Lines messages = Messages();
    ASSERT_GE(messages.size(), row.lastLines.size());
    EXPECT_EQ(Lines(messages.end() - row.lastLines.size(), messages.end()), row.lastLines);
    EXPECT_EQ(implementation()->resets.size(), row.reset != S_OK ? 1u : 0u);
    if (row.reset != S_OK) EXPECT_EQ(implementation()->resets[0], std::make_pair(true, row.reset));
    EXPECT_EQ(CountOf(messages, kBlocked), row.lastLines.back() == kBlocked ? 1u : 0u);
    RemoveOutputs();
  }
}

TEST_F(SpineTest, RefusesAfterRetryCountPlusTwoFaultsUntilMoreThanBlockMaxTimeHasPassed) {
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", 3));
  ASSERT_TRUE(key_.SetDword("BlockMaxTime", 120));
  bool fail = true;
  CFilter& filter = MakeFilter([&fail](const std::string&) -> DWORD { return fail ? throw 1 : kNext; });
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);  // the first fault starts the block
  now_ += 60;  // later ones do not move its start
  for (int fault = 1; fault < 5; ++fault) EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  const Lines messages = Messages();
  EXPECT_EQ(CountOf(messages, kBlocked), 1u);
  for (int retry = 0; retry <= 4; ++retry) EXPECT_EQ(CountOf(messages, RetryLine(retry)), retry < 4 ? 1u : 0u);

  fail = false;
  now_ += 60;
  EXPECT_EQ(filter.Reload(), S_OK);  // a reload does not lift a block
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);  // exactly BlockMaxTime: still blocked
  EXPECT_EQ(Messages().back(), "Event is blocked. Restart the filter!");
  EXPECT_TRUE(implementation()->Calls().empty());
  EXPECT_TRUE(implementation()->resets.empty());
  now_ += 1;
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kNext);
  EXPECT_TRUE(Contains(Messages(), "Web filter - max block time reached, try restart service and lift the block"));
  EXPECT_EQ(implementation()->resets, (std::vector<std::pair<bool, HRESULT>>{{true, 1}}));
  EXPECT_EQ(implementation()->Calls().size(), 1u);
  filter.RecordFault();  // counting starts afresh
  EXPECT_EQ(Messages().back(), kBlocked);

  // A negative retry count refuses from the first fault on, and a zero block time never lifts the block.
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", static_cast<DWORD>(-1)));
  ASSERT_TRUE(key_.SetDword("BlockMaxTime", 0));
  EXPECT_EQ(filter.Reload(), S_OK);
  now_ += 1000000;
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), kFinished);
  EXPECT_TRUE(implementation()->Calls().empty());
  EXPECT_TRUE(implementation()->resets.empty());
  // No dump while requests are refused.
  EXCEPTION_RECORD record{EXCEPTION_ACCESS_VIOLATION};
  CONTEXT context{};
  EXCEPTION_POINTERS pointers{&record, &context};
  WriteCrashDump(filter, &pointers);
  EXPECT_EQ(Messages().back(), kAccessViolation);
  EXPECT_FALSE(test::FileExists(dumpPath_));
}

TEST_F(SpineTest, ConcurrentFaultsAreEachContainedAndCountedExactlyOnce) {
  ASSERT_TRUE(test::MakeDir(dumpPath_));  // keeps the dump step short: creation fails
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", 100000));
  ASSERT_TRUE(key_.SetDword("TraceLevel", 0));
  std::atomic<int> calls{0};
  std::atomic<bool> fault{true};
  // Every other call is a machine fault, the others throw.
  MakeFilter([&](const std::string&) -> DWORD {
    if (!fault) return kNext;
    return ++calls % 2 ? AccessViolation() : throw 1;
  });
  constexpr int kThreads = 4, kFaults = 20;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([this, &finished] {
      for (int i = 0; i < kFaults; ++i) finished += Notify(SF_NOTIFY_SEND_RAW_DATA) == kFinished ? 1 : 0;
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(finished, kThreads * kFaults);
  const Lines messages = Messages();
  EXPECT_EQ(CountOf(messages, kAccessViolation), static_cast<std::size_t>(kThreads * kFaults / 2));
  EXPECT_EQ(CountOf(messages, kBlocked), 1u);
  for (int retry = 0; retry < kThreads * kFaults - 1; ++retry)
    ASSERT_EQ(CountOf(messages, RetryLine(retry)), 1u) << retry;
  EXPECT_EQ(CountOf(messages, RetryLine(kThreads * kFaults - 1)), 0u);
  fault = false;
  EXPECT_EQ(Notify(SF_NOTIFY_SEND_RAW_DATA), kNext);
}

TEST_F(SpineTest, ReloadKeepsTheOldImplementationAliveUntilItsCallsReturn) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> firstCall{true};
  MakeFilter([&](const std::string&) {
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
  EXPECT_FALSE(old.expired());  // the worker is still inside it
  release.set_value();
  worker.join();
  EXPECT_TRUE(old.expired());
  EXPECT_EQ(Notify(SF_NOTIFY_SEND_RAW_DATA), kNext);
  EXPECT_EQ(implementation()->Calls(), Lines{"OnSendRawData"});
}

// The machine-fault guard on its own: what it takes and nesting on one thread (a host may call the filter again
// from inside a call it made). An exception escaping the body is a row of the failure table above.
constexpr DWORD kFaultResult = 0xFA;

DWORD Faulting() { return WriteToInvalidAddress(), DWORD{1}; }

struct Report {
  DWORD code;
  DWORD threadId;
  std::uintptr_t faultAddress;  // access violations: the address touched
};

struct Guarded {
  std::function<DWORD()> body;
  std::function<void(EXCEPTION_POINTERS*)> onReport;
  std::vector<Report> reports;

  DWORD Run() { return TalverinRunGuarded(&Body, &OnFault, this, kFaultResult); }
  static DWORD Body(void* self, int*) { return static_cast<Guarded*>(self)->body(); }
  static void OnFault(void* self, EXCEPTION_POINTERS* info) {
    auto* guarded = static_cast<Guarded*>(self);
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    guarded->reports.push_back({record.ExceptionCode, GetCurrentThreadId(),
                                record.NumberParameters >= 2 ? record.ExceptionInformation[1] : 0});
    if (guarded->onReport) guarded->onReport(info);
  }
};

// The head of the thread's exception handler list (32-bit Windows; still a field of every thread on 64-bit Windows).
void* ExceptionListHead() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList; }

TEST(SehGuardTest, FaultsAreReportedOnTheFaultingThreadAndAnsweredAndTheGuardServesOn) {
  void* headBefore = ExceptionListHead();
  Guarded guarded;
  guarded.body = Faulting;
  EXPECT_EQ(guarded.Run(), kFaultResult);
  ASSERT_EQ(guarded.reports.size(), 1u);
  EXPECT_EQ(guarded.reports[0].code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(guarded.reports[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(guarded.reports[0].faultAddress, g_invalidAddress);
  EXPECT_EQ(ExceptionListHead(), headBefore);
  // Each fault's dispatch takes a few KiB of stack; were it not given back,
  // these would overflow the thread's 1 MiB stack.
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(guarded.Run(), kFaultResult) << i;

  guarded.body = [] { return RaiseException(0xE0001234u, 0, 0, nullptr), DWORD{1}; };
  EXPECT_EQ(guarded.Run(), kFaultResult);
  EXPECT_EQ(guarded.reports.back().code, 0xE0001234u);
  guarded.body = [] { return DWORD{7}; };
  EXPECT_EQ(guarded.Run(), 7u);
  EXPECT_EQ(guarded.reports.size(), 2002u);
  EXPECT_EQ(ExceptionListHead(), headBefore);

  // IsBadReadPtr and IsBadWritePtr probe the memory under handlers of their own: the guard sees nothing.
  guarded.body = [] {
    int local = 0;
    return DWORD(IsBadReadPtr(reinterpret_cast<const void*>(g_invalidAddress), sizeof(int)) ? 1 : 0) |
           (IsBadWritePtr(reinterpret_cast<void*>(g_invalidAddress), sizeof(int)) ? 2 : 0) |
           (IsBadWritePtr(&local, sizeof local) ? 0 : 4);
  };
  EXPECT_EQ(guarded.Run(), 7u);
  EXPECT_EQ(guarded.reports.size(), 2002u);
}

// The report runs on top of the faulting stack: a guarded call made there (the dump step's own faults, say) is a
// guard nested inside the handler, and a fault of the report itself is contained without a second report.
TEST(SehGuardTest, NestedGuardsEachTakeTheirOwnFaultsAlsoInsideTheReport) {
  void* headBefore = ExceptionListHead();
  Guarded inner;
  inner.body = Faulting;
  Guarded outer;
  outer.body = [&inner] { return inner.Run() + 100; };
  EXPECT_EQ(outer.Run(), kFaultResult + 100);
  EXPECT_EQ(ExceptionListHead(), headBefore);
  outer.body = [&inner] { return inner.Run(), Faulting(); };  // after the inner guard returned: the outer's
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(inner.reports.size(), 2u);
  EXPECT_EQ(outer.reports.size(), 1u);

  outer.onReport = [&inner](EXCEPTION_POINTERS*) { EXPECT_EQ(inner.Run(), kFaultResult); };
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(inner.reports.size(), 4u);
  EXPECT_EQ(outer.reports.size(), 2u);
  outer.onReport = [](EXCEPTION_POINTERS*) { WriteToInvalidAddress(); };
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(outer.reports.size(), 3u);
  outer.onReport = nullptr;
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(outer.reports.size(), 4u);
}

}  // namespace
}  // namespace talverin
