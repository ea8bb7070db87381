// The second factor's boundary against a client that knows a user's password, never her passcodes, under every reading
// of cookies a proxy may have (names trimmed, case-folded, Cookie lines joined, or not). The road's invariant
// (RoadTest::TearDown) is the verdict; the expectations here say which attack broke it.
#include <regex>
#include <thread>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

const std::string kLogonHead = "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: mail.contoso.test\r\n"
                               "Content-Type: application/x-www-form-urlencoded\r\n";

struct CookieReading {
  const char* name;
  bool trimmed, caseFolded, joined;
};
const CookieReading kReadings[] = {
    {"Strict", false, false, false},          {"Trimmed", true, false, false}, {"CaseFolded", false, true, false},
    {"TrimmedCaseFolded", true, true, false}, {"Joined", false, false, true},  {"TrimmedJoined", true, false, true},
    {"CaseFoldedJoined", false, true, true},  {"Lenient", true, true, true},
};

// A request of a session in state 'I' Initial (password accepted, redirect not followed), 'A' AwaitingPasscode, 'E'
// Expired by Cancel, cookie kept, or 'X' of another browser whose Cookie lines ('\n') carry a victim's key for "{key}".
struct Probe {
  char state;
  std::string method, url, cookie, body;
  bool expires;  // the attempt ends the session
  bool split;    // sent as two records, the header block and the body
};

std::vector<Probe> Probes() {
  std::vector<Probe> probes;
  auto add = [&](const std::string& states, const std::string& method, const std::vector<std::string>& urls,
                 const std::string& body = {}, bool expires = false, bool split = false) {
    for (char state : states)
      for (const std::string& url : urls) probes.push_back({state, method, url, "", body, expires, split});
  };
  // Other URLs than the kept one, in Initial a bypass attempt.
  const std::vector<std::string> others = {"/owa/inbox.html",         "/OWA/INBOX.HTML",   "/owa/settings.html",
                                           "/owa/inbox.html?x=/owa/", "/download/big.bin", "//owa//inbox.html"};
  add("I", "GET", others, "", true);
  add("A", "GET", others);
  // In Initial only a plain read of the kept page goes on.
  add("I", "POST", {"/owa/"}, "to=bob&send=1", true);
  add("I", "PUT", {"/owa/"}, "x", true);
  add("I", "DELETE", {"/owa/"}, "", true);
  add("I", "GET", {"/owa/"}, "a=b", true);
  add("A", "POST", {"/owa/"}, "a=b");
  add("A", "HEAD", {"/owa/"});
  // The filter's own action URL with a site path after it is no own page.
  add("A", "GET", {"/talverinauth.dll?logon/../../owa/", "/talverinauth.dll/../owa/"});
  // Paths below "/cookieauth.dll", or leaving it by dot segments, are the site's.
  add("IA", "GET", {"/cookieauth.dll/x", "/CookieAuth.dll/owa/inbox.html", "/cookieauth.dll/?logon"});
  add("IAE", "GET",
      {"/cookieauth.dll/../owa/", "/CookieAuth.dll%2f..%2fowa/", "/cookieauth.dll/..%5cowa/inbox.html",
       "/cookieauth.dll/%2e%2e/owa/", "/cookieauth.dll?logon/../../owa/"});
  // A request line for an excluded URL in a later record, the body, makes no excluded request.
  add("IA", "POST", {"/owa/inbox.html", "/owa/"}, "x /favicon.ico y\r\n", false, true);
  // The cookie however a proxy may read it; look-alike, doubled, quoted, stale cookies; a second Cookie line.
  for (const std::string cookie :
       {"cadata ={key}", "cadata\t={key}", "CADATA={key}", "Cadata=\"{key}\"", " cadata = {key}",
        "a=1; CaData={key}; b=2", "xcadata=1; cadata={key}", "xcadata={key}; cadata={key}", "cadata=\"{key}\"",
        "cadata={key}; cadata={key}", "CADATA=1; cadata={key}", "cadata=; cadata={key}",
        "cadata=0123456789abcdef0123456789ABCDEF", "a=1\ncadata={key}", "cadata={key}\ncadata={key}",
        "cadata=0123\ncadata={key}"})
    for (const char* url : {"/owa/", "/owa/inbox.html"}) probes.push_back({'X', "GET", url, cookie, "", false, false});
  return probes;
}

