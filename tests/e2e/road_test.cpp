// The logon road as users walk it: password, passcode, the page; wrong
// passcodes, Cancel, bypass and refused users, password changes, cookie
// rotation and logoff, excluded URLs, Authorization fallback and a back end
// that goes away and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "filter/log_lines.h"
#include "road_fixture.h"

namespace talverin::e2e {
namespace {

constexpr long kInitial = 0, kAwaitingPasscode = 1, kValid = 2, kExpired = 3;

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// The witness itself, on a listener the filter does not protect: the site's
// pages reach a browser that never passed a second factor, and only the
// scenario's own record can tell that apart from a Valid session.
TEST_F(RoadTest, WitnessReportsSiteBytesOutsideAValidSession) {
  RoadConfig config;
  config.ownSet = "Enabled = i4:0\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  Browser& browser = MakeBrowser("unprotected");
  Reply page = PasswordStep(browser, kAlice, "/owa/inbox.html");
  ASSERT_TRUE(host::CarriesSitePage(page.raw, "/owa/inbox.html")) << page.raw;
  // The first request for the URL logged on for is the one a filter may let
  // reach the site (it replaces the answer): only its bytes are reported.
  std::vector<std::string> findings = RoadFindings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_TRUE(StartsWith(findings[0], "site bytes reached unprotected for /owa/inbox.html")) << findings[0];

  browser.Get("/owa/settings.html");
  browser.Get("/owa/inbox.html");
  findings = RoadFindings();
  ASSERT_EQ(findings.size(), 5u);
  EXPECT_TRUE(StartsWith(findings[0], "the site received GET /owa/settings.html from unprotected")) << findings[0];
  EXPECT_TRUE(StartsWith(findings[1], "the site received GET /owa/inbox.html from unprotected")) << findings[1];

  // Public pages, and excluded URLs the scenario allows, are no finding.
  browser.Get("/public/info.html");
  AllowExcluded({"/owa/"});
  EXPECT_TRUE(RoadFindings().empty());
  AllowExcluded({"/rpc/"});
  browser.Get("/rpc/../owa/");
  EXPECT_EQ(RoadFindings().size(), 7u) << "a traversal out of an allowed prefix is no excluded URL";
  AllowExcluded({});

  // Nothing after the second factor is a finding.
  MarkValid(browser);
  EXPECT_TRUE(host::CarriesSitePage(browser.Get("/owa/").raw, "/owa/"));
  EXPECT_EQ(RoadFindings().size(), 7u);
  checkInvariant_ = false;
}

TEST_F(RoadTest, PasswordThenPasscodeReachesTheRequestedPage) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& browser = MakeBrowser("alice");
  Reply start = browser.Get("/owa/inbox.html");
  ASSERT_EQ(start.status, 302);
  EXPECT_NE(start.Header("Location").find("/CookieAuth.dll?GetLogon"), std::string::npos) << start.raw;

  Reply login = PasswordStep(browser, kAlice, "/owa/inbox.html");
  ASSERT_EQ(Lower(login.url), kOwnLogin) << kFlowMissing;
  ASSERT_EQ(login.status, 200);
  EXPECT_FALSE(Leaks(login));
  const std::string key = browser.Cookie(kCookie).value_or("");
  ASSERT_FALSE(key.empty());
  EXPECT_EQ(SessionState(key), kAwaitingPasscode);
  // The page asked for reached the site once, as the password step's last
  // request, and its answer was replaced.
  ASSERT_EQ(Site().Received().size(), 1u);
  EXPECT_EQ(Site().Received()[0].canonicalPath, "/owa/inbox.html");
  EXPECT_FALSE(host::CarriesSitePage(browser.Transcript(), "/owa/inbox.html"));

