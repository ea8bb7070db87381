// The second factor's boundary against a client that knows a user's password
// and never sees her passcodes. Every attack of the table runs against the
// proxy emulation with the real filter DLL, under every reading of cookies
// real proxies may have (names trimmed or not, case-folded or not, several
// Cookie lines joined or not); the attacks that need a proxy set up their own
// way (answers cut in small chunks, rotating cookies) and the bounds follow.
// The one invariant, checked after each test (RoadTest::TearDown): a session
// that has not passed the second factor gets no published byte, and no
// request of it but one GET of its kept URL in state Initial reaches the
// site.
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

class AttackTableTest : public RoadTest, public testing::WithParamInterface<CookieReadingCase> {
 public:
  using RoadTest::LastPasscode;
  using RoadTest::LogOnFully;
  using RoadTest::MarkNotValid;
  using RoadTest::MarkValid;
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
  std::function<void(AttackTableTest&, const std::string&)> run;
};

// Each attack names its browsers after itself, so that a breach the invariant
// finds says which attack it was.
const std::vector<Attack>& Attacks();

TEST_P(AttackTableTest, NoAttackGetsPastTheSecondFactor) {
  ASSERT_NO_FATAL_FAILURE(StartWithReading());
  for (const Attack& attack : Attacks()) {
    SCOPED_TRACE(attack.name);
    attack.run(*this, attack.name);
  }
}

INSTANTIATE_TEST_SUITE_P(CookieReadings, AttackTableTest, testing::ValuesIn(kReadings),
                         [](const testing::TestParamInfo<CookieReadingCase>& info) { return info.param.name; });

// ---- The attacks ----------------------------------------------------------------------------------------------

// A request's later raw-data record is its body: the text of a request line
// for an excluded URL in it must not make the request an excluded one.
void BodyRecordAsRequestLine(AttackTableTest& t, const std::string& name) {
  for (const bool awaiting : {true, false}) {
    Browser& browser = awaiting ? t.AwaitingSession(name + "-awaiting") : t.InitialSession(name + "-initial");
    const std::string body = "x /favicon.ico y\r\n";
    for (const char* url : {"/owa/inbox.html", "/owa/"}) {
      const std::string request = browser.Compose("POST", url, body, kFormType);
      EXPECT_FALSE(AttackTableTest::Leaks(browser.SendPieces(url, AttackTableTest::HeadThenBody(request)))) << url;
      browser.SetCookie(kCookie, t.Key(browser));
    }
  }
}

// The listener's cookie however a proxy may spell-check it.
void CookieNameSpellings(AttackTableTest& t, const std::string& name) {
  Browser& victim = t.AwaitingSession(name + "-victim");
  const std::string key = t.Key(victim);
  Browser& attacker = t.MakeBrowser(name + "-attacker");
  for (const std::string& cookie : {"cadata =" + key, "cadata\t=" + key, "CADATA=" + key, "Cadata=\"" + key + "\"",
                                    " cadata = " + key, "a=1; CaData=" + key + "; b=2"}) {
    for (const char* url : {"/owa/", "/owa/inbox.html"}) {
      EXPECT_FALSE(AttackTableTest::Leaks(attacker.Get(url, {{"Cookie", cookie}}))) << cookie << " " << url;
    }
  }
}

// Two Cookie lines: a proxy that joins them sees the listener's cookie in
// the second.
void CookieInASecondLine(AttackTableTest& t, const std::string& name) {
  Browser& victim = t.AwaitingSession(name + "-victim");
  const std::string key = t.Key(victim);
  Browser& attacker = t.MakeBrowser(name + "-attacker");
  for (const HeaderList& lines : {HeaderList{{"Cookie", "a=1"}, {"Cookie", "cadata=" + key}},
                                  HeaderList{{"Cookie", "cadata=" + key}, {"Cookie", "cadata=" + key}},
                                  HeaderList{{"Cookie", "cadata=0123"}, {"Cookie", "cadata=" + key}}}) {
    EXPECT_FALSE(AttackTableTest::Leaks(attacker.Get("/owa/inbox.html", lines))) << lines.back().second;
  }
}

