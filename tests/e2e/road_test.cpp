// The logon road as users walk it: password, passcode, the page; wrong passcodes, refused, bypass and password-change
// users, cookie rotation and logoff, excluded URLs; what one request costs the back end. The fallback is the stage
// tables', an outage the installed filter's event test's.
#include <thread>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

// The page's answer replaced, the filter's own pages, the passcode; then what a request costs the back end at a
// server's trace level: past the second factor a lookup, its state and whether a bypass report is owed, nothing
// written; without the proxy's cookie nothing.
TEST_F(RoadTest, PasswordThenPasscodeReachesTheRequestedPageAndLaterRequestsCostOneLookup) {
  ASSERT_TRUE(settings_.SetDword("TraceLevel", 0));
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& browser = MakeBrowser("alice");
  Reply login = PasswordStep(browser, kAlice, "/owa/inbox.html");
  ASSERT_EQ(Lower(login.url), kOwnLogin);
  ASSERT_EQ(login.status, 200);
  const std::string key = Key(browser);
  EXPECT_EQ(SessionState(key), kAwaitingPasscode);
  ASSERT_EQ(site_.Received().size(), 1u);
  EXPECT_EQ(site_.Received()[0].canonicalPath, "/owa/inbox.html");
  // The filter's own pages, however spelled.
  for (const auto& [url, type] : std::vector<std::pair<std::string, std::string>>{
           {"getpic?login_img.jpg", "image/gif"}, {"getcss?talverin.css", "text/css"}, {"STATUS", ""}}) {
    Reply reply = browser.Get("/TalverinAuth.dll?action=" + url);
    EXPECT_EQ(reply.status, 200) << url;
    EXPECT_NE(reply.Header("Content-Type").find(type), std::string::npos) << url;
    EXPECT_TRUE(type.empty() ? reply.body.find("SMS status: Status:") != std::string::npos : reply.body.size() > 16)
        << url << "\n" << reply.body;
  }
  const std::string passcode = LastPasscode(kAlice);
  ASSERT_EQ(passcode.size(), 6u) << Outbox();
  EXPECT_EQ(browser.Transcript().find(passcode), std::string::npos) << "the passcode was shown to the browser";
  Reply accepted = PostPasscode(browser, passcode);
  ASSERT_EQ(accepted.status, 302) << accepted.raw;
  EXPECT_EQ(host::PathOfLocation(accepted.Header("Location")), "/owa/inbox.html");
  EXPECT_EQ(SessionState(key), kValid);
  MarkValid(browser);
  EXPECT_TRUE(Shows(browser.FollowAll(accepted), "/owa/inbox.html"));
  EXPECT_EQ(site_.Received().back().user, kAlice.name);

  // What the back end counted since the last ClearCallCounts, one line per member and kind.
  auto counts = [this] { return backend_test::Narrow(backend_test::Method(Backend(), L"CallCounts").Text()); };
  Browser& anonymous = MakeBrowser("anonymous");
  anonymous.Get("/public/info.html");
  ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"ClearCallCounts").hr);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Shows(anonymous.Get("/public/info.html"), "/public/info.html"));
    EXPECT_FALSE(Leaks(anonymous.Get("/owa/")));
  }
  EXPECT_EQ(counts(), "");
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Shows(browser.Get("/owa/inbox.html"), "/owa/inbox.html"));
  EXPECT_EQ(counts(), "Session.BypassTalverinAuthentication get 10\r\nSession.State get 10\r\n"
                      "SessionStore.GetSession method 10\r\n");
}