  // The login page's own resources and the status poll, all answered by the
  // filter from the back end.
  EXPECT_NE(login.body.find("passcode"), std::string::npos);
  for (const char* picture : {"login_img.jpg", "login_bgr_top.gif", "login_bgr_body.gif", "dialog_box_fade.gif"}) {
    Reply reply = browser.Get(std::string("/talverinauth.dll?action=getpic?") + picture);
    EXPECT_EQ(reply.status, 200) << picture;
    EXPECT_EQ(reply.Header("Content-Type"), "image/gif") << picture;
    EXPECT_GT(reply.body.size(), 16u) << picture;
  }
  for (const char* sheet : {"common.css", "talverin.css"}) {
    Reply reply = browser.Get(std::string("/talverinauth.dll?action=getcss?") + sheet);
    EXPECT_EQ(reply.status, 200) << sheet;
    EXPECT_NE(reply.Header("Content-Type").find("text/css"), std::string::npos) << sheet;
  }
  Reply status = browser.Get("/talverinauth.dll?action=status");
  EXPECT_EQ(status.status, 200);
  EXPECT_NE(status.body.find("SMS status: Status:"), std::string::npos) << status.body;
  EXPECT_EQ(Site().Received().size(), 1u) << "the filter's own pages must not reach the site";

  const std::string passcode = LastPasscode(kAlice);
  ASSERT_EQ(passcode.size(), 6u) << Outbox();
  EXPECT_EQ(browser.Transcript().find(passcode), std::string::npos) << "the passcode was shown to the browser";
  Reply accepted = PostPasscode(browser, passcode);
  ASSERT_EQ(accepted.status, 302) << accepted.raw;
  EXPECT_EQ(host::PathOfLocation(accepted.Header("Location")), "/owa/inbox.html");
  EXPECT_EQ(SessionState(key), kValid);
  MarkValid(browser);
  Reply page = browser.FollowAll(accepted);
  EXPECT_EQ(page.status, 200);
  EXPECT_TRUE(host::CarriesSitePage(page.raw, "/owa/inbox.html"));
  EXPECT_EQ(Site().Received().back().user, kAlice.name);
}

TEST_F(RoadTest, WrongPasscodeAndCancelExpireTheSessionAndAFreshLogonWorks) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  for (const bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "Cancel" : "wrong passcode");
    Browser& browser = MakeBrowser(cancel ? "canceller" : "mistyper");
    Reply login = PasswordStep(browser, kAlice);
    ASSERT_EQ(Lower(login.url), kOwnLogin);
    const std::string key = browser.Cookie(kCookie).value_or("");
    const std::string right = LastPasscode(kAlice);
    const std::string wrong = right == "000000" ? "111111" : "000000";
    Reply refused = cancel ? PostPasscode(browser, "", "Cancel") : PostPasscode(browser, wrong);
    ASSERT_EQ(refused.status, 302) << refused.raw;
    EXPECT_NE(Lower(refused.Header("Location")).find("/cookieauth.dll?getlogon"), std::string::npos)
        << refused.Header("Location");
    EXPECT_NE(refused.Header("Location").find("reason=4"), std::string::npos) << refused.Header("Location");
    EXPECT_FALSE(browser.Cookie(kCookie).has_value()) << "the proxy's cookie was not removed";
    EXPECT_EQ(SessionState(key), kExpired);
    EXPECT_FALSE(Leaks(refused));

    // The right passcode after the refusal no longer helps, and an Expired
    // session's cookie (still good at the proxy, which was never told) must
    // not carry the post on to the site.
    browser.SetCookie(kCookie, key);
    Reply late = browser.FollowAll(PostPasscode(browser, right));
    EXPECT_FALSE(Leaks(late));
    browser.ClearCookies();

    Reply page = LogOnFully(browser, kAlice);
    EXPECT_TRUE(host::CarriesSitePage(page.raw, "/owa/")) << page.raw;
  }
}

TEST_F(RoadTest, BypassUserReachesThePageAfterThePasswordAndIsReportedOnce) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("bob");
  browser.Visit("/owa/");
  Reply redirect = PostLogon(browser, kBob);
  ASSERT_EQ(redirect.status, 302);
  // The back end granted the bypass when the proxy's cookie was bound.
  MarkValid(browser);
  Reply page = browser.FollowAll(redirect);
  EXPECT_TRUE(host::CarriesSitePage(page.raw, "/owa/")) << page.raw;
  EXPECT_EQ(SessionState(browser.Cookie(kCookie).value_or("")), kValid);
  EXPECT_TRUE(host::CarriesSitePage(browser.Get("/owa/inbox.html").raw, "/owa/inbox.html"));
  EXPECT_EQ(Occurrences(Audit(), "ReportPasswordAuthenticationStatus user=CONTOSO\\bob"), 1u) << Audit();
  EXPECT_EQ(Outbox().find("user=CONTOSO\\bob"), std::string::npos) << "no passcode is texted to a bypass user";
}