// "Content-Length:100" without a blank (read as "00" by a parser that skips
// one byte), the body in a second record, a bypass user's (or the attacker's
// own) name in the lgn cookie: the post must be read whole, so that the user
// checked is alice, whose password it carries.
void ContentLengthWithoutBlank(AttackTableTest& t, const std::string& name) {
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
    EXPECT_FALSE(AttackTableTest::Leaks(browser.Get("/owa/inbox.html")));
  }
}

// In state Initial only a plain read of the kept page goes on.
void ChangingRequestsInInitial(AttackTableTest& t, const std::string& name) {
  const std::vector<std::function<Reply(Browser&)>> requests = {
      [](Browser& b) { return b.Send("POST", "/owa/", "to=bob&send=1", kFormType); },
      [](Browser& b) { return b.Send("PUT", "/owa/", "x"); },
      [](Browser& b) { return b.Send("DELETE", "/owa/"); },
      [](Browser& b) { return b.Send("GET", "/owa/", "a=b", kFormType); },
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    Browser& browser = t.InitialSession(name + std::to_string(i));
    const std::string key = t.Key(browser);
    EXPECT_FALSE(AttackTableTest::Leaks(requests[i](browser))) << i;
    EXPECT_EQ(t.SessionState(key), kExpired) << i;
  }
}

// Cancel, then ISA/TMG's logon page with the cookie kept: state Initial
// again, but without a password entered the kept page is not read again.
void CancelAndComeBack(AttackTableTest& t, const std::string& name) {
  Browser& browser = t.AwaitingSession(name);
  const std::string key = t.Key(browser);
  browser.FollowAll(t.PostPasscode(browser, "", "Cancel"));
  ASSERT_EQ(t.SessionState(key), kExpired);
  browser.SetCookie(kCookie, key);
  browser.Get("/CookieAuth.dll?GetLogon?curl=%2Fowa%2F&reason=0&formdir=1");
  EXPECT_EQ(t.SessionState(key), kInitial);
  for (const char* url : {"/owa/", "/owa/inbox.html"}) {
    browser.SetCookie(kCookie, key);
    EXPECT_FALSE(AttackTableTest::Leaks(browser.Get(url))) << url;
  }
}

// Paths below "/cookieauth.dll" are the site's, not ISA/TMG's pages.
void PathsBelowCookieauth(AttackTableTest& t, const std::string& name) {
  for (const char* url : {"/cookieauth.dll/x", "/CookieAuth.dll/owa/inbox.html", "/cookieauth.dll/?logon"}) {
    Browser& initial = t.InitialSession(name + "-initial" + url);
    EXPECT_FALSE(AttackTableTest::Leaks(initial.Get(url))) << url;
    Browser& awaiting = t.AwaitingSession(name + "-awaiting" + url);
    EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Get(url))) << url;
  }
}

// ISA/TMG's logon post however its URL is spelled: a locked-out user's
// credentials never reach it.
void LogonPostSpellings(AttackTableTest& t, const std::string& name) {
  for (const char* url : {"/CookieAuth.dll?Logon&x=1", "/cookieauth.dll?LOGON", "/CookieAuth.dll?Logon?x=1",
                          "https://mail.contoso.test/CookieAuth.dll?Logon", "/%63ookieauth.dll?Logon",
                          "/owa/../CookieAuth.dll?Logon"}) {
    Browser& browser = t.MakeBrowser(name + url);
    browser.Visit("/owa/");
    Reply posted = browser.Send("POST", url, kCarolForm, kFormType);
    EXPECT_FALSE(browser.Cookie(kCookie).has_value()) << url << "\n" << posted.raw;
    EXPECT_FALSE(AttackTableTest::Leaks(browser.FollowAll(posted))) << url;
  }
}

