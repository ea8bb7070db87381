// The logon road as users walk it: password, passcode, the page; wrong
// passcodes, Cancel, bypass and refused users, password changes, cookie
// rotation and logoff, excluded URLs; and what one request costs the back
// end. The Authorization fallback is walked by the request header and
// response stage tables, a back end that goes away and comes back by the
// installed filter's event test and the back-end connection tests.
#include <thread>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

// What the back end counted since the last ClearCallCounts, one line per member and kind.
std::string CallCounts(IDispatch* backend) {
  return backend_test::Narrow(backend_test::Method(backend, L"CallCounts").Text());
}

// The request for the page, its answer replaced, then the filter's own pages and the passcode; and what each later
// request costs the back end (at the level a server runs at): for a session past the second factor, the session
// looked up, its state read and whether a bypass report is still owed, nothing written; nothing at all without the
// proxy's cookie.
TEST_F(RoadTest, PasswordThenPasscodeReachesTheRequestedPageAndLaterRequestsCostOneLookup) {
  ASSERT_TRUE(settings_.SetDword("TraceLevel", 0));
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& browser = MakeBrowser("alice");
  Reply login = PasswordStep(browser, kAlice, "/owa/inbox.html");
  ASSERT_EQ(Lower(login.url), kOwnLogin);
  ASSERT_EQ(login.status, 200);
  EXPECT_NE(login.body.find("passcode"), std::string::npos);
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

  Browser& anonymous = MakeBrowser("anonymous");
  anonymous.Get("/public/info.html");
  ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"ClearCallCounts").hr);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Shows(anonymous.Get("/public/info.html"), "/public/info.html"));
    EXPECT_FALSE(Leaks(anonymous.Get("/owa/")));
  }
  EXPECT_EQ(CallCounts(Backend()), "");
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Shows(browser.Get("/owa/inbox.html"), "/owa/inbox.html"));
  EXPECT_EQ(CallCounts(Backend()), "Session.BypassTalverinAuthentication get 10\r\nSession.State get 10\r\n"
                                   "SessionStore.GetSession method 10\r\n");
}

// A wrong passcode ends the session (Cancel too: the request header stage's
// Cancel rows and the attack tables). The browser drops the Expired session's
// cookie as told; an attacker keeps it. The proxy, never told, still honours
// it and rotates it: the filter alone stands between the session and the site.
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
  if (Key(browser) != key) {
    EXPECT_NE(SessionState(Key(browser)), kValid);
  }
  browser.ClearCookies();
  EXPECT_TRUE(Shows(LogOnFully(browser, kAlice), "/owa/"));
}

// The back end's verdict on the user: refused users' credentials never reach
// the proxy, a bypass user is let through after the password (and reported
// once), a password change the proxy asks for waits for the passcode.
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
    EXPECT_FALSE(Leaks(browser.Get("/owa/")));
    EXPECT_EQ(Outbox().find(std::string("user=") + user.name), std::string::npos);
  }
  EXPECT_TRUE(site_.Received().empty());

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
  EXPECT_EQ(SessionState(Key(bob)), kValid);
  EXPECT_TRUE(Shows(bob.Get("/owa/inbox.html"), "/owa/inbox.html"));
  EXPECT_EQ(Occurrences(Audit(), "ReportPasswordAuthenticationStatus user=CONTOSO\\bob"), 1u) << Audit();
  EXPECT_EQ(Outbox().find("user=CONTOSO\\bob"), std::string::npos) << "no passcode is texted to a bypass user";
}