// A wrong passcode ends the session. The browser drops the Expired session's cookie as told; an attacker keeps it, and
// the proxy, never told, still honours and rotates it: the filter alone stands between the session and the site.
TEST_F(RoadTest, WrongPasscodeExpiresTheSessionAndAFreshLogonWorks) {
  ASSERT_NO_FATAL_FAILURE(
      Start({"Enabled = i4:1\n", "", "[listener " + kOwaListener + "]\nrotate-after = 3\ngrace = 1\n"}));
  Browser& browser = AwaitingSession("mistyper");
  const std::string key = Key(browser), right = LastPasscode(kAlice);
  Reply refused = PostPasscode(browser, right == "000000" ? "111111" : "000000");
  ASSERT_EQ(refused.status, 302) << refused.raw;
  EXPECT_NE(Lower(refused.Header("Location")).find("/cookieauth.dll?getlogon"), std::string::npos);
  EXPECT_NE(refused.Header("Location").find("reason=4"), std::string::npos) << refused.Header("Location");
  EXPECT_FALSE(browser.Cookie(kCookie).has_value()) << "the proxy's cookie was not removed";
  EXPECT_EQ(SessionState(key), kExpired);
  browser.SetCookie(kCookie, key);
  EXPECT_FALSE(Leaks(browser.FollowAll(PostPasscode(browser, right))));
  browser.SetCookie(kCookie, key);
  for (int i = 0; i < 6; ++i)
    for (const char* url : {"/owa/inbox.html", "/owa/"}) EXPECT_FALSE(Leaks(browser.Get(url))) << i << " " << url;
  browser.ClearCookies();
  EXPECT_TRUE(Shows(LogOnFully(browser, kAlice), "/owa/"));
}

// The back end's verdict on the user: refused users' credentials never reach the proxy, a bypass user is let through
// after the password (and reported once), a password change the proxy asks for waits for the passcode.
TEST_F(RoadTest, RefusedUsersStayOutBypassUsersPassAndAPasswordChangeWaitsForThePasscode) {
  ASSERT_NO_FATAL_FAILURE(Start({"Enabled = i4:1\n", "", "[user CONTOSO\\erin]\nmust-change-password = yes\n"}));
  for (const RoadUser& user : {kZed, kCarol, kDave}) {
    SCOPED_TRACE(user.name);
    Browser& browser = MakeBrowser(std::string("refused-") + user.password);
    browser.Visit("/owa/");
    Reply refused = PostLogon(browser, user);
    // The proxy saw an empty user and password: its wrong-password answer.
    ASSERT_EQ(refused.status, 302) << refused.raw;
    EXPECT_NE(refused.Header("Location").find("reason=2"), std::string::npos) << refused.Header("Location");
    EXPECT_FALSE(browser.Cookie(kCookie).has_value());
    EXPECT_FALSE(Leaks(browser.FollowAll(refused)));
    EXPECT_EQ(Outbox().find(std::string("user=") + user.name), std::string::npos);
  }

  Browser& erin = MakeBrowser("erin");
  erin.Visit("/owa/");
  Reply held = erin.FollowAll(PostLogon(erin, kErin));
  EXPECT_EQ(held.body.find("ChangePwd"), std::string::npos) << "the change page came before the passcode";
  ASSERT_EQ(Lower(held.url), kOwnLogin) << held.raw;
  Reply replayed = PostPasscode(erin, LastPasscode(kErin));
  EXPECT_EQ(replayed.status, 200) << replayed.raw;
  EXPECT_NE(replayed.body.find("/CookieAuth.dll?ChangePwd"), std::string::npos) << replayed.raw;
  EXPECT_TRUE(site_.Received().empty());

  Browser& bob = MakeBrowser("bob");
  bob.Visit("/owa/");
  Reply redirect = PostLogon(bob, kBob);
  ASSERT_EQ(redirect.status, 302);
  MarkValid(bob);  // the back end granted the bypass when the proxy's cookie was bound
  EXPECT_TRUE(Shows(bob.FollowAll(redirect), "/owa/"));
  EXPECT_EQ(Occurrences(Audit(), "ReportPasswordAuthenticationStatus user=CONTOSO\\bob"), 1u) << Audit();
  EXPECT_EQ(Outbox().find("user=CONTOSO\\bob"), std::string::npos) << "no passcode is texted to a bypass user";
}