// Bodies whose end or content two readers could see differently: a locked-out
// user's credentials in a chunked body whose chunk boundary cuts the field
// name (a reader of the raw bytes finds no user name and falls back to the
// lgn cookie of a valid user), and other unclear framings.
void UnclearFraming(AttackTableTest& t, const std::string& name) {
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

// Direct URLs in states Initial and AwaitingPasscode.
void DirectUrls(AttackTableTest& t, const std::string& name) {
  const std::vector<std::string> others = {"/owa/inbox.html", "/OWA/INBOX.HTML", "/owa/settings.html",
                                           "/owa/inbox.html?x=/owa/", "/download/big.bin", "//owa//inbox.html"};
  for (size_t i = 0; i < others.size(); ++i) {
    Browser& initial = t.InitialSession(name + "-initial" + std::to_string(i));
    const std::string key = t.Key(initial);
    EXPECT_FALSE(AttackTableTest::Leaks(initial.Get(others[i]))) << others[i];
    EXPECT_EQ(t.SessionState(key), kExpired) << others[i] << ": a bypass attempt should expire the session";
    EXPECT_FALSE(AttackTableTest::Leaks(initial.Get("/owa/"))) << others[i];
  }
  Browser& awaiting = t.AwaitingSession(name + "-awaiting");
  for (const std::string& url : others) EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Get(url))) << url;
  EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Get("/owa/")));
  EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Send("POST", "/owa/", "a=b", kFormType)));
  EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Send("HEAD", "/owa/")));
  // The filter's own action URL with a site path after it is no own page.
  EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Get("/talverinauth.dll?logon/../../owa/")));
  EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Get("/talverinauth.dll/../owa/")));
}

// The proxy reads the first field named exactly "username"; the filter must
// decide on the same name, or a valid user's logon could borrow the bypass
// user's verdict (or a refused user a valid one's).
void AmbiguousLogonForms(AttackTableTest& t, const std::string& name) {
  const std::vector<std::string> aliceWithBob = {
      "curl=%2Fowa%2F&xusername=CONTOSO%5Cbob&username=CONTOSO%5Calice&password=Secret1",
      "curl=%2Fowa%2F&username=CONTOSO%5Calice&username=CONTOSO%5Cbob&password=Secret1",
      "curl=%2Fowa%2F&username=CONTOSO%5Calice&user%6Eame=CONTOSO%5Cbob&password=Secret1",
      "curl=%2Fowa%2F&USERNAME=CONTOSO%5Cbob&username=CONTOSO%5Calice&password=Secret1",
      "curl=%2Fowa%2F&UserName=CONTOSO%5Cbob&username=CONTOSO%5Calice&password=Secret1",
      "curl=%2Fowa%2F&username=CONTOSO%5Calice&password=Secret1&username=CONTOSO%5Cbob",
  };
  int n = 0;
  for (const std::string& body : aliceWithBob) {
    SCOPED_TRACE(body);
    Browser& browser = t.MakeBrowser(name + std::to_string(n++));
    t.Protect(browser, "/owa/");
    browser.Visit("/owa/");
    Reply last = browser.FollowAll(browser.Send("POST", "/CookieAuth.dll?Logon", body, kFormType));
    EXPECT_FALSE(AttackTableTest::Leaks(last));
    EXPECT_FALSE(AttackTableTest::Leaks(browser.Get("/owa/inbox.html")));
    if (auto key = browser.Cookie(kCookie)) EXPECT_NE(t.SessionState(*key), kValid);
  }
  // A locked-out user behind a valid one's name.
  for (const std::string& body :
       {std::string("curl=%2Fowa%2F&xusername=CONTOSO%5Calice&username=CONTOSO%5Ccarol&password=Locked3"),
        std::string("curl=%2Fowa%2F&USERNAME=CONTOSO%5Calice&username=CONTOSO%5Ccarol&password=Locked3")}) {
    SCOPED_TRACE(body);
    Browser& browser = t.MakeBrowser(name + "-locked" + std::to_string(n++));
    browser.Visit("/owa/");
    Reply posted = browser.Send("POST", "/CookieAuth.dll?Logon", body, kFormType);
    EXPECT_NE(posted.Header("Location").find("reason=2"), std::string::npos) << posted.raw;
    EXPECT_FALSE(browser.Cookie(kCookie).has_value());
  }
}