class AttackTableTest : public RoadTest, public testing::WithParamInterface<CookieReading> {
 public:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RoadTest::SetUp());
    auto yesNo = [](bool value) { return std::string(value ? "yes" : "no"); };
    ASSERT_NO_FATAL_FAILURE(Start({"Enabled = i4:1\n", "",
                                   "[proxy]\ncookie-names-trimmed = " + yesNo(GetParam().trimmed) +
                                       "\ncookie-names-case-folded = " + yesNo(GetParam().caseFolded) +
                                       "\ncookie-lines-joined = " + yesNo(GetParam().joined) + "\n[listener " +
                                       kOwaListener + "]\nlogoff-path = /owa/settings.html\n"}));
  }
  // Password accepted, the redirect to the kept page not followed.
  Browser& InitialSession(const std::string& name) {
    Browser& browser = MakeBrowser(name);
    browser.Visit("/owa/");
    EXPECT_EQ(PostLogon(browser, kAlice).status, 302);
    return browser;
  }
};

TEST_P(AttackTableTest, NoRequestOfASessionBeforeThePasscodeReachesTheSite) {
  Browser* victim = &AwaitingSession("victim");
  Browser& attacker = MakeBrowser("attacker");
  const std::regex placeholder("\\{key\\}");
  int n = 0;
  for (const Probe& p : Probes()) {
    SCOPED_TRACE(std::string(1, p.state) + " " + p.method + " " + p.url + " " + p.cookie);
    const std::string name = "probe" + std::to_string(n++);
    if (p.state == 'X' && SessionState(Key(*victim)) != kAwaitingPasscode) victim = &AwaitingSession(name + "-victim");
    Browser& browser = p.state == 'X' ? attacker : p.state == 'I' ? InitialSession(name) : AwaitingSession(name);
    const std::string key = Key(browser);
    if (p.state == 'E') {
      browser.FollowAll(PostPasscode(browser, "", "Cancel"));
      browser.SetCookie(kCookie, key);
    }
    HeaderList headers;
    if (!p.body.empty() && p.method != "PUT") headers.push_back({"Content-Type", "application/x-www-form-urlencoded"});
    for (size_t from = 0, to = 0; p.state == 'X' && from <= p.cookie.size(); from = to + 1) {
      to = std::min(p.cookie.find('\n', from), p.cookie.size());
      // The proxy's keys are hex digits: nothing in one reads as a replacement's format.
      headers.push_back({"Cookie", std::regex_replace(p.cookie.substr(from, to - from), placeholder, Key(*victim))});
    }
    std::vector<std::string> pieces = {browser.Compose(p.method, p.url, p.body, headers)};
    if (p.split) {
      const size_t end = pieces[0].find("\r\n\r\n") + 4;
      pieces = {pieces[0].substr(0, end), pieces[0].substr(end)};
    }
    EXPECT_FALSE(Leaks(browser.SendPieces(p.url, pieces)));
    if (p.expires) {
      EXPECT_EQ(SessionState(key), kExpired) << "a bypass attempt should expire the session";
    }
    if (p.state != 'X') {
      browser.SetCookie(kCookie, key);
      EXPECT_FALSE(Leaks(browser.Get("/owa/")));
    }
  }
  const std::string passcode = LastPasscode(kAlice);
  ASSERT_FALSE(passcode.empty());
  for (Browser* browser : {victim, &attacker}) EXPECT_EQ(browser->Transcript().find(passcode), std::string::npos);
}

