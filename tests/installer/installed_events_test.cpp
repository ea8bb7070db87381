// The events of the filter as the package installed it, read where Wine's
// event log writes them: its debug channels (the filter's ReportEventA call on
// "advapi", each inserted string on "eventlog") in this process's error
// output, which the package test sends to the file named by
// TALVERIN_EVENT_TRACE. The filter writes its events from a worker thread that
// TerminateFilter ends, so after Stop every event of a scenario is in the file.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "diag/event_log.h"
#include "road_fixture.h"
#include "support/test_files.h"

namespace talverin::e2e {
namespace {

const HeaderList kFormType = {{"Content-Type", "application/x-www-form-urlencoded"}};
const std::string kOwa = "Exchange OWA " + kOwaListener;
const std::string kClient = "192.0.2.10";

struct SeenEvent {
  unsigned type = 0;
  unsigned long id = 0;
  std::vector<std::string> strings;
};

std::string Environment(const char* name) {
  char value[1024] = {};
  DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The text of a string as Wine's debugstr_w prints it: L"..." with C escapes.
std::string Unescape(const std::string& quoted) {
  std::string text;
  size_t at = quoted.find("L\"");
  size_t end = quoted.rfind('"');
  if (at == std::string::npos || end == std::string::npos || end <= at + 1) return text;
  for (size_t i = at + 2; i < end; ++i) {
    if (quoted[i] != '\\' || i + 1 >= end) {
      text += quoted[i];
      continue;
    }
    const char c = quoted[++i];
    if (c == 'n') text += '\n';
    else if (c == 'r') text += '\r';
    else if (c == 't') text += '\t';
    else if (c == 'x' || c == 'u') {
      const std::string hex = quoted.substr(i + 1, 4);
      text += static_cast<char>(std::strtoul(hex.c_str(), nullptr, 16) & 0xFF);
      i += 4;
    } else text += c;
  }
  return text;
}

// Every event in the debug output: "TID:fixme:advapi:ReportEventA (handle,type,
// category,id,sid,count,...)" followed by `count` lines "TID:CLASS:eventlog:
// ReportEventW L"..."" of the same thread (Wine's ReportEventA hands the
// strings on to ReportEventW, which prints them; without strings it does not
// call it at all).
std::vector<SeenEvent> ParseEvents(const std::string& output) {
  std::vector<SeenEvent> events;
  std::istringstream lines(output);
  std::string line;
  std::vector<std::pair<std::string, SeenEvent>> open;  // thread, event awaiting strings
  std::vector<size_t> wanted;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string thread = line.substr(0, colon);
    if (line.find(":fixme:advapi:ReportEventA (") != std::string::npos) {
      std::vector<std::string> fields;
      std::string args = line.substr(line.find('(') + 1);
      args = args.substr(0, args.find(')'));
      std::stringstream split(args);
      for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
      if (fields.size() < 6) continue;
      SeenEvent event;
      event.type = static_cast<unsigned>(std::strtoul(fields[1].c_str(), nullptr, 16));
      event.id = std::strtoul(fields[3].c_str(), nullptr, 16);
      const size_t count = std::strtoul(fields[5].c_str(), nullptr, 16);
      if (count == 0) {
        events.push_back(event);
      } else {
        open.emplace_back(thread, event);
        wanted.push_back(count);
      }
      continue;
    }
    if (line.find(":eventlog:ReportEventW ") == std::string::npos) continue;
    for (size_t i = 0; i < open.size(); ++i) {
      if (open[i].first != thread) continue;
      open[i].second.strings.push_back(Unescape(line));
      if (open[i].second.strings.size() == wanted[i]) {
        events.push_back(open[i].second);
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
        wanted.erase(wanted.begin() + static_cast<std::ptrdiff_t>(i));
      }
      break;
    }
  }
  return events;
}

class InstalledEventsTest : public RoadTest {
 protected:
  void SetUp() override {
    trace_ = Environment("TALVERIN_EVENT_TRACE");
    ASSERT_FALSE(trace_.empty()) << "TALVERIN_EVENT_TRACE names no file";
    RoadTest::SetUp();
    offset_ = test::ReadFileText(trace_).size();
  }