// Look-alike, doubled and stale cookies carry no other session, and no
// passcode reaches anyone's transcript.
void LookAlikeAndStaleCookies(AttackTableTest& t, const std::string& name) {
  Browser& victim = t.AwaitingSession(name + "-victim");
  const std::string key = t.Key(victim);
  ASSERT_FALSE(key.empty());
  Browser& attacker = t.MakeBrowser(name + "-attacker");
  for (const std::string& cookie :
       {"xcadata=1; cadata=" + key, "xcadata=" + key + "; cadata=" + key, "cadata=\"" + key + "\"",
        "cadata=" + key + "; cadata=" + key, "CADATA=1; cadata=" + key, "cadata=; cadata=" + key,
        std::string("cadata=0123456789abcdef0123456789ABCDEF")}) {
    for (const char* url : {"/owa/", "/owa/inbox.html"}) {
      EXPECT_FALSE(AttackTableTest::Leaks(attacker.Get(url, {{"Cookie", cookie}}))) << cookie << " " << url;
    }
  }
  const std::string passcode = t.LastPasscode(kAlice);
  ASSERT_FALSE(passcode.empty());
  EXPECT_EQ(attacker.Transcript().find(passcode), std::string::npos);
  EXPECT_EQ(victim.Transcript().find(passcode), std::string::npos);
}

// A shared machine: the next user logs on over the first one's Valid cookie.
void NewLogonOverAnotherUsersValidCookie(AttackTableTest& t, const std::string& name) {
  Browser& victim = t.MakeBrowser(name + "-victim");
  ASSERT_TRUE(host::CarriesSitePage(t.LogOnFully(victim, kAlice).raw, "/owa/"));
  const std::string victimKey = t.Key(victim);
  Browser& kiosk = t.MakeBrowser(name + "-kiosk");
  kiosk.SetCookie(kCookie, victimKey);
  t.MarkValid(kiosk);
  ASSERT_TRUE(host::CarriesSitePage(kiosk.Get("/owa/").raw, "/owa/"));
  t.MarkNotValid(kiosk);
  Reply posted = t.PostLogon(kiosk, kMallory);
  ASSERT_EQ(posted.status, 302) << posted.raw;
  const std::string malloryKey = t.Key(kiosk);
  ASSERT_NE(malloryKey, victimKey);
  Reply landed = kiosk.FollowAll(posted);
  EXPECT_EQ(Lower(landed.url), kOwnLogin) << "the new user skipped the passcode:\n" << landed.raw;
  EXPECT_NE(t.SessionState(malloryKey), kValid);
  EXPECT_FALSE(AttackTableTest::Leaks(kiosk.Get("/owa/inbox.html")));
  // The first user's session is the first user's.
  EXPECT_TRUE(host::CarriesSitePage(victim.Get("/owa/inbox.html").raw, "/owa/inbox.html"));
  t.MarkNotValid(victim);
}

// Paths that leave "/cookieauth.dll" by dot segments are the site's, in
// states Initial, AwaitingPasscode and Expired.
void PathsThatLeaveCookieauth(AttackTableTest& t, const std::string& name) {
  const std::vector<std::string> urls = {"/cookieauth.dll/../owa/", "/CookieAuth.dll%2f..%2fowa/",
                                         "/cookieauth.dll/..%5cowa/inbox.html", "/cookieauth.dll/%2e%2e/owa/",
                                         "/cookieauth.dll?logon/../../owa/"};
  int n = 0;
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    Browser& initial = t.InitialSession(name + "-initial" + std::to_string(n));
    EXPECT_FALSE(AttackTableTest::Leaks(initial.Get(url)));
    Browser& awaiting = t.AwaitingSession(name + "-awaiting" + std::to_string(n));
    EXPECT_FALSE(AttackTableTest::Leaks(awaiting.Get(url)));
    Browser& expired = t.AwaitingSession(name + "-expired" + std::to_string(n++));
    const std::string key = t.Key(expired);
    expired.FollowAll(t.PostPasscode(expired, "", "Cancel"));
    expired.SetCookie(kCookie, key);
    EXPECT_FALSE(AttackTableTest::Leaks(expired.Get(url)));
  }
}

