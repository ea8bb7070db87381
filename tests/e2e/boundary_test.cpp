// The second factor's boundary against a client that knows a user's password
// and never sees her passcodes: every attack of the table runs against the
// proxy emulation with the real filter DLL, under every reading of cookies
// that real proxies may have (names trimmed or not, case-folded or not,
// several Cookie lines joined or not). The one invariant, checked after each
// run (RoadTest::TearDown): a session that has not passed the second factor
// gets no published byte, and no request of it but one GET or HEAD of its
// kept URL in state Initial reaches the site.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <thread>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

constexpr long kInitial = 0, kValid = 2, kExpired = 3;
const HeaderList kFormType = {{"Content-Type", "application/x-www-form-urlencoded"}};
const std::string kAliceForm = "curl=%2Fowa%2F&flags=0&formdir=1&username=CONTOSO%5Calice&password=Secret1";
const std::string kCarolForm = "curl=%2Fowa%2F&flags=0&formdir=1&username=CONTOSO%5Ccarol&password=Locked3";

struct CookieReadingCase {
  const char* name;
  bool trimmed, caseFolded, joined;
};

const CookieReadingCase kReadings[] = {
    {"Strict", false, false, false},       {"Trimmed", true, false, false},
    {"CaseFolded", false, true, false},    {"TrimmedCaseFolded", true, true, false},
    {"Joined", false, false, true},        {"TrimmedJoined", true, false, true},
    {"CaseFoldedJoined", false, true, true}, {"Lenient", true, true, true},
};

std::string YesNo(bool value) { return value ? "yes" : "no"; }

class BoundaryTest : public RoadTest, public testing::WithParamInterface<CookieReadingCase> {
 public:
  using RoadTest::LastPasscode;
  using RoadTest::Leaks;
  using RoadTest::MakeBrowser;
  using RoadTest::PasswordStep;
  using RoadTest::PostLogon;
  using RoadTest::PostPasscode;
  using RoadTest::Protect;
  using RoadTest::SessionState;

  void StartWithReading() {
    RoadConfig config;
    const CookieReadingCase& reading = GetParam();
    config.emulation = "[proxy]\ncookie-names-trimmed = " + YesNo(reading.trimmed) +
                       "\ncookie-names-case-folded = " + YesNo(reading.caseFolded) +
                       "\ncookie-lines-joined = " + YesNo(reading.joined) +
                       "\n[listener {AAAAAAAA-0000-0000-0000-000000000001}]\nlogoff-path = /owa/settings.html\n";
    ASSERT_NO_FATAL_FAILURE(Start(config));
  }

  // A session whose password ISA/TMG has accepted, the redirect not followed.
  Browser& InitialSession(const std::string& name) {
    Browser& browser = MakeBrowser(name);
    browser.Visit("/owa/");
    EXPECT_EQ(PostLogon(browser, kAlice).status, 302);
    EXPECT_TRUE(browser.Cookie(kCookie).has_value()) << name;
    return browser;
  }
  // A session on the filter's passcode page, its passcode texted to alice.
  Browser& AwaitingSession(const std::string& name) {
    Browser& browser = MakeBrowser(name);
    Reply login = PasswordStep(browser, kAlice);
    EXPECT_EQ(Lower(login.url), kOwnLogin) << name << "\n" << login.raw;
    return browser;
  }
  std::string Key(const Browser& browser) const { return browser.Cookie(kCookie).value_or(""); }
  // The request a browser without cookies of its own sends, with the header
  // lines given, cut after its header block.
  static std::vector<std::string> HeadThenBody(const std::string& request) {
    const size_t end = request.find("\r\n\r\n") + 4;
    return {request.substr(0, end), request.substr(end)};
  }
};

struct Attack {
  const char* name;
  std::function<void(BoundaryTest&, const std::string&)> run;
};

// Each attack names its browsers after itself, so that a breach the invariant
// finds says which attack it was.
const std::vector<Attack>& Attacks();

TEST_P(BoundaryTest, NoAttackGetsPastTheSecondFactor) {
  ASSERT_NO_FATAL_FAILURE(StartWithReading());
  for (const Attack& attack : Attacks()) {
    SCOPED_TRACE(attack.name);
    attack.run(*this, attack.name);
  }
}

INSTANTIATE_TEST_SUITE_P(CookieReadings, BoundaryTest, testing::ValuesIn(kReadings),
                         [](const testing::TestParamInfo<CookieReadingCase>& info) { return info.param.name; });

// ---- The attacks ----------------------------------------------------------------------------------------------