  // The events since the last call: the filter is stopped first, which ends
  // its event worker after it has written everything queued.
  std::vector<SeenEvent> EventsSinceLastLook() {
    CollectSecrets();
    if (checkInvariant_) CheckRoadInvariant();
    Stop();
    const std::string output = test::ReadFileText(trace_);
    std::vector<SeenEvent> events = ParseEvents(output.substr(std::min(offset_, output.size())));
    offset_ = output.size();
    for (const SeenEvent& event : events) {
      for (const std::string& text : event.strings) {
        for (const std::string& secret : secrets_) {
          EXPECT_EQ(text.find(secret), std::string::npos) << "event " << event.id << " tells a secret: " << text;
        }
      }
    }
    return events;
  }

  // Passwords, every passcode texted and every session key handed out.
  void CollectSecrets() {
    for (const RoadUser& user : {kAlice, kBob, kCarol, kDave, kErin, kMallory, kZed}) secrets_.insert(user.password);
    const std::string outbox = Outbox();
    for (size_t at = outbox.find("passcode="); at != std::string::npos; at = outbox.find("passcode=", at + 1))
      secrets_.insert(outbox.substr(at + 9, 6));
    for (const std::string& key : keys_) secrets_.insert(key);
  }
  void KeepKey(const Browser& browser) {
    if (auto key = browser.Cookie(kCookie)) keys_.push_back(*key);
  }

  static std::vector<SeenEvent> OfId(const std::vector<SeenEvent>& events, DWORD id) {
    std::vector<SeenEvent> found;
    for (const SeenEvent& event : events)
      if (event.id == id) found.push_back(event);
    return found;
  }

  // The one event of this identifier, with the type its message has.
  static SeenEvent Only(const std::vector<SeenEvent>& events, DWORD id) {
    std::vector<SeenEvent> found = OfId(events, id);
    EXPECT_EQ(found.size(), 1u) << "event " << std::hex << id;
    if (found.empty()) return {};
    EXPECT_EQ(found[0].type, EventLog::TypeOf(id)) << std::hex << id;
    return found[0];
  }

 private:
  std::string trace_;
  size_t offset_ = 0;
  std::set<std::string> secrets_;
  std::vector<std::string> keys_;
};

using Strings = std::vector<std::string>;

TEST_F(InstalledEventsTest, StartAndStopNameTheVersionTraceLevelAndProtectedListeners) {
  RoadConfig config;
  config.portalSet = "Enabled = i4:0\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  const auto events = EventsSinceLastLook();
  ASSERT_EQ(events.size(), 2u);
  const SeenEvent started = Only(events, TALVERIN_EVENT_FILTER_STARTED);
  // The fixture sets trace level 2; the portal's listener is not protected.
  EXPECT_EQ(started.strings, (Strings{Environment("TALVERIN_EXPECTED_VERSION"), "2", "Exchange OWA"}));
  EXPECT_TRUE(Only(events, TALVERIN_EVENT_FILTER_STOPPED).strings.empty());
  EXPECT_EQ(events.back().id, static_cast<unsigned long>(TALVERIN_EVENT_FILTER_STOPPED));
}

TEST_F(InstalledEventsTest, RefusedUsersAreToldWithAddressListenerAndUrl) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  for (const RoadUser& user : {kZed, kCarol, kDave}) {
    Browser& browser = MakeBrowser(std::string("refused-") + user.password);
    browser.Visit("/owa/");
    EXPECT_EQ(PostLogon(browser, user).status, 302);
  }
  const auto events = EventsSinceLastLook();
  const Strings common = {kClient, kOwa, "/CookieAuth.dll"};
  const struct {
    DWORD id;
    const char* user;
  } expected[] = {{TALVERIN_EVENT_LOGON_UNKNOWN_USER, "CONTOSO\\zed"},
                  {TALVERIN_EVENT_LOGON_LOCKED_OUT, "CONTOSO\\carol"},
                  {TALVERIN_EVENT_LOGON_DENIED, "CONTOSO\\dave"}};
  for (const auto& want : expected) {
    Strings strings{want.user};
    strings.insert(strings.end(), common.begin(), common.end());
    EXPECT_EQ(Only(events, want.id).strings, strings);
  }
}

TEST_F(InstalledEventsTest, WrongPasscodeAndCancelAreToldWithTheSessionsUser) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  Browser& mistyper = MakeBrowser("mistyper");
  ASSERT_EQ(Lower(PasswordStep(mistyper, kAlice).url), kOwnLogin);
  KeepKey(mistyper);
  const std::string right = LastPasscode(kAlice);
  EXPECT_EQ(PostPasscode(mistyper, right == "000000" ? "111111" : "000000").status, 302);
  Browser& canceller = MakeBrowser("canceller");
  ASSERT_EQ(Lower(PasswordStep(canceller, kMallory).url), kOwnLogin);
  KeepKey(canceller);
  EXPECT_EQ(PostPasscode(canceller, "", "Cancel").status, 302);