const std::vector<Attack>& Attacks() {
  static const std::vector<Attack> attacks = {
      {"direct-urls", DirectUrls},
      {"ambiguous-logon-forms", AmbiguousLogonForms},
      {"look-alike-and-stale-cookies", LookAlikeAndStaleCookies},
      {"new-logon-over-a-valid-cookie", NewLogonOverAnotherUsersValidCookie},
      {"paths-that-leave-cookieauth", PathsThatLeaveCookieauth},
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

class AttackTest : public RoadTest {};

// A logoff is the answer to a request of a Valid session: it reaches the
// browser although it ends the session.
TEST_F(AttackTest, LogoffAnswerOfAValidSessionReachesTheBrowser) {
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
TEST_F(AttackTest, ConcurrentPasscodeGuessesAreCheckedOneAtATime) {
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

class ChunkedAnswerTest : public AttackTest, public testing::WithParamInterface<int> {};

TEST_P(ChunkedAnswerTest, ProtectedPageCutInSmallChunksIsReplacedWhole) {
  RoadConfig config;
  config.emulation = "[proxy]\nresponse-chunk = " + std::to_string(GetParam()) + "\nrequest-chunk = 9\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  for (const char* url : {"/owa/", "/owa/inbox.html"}) {
    Browser& browser = MakeBrowser(std::string("chunked") + url);
    Reply login = PasswordStep(browser, kMallory, url);
    EXPECT_EQ(Lower(login.url), kOwnLogin) << login.raw;
    EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript()));
    for (const auto& connection : {browser.CurrentConnection()}) {
      if (connection) EXPECT_TRUE(connection->Filter().Violations().empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ResponseChunk, ChunkedAnswerTest, testing::Values(1, 7, 64, 1000),
                         [](const testing::TestParamInfo<int>& info) { return std::to_string(info.param) + "Bytes"; });

TEST_F(AttackTest, ExpiredSessionsCookieKeptAndRotatedStaysOut) {
  RoadConfig config;
  config.emulation = "[listener {AAAAAAAA-0000-0000-0000-000000000001}]\nrotate-after = 2\ngrace = 1\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  Browser& browser = MakeBrowser("keeper");
  Reply login = PasswordStep(browser, kAlice);
  ASSERT_EQ(Lower(login.url), kOwnLogin) << login.raw;
  const std::string key = browser.Cookie(kCookie).value_or("");
  Reply refused = PostPasscode(browser, "not-it");
  ASSERT_EQ(SessionState(key), kExpired) << refused.raw;
  // The browser dropped the cookie as told; an attacker keeps it. The proxy
  // was never told that the session ended and still honours the key, so the
  // filter alone stands between an Expired session and the site.
  browser.SetCookie(kCookie, key);
  for (int i = 0; i < 6; ++i) {
    for (const char* url : {"/owa/inbox.html", "/owa/"}) {
      EXPECT_FALSE(Leaks(browser.Get(url))) << "request " << i << " " << url;
    }
  }
  if (auto rotated = browser.Cookie(kCookie); rotated && *rotated != key) {
    EXPECT_NE(SessionState(*rotated), kValid);
  }
}

// Bounds: a logon post announcing more than the filter reads, and a header
// block longer than it reads, are finished at once instead of waited on.
TEST_F(AttackTest, OversizedRequestsAreFinishedNotWaitedOn) {
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