TEST_F(RoadTest, RefusedUsersNeverGetTheirCredentialsToTheProxy) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
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
  }
  EXPECT_TRUE(Site().Received().empty());
  for (const char* name : {"zed", "carol", "dave"}) {
    EXPECT_EQ(Outbox().find(std::string("user=CONTOSO\\") + name), std::string::npos) << name;
  }
}

TEST_F(RoadTest, PasswordChangePageIsReplayedAfterThePasscode) {
  RoadConfig config;
  config.emulation = "[user CONTOSO\\erin]\nmust-change-password = yes\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("erin");
  browser.Visit("/owa/");
  Reply held = browser.FollowAll(PostLogon(browser, kErin));
  EXPECT_EQ(held.body.find("ChangePwd"), std::string::npos) << "the change page came before the passcode";
  ASSERT_EQ(Lower(held.url), kOwnLogin) << held.raw;
  const std::string passcode = LastPasscode(kErin);
  ASSERT_EQ(passcode.size(), 6u) << Outbox();
  Reply replayed = PostPasscode(browser, passcode);
  EXPECT_EQ(replayed.status, 200) << replayed.raw;
  EXPECT_NE(replayed.body.find("/CookieAuth.dll?ChangePwd"), std::string::npos) << replayed.raw;
  EXPECT_TRUE(Site().Received().empty());
}

TEST_F(RoadTest, CookieRotationKeepsTheSessionValidAndLogoffExpiresIt) {
  RoadConfig config;
  config.emulation = "[listener {AAAAAAAA-0000-0000-0000-000000000001}]\nrotate-after = 3\ngrace = 1\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("rotating");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(browser, kAlice).raw, "/owa/"));
  const std::string first = browser.Cookie(kCookie).value_or("");
  for (int i = 0; i < 8; ++i) {
    Reply page = browser.Get("/owa/inbox.html");
    EXPECT_TRUE(host::CarriesSitePage(page.raw, "/owa/inbox.html")) << "request " << i << "\n" << page.raw;
  }
  const std::string rotated = browser.Cookie(kCookie).value_or("");
  ASSERT_NE(rotated, first) << "the proxy did not rotate its cookie";
  EXPECT_EQ(SessionState(rotated), kValid);

  // Two connections of one user rotate at the same moment.
  Browser& second = MakeBrowser("rotating-twin");
  second.SetCookie(kCookie, rotated);
  MarkValid(second);
  Reply a, b;
  std::thread other([&] { b = second.Get("/owa/settings.html"); });
  a = browser.Get("/owa/settings.html");
  other.join();
  // Both connections are one user's, with one cookie jar: a cookie either
  // of them is given is the user's from then on.
  std::string jar = rotated;
  auto share = [&] {
    const std::string before = jar;
    for (Browser* twin : {&browser, &second}) {
      const std::string now = twin->Cookie(kCookie).value_or("");
      if (now != before) jar = now;
    }
    browser.SetCookie(kCookie, jar);
    second.SetCookie(kCookie, jar);
  };
  share();
  EXPECT_EQ(SessionState(jar), kValid);
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(host::CarriesSitePage(browser.Get("/owa/").raw, "/owa/"));
    share();
    Reply twin = second.Get("/owa/");
    share();
    EXPECT_TRUE(host::CarriesSitePage(twin.raw, "/owa/")) << twin.raw.substr(0, 400);
  }

  const std::string before = browser.Cookie(kCookie).value_or("");
  Reply logoff = browser.Get("/CookieAuth.dll?Logoff");
  MarkNotValid(browser);
  EXPECT_FALSE(browser.Cookie(kCookie).has_value());
  EXPECT_EQ(SessionState(before), kExpired);
  browser.SetCookie(kCookie, before);
  EXPECT_FALSE(Leaks(browser.Get("/owa/")));
}