// Raw logon posts. The proxy reads the first field named exactly "username": the filter must decide on that user, or
// alice could borrow bob's bypass or the lgn cookie's verdict; carol's (locked) credentials never reach the proxy
// however spelled. The post's URL and framing spellings are rows of the request body stage and request block tables.
TEST_P(AttackTableTest, ALogonPostBorrowsNoOtherUsersVerdict) {
  struct Post {
    std::string head, body;  // head: the lines after the Content-Type (none: the body's length)
    bool locked;             // carol's credentials, with "lgn=" alice
    bool split = false;      // the body in a record of its own
  };
  // "Content-Length:100" without a blank is read as "00" by a parser that skips one byte.
  std::string form100 = "curl=%2Fowa%2F&flags=0&formdir=1&username=CONTOSO%5Calice&password=Secret1&pad=";
  form100.resize(100, 'x');
  const std::vector<Post> posts = {
      {"", "curl=%2Fowa%2F&xusername=CONTOSO%5Cbob&username=CONTOSO%5Calice&password=Secret1", false},
      {"", "curl=%2Fowa%2F&username=CONTOSO%5Calice&username=CONTOSO%5Cbob&password=Secret1", false},
      {"", "curl=%2Fowa%2F&username=CONTOSO%5Calice&user%6Eame=CONTOSO%5Cbob&password=Secret1", false},
      {"", "curl=%2Fowa%2F&USERNAME=CONTOSO%5Cbob&username=CONTOSO%5Calice&password=Secret1", false},
      {"", "curl=%2Fowa%2F&UserName=CONTOSO%5Cbob&username=CONTOSO%5Calice&password=Secret1", false},
      {"", "curl=%2Fowa%2F&username=CONTOSO%5Calice&password=Secret1&username=CONTOSO%5Cbob", false},
      {"Content-Length:100\r\nCookie: lgn=CONTOSO\\bob\r\n", form100, false, true},
      {"Content-Length:100\r\nCookie: lgn=CONTOSO\\mallory\r\n", form100, false, true},
      {"", "curl=%2Fowa%2F&xusername=CONTOSO%5Calice&username=CONTOSO%5Ccarol&password=Locked3", true},
      {"", "curl=%2Fowa%2F&USERNAME=CONTOSO%5Calice&username=CONTOSO%5Ccarol&password=Locked3", true},
  };
  int n = 0;
  for (const Post& post : posts) {
    SCOPED_TRACE(post.head + post.body);
    Browser& browser = MakeBrowser("post" + std::to_string(n++));
    Protect(browser, "/owa/");
    browser.Visit("/owa/");
    const std::string before = LastPasscode(kMallory);
    const std::string head =
        kLogonHead + (post.locked ? "Cookie: lgn=CONTOSO\\alice\r\n" : "") +
        (post.head.empty() ? "Content-Length: " + std::to_string(post.body.size()) + "\r\n" : post.head) + "\r\n";
    Reply posted = browser.SendPieces("/CookieAuth.dll?Logon", post.split ? std::vector<std::string>{head, post.body}
                                                           : std::vector<std::string>{head + post.body});
    if (post.locked) {
      EXPECT_FALSE(browser.Cookie(kCookie).has_value()) << posted.raw;
    }
    EXPECT_FALSE(Leaks(browser.FollowAll(posted)));
    // The attacker mallory posts any passcode of hers the post may have caused.
    if (LastPasscode(kMallory) != before) browser.FollowAll(PostPasscode(browser, LastPasscode(kMallory)));
    EXPECT_FALSE(Leaks(browser.Get("/owa/inbox.html")));
  }
}

