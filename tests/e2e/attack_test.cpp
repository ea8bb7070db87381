// Attempts to reach the published site before the second factor: direct
// URLs, ambiguous logon forms, look-alike and stale cookies, answers cut in
// small chunks, a new logon over someone else's Valid cookie, an Expired
// session's cookie kept and rotated, and paths that leave "/cookieauth.dll".
// The road's invariant is checked after each (RoadTest::TearDown).
#include <gtest/gtest.h>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

constexpr long kValid = 2, kExpired = 3;
const HeaderList kFormType = {{"Content-Type", "application/x-www-form-urlencoded"}};

class AttackTest : public RoadTest {
 protected:
  // A browser that posted the proxy's logon form and holds the new cookie,
  // not having followed the redirect: its session is Initial.
  Browser& InitialSession(const std::string& name, const RoadUser& user = kAlice) {
    Browser& browser = MakeBrowser(name);
    browser.Visit("/owa/");
    Reply posted = PostLogon(browser, user);
    EXPECT_EQ(posted.status, 302) << posted.raw;
    EXPECT_TRUE(browser.Cookie(kCookie).has_value());
    return browser;
  }
  // A browser on the filter's login page, its passcode texted.
  Browser& AwaitingSession(const std::string& name, const RoadUser& user = kAlice) {
    Browser& browser = MakeBrowser(name);
    Reply login = PasswordStep(browser, user);
    EXPECT_EQ(Lower(login.url), kOwnLogin) << login.raw;
    return browser;
  }
};

TEST_F(AttackTest, DirectUrlsInInitialAndAwaitingPasscodeStates) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SKIP_UNLESS_FLOW();
  const std::vector<std::string> others = {"/owa/inbox.html", "/OWA/INBOX.HTML", "/owa/settings.html",
                                           "/owa/inbox.html?x=/owa/", "/download/big.bin", "//owa//inbox.html"};
  for (const std::string& url : others) {
    Browser& initial = InitialSession("initial" + std::to_string(&url - others.data()));
    const std::string key = initial.Cookie(kCookie).value_or("");
    EXPECT_FALSE(Leaks(initial.Get(url))) << url;
    EXPECT_EQ(SessionState(key), kExpired) << url << ": a bypass attempt should expire the session";
    EXPECT_FALSE(Leaks(initial.Get("/owa/"))) << url;
  }
  Browser& awaiting = AwaitingSession("awaiting");
  for (const std::string& url : others) EXPECT_FALSE(Leaks(awaiting.Get(url))) << url;
  EXPECT_FALSE(Leaks(awaiting.Get("/owa/")));
  EXPECT_FALSE(Leaks(awaiting.Send("POST", "/owa/", "a=b", kFormType)));
  EXPECT_FALSE(Leaks(awaiting.Send("HEAD", "/owa/")));
  // The filter's own action URL with a site path after it is no own page.
  EXPECT_FALSE(Leaks(awaiting.Get("/talverinauth.dll?logon/../../owa/")));
  EXPECT_FALSE(Leaks(awaiting.Get("/talverinauth.dll/../owa/")));
}

// The proxy reads the first field named exactly "username"; the filter must
// decide on the same name, or a valid user's logon could borrow the bypass
// user's verdict (or a refused user a valid one's).
TEST_F(AttackTest, AmbiguousLogonFormsDoNotBorrowAnotherUsersVerdict) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SKIP_UNLESS_FLOW();
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
    Browser& browser = MakeBrowser("form" + std::to_string(n++));
    Protect(browser, "/owa/");
    browser.Visit("/owa/");
    Reply posted = browser.Send("POST", "/CookieAuth.dll?Logon", body, kFormType);
    Reply last = browser.FollowAll(posted);
    EXPECT_FALSE(Leaks(last));
    EXPECT_FALSE(Leaks(browser.Get("/owa/inbox.html")));
    if (auto key = browser.Cookie(kCookie)) EXPECT_NE(SessionState(*key), kValid);
  }
  // A locked-out user behind a valid one's name.
  for (const std::string& body :
       {std::string("curl=%2Fowa%2F&xusername=CONTOSO%5Calice&username=CONTOSO%5Ccarol&password=Locked3"),
        std::string("curl=%2Fowa%2F&USERNAME=CONTOSO%5Calice&username=CONTOSO%5Ccarol&password=Locked3")}) {
    SCOPED_TRACE(body);
    Browser& browser = MakeBrowser("locked" + std::to_string(n++));
    browser.Visit("/owa/");
    Reply posted = browser.Send("POST", "/CookieAuth.dll?Logon", body, kFormType);
    EXPECT_NE(posted.Header("Location").find("reason=2"), std::string::npos) << posted.raw;
    EXPECT_FALSE(browser.Cookie(kCookie).has_value());
  }
}