  const auto events = EventsSinceLastLook();
  const std::string url = "/talverinauth.dll";
  EXPECT_EQ(Only(events, TALVERIN_EVENT_PASSCODE_REJECTED).strings, (Strings{kAlice.name, kClient, kOwa, url}));
  EXPECT_EQ(Only(events, TALVERIN_EVENT_PASSCODE_CANCELLED).strings, (Strings{kMallory.name, kClient, kOwa, url}));
}

TEST_F(InstalledEventsTest, AttacksAreToldOncePerKindAndAddressAMinute) {
  RoadConfig config;
  // Answers in small chunks, so that an oversized header block is seen
  // before it is complete.
  config.emulation = "[proxy]\nresponse-chunk = 8192\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  ASSERT_FLOW_PRESENT();
  // Two of each kind from one address: one event each.
  for (int round = 0; round < 2; ++round) {
    const std::string n = std::to_string(round);
    Browser& cookies = MakeBrowser("cookies" + n);
    EXPECT_FALSE(Leaks(cookies.Get("/owa/", {{"Cookie", "cadata=1; cadata=2"}})));
    Browser& form = MakeBrowser("form" + n);
    Protect(form, "/owa/");
    form.Visit("/owa/");
    form.Send("POST", "/CookieAuth.dll?Logon",
              "curl=%2Fowa%2F&username=CONTOSO%5Calice&username=CONTOSO%5Cbob&password=Secret1", kFormType);
    Browser& bypass = MakeBrowser("bypass" + n);
    bypass.Visit("/owa/");
    EXPECT_EQ(PostLogon(bypass, kMallory).status, 302);
    KeepKey(bypass);
    EXPECT_FALSE(Leaks(bypass.Get("/owa/inbox.html?folder=1")));
    Browser& fallback = MakeBrowser("fallback" + n);
    EXPECT_FALSE(Leaks(fallback.Get("/owa/", {{"Authorization", "Negotiate " + std::string(8192, 'Q')}})));
  }
  Site().AnswerWith("/owa/big.html", 200, std::string(80 * 1024, 'R'));
  Browser& valid = MakeBrowser("valid");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(valid, kAlice).raw, "/owa/"));
  KeepKey(valid);
  EXPECT_FALSE(host::CarriesSitePage(valid.Get("/owa/big.html").raw, "/owa/big.html"));

  const auto events = EventsSinceLastLook();
  EXPECT_EQ(Only(events, TALVERIN_EVENT_ATTACK_AMBIGUOUS_COOKIE).strings, (Strings{kClient, kOwa, "/owa/", "0"}));
  EXPECT_EQ(Only(events, TALVERIN_EVENT_ATTACK_AMBIGUOUS_FORM).strings,
            (Strings{kClient, kOwa, "/CookieAuth.dll", "0"}));
  EXPECT_EQ(Only(events, TALVERIN_EVENT_ATTACK_BYPASS).strings, (Strings{kClient, kOwa, "/owa/inbox.html", "0"}));
  EXPECT_EQ(Only(events, TALVERIN_EVENT_ATTACK_AUTHORIZATION).strings, (Strings{kClient, kOwa, "/owa/", "0"}));
  EXPECT_EQ(Only(events, TALVERIN_EVENT_ATTACK_OVERSIZED).strings, (Strings{kClient, kOwa, "/owa/big.html", "0"}));
}