// A request's later raw-data record is its body: the text of a request line
// for an excluded URL in it must not make the request an excluded one.
void BodyRecordAsRequestLine(BoundaryTest& t, const std::string& name) {
  for (const bool awaiting : {true, false}) {
    Browser& browser = awaiting ? t.AwaitingSession(name + "-awaiting") : t.InitialSession(name + "-initial");
    const std::string body = "x /favicon.ico y\r\n";
    for (const char* url : {"/owa/inbox.html", "/owa/"}) {
      const std::string request = browser.Compose("POST", url, body, kFormType);
      EXPECT_FALSE(BoundaryTest::Leaks(browser.SendPieces(url, BoundaryTest::HeadThenBody(request)))) << url;
      browser.SetCookie(kCookie, t.Key(browser));
    }
  }
}

// The listener's cookie however a proxy may spell-check it.
void CookieNameSpellings(BoundaryTest& t, const std::string& name) {
  Browser& victim = t.AwaitingSession(name + "-victim");
  const std::string key = t.Key(victim);
  Browser& attacker = t.MakeBrowser(name + "-attacker");
  for (const std::string& cookie : {"cadata =" + key, "cadata\t=" + key, "CADATA=" + key, "Cadata=\"" + key + "\"",
                                    " cadata = " + key, "a=1; CaData=" + key + "; b=2"}) {
    for (const char* url : {"/owa/", "/owa/inbox.html"}) {
      EXPECT_FALSE(BoundaryTest::Leaks(attacker.Get(url, {{"Cookie", cookie}}))) << cookie << " " << url;
    }
  }
}

// Two Cookie lines: a proxy that joins them sees the listener's cookie in
// the second.
void CookieInASecondLine(BoundaryTest& t, const std::string& name) {
  Browser& victim = t.AwaitingSession(name + "-victim");
  const std::string key = t.Key(victim);
  Browser& attacker = t.MakeBrowser(name + "-attacker");
  for (const HeaderList& lines : {HeaderList{{"Cookie", "a=1"}, {"Cookie", "cadata=" + key}},
                                  HeaderList{{"Cookie", "cadata=" + key}, {"Cookie", "cadata=" + key}},
                                  HeaderList{{"Cookie", "cadata=0123"}, {"Cookie", "cadata=" + key}}}) {
    EXPECT_FALSE(BoundaryTest::Leaks(attacker.Get("/owa/inbox.html", lines))) << lines.back().second;
  }
}

// "Content-Length:100" without a blank (read as "00" by a parser that skips
// one byte), the body in a second record, a bypass user's (or the attacker's
// own) name in the lgn cookie: the post must be read whole, so that the user
// checked is alice, whose password it carries.
void ContentLengthWithoutBlank(BoundaryTest& t, const std::string& name) {
  std::string form = kAliceForm + "&pad=";
  form.resize(100, 'x');
  for (const RoadUser& lgn : {kBob, kMallory}) {
    Browser& browser = t.MakeBrowser(name + "-" + std::string(lgn.name).substr(8));
    t.Protect(browser, "/owa/");
    browser.Visit("/owa/");
    const std::string head = "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: mail.contoso.test\r\nContent-Type: "
                             "application/x-www-form-urlencoded\r\nContent-Length:" +
                             std::to_string(form.size()) + "\r\nCookie: lgn=" + lgn.name + "\r\n\r\n";
    Reply posted = browser.SendPieces("/CookieAuth.dll?Logon", {head, form});
    Reply landed = browser.FollowAll(posted);
    const std::string key = t.Key(browser);
    if (!key.empty()) EXPECT_NE(t.SessionState(key), kValid) << "no passcode was asked for alice's session";
    const std::string passcode = t.LastPasscode(lgn);
    if (!passcode.empty()) browser.FollowAll(t.PostPasscode(browser, passcode));
    EXPECT_FALSE(BoundaryTest::Leaks(browser.Get("/owa/inbox.html")));
  }
}

// In state Initial only a plain read of the kept page goes on.
void ChangingRequestsInInitial(BoundaryTest& t, const std::string& name) {
  const std::vector<std::function<Reply(Browser&)>> requests = {
      [](Browser& b) { return b.Send("POST", "/owa/", "to=bob&send=1", kFormType); },
      [](Browser& b) { return b.Send("PUT", "/owa/", "x"); },
      [](Browser& b) { return b.Send("DELETE", "/owa/"); },
      [](Browser& b) { return b.Send("GET", "/owa/", "a=b", kFormType); },
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    Browser& browser = t.InitialSession(name + std::to_string(i));
    const std::string key = t.Key(browser);
    EXPECT_FALSE(BoundaryTest::Leaks(requests[i](browser))) << i;
    EXPECT_EQ(t.SessionState(key), kExpired) << i;
  }
}

