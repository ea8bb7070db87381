#include "diag/event_log.h"

#include <gtest/gtest.h>

#include "support/fake_filter_context.h"
#include "support/filter_install.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;
const std::string kOwa = "{AAAAAAAA-0000-0000-0000-000000000001}";

class EventLogTest : public testing::Test {
 protected:
  EventLogTest() {
    request_.serverVariables = {{"REMOTE_ADDR", "192.0.2.7"}, {"LISTENER_GUID", kOwa}, {"URL", "/owa/inbox?t=1"}};
  }
  // Everything written, as "<E|W|I by type><message number>: <strings, between bars>", once the worker has ended.
  Strings Written() {
    log_.Stop();
    return written_;
  }
  void Attack(DWORD id, const char* address) {
    request_.serverVariables["REMOTE_ADDR"] = address;
    log_.ReportAttack(id, request_.pfc());
  }

  // Only the worker writes these, one worker after another, and they are read once it has ended.
  Strings written_;
  const DWORD caller_ = GetCurrentThreadId();
  bool onCaller_ = false;
  std::int64_t now_ = 5000;
  EventLog log_{[this](const LoggedEvent& e) {
                  std::string line = "?EW?I"[e.type <= 4 ? e.type : 0] + std::to_string(e.id & 0xFFFF) + ":";
                  for (std::size_t i = 0; i < e.strings.size(); ++i) line += (i == 0 ? " " : "|") + e.strings[i];
                  written_.push_back(line);
                  onCaller_ |= GetCurrentThreadId() == caller_;
                },
                [this] { return now_; }};
  test::FakeFilterContext request_;
};

// At most one event per kind and address a minute; the next one tells how many were held back.
TEST_F(EventLogTest, AttacksAreLimitedPerKindAndAddressAndTellWhatWasHeldBack) {
  for (int i = 0; i < 10; ++i) Attack(TALVERIN_EVENT_ATTACK_BYPASS, "192.0.2.7");
  Attack(TALVERIN_EVENT_ATTACK_AMBIGUOUS_COOKIE, "192.0.2.7");
  Attack(TALVERIN_EVENT_ATTACK_BYPASS, "192.0.2.8");
  now_ += 60;  // the window's end is the throttle's own test
  Attack(TALVERIN_EVENT_ATTACK_BYPASS, "192.0.2.7");
  now_ += 200;
  Attack(TALVERIN_EVENT_ATTACK_BYPASS, "192.0.2.7");  // nothing held back in this window
  const std::string url = "|" + kOwa + "|/owa/inbox|";
  EXPECT_EQ(Written(), (Strings{"W502: 192.0.2.7" + url + "0", "W500: 192.0.2.7" + url + "0",
                                "W502: 192.0.2.8" + url + "0", "W502: 192.0.2.7" + url + "9",
                                "W502: 192.0.2.7" + url + "0"}));
}

// In order, on a worker, the caller's error kept. The installed filter's events name users and listeners; here what
// is shown without them. The back end's going and coming back is told once each.
TEST_F(EventLogTest, EventsAreWrittenInOrderOnTheWorkerWithWhatIsKnownKeepingTheCallersError) {
  SetLastError(1234);
  log_.ReportStarted("4.0.0.1", 0, WebListenerMap());
  log_.ReportAttack(TALVERIN_EVENT_ATTACK_AUTHORIZATION, request_.pfc());  // listener not known: its GUID
  log_.ReportStarted("4.0.0.1", 1,
                     {{kOwa, {"Exchange OWA", "", true}}, {"{B}", {"Intranet"}}, {"{C}", {"Portal", "", true}}});
  test::FakeFilterContext bare;
  log_.ReportUser(TALVERIN_EVENT_LOGON_UNKNOWN_USER, bare.pfc(), "");
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(EventLog::UrlForEvent("/" + std::string(600, 'a')).size(), 512u);
  log_.BackendReachable();  // the first connection is no news
  log_.BackendUnreachable(static_cast<HRESULT>(0x800401F3));
  log_.Stop();  // the next event starts the worker again
  log_.BackendUnreachable(static_cast<HRESULT>(0x80080005));
  log_.BackendReachable();
  log_.BackendReachable();
  log_.Report(TALVERIN_EVENT_FAULT_BLOCK_LIFTED);
  log_.BackendUnreachable(static_cast<HRESULT>(0x80080005));
  EXPECT_EQ(Written(), (Strings{"I100: 4.0.0.1|0|none", "W503: 192.0.2.7|" + kOwa + "|/owa/inbox|0",
                                "I100: 4.0.0.1|1|Exchange OWA, Portal", "W400: (unknown)|(unknown)|(unknown)|(unknown)",
                                "E200: 0x800401F3", "I201:", "W302:", "E200: 0x80080005"}));
  EXPECT_FALSE(onCaller_);
}

// Event Viewer shows a sentence for every event, with exactly the strings the facility inserts.
TEST(EventMessagesTest, TheFilterModuleHasASentenceForEveryEvent) {
  const std::pair<DWORD, int> messages[] = {
      {TALVERIN_EVENT_FILTER_STARTED, 3},          {TALVERIN_EVENT_FILTER_STOPPED, 0},
      {TALVERIN_EVENT_BACKEND_UNREACHABLE, 1},     {TALVERIN_EVENT_BACKEND_REACHABLE, 0},
      {TALVERIN_EVENT_FAULT_CONTAINED, 2},         {TALVERIN_EVENT_FAULT_BLOCK, 1},
      {TALVERIN_EVENT_FAULT_BLOCK_LIFTED, 0},      {TALVERIN_EVENT_LOGON_UNKNOWN_USER, 4},
      {TALVERIN_EVENT_LOGON_LOCKED_OUT, 4},        {TALVERIN_EVENT_LOGON_DENIED, 4},
      {TALVERIN_EVENT_PASSCODE_REJECTED, 4},       {TALVERIN_EVENT_PASSCODE_CANCELLED, 4},
      {TALVERIN_EVENT_ATTACK_AMBIGUOUS_COOKIE, 4}, {TALVERIN_EVENT_ATTACK_AMBIGUOUS_FORM, 4},
      {TALVERIN_EVENT_ATTACK_BYPASS, 4},           {TALVERIN_EVENT_ATTACK_AUTHORIZATION, 4},
      {TALVERIN_EVENT_ATTACK_OVERSIZED, 4},
  };
  const std::string dll = test::BuiltFilterDir() + "\\TALVERIN.ISA.Filter.dll";
  UniqueModule module(LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(module) << dll;
  const char* inserts[] = {"<one>", "<two>", "<three>", "<four>", "<five>"};
  for (const auto& [id, count] : messages) {
    char text[2048] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module.Get(), id, 0x409, text,
                       sizeof text, reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
    ASSERT_GT(length, 0u) << id << " error " << GetLastError();
    const std::string sentence(text, length);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(sentence.find(inserts[i]) != std::string::npos, i < count) << sentence;
    EXPECT_EQ(sentence.find('%'), std::string::npos) << sentence;
  }
}

}  // namespace
}  // namespace talverin