// Two connections of one user present the proxy's new cookie at once: the
// session of the new key is made once and both are bound to it. The back end
// counts no CreateSession calls; the filter's trace tells them.
TEST_F(RoadTest, TwoConnectionsRenewingToOneNewKeyMakeOneSession) {
  RoadConfig config;
  config.emulation =
      "[listener {AAAAAAAA-0000-0000-0000-000000000001}]\nrotate-after = 4\ngrace = 3\nrepeat-successor = yes\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("one");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(browser, kAlice).raw, "/owa/"));
  const std::string old = browser.Cookie(kCookie).value_or("");
  // One request short of the rotation.
  while (Server().Sessions().Find(old) && Server().Sessions().Find(old)->requests < 3) browser.Get("/owa/");
  Browser& second = MakeBrowser("two");
  second.SetCookie(kCookie, old);
  MarkValid(second);

  Reply a, b;
  std::thread other([&] { b = second.Get("/owa/settings.html"); });
  a = browser.Get("/owa/settings.html");
  other.join();
  EXPECT_TRUE(host::CarriesSitePage(a.raw, "/owa/settings.html"));
  EXPECT_TRUE(host::CarriesSitePage(b.raw, "/owa/settings.html"));
  const std::string renewed = browser.Cookie(kCookie).value_or("");
  ASSERT_NE(renewed, old);
  ASSERT_EQ(second.Cookie(kCookie).value_or(""), renewed) << "both connections were given the new key";
  EXPECT_EQ(SessionState(renewed), kValid);

  const std::vector<std::string> messages = LogMessages();
  EXPECT_EQ(test::CountOf(messages, "RenewExistingSession: Session(" + renewed +
                                        ") has NOT already been created. Creating and moving the state now..."),
            1u);
  EXPECT_EQ(test::CountOf(messages, "Session(" + renewed + ") has been created"), 1u);
  EXPECT_EQ(test::CountOf(messages, "Session(" + renewed +
                                        ") has already been created. Updating connection context and leaving the "
                                        "locked code now"),
            1u);
  for (Browser* twin : {&browser, &second}) {
    EXPECT_TRUE(host::CarriesSitePage(twin->Get("/owa/inbox.html").raw, "/owa/inbox.html")) << twin->Name();
  }
}

TEST_F(RoadTest, ExcludedUrlsPassOnlyWhereTheListenerAllowsThem) {
  RoadConfig config;
  config.ownSet =
      "Enabled = i4:1\nRpcOverHttpAllowed = i4:1\nActiveSyncAllowed = i4:1\nAutoDiscoverAllowed = i4:1\n"
      "CustomExclusionList = bstr:/owa/settings.html\\r\\n/Owa/Inbox.html\n";
  config.portalSet = "Enabled = i4:1\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  ASSERT_FLOW_PRESENT();
  AllowExcluded({"/rpc/", "/microsoft-server-activesync", "/autodiscover", "/owa/settings.html"});
  const std::vector<std::pair<std::string, std::string>> excluded = {
      {"/rpc/rpcproxy.dll", "/rpc/rpcproxy.dll"},
      {"/Microsoft-Server-ActiveSync", "/microsoft-server-activesync"},
      {"/Autodiscover/Autodiscover.xml", "/autodiscover/autodiscover.xml"},
      {"/owa/settings.html", "/owa/settings.html"}};
  for (const std::string& listener : {kOwaListener, kPortalListener}) {
    SCOPED_TRACE(listener);
    const bool allowed = listener == kOwaListener;
    Browser& browser = MakeBrowser(allowed ? "allowed" : "not-allowed", listener);
    Reply login = PasswordStep(browser, kAlice);
    ASSERT_EQ(Lower(login.url), kOwnLogin);
    for (const auto& [url, path] : excluded) {
      EXPECT_EQ(host::CarriesSitePage(browser.Get(url).raw, path), allowed) << url;
    }
    // An entry with capitals never matches; traversal out of an excluded
    // prefix is no excluded request.
    for (const char* url : {"/owa/inbox.html", "/rpc/../owa/", "/rpc/%2e%2e/owa/", "/rpc/..%5cowa/",
                            "/Microsoft-Server-ActiveSync/../owa/", "/owa/settings.html/../inbox.html"}) {
      EXPECT_FALSE(Leaks(browser.Get(url))) << url;
    }
  }
}