// Cancel, then ISA/TMG's logon page with the cookie kept: state Initial
// again, but without a password entered the kept page is not read again.
void CancelAndComeBack(BoundaryTest& t, const std::string& name) {
  Browser& browser = t.AwaitingSession(name);
  const std::string key = t.Key(browser);
  browser.FollowAll(t.PostPasscode(browser, "", "Cancel"));
  ASSERT_EQ(t.SessionState(key), kExpired);
  browser.SetCookie(kCookie, key);
  browser.Get("/CookieAuth.dll?GetLogon?curl=%2Fowa%2F&reason=0&formdir=1");
  EXPECT_EQ(t.SessionState(key), kInitial);
  for (const char* url : {"/owa/", "/owa/inbox.html"}) {
    browser.SetCookie(kCookie, key);
    EXPECT_FALSE(BoundaryTest::Leaks(browser.Get(url))) << url;
  }
}

// Paths below "/cookieauth.dll" are the site's, not ISA/TMG's pages.
void PathsBelowCookieauth(BoundaryTest& t, const std::string& name) {
  for (const char* url : {"/cookieauth.dll/x", "/CookieAuth.dll/owa/inbox.html", "/cookieauth.dll/?logon"}) {
    Browser& initial = t.InitialSession(name + "-initial" + url);
    EXPECT_FALSE(BoundaryTest::Leaks(initial.Get(url))) << url;
    Browser& awaiting = t.AwaitingSession(name + "-awaiting" + url);
    EXPECT_FALSE(BoundaryTest::Leaks(awaiting.Get(url))) << url;
  }
}

// ISA/TMG's logon post however its URL is spelled: a locked-out user's
// credentials never reach it.
void LogonPostSpellings(BoundaryTest& t, const std::string& name) {
  for (const char* url : {"/CookieAuth.dll?Logon&x=1", "/cookieauth.dll?LOGON", "/CookieAuth.dll?Logon?x=1",
                          "https://mail.contoso.test/CookieAuth.dll?Logon", "/%63ookieauth.dll?Logon",
                          "/owa/../CookieAuth.dll?Logon"}) {
    Browser& browser = t.MakeBrowser(name + url);
    browser.Visit("/owa/");
    Reply posted = browser.Send("POST", url, kCarolForm, kFormType);
    EXPECT_FALSE(browser.Cookie(kCookie).has_value()) << url << "\n" << posted.raw;
    EXPECT_FALSE(BoundaryTest::Leaks(browser.FollowAll(posted))) << url;
  }
}

// Bodies whose end or content two readers could see differently: a locked-out
// user's credentials in a chunked body whose chunk boundary cuts the field
// name (a reader of the raw bytes finds no user name and falls back to the
// lgn cookie of a valid user), and other unclear framings.
void UnclearFraming(BoundaryTest& t, const std::string& name) {
  const std::string cut = "curl=%2Fowa%2F&flags=0&user";
  const std::string rest = "name=CONTOSO%5Ccarol&password=Locked3";
  auto hex = [](size_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%zx", n);
    return std::string(text);
  };
  const std::string chunked = hex(cut.size()) + "\r\n" + cut + "\r\n" + hex(rest.size()) + "\r\n" + rest + "\r\n0\r\n\r\n";
  const std::string n = std::to_string(kCarolForm.size());
  const std::vector<std::pair<std::string, std::string>> posts = {
      {"Transfer-Encoding: chunked\r\nContent-Length: " + std::to_string(chunked.size()) + "\r\n", chunked},
      {"Transfer-Encoding: chunked\r\n", chunked},
      {"Content-Length: " + n + "\r\nContent-Length: 5\r\n", kCarolForm},
      {"Content-Length: +" + n + "\r\n", kCarolForm},
      {"Content-Length: " + n + "\r\n Folded: yes\r\n", kCarolForm},
  };
  int i = 0;
  for (const auto& [head, body] : posts) {
    Browser& browser = t.MakeBrowser(name + std::to_string(i++));
    browser.Visit("/owa/");
    Reply posted = browser.SendRaw("/CookieAuth.dll?Logon",
                                   "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: mail.contoso.test\r\nContent-Type: "
                                   "application/x-www-form-urlencoded\r\nCookie: lgn=CONTOSO\\alice\r\n" + head +
                                   "\r\n" + body);
    EXPECT_FALSE(browser.Cookie(kCookie).has_value()) << head << "\n" << posted.raw;
  }
}