// Cancel, then the proxy's logon page with the cookie kept: state Initial again, but without a password entered the
// kept page is not read again. And a shared machine: the next user logs on over the first one's Valid cookie.
TEST_P(AttackTableTest, NoSessionIsRevivedOrInherited) {
  Browser& cancelled = AwaitingSession("cancelled");
  const std::string key = Key(cancelled);
  cancelled.FollowAll(PostPasscode(cancelled, "", "Cancel"));
  ASSERT_EQ(SessionState(key), kExpired);
  cancelled.SetCookie(kCookie, key);
  cancelled.Get("/CookieAuth.dll?GetLogon?curl=%2Fowa%2F&reason=0&formdir=1");
  EXPECT_EQ(SessionState(key), kInitial);
  for (const char* url : {"/owa/", "/owa/inbox.html"}) {
    cancelled.SetCookie(kCookie, key);
    EXPECT_FALSE(Leaks(cancelled.Get(url))) << url;
  }

  Browser& victim = MakeBrowser("victim");
  ASSERT_TRUE(Shows(LogOnFully(victim, kAlice), "/owa/"));
  Browser& kiosk = MakeBrowser("kiosk");
  kiosk.SetCookie(kCookie, Key(victim));
  MarkValid(kiosk);
  ASSERT_TRUE(Shows(kiosk.Get("/owa/"), "/owa/"));
  MarkNotValid(kiosk);
  Reply posted = PostLogon(kiosk, kMallory);
  ASSERT_EQ(posted.status, 302) << posted.raw;
  const std::string malloryKey = Key(kiosk);
  ASSERT_NE(malloryKey, Key(victim));
  EXPECT_EQ(Lower(kiosk.FollowAll(posted).url), kOwnLogin) << "the new user skipped the passcode";
  EXPECT_FALSE(Leaks(kiosk.Get("/owa/inbox.html")));
  EXPECT_TRUE(Shows(victim.Get("/owa/inbox.html"), "/owa/inbox.html")) << "the first user's session is hers";
}

INSTANTIATE_TEST_SUITE_P(CookieReadings, AttackTableTest, testing::ValuesIn(kReadings),
                         [](const testing::TestParamInfo<CookieReading>& info) { return info.param.name; });

using AttackTest = RoadTest;

// Of several wrong guesses at one session's passcode sent at once, one reaches the back end and ends the session.
TEST_F(AttackTest, ConcurrentPasscodeGuessesAreCheckedOneAtATime) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const std::string key = Key(AwaitingSession("guessed"));
  // A slow check lets every guess arrive while the first is being checked.
  ASSERT_NO_FATAL_FAILURE(Fault({L"Authenticate"}, L"delay", L"300"));
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    Browser& guesser = MakeBrowser("guesser" + std::to_string(i));
    guesser.SetCookie(kCookie, key);
    threads.emplace_back([this, &guesser, i] { PostPasscode(guesser, "00000" + std::to_string(i)); });
  }
  for (std::thread& thread : threads) thread.join();
  backend_test::Method(Backend(), L"ClearFaults", {});
  EXPECT_EQ(Occurrences(Audit(), "Authenticate token="), 1u) << Audit();
  EXPECT_EQ(SessionState(key), kExpired);
}

// The protected page's answer cut in chunks of any size is replaced whole.
TEST_F(AttackTest, ProtectedPageCutInSmallChunksIsReplacedWhole) {
  for (const std::string chunk : {"1", "7", "64", "1000"}) {
    SCOPED_TRACE(chunk);
    ASSERT_NO_FATAL_FAILURE(
        Start({"Enabled = i4:1\n", "", "[proxy]\nresponse-chunk = " + chunk + "\nrequest-chunk = 9\n"}));
    for (const char* url : {"/owa/", "/owa/inbox.html"}) {
      Browser& browser = MakeBrowser("chunked" + chunk + url);
      EXPECT_EQ(Lower(PasswordStep(browser, kMallory, url).url), kOwnLogin);
      EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript()));
      if (auto* connection = browser.CurrentConnection()) {
        EXPECT_TRUE(connection->Filter().Violations().empty());
      }
    }
    CheckRoadInvariant();
    Stop();
  }
}

}  // namespace
}  // namespace talverin::e2e