TEST_F(RoadTest, AuthorizationFallbackIsRefusedUntilTheSecondFactorHasPassed) {
  RoadConfig config;
  config.portalSet = "Enabled = i4:1\n";
  config.emulation = "[listener {BBBBBBBB-0000-0000-0000-000000000002}]\nfallback = negotiate\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  ASSERT_FLOW_PRESENT();
  const std::string shortToken = "Negotiate YIIBhwYGKwYBBQUCoIIBezCCAXegMDAuBgkqhkiC9xIBAgIGCSqGSIb3EgECAgYKKwYBBAGCNwICHg";
  const std::string longToken = "Negotiate " + std::string(8192, 'Q');
  for (const std::string& authorization : {shortToken, longToken, std::string("Basic Q09OVE9TT1xhbGljZTpTZWNyZXQx")}) {
    SCOPED_TRACE(authorization.size());
    Browser& anonymous = MakeBrowser("fallback-" + std::to_string(authorization.size()), kPortalListener);
    Reply reply = anonymous.Get("/owa/", {{"Authorization", authorization}});
    EXPECT_FALSE(Leaks(reply));
    EXPECT_NE(reply.status, 200);
  }
  // The proxy's 401 challenge for an anonymous request is not shown.
  Browser& challenged = MakeBrowser("challenged", kPortalListener);
  Reply challenge = challenged.Get("/owa/");
  EXPECT_NE(challenge.status, 401) << challenge.raw;
  EXPECT_TRUE(challenge.Header("WWW-Authenticate").empty()) << challenge.raw;

  // Awaiting the passcode is not enough either.
  Browser& waiting = MakeBrowser("waiting");
  ASSERT_EQ(Lower(PasswordStep(waiting, kAlice).url), kOwnLogin);
  EXPECT_FALSE(Leaks(waiting.Get("/owa/", {{"Authorization", shortToken}})));

  // A Valid session may carry either header and sees the site's own 401.
  Browser& valid = MakeBrowser("valid");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(valid, kMallory).raw, "/owa/"));
  for (const std::string& authorization : {shortToken, longToken}) {
    EXPECT_TRUE(host::CarriesSitePage(valid.Get("/owa/inbox.html", {{"Authorization", authorization}}).raw,
                                      "/owa/inbox.html"));
  }
  Site().AnswerWith("/owa/settings.html", 401, "Unauthorized");
  Reply unauthorized = valid.Get("/owa/settings.html");
  EXPECT_EQ(unauthorized.status, 401) << unauthorized.raw;
}

// The back end is unreachable: every notification ends its request and no
// request reaches the site; once it is back, the next request connects.
TEST_F(RoadTest, BackEndMissingFinishesEveryRequestUntilItIsBack) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  Browser& valid = MakeBrowser("before");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(valid, kAlice).raw, "/owa/"));
  const size_t reached = Site().Received().size();

  // The filter's ProgID points nowhere.
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::Nowhere));
  // The filter keeps the connection it has until a call fails: every member
  // answers as a vanished server does (RPC server unavailable).
  for (const wchar_t* member : {L"Server", L"Store", L"Proxy", L"GetSession", L"CreateSession", L"State", L"Url",
                                L"Token", L"CheckAuthenticationAllowed", L"RequestPasscode", L"Authenticate",
                                L"GetStatus", L"RenderHtmlPage", L"RenderPicture"}) {
    ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"InjectFault", {member, L"hresult", L"0x800706BA"}).hr);
  }
  MarkNotValid(valid);
  Browser& fresh = MakeBrowser("during");
  for (Browser* browser : {&valid, &fresh}) {
    for (const char* url : {"/owa/", "/owa/inbox.html", "/CookieAuth.dll?GetLogon?curl=Z2F&reason=0&formdir=1"}) {
      Reply reply = browser->Get(url);
      EXPECT_FALSE(Leaks(reply)) << url;
      EXPECT_NE(reply.end, host::RequestEnd::Answered) << url << "\n" << reply.raw;
    }
  }
  EXPECT_EQ(Site().Received().size(), reached);

  backend_test::Method(Backend(), L"ClearFaults");
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));
  MarkValid(valid);
  EXPECT_TRUE(host::CarriesSitePage(valid.Get("/owa/").raw, "/owa/")) << "the service is back";
  Browser& after = MakeBrowser("after");
  EXPECT_TRUE(host::CarriesSitePage(LogOnFully(after, kMallory).raw, "/owa/"));
}