// The proxy rotates its cookie. Two connections presenting the new key at
// once make one session of it (the trace tells). A logoff through the proxy's
// page, or through the site's logoff URL (whose answer, to a Valid session,
// reaches the browser), expires the session of the rotated key.
TEST_F(RoadTest, CookieRotationKeepsOneValidSessionAndLogoffExpiresIt) {
  ASSERT_NO_FATAL_FAILURE(Start({"Enabled = i4:1\n", "",
                                 "[listener " + kOwaListener +
                                     "]\nrotate-after = 4\ngrace = 3\nrepeat-successor = yes\n"
                                     "logoff-path = /owa/settings.html\n"}));
  Browser& browser = MakeBrowser("one");
  ASSERT_TRUE(Shows(LogOnFully(browser, kAlice), "/owa/"));
  const std::string old = Key(browser);
  // One request short of the rotation.
  while (server_->Sessions().Find(old) && server_->Sessions().Find(old)->requests < 3) browser.Get("/owa/");
  Browser& second = MakeBrowser("two");
  second.SetCookie(kCookie, old);
  MarkValid(second);
  Reply twin;
  std::thread other([&] { twin = second.Get("/owa/inbox.html"); });
  EXPECT_TRUE(Shows(browser.Get("/owa/inbox.html"), "/owa/inbox.html"));
  other.join();
  EXPECT_TRUE(Shows(twin, "/owa/inbox.html"));
  const std::string renewed = Key(browser);
  ASSERT_NE(renewed, old);
  ASSERT_EQ(Key(second), renewed) << "both connections were given the new key";
  EXPECT_EQ(SessionState(renewed), kValid);
  const std::vector<std::string> messages = LogMessages();
  const std::string session = "Session(" + renewed + ")";
  for (const std::string& line :
       {"RenewExistingSession: " + session + " has NOT already been created. Creating and moving the state now...",
        session + " has been created",
        session + " has already been created. Updating connection context and leaving the locked code now"})
    EXPECT_EQ(test::CountOf(messages, line), 1u) << line;
  for (Browser* both : {&browser, &second}) EXPECT_TRUE(Shows(both->Get("/owa/inbox.html"), "/owa/inbox.html"));

  for (const std::string logoff : {"/CookieAuth.dll?Logoff", "/owa/settings.html"}) {
    SCOPED_TRACE(logoff);
    Browser& user = MakeBrowser("rotating" + logoff);
    ASSERT_TRUE(Shows(LogOnFully(user, kAlice), "/owa/"));
    const std::string first = Key(user);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(Shows(user.Get("/owa/inbox.html"), "/owa/inbox.html")) << i;
    const std::string rotated = Key(user);
    ASSERT_NE(rotated, first) << "the proxy did not rotate its cookie";
    EXPECT_EQ(SessionState(rotated), kValid);
    Reply answer = user.Get(logoff);
    MarkNotValid(user);
    EXPECT_EQ(Shows(answer, logoff), logoff == "/owa/settings.html") << answer.raw.substr(0, 400);
    EXPECT_FALSE(user.Cookie(kCookie).has_value());
    EXPECT_EQ(SessionState(rotated), kExpired);
    user.SetCookie(kCookie, rotated);
    EXPECT_FALSE(Leaks(user.Get("/owa/")));
  }
}

TEST_F(RoadTest, ExcludedUrlsPassOnlyWhereTheListenerAllowsThem) {
  ASSERT_NO_FATAL_FAILURE(
      Start({"Enabled = i4:1\nRpcOverHttpAllowed = i4:1\nActiveSyncAllowed = i4:1\n"
             "AutoDiscoverAllowed = i4:1\nCustomExclusionList = bstr:/owa/settings.html\\r\\n/Owa/Inbox.html\n",
             "Enabled = i4:1\n"}));
  AllowExcluded({"/rpc/", "/microsoft-server-activesync", "/autodiscover", "/owa/settings.html"});
  for (const std::string& listener : {kOwaListener, kPortalListener}) {
    SCOPED_TRACE(listener);
    const bool allowed = listener == kOwaListener;
    Browser& browser = AwaitingSession(allowed ? "allowed" : "not-allowed", listener);
    for (const std::string url :
         {"/rpc/rpcproxy.dll", "/Microsoft-Server-ActiveSync", "/Autodiscover/Autodiscover.xml", "/owa/settings.html"})
      EXPECT_EQ(Shows(browser.Get(url), Lower(url)), allowed) << url;
    // An entry with capitals never matches; traversal out of an excluded prefix is no excluded request.
    for (const char* url : {"/owa/inbox.html", "/rpc/../owa/", "/rpc/%2e%2e/owa/", "/rpc/..%5cowa/",
                            "/Microsoft-Server-ActiveSync/../owa/", "/owa/settings.html/../inbox.html"})
      EXPECT_FALSE(Leaks(browser.Get(url))) << url;
  }
}

}  // namespace
}  // namespace talverin::e2e
