// The events of the filter as the package installed it, read where Wine's event log writes them: its debug
// channels in this process's error output, which the package test sends to the file TALVERIN_EVENT_TRACE names.
#include <gmock/gmock.h>

#include <cstdlib>
#include <regex>
#include <set>

#include "diag/event_log.h"
#include "road_fixture.h"
#include "support/fake_filter_context.h"

namespace talverin::e2e {
namespace {

using Strings = std::vector<std::string>;
const std::string kOwa = "Exchange OWA " + kOwaListener;
const std::string kClient = "192.0.2.10";

struct SeenEvent {
  unsigned long type = 0, id = 0;
  Strings strings;
};

std::string Environment(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }

// "TID:fixme:advapi:ReportEventA (handle,type,category,id,...)", then a line "TID:CLASS:eventlog:ReportEventW L"...""
// for each of its strings: only the filter's event worker reports, one event at a time. The strings are printable
// ASCII, where Wine escapes only \\ and \"; any other escape is kept as printed and fails the comparison.
std::vector<SeenEvent> ParseEvents(const std::string& output) {
  std::vector<SeenEvent> events;
  const std::regex line(R"re(:fixme:advapi:ReportEventA \([^,]*,(\w+),[^,]*,(\w+),)re"
                        R"re(|:eventlog:ReportEventW .*?L"(.*)")re");
  for (std::sregex_iterator it(output.begin(), output.end(), line), end; it != end; ++it) {
    if ((*it)[1].matched) {
      events.push_back({std::stoul((*it)[1], nullptr, 16), std::stoul((*it)[2], nullptr, 16), {}});
    } else if (!events.empty()) {
      events.back().strings.push_back(std::regex_replace((*it)[3].str(), std::regex(R"(\\([\\"]))"), "$1"));
    }
  }
  return events;
}

class InstalledEventsTest : public RoadTest {
 protected:
  void SetUp() override {
    ASSERT_FALSE(trace_.empty()) << "TALVERIN_EVENT_TRACE names no file";
    RoadTest::SetUp();
    offset_ = test::ReadFileText(trace_).size();  // the events of earlier tests of this process are not ours
  }
  // Stopping the filter ends its event worker once everything queued is written. No event tells a password,
  // a passcode or a session key.
  void ReadEvents() {
    std::set<std::string> secrets(keys_.begin(), keys_.end());
    for (const RoadUser& user : {kAlice, kBob, kCarol, kDave, kErin, kMallory, kZed}) secrets.insert(user.password);
    const std::string outbox = Outbox();
    for (size_t at = outbox.find("passcode="); at != std::string::npos; at = outbox.find("passcode=", at + 1))
      secrets.insert(outbox.substr(at + 9, 6));
    if (server_) CheckRoadInvariant();
    Stop();
    events_ = ParseEvents(test::ReadFileText(trace_).substr(offset_));
    for (const SeenEvent& event : events_)
      for (const std::string& text : event.strings)
        for (const std::string& secret : secrets)
          EXPECT_EQ(text.find(secret), std::string::npos) << "event " << event.id << " tells a secret: " << text;
  }
  // The strings of the one event of this identifier, which has the type of its message.
  Strings Only(DWORD id) {
    std::vector<SeenEvent> found;
    std::copy_if(events_.begin(), events_.end(), std::back_inserter(found), [&](auto& e) { return e.id == id; });
    EXPECT_EQ(found.size(), 1u) << "event " << id;
    if (!found.empty()) EXPECT_EQ(found[0].type, EventLog::TypeOf(id)) << id;
    return found.empty() ? Strings{"(none)"} : found[0].strings;
  }