// The same with the back end as a server process of its own, ended under the
// filter's feet and started again by COM.
TEST_F(RoadTest, LocalServerEndedAndStartedAgain) {
  ASSERT_TRUE(backend_test::LocalServerStartsAfresh());
  ASSERT_NO_FATAL_FAILURE(Start());
  // The local server reads its settings from the registry; the in-process
  // back end keeps its own.
  UniqueHkey options;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TALVERIN\\TestBackend", 0, nullptr, 0,
                                           KEY_WRITE, nullptr, options.Put(), nullptr));
  const std::string dataDir = Install().dir() + "\\";
  for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
           {"UsersFile", UsersPath()}, {"DataDir", dataDir}}) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(options.Get(), name.c_str(), 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(value.c_str()),
                                            static_cast<DWORD>(value.size() + 1)));
  }
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::Local));
  // Ends the server process the filter uses and waits until it is gone.
  auto shutdown = [] {
    ComPtr<IDispatch> local = backend_test::Create(backend_test::kLocalProgId);
    if (!local) return;
    const DWORD pid = static_cast<DWORD>(backend_test::Method(local.Get(), L"ProcessId").Int());
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    backend_test::Method(local.Get(), L"Shutdown");
    if (process.IsValid()) WaitForSingleObject(process.Get(), 10000);
  };
  struct Cleanup {
    std::function<void()> run;
    ~Cleanup() { run(); }
  } cleanup{[&] {
    shutdown();
    backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TALVERIN\\TestBackend", KEY_WOW64_64KEY, 0);
  }};
  ASSERT_FLOW_PRESENT();

  auto passcodeOf = [&](const RoadUser& user) {
    const std::string outbox = test::ReadFileText(dataDir + "outbox.txt");
    const std::string marker = std::string(" user=") + user.name + " passcode=";
    const size_t at = outbox.rfind(marker);
    return at == std::string::npos ? std::string() : outbox.substr(at + marker.size(), 6);
  };
  Browser& browser = MakeBrowser("local");
  ASSERT_EQ(Lower(PasswordStep(browser, kAlice).url), kOwnLogin);
  Reply accepted = PostPasscode(browser, passcodeOf(kAlice));
  ASSERT_EQ(accepted.status, 302) << accepted.raw;
  MarkValid(browser);
  Reply page = browser.FollowAll(accepted);
  ASSERT_TRUE(host::CarriesSitePage(page.raw, "/owa/")) << page.raw;
  const size_t reached = Site().Received().size();

  shutdown();
  MarkNotValid(browser);
  for (int i = 0; i < 3; ++i) {
    Reply reply = browser.Get("/owa/inbox.html");
    EXPECT_FALSE(Leaks(reply));
  }
  EXPECT_EQ(Site().Received().size(), reached);
  const std::vector<std::string> messages = LogMessages();
  EXPECT_TRUE(std::any_of(messages.begin(), messages.end(),
                          [](const std::string& m) { return StartsWith(m, "COM error occurred, error: 0x"); }))
      << "the lost server was not noticed as a COM failure";

  // COM starts a new server for the next connection; the sessions went with
  // the old one, so the user logs on again.
  browser.ClearCookies();
  ASSERT_EQ(Lower(PasswordStep(browser, kAlice).url), kOwnLogin);
  accepted = PostPasscode(browser, passcodeOf(kAlice));
  ASSERT_EQ(accepted.status, 302) << accepted.raw;
  MarkValid(browser);
  page = browser.FollowAll(accepted);
  EXPECT_TRUE(host::CarriesSitePage(page.raw, "/owa/")) << page.raw;
}

}  // namespace
}  // namespace talverin::e2e