const std::vector<Attack>& Attacks() {
  static const std::vector<Attack> attacks = {
      {"body-record-as-request-line", BodyRecordAsRequestLine},
      {"cookie-name-spellings", CookieNameSpellings},
      {"cookie-in-a-second-line", CookieInASecondLine},
      {"content-length-without-blank", ContentLengthWithoutBlank},
      {"changing-requests-in-initial", ChangingRequestsInInitial},
      {"cancel-and-come-back", CancelAndComeBack},
      {"paths-below-cookieauth", PathsBelowCookieauth},
      {"logon-post-spellings", LogonPostSpellings},
      {"unclear-framing", UnclearFraming},
  };
  return attacks;
}

// ---- Beyond the table ------------------------------------------------------------------------------------------

class BoundaryRoadTest : public RoadTest {};

// A logoff is the answer to a request of a Valid session: it reaches the
// browser although it ends the session.
TEST_F(BoundaryRoadTest, LogoffAnswerOfAValidSessionReachesTheBrowser) {
  RoadConfig config;
  config.emulation = "[listener {AAAAAAAA-0000-0000-0000-000000000001}]\nlogoff-path = /owa/settings.html\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  Browser& browser = MakeBrowser("logoff");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(browser, kAlice).raw, "/owa/"));
  const std::string key = browser.Cookie(kCookie).value_or("");
  Reply logoff = browser.Get("/owa/settings.html");
  MarkNotValid(browser);
  EXPECT_TRUE(host::CarriesSitePage(logoff.raw, "/owa/settings.html")) << logoff.raw.substr(0, 400);
  EXPECT_FALSE(browser.Cookie(kCookie).has_value());
  EXPECT_EQ(SessionState(key), kExpired);
  browser.SetCookie(kCookie, key);
  EXPECT_FALSE(Leaks(browser.Get("/owa/")));
}

// Passcode posts of one session are checked one after another: of several
// wrong guesses sent at once, one reaches the back end and ends the session.
TEST_F(BoundaryRoadTest, ConcurrentPasscodeGuessesAreCheckedOneAtATime) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& victim = MakeBrowser("guessed");
  Reply login = PasswordStep(victim, kAlice);
  ASSERT_EQ(Lower(login.url), kOwnLogin) << login.raw;
  const std::string key = victim.Cookie(kCookie).value_or("");
  // A slow check lets every guess arrive while the first is being checked.
  ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"InjectFault", {L"Authenticate", L"delay", L"300"}).hr);
  constexpr int kGuesses = 6;
  std::vector<Browser*> guessers;
  for (int i = 0; i < kGuesses; ++i) {
    Browser& guesser = MakeBrowser("guesser" + std::to_string(i));
    guesser.SetCookie(kCookie, key);
    guessers.push_back(&guesser);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kGuesses; ++i) {
    threads.emplace_back([&, i] { PostPasscode(*guessers[i], "00000" + std::to_string(i)); });
  }
  for (std::thread& thread : threads) thread.join();
  backend_test::Method(Backend(), L"ClearFaults", {});
  size_t checks = 0;
  const std::string audit = Audit();
  for (size_t at = audit.find("Authenticate token="); at != std::string::npos;
       at = audit.find("Authenticate token=", at + 1)) {
    ++checks;
  }
  EXPECT_EQ(checks, 1u) << audit;
  EXPECT_EQ(SessionState(key), kExpired);
}

// Bounds: a logon post announcing more than the filter reads, and a header
// block longer than it reads, are finished at once instead of waited on.
TEST_F(BoundaryRoadTest, OversizedRequestsAreFinishedNotWaitedOn) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& browser = MakeBrowser("oversized");
  browser.Visit("/owa/");
  Reply huge = browser.SendRaw("/CookieAuth.dll?Logon",
                               "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: mail.contoso.test\r\nContent-Type: "
                               "application/x-www-form-urlencoded\r\nContent-Length: 2000000000\r\n\r\n" +
                                   kCarolForm);
  EXPECT_EQ(huge.end, host::RequestEnd::FilterEnded) << host::RequestEndText(huge.end);
  Browser& other = MakeBrowser("long-header");
  Reply longHead = other.Get("/owa/", {{"X-Padding", std::string(70 * 1024, 'a')}});
  EXPECT_EQ(longHead.end, host::RequestEnd::FilterEnded) << host::RequestEndText(longHead.end);
  EXPECT_FALSE(Leaks(longHead));
}

}  // namespace
}  // namespace talverin::e2e