  std::string trace_ = Environment("TALVERIN_EVENT_TRACE");
  size_t offset_ = 0;
  std::vector<std::string> keys_;
  std::vector<SeenEvent> events_;
};

// A day at the gateway: start, refused users, a wrong passcode and a Cancel, each attack, a back-end outage, stop.
TEST_F(InstalledEventsTest, WhatHappensIsToldOnceWithUserAddressListenerAndUrl) {
  // Answers in chunks, so that an oversized answer is seen before it is complete.
  ASSERT_NO_FATAL_FAILURE(Start({"Enabled = i4:1\n", "Enabled = i4:0\n", "[proxy]\nresponse-chunk = 8192\n"}));
  for (const RoadUser& user : {kZed, kCarol, kDave}) {
    Browser& browser = MakeBrowser(std::string("refused-") + user.password);
    browser.Visit("/owa/");
    EXPECT_EQ(PostLogon(browser, user).status, 302);
  }
  for (const RoadUser& user : {kAlice, kMallory}) {
    Browser& browser = MakeBrowser(std::string("second-factor-") + user.password);
    ASSERT_EQ(Lower(PasswordStep(browser, user).url), kOwnLogin);
    keys_.push_back(Key(browser));
    const bool cancel = user.name == kMallory.name, lucky = LastPasscode(user) == "000000";
    EXPECT_EQ(PostPasscode(browser, cancel ? "" : lucky ? "111111" : "000000", cancel ? "Cancel" : "LogIn").status,
              302);
  }
  EXPECT_FALSE(Leaks(MakeBrowser("cookies").Get("/owa/", {{"Cookie", "cadata=1; cadata=2"}})));
  Browser& form = MakeBrowser("form");
  Protect(form, "/owa/");
  form.Visit("/owa/");
  form.PostForm("/CookieAuth.dll?Logon",
                {{"curl", "/owa/"}, {"username", kAlice.name}, {"username", kBob.name}, {"password", "Secret1"}});
  Browser& bypass = MakeBrowser("bypass");
  bypass.Visit("/owa/");
  EXPECT_EQ(PostLogon(bypass, kMallory).status, 302);
  keys_.push_back(Key(bypass));
  EXPECT_FALSE(Leaks(bypass.Get("/owa/inbox.html?folder=1")));
  EXPECT_FALSE(Leaks(MakeBrowser("fallback").Get("/owa/", {{"Authorization", "Negotiate " + std::string(8192, 'Q')}})));
  site_.AnswerWith("/owa/big.html", 200, std::string(80 * 1024, 'R'));
  Browser& valid = MakeBrowser("valid");
  ASSERT_TRUE(Shows(LogOnFully(valid, kAlice), "/owa/"));
  keys_.push_back(Key(valid));
  EXPECT_FALSE(Shows(valid.Get("/owa/big.html"), "/owa/big.html"));
  // The back end vanishes: the connection the filter holds fails, and so does every new one.
  MarkNotValid(valid);
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::Nowhere));
  ASSERT_NO_FATAL_FAILURE(
      Fault({L"Server", L"Store", L"Proxy", L"GetSession", L"State", L"Url", L"Token"}, L"hresult", L"0x800706BA"));
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(Leaks(valid.Get("/owa/")));
  backend_test::Method(Backend(), L"ClearFaults");
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));
  MarkValid(valid);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Shows(valid.Get("/owa/"), "/owa/"));

  ReadEvents();
  ASSERT_FALSE(events_.empty());
  // The fixture's trace level is 2; the portal's listener is not protected.
  EXPECT_EQ(Only(TALVERIN_EVENT_FILTER_STARTED),
            (Strings{Environment("TALVERIN_EXPECTED_VERSION"), "2", "Exchange OWA"}));
  EXPECT_EQ(events_.front().id, static_cast<unsigned long>(TALVERIN_EVENT_FILTER_STARTED));
  EXPECT_EQ(events_.back().id, static_cast<unsigned long>(TALVERIN_EVENT_FILTER_STOPPED));
  EXPECT_EQ(Only(TALVERIN_EVENT_FILTER_STOPPED), Strings{});
  const std::string logon = "/CookieAuth.dll", own = "/talverinauth.dll";
  EXPECT_EQ(Only(TALVERIN_EVENT_LOGON_UNKNOWN_USER), (Strings{kZed.name, kClient, kOwa, logon}));
  EXPECT_EQ(Only(TALVERIN_EVENT_LOGON_LOCKED_OUT), (Strings{kCarol.name, kClient, kOwa, logon}));
  EXPECT_EQ(Only(TALVERIN_EVENT_LOGON_DENIED), (Strings{kDave.name, kClient, kOwa, logon}));
  EXPECT_EQ(Only(TALVERIN_EVENT_PASSCODE_REJECTED), (Strings{kAlice.name, kClient, kOwa, own}));
  EXPECT_EQ(Only(TALVERIN_EVENT_PASSCODE_CANCELLED), (Strings{kMallory.name, kClient, kOwa, own}));
  EXPECT_EQ(Only(TALVERIN_EVENT_ATTACK_AMBIGUOUS_COOKIE), (Strings{kClient, kOwa, "/owa/", "0"}));
  EXPECT_EQ(Only(TALVERIN_EVENT_ATTACK_AMBIGUOUS_FORM), (Strings{kClient, kOwa, logon, "0"}));
  EXPECT_EQ(Only(TALVERIN_EVENT_ATTACK_BYPASS), (Strings{kClient, kOwa, "/owa/inbox.html", "0"}));
  EXPECT_EQ(Only(TALVERIN_EVENT_ATTACK_AUTHORIZATION), (Strings{kClient, kOwa, "/owa/", "0"}));
  EXPECT_EQ(Only(TALVERIN_EVENT_ATTACK_OVERSIZED), (Strings{kClient, kOwa, "/owa/big.html", "0"}));
  EXPECT_THAT(Only(TALVERIN_EVENT_BACKEND_UNREACHABLE), testing::ElementsAre(testing::StartsWith("0x8")));
  EXPECT_EQ(Only(TALVERIN_EVENT_BACKEND_REACHABLE), Strings{});
}