TEST_F(InstalledEventsTest, BackEndOutageIsToldOnceAndSoIsItsEnd) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  Browser& before = MakeBrowser("before");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(before, kAlice).raw, "/owa/"));
  KeepKey(before);
  MarkNotValid(before);
  // The filter's ProgID points nowhere.
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::Nowhere));
  // Vanished server: the connection the filter holds fails, and so does every
  // new one.
  for (const wchar_t* member : {L"Server", L"Store", L"Proxy", L"GetSession", L"State", L"Url", L"Token"}) {
    ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"InjectFault", {member, L"hresult", L"0x800706BA"}).hr);
  }
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(Leaks(before.Get("/owa/")));
  backend_test::Method(Backend(), L"ClearFaults");
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));
  MarkValid(before);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(host::CarriesSitePage(before.Get("/owa/").raw, "/owa/"));

  const auto events = EventsSinceLastLook();
  const SeenEvent down = Only(events, TALVERIN_EVENT_BACKEND_UNREACHABLE);
  ASSERT_EQ(down.strings.size(), 1u);
  EXPECT_EQ(down.strings[0].rfind("0x8", 0), 0u) << down.strings[0];
  EXPECT_TRUE(Only(events, TALVERIN_EVENT_BACKEND_REACHABLE).strings.empty());
}

// A fault in a host callback, inside the filter's handling of a notification.
BOOL WINAPI FaultingServerVariable(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD) {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
  return FALSE;
}

TEST_F(InstalledEventsTest, AFaultIsContainedBlocksTheFilterAndTheBlockIsLifted) {
  // Refusing starts with the first fault; the block ends five seconds after it.
  test::SettingsKey settings;
  ASSERT_TRUE(settings.SetDword("TraceLevel", 0));
  ASSERT_TRUE(settings.SetDword("BlockMaxRetryCount", 0xFFFFFFFF));
  ASSERT_TRUE(settings.SetDword("BlockMaxTime", 5));
  ASSERT_NO_FATAL_FAILURE(Start());
  using FilterProc = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);
  auto proc = reinterpret_cast<FilterProc>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA(Install().dllPath().c_str()), "HttpFilterProc")));
  ASSERT_NE(proc, nullptr);
  char request[] = "GET /owa/ HTTP/1.1\r\nHost: mail.example\r\n\r\n";
  HTTP_FILTER_RAW_DATA raw{request, sizeof request - 1, sizeof request - 1, 0};
  HTTP_FILTER_CONTEXT faulting{};
  faulting.cbSize = sizeof faulting;
  faulting.Revision = HTTP_FILTER_REVISION;
  faulting.GetServerVariable = FaultingServerVariable;
  EXPECT_EQ(proc(&faulting, SF_NOTIFY_READ_RAW_DATA, &raw), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));

  // Refused while blocked; served again once the block's time is up (a
  // condition with a bound, not a fixed wait).
  Browser& browser = MakeBrowser("after-fault");
  EXPECT_NE(browser.Get("/owa/").end, host::RequestEnd::Answered);
  bool served = false;
  for (int tries = 0; tries < 200 && !served; ++tries) {
    Sleep(100);
    served = browser.Get("/owa/").end == host::RequestEnd::Answered;
  }
  EXPECT_TRUE(served) << "the block was not lifted";

  const auto events = EventsSinceLastLook();
  EXPECT_EQ(Only(events, TALVERIN_EVENT_FAULT_CONTAINED).strings,
            (Strings{"0xC0000005", Install().dir() + "\\Logs\\TALVERIN.ISA.Filter.dll.dmp"}));
  EXPECT_EQ(Only(events, TALVERIN_EVENT_FAULT_BLOCK).strings, Strings{"1"});
  EXPECT_TRUE(Only(events, TALVERIN_EVENT_FAULT_BLOCK_LIFTED).strings.empty());
}

}  // namespace
}  // namespace talverin::e2e