TEST_F(AttackTest, LookAlikeAndStaleCookiesDoNotCarryAnotherSession) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SKIP_UNLESS_FLOW();
  Browser& victim = AwaitingSession("victim");
  const std::string key = victim.Cookie(kCookie).value_or("");
  ASSERT_FALSE(key.empty());
  const std::vector<std::string> cookies = {
      "xcadata=1; cadata=" + key,
      "xcadata=" + key + "; cadata=" + key,
      "cadata=\"" + key + "\"",
      "cadata=" + key + "; cadata=" + key,
      "CADATA=1; cadata=" + key,
      "cadata=; cadata=" + key,
      "cadata=0123456789abcdef0123456789ABCDEF",
  };
  Browser& attacker = MakeBrowser("attacker");
  for (const std::string& cookie : cookies) {
    for (const char* url : {"/owa/", "/owa/inbox.html"}) {
      EXPECT_FALSE(Leaks(attacker.Get(url, {{"Cookie", cookie}}))) << cookie << " " << url;
    }
  }
  const std::string passcode = LastPasscode(kAlice);
  ASSERT_FALSE(passcode.empty());
  EXPECT_EQ(attacker.Transcript().find(passcode), std::string::npos);
  EXPECT_EQ(victim.Transcript().find(passcode), std::string::npos);
}

class ChunkedAnswerTest : public AttackTest, public testing::WithParamInterface<int> {};

TEST_P(ChunkedAnswerTest, ProtectedPageCutInSmallChunksIsReplacedWhole) {
  RoadConfig config;
  config.emulation = "[proxy]\nresponse-chunk = " + std::to_string(GetParam()) + "\nrequest-chunk = 9\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  SKIP_UNLESS_FLOW();
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

TEST_F(AttackTest, NewLogonOverAnotherUsersValidCookieStartsOver) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SKIP_UNLESS_FLOW();
  Browser& victim = MakeBrowser("victim");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(victim, kAlice).raw, "/owa/"));
  const std::string victimKey = victim.Cookie(kCookie).value_or("");

  // A shared machine: the next user finds the first one's cookie.
  Browser& kiosk = MakeBrowser("kiosk");
  kiosk.SetCookie(kCookie, victimKey);
  MarkValid(kiosk);
  ASSERT_TRUE(host::CarriesSitePage(kiosk.Get("/owa/").raw, "/owa/"));
  MarkNotValid(kiosk);
  Reply posted = PostLogon(kiosk, kMallory);
  ASSERT_EQ(posted.status, 302) << posted.raw;
  const std::string malloryKey = kiosk.Cookie(kCookie).value_or("");
  ASSERT_NE(malloryKey, victimKey);
  Reply landed = kiosk.FollowAll(posted);
  EXPECT_EQ(Lower(landed.url), kOwnLogin) << "the new user skipped the passcode:\n" << landed.raw;
  EXPECT_NE(SessionState(malloryKey), kValid);
  EXPECT_FALSE(Leaks(kiosk.Get("/owa/inbox.html")));
  // The first user's session is the first user's.
  EXPECT_TRUE(host::CarriesSitePage(victim.Get("/owa/inbox.html").raw, "/owa/inbox.html"));
}

TEST_F(AttackTest, ExpiredSessionsCookieKeptAndRotatedStaysOut) {
  RoadConfig config;
  config.emulation = "[listener {AAAAAAAA-0000-0000-0000-000000000001}]\nrotate-after = 2\ngrace = 1\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  SKIP_UNLESS_FLOW();
  Browser& browser = AwaitingSession("keeper");
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

TEST_F(AttackTest, PathsThatLeaveCookieauthAreNoProxyPages) {
  ASSERT_NO_FATAL_FAILURE(Start());
  SKIP_UNLESS_FLOW();
  const std::vector<std::string> urls = {"/cookieauth.dll/../owa/", "/CookieAuth.dll%2f..%2fowa/",
                                         "/cookieauth.dll/..%5cowa/inbox.html", "/cookieauth.dll/%2e%2e/owa/",
                                         "/cookieauth.dll?logon/../../owa/"};
  int n = 0;
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    Browser& initial = InitialSession("initial" + std::to_string(n));
    EXPECT_FALSE(Leaks(initial.Get(url)));
    Browser& awaiting = AwaitingSession("awaiting" + std::to_string(n));
    EXPECT_FALSE(Leaks(awaiting.Get(url)));
    Browser& expired = AwaitingSession("expired" + std::to_string(n++));
    const std::string key = expired.Cookie(kCookie).value_or("");
    expired.FollowAll(PostPasscode(expired, "", "Cancel"));
    expired.SetCookie(kCookie, key);
    EXPECT_FALSE(Leaks(expired.Get(url)));
  }
}

}  // namespace
}  // namespace talverin::e2e