TEST_F(InstalledEventsTest, AFaultIsContainedBlocksTheFilterAndTheBlockIsLifted) {
  // Refusing starts with the first fault; the block ends five seconds after it.
  ASSERT_TRUE(settings_.SetDword("TraceLevel", 0));
  ASSERT_TRUE(settings_.SetDword("BlockMaxRetryCount", 0xFFFFFFFF));
  ASSERT_TRUE(settings_.SetDword("BlockMaxTime", 5));
  ASSERT_NO_FATAL_FAILURE(Start());
  auto proc = reinterpret_cast<decltype(&HttpFilterProc)>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(install_.dllPath().c_str()), "HttpFilterProc")));
  ASSERT_NE(proc, nullptr);
  char request[] = "GET /owa/ HTTP/1.1\r\nHost: mail.example\r\n\r\n";
  HTTP_FILTER_RAW_DATA raw{request, sizeof request - 1, sizeof request - 1, 0};
  test::FakeFilterContext faulting;
  // A fault in a host callback, inside the filter's handling of a notification.
  faulting.pfc()->GetServerVariable = [](HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD) -> BOOL {
    *static_cast<volatile int*>(nullptr) = 1;
    return FALSE;
  };
  EXPECT_EQ(proc(faulting.pfc(), SF_NOTIFY_READ_RAW_DATA, &raw), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
  // Refused while blocked; served again once the block's time is up.
  Browser& browser = MakeBrowser("after-fault");
  EXPECT_NE(browser.Get("/owa/").end, host::RequestEnd::Answered);
  int tries = 0;
  while (browser.Get("/owa/").end != host::RequestEnd::Answered && ++tries < 200) Sleep(100);
  EXPECT_LT(tries, 200) << "the block was not lifted";
  ReadEvents();
  EXPECT_EQ(Only(TALVERIN_EVENT_FAULT_CONTAINED), (Strings{"0xC0000005", install_.dumpPath()}));
  EXPECT_EQ(Only(TALVERIN_EVENT_FAULT_BLOCK), Strings{"1"});
  EXPECT_EQ(Only(TALVERIN_EVENT_FAULT_BLOCK_LIFTED), Strings{});
}

}  // namespace
}  // namespace talverin::e2e