// Two connections presenting the proxy's rotated key at once make one session of it (the trace tells). A logoff through
// the proxy's page or the site's logoff URL (whose answer reaches the browser) expires it for both.
TEST_F(RoadTest, CookieRotationKeepsOneValidSessionAndLogoffExpiresIt) {
  ASSERT_NO_FATAL_FAILURE(Start({"Enabled = i4:1\n", "",
                                 "[listener " + kOwaListener +
                                     "]\nrotate-after = 4\ngrace = 3\nrepeat-successor = yes\n"
                                     "logoff-path = /owa/settings.html\n"}));
  for (const std::string logoff : {"/CookieAuth.dll?Logoff", "/owa/settings.html"}) {
    SCOPED_TRACE(logoff);
    Browser& browser = MakeBrowser("one" + logoff);
    ASSERT_TRUE(Shows(LogOnFully(browser, kAlice), "/owa/"));
    const std::string old = Key(browser);
    // One request short of the rotation.
    while (server_->Sessions().Find(old) && server_->Sessions().Find(old)->requests < 3) browser.Get("/owa/");
    Browser& second = MakeBrowser("two" + logoff);
    second.SetCookie(kCookie, old);
    MarkValid(second);
    Reply twin;
    std::thread other([&] { twin = second.Get("/owa/inbox.html"); });
    EXPECT_TRUE(Shows(browser.Get("/owa/inbox.html"), "/owa/inbox.html"));
    other.join();
    EXPECT_TRUE(Shows(twin, "/owa/inbox.html"));
    const std::string renewed = Key(browser);
    ASSERT_NE(renewed, old) << "the proxy did not rotate its cookie";
    ASSERT_EQ(Key(second), renewed) << "both connections were given the new key";
    EXPECT_EQ(SessionState(renewed), kValid);
    EXPECT_EQ(test::CountOf(test::LogMessages(install_.logPath()), "Session(" + renewed + ") has been created"), 1u);
    Reply answer = browser.Get(logoff);
    MarkNotValid(browser);
    MarkNotValid(second);
    EXPECT_EQ(Shows(answer, logoff), logoff == "/owa/settings.html") << answer.raw.substr(0, 400);
    EXPECT_FALSE(browser.Cookie(kCookie).has_value());
    EXPECT_EQ(SessionState(renewed), kExpired);
    browser.SetCookie(kCookie, renewed);
    for (Browser* both : {&browser, &second}) EXPECT_FALSE(Leaks(both->Get("/owa/")));
  }
}

// Whether another listener's requests are excluded is the listener access tests' (the settings are per listener).
TEST_F(RoadTest, ExcludedUrlsPassWhereTheListenerAllowsThem) {
  ASSERT_NO_FATAL_FAILURE(
      Start({"Enabled = i4:1\nRpcOverHttpAllowed = i4:1\nActiveSyncAllowed = i4:1\n"
             "AutoDiscoverAllowed = i4:1\nCustomExclusionList = bstr:/owa/settings.html\\r\\n/Owa/Inbox.html\n"}));
  AllowExcluded({"/rpc/", "/microsoft-server-activesync", "/autodiscover", "/owa/settings.html"});
  Browser& browser = AwaitingSession("excluded");
  for (const std::string url :
       {"/rpc/rpcproxy.dll", "/Microsoft-Server-ActiveSync", "/Autodiscover/Autodiscover.xml", "/owa/settings.html"})
    EXPECT_TRUE(Shows(browser.Get(url), Lower(url))) << url;
  // An entry with capitals never matches; traversal out of an excluded prefix is no excluded request.
  for (const char* url : {"/owa/inbox.html", "/rpc/../owa/", "/rpc/%2e%2e/owa/", "/rpc/..%5cowa/",
                          "/Microsoft-Server-ActiveSync/../owa/", "/owa/settings.html/../inbox.html"})
    EXPECT_FALSE(Leaks(browser.Get(url))) << url;
}

}  // namespace
}  // namespace talverin::e2e
