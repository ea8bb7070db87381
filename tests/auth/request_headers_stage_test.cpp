// Request headers: gathering, the fallback refusal, the session state
// dispatch, the redirects to the login pages and the filter's own pages.
#include "flow_fixture.h"

namespace flowtest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class RequestHeadersStageTest : public FlowTest {};

TEST_F(RequestHeadersStageTest, RequestWithoutCookieGoesOnAnonymously) {
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/owa/%41"));
  EXPECT_TRUE(context.key.empty());
  EXPECT_EQ(nullptr, context.session);
  EXPECT_EQ("/owa/%41", context.url);
  EXPECT_THAT(log_.Text(), HasSubstr("URL: '/owa/A'"));
  EXPECT_THAT(log_.Text(), Not(HasSubstr("Is URL protected")));
}

TEST_F(RequestHeadersStageTest, AuthorizationWithoutPassedSecondFactorIsRefused) {
  host_.requestHeaders["Authorization:"] = "Negotiate abc";
  ConnectionContext anonymous;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(anonymous, "/owa/"));
  EXPECT_THAT(log_.Text(), HasSubstr("Authorization header detected which could mean fall back"));

  const std::string key = NewKey();
  MakeSession(key, SessionState::AwaitingPasscode);
  ConnectionContext awaiting;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(awaiting, "/owa/", CookieFor(key)));
}

TEST_F(RequestHeadersStageTest, AuthorizationAfterTheSecondFactorPasses) {
  host_.requestHeaders["Authorization:"] = "Basic abc";
  const std::string key = NewKey();
  MakeSession(key, SessionState::Valid);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/owa/", CookieFor(key)));
}

TEST_F(RequestHeadersStageTest, AuthorizationIsAllowedWhenFallbackIsNotForbidden) {
  SetFallbackForbidden(false);
  host_.requestHeaders["Authorization:"] = "Basic abc";
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/owa/"));
}

TEST_F(RequestHeadersStageTest, AuthorizationThatCannotBeReadInFullCountsAsPresent) {
  host_.alwaysTooSmall = true;
  host_.requestHeaders["Authorization:"] = "Negotiate " + std::string(5000, 'A');
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/owa/"));
  EXPECT_TRUE(context.authorizationHeaderPresent);
}

TEST_F(RequestHeadersStageTest, StaleCookieGoesBackToIsaTmgWithoutTheCookie) {
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/owa/", CookieFor("unknown" + NewKey())));
  const std::string redirect = WrittenRedirect();
  EXPECT_THAT(redirect, HasSubstr("Location: /owa/\r\n"));
  EXPECT_THAT(redirect, HasSubstr("Set-Cookie: cookieauth=; Domain=mail.example; path=/; expires="));
  EXPECT_TRUE(NotificationsDisabled(SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SEND_RESPONSE));
}

TEST_F(RequestHeadersStageTest, LookAlikeCookieIsRefused) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Valid);
  ConnectionContext inside;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(inside, "/owa/", "xcookieauth=" + key));
  ConnectionContext twice;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(twice, "/owa/", CookieFor(key) + "; " + CookieFor("other")));
  EXPECT_THAT(log_.Text(), HasSubstr("not as exactly one cookie"));
}

TEST_F(RequestHeadersStageTest, ProtectedUrlInAnotherCasePassesInInitial) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Initial, "/owa/");
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/OWA/", "a=1; " + CookieFor("\"" + key + "\"")));
  EXPECT_EQ(key, context.key);
  EXPECT_TRUE(context.urlIsProtected);
}

TEST_F(RequestHeadersStageTest, OtherUrlInInitialIsABypassAttempt) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Initial, "/owa/");
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/other/", CookieFor(key)));
  EXPECT_THAT(log_.Text(), HasSubstr("Bypassing detected!"));
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
}

// Before the passcode the site sees one plain read of the kept page and
// nothing that could change it; with no page kept, nothing at all.
TEST_F(RequestHeadersStageTest, OnlyAPlainReadOfTheKeptPagePassesInInitial) {
  struct Case {
    const char* method;
    bool body;
    const char* keptUrl;
  };
  for (const Case& c : {Case{"POST", false, "/owa/"}, Case{"PUT", false, "/owa/"}, Case{"GET", true, "/owa/"},
                        Case{"GET", false, ""}, Case{"HEAD", false, ""}}) {
    const std::string key = NewKey();
    MakeSession(key, SessionState::Initial, c.keptUrl);
    ConnectionContext context;
    context.requestMethod = c.method;
    context.requestHasBody = c.body;
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/owa/", CookieFor(key))) << c.method << " " << c.keptUrl;
    EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key)) << c.method << " " << c.keptUrl;
  }
  const std::string key = NewKey();
  MakeSession(key, SessionState::Initial, "/owa/");
  ConnectionContext head;
  head.requestMethod = "HEAD";
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(head, "/owa/", CookieFor(key)));
}

TEST_F(RequestHeadersStageTest, IsaTmgPagesPassInInitial) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Initial, "/owa/");
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/CookieAuth.dll?GetLogon", CookieFor(key)));
  EXPECT_THAT(log_.Text(), HasSubstr("Url '/cookieauth.dll?getlogon' is a part of the ISA/TMG web site"));
}

TEST_F(RequestHeadersStageTest, DotSegmentsOutOfIsaTmgPagesAreNotIsaTmgPages) {
  for (const char* url : {"/cookieauth.dll/../other/", "/cookieauth.dll%2f..%2fother/"}) {
    const std::string key = NewKey();
    MakeSession(key, SessionState::Initial, "/owa/");
    ConnectionContext context;
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, url, CookieFor(key))) << url;
    EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key)) << url;
  }
}

TEST_F(RequestHeadersStageTest, AwaitingPasscodeSendsEveryOtherRequestToTheLoginPage) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::AwaitingPasscode);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/owa/", CookieFor(key)));
  EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: /talverinauth.dll?logon\r\n"));
  EXPECT_THAT(WrittenRedirect(), Not(HasSubstr("Set-Cookie")));
  EXPECT_THAT(log_.Text(), HasSubstr("Incorrect URL has been detected."));
}

TEST_F(RequestHeadersStageTest, WrongPasscodeExpiresAndTheLogonPageStartsOver) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode);
  session->PutToken(filter_.AuthenticationProxy()->RequestPasscode("CONTOSO\\alice"));
  ConnectionContext context;
  context.formAction = FormAction::Login;
  context.passcode = std::string("000000x");
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
  EXPECT_THAT(log_.Text(), HasSubstr("Incorrect passcode was provided."));
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));

  ConnectionContext again;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(again, "/cookieauth.dll?logon", CookieFor(key)));
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
  ConnectionContext logonPage;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(logonPage, "/CookieAuth.dll?GetLogon?reason=0", CookieFor(key)));
  EXPECT_EQ(static_cast<int>(SessionState::Initial), StateOf(key));
  // Back in Initial without a password entered: the kept page is not read.
  EXPECT_EQ("", Find(key)->GetUrl());
  ConnectionContext keptPage;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(keptPage, "/owa/", CookieFor(key)));
  EXPECT_THAT(log_.Text(), HasSubstr("Bypassing detected!"));
}

TEST_F(RequestHeadersStageTest, RightPasscodeMakesTheSessionValidAndReturnsToItsPage) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode, "/owa/?ae=1");
  const std::string token = filter_.AuthenticationProxy()->RequestPasscode("CONTOSO\\alice");
  session->PutToken(token);
  ConnectionContext context;
  context.formAction = FormAction::Login;
  context.passcode = backend_test::PasscodeFromOutbox(backend_->Outbox(), backend_test::Widen(token));
  ASSERT_FALSE(context.passcode.empty());
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
  EXPECT_EQ(static_cast<int>(SessionState::Valid), StateOf(key));
  EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: /owa/?ae=1\r\n"));
}

TEST_F(RequestHeadersStageTest, RightPasscodeReplaysAHeldBackPasswordChangePage) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode, "");
  const std::string token = filter_.AuthenticationProxy()->RequestPasscode("CONTOSO\\alice");
  session->PutToken(token);
  session->PutFbaCookieDomain("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>change</html>");
  ConnectionContext context;
  context.formAction = FormAction::Login;
  context.passcode = backend_test::PasscodeFromOutbox(backend_->Outbox(), backend_test::Widen(token));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
  EXPECT_TRUE(NotificationsDisabled(0x0400EC40));
  ASSERT_FALSE(host_.writes.empty());
  EXPECT_EQ("<html>change</html>", host_.writes.back());
  EXPECT_THAT(log_.Text(), HasSubstr("Password change page has been sent to the user"));
}

TEST_F(RequestHeadersStageTest, CancelGoesBackToIsaTmgThroughTheStoredLogonPage) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode);
  session->PutPassword("https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=0");
  ConnectionContext context;
  context.formAction = FormAction::Cancel;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
  EXPECT_THAT(WrittenRedirect(),
              HasSubstr("Location: https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=4\r\n"));
  EXPECT_THAT(WrittenRedirect(), HasSubstr("Set-Cookie: cookieauth=; Domain=mail.example;"));
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
}

TEST_F(RequestHeadersStageTest, StoredLogonPageOfAnotherSiteIsNotFollowed) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode);
  session->PutPassword("https://evil.example/cookieauth.dll?reason=0");
  ConnectionContext context;
  context.formAction = FormAction::Cancel;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
  EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: /talverinauth.dll?action=talvlogin\r\n"));
  EXPECT_THAT(WrittenRedirect(), Not(HasSubstr("evil")));
}

TEST_F(RequestHeadersStageTest, StoredUrlThatIsNoLogonPageEndsTheRequestSilently) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode);
  session->PutPassword("/owa/?reason=0");
  ConnectionContext context;
  context.formAction = FormAction::Cancel;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
  EXPECT_THAT(WrittenRedirect(), IsEmpty());
}

TEST_F(RequestHeadersStageTest, ExpiredSessionLetsTheLogonPostGoOnUnchanged) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Expired);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/cookieauth.dll?logon", CookieFor(key)));
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
  EXPECT_THAT(log_.Text(), HasSubstr("The url '/cookieauth.dll?logon' has been allowed!"));
}

TEST_F(RequestHeadersStageTest, ExpiredSessionKeepsAKeptCookieAwayFromThePublishedSite) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Expired);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/owa/", CookieFor(key)));
  std::string redirect = WrittenRedirect();
  EXPECT_THAT(redirect, HasSubstr("Location: /owa/\r\n"));
  EXPECT_THAT(redirect, HasSubstr("Set-Cookie: cookieauth=; Domain=mail.example; path=/; expires="));
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
}

TEST_F(RequestHeadersStageTest, ExpiredSessionTreatsTraversalOutOfCookieauthAsThePublishedSite) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::Expired);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/cookieauth.dll/../owa/", CookieFor(key)));
  EXPECT_THAT(WrittenRedirect(), HasSubstr("Set-Cookie: cookieauth=;"));
}

TEST_F(RequestHeadersStageTest, ValidBypassSessionReportsOnceAndClearsTheFlag) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::Valid);
  session->PutBypassTalverinAuthentication(true);
  session->PutUsername("bob@contoso.example");
  session->PutCheckAuthenticationAllowedResult(4);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/owa/", CookieFor(key)));
  EXPECT_FALSE(Find(key)->GetBypassTalverinAuthentication());
  EXPECT_THAT(log_.Text(), HasSubstr("Password authentication status has been reported. Username: bob@contoso.example, "
                                     "Value: 1, CheckAuthenticationAllowed: 4"));
}

TEST_F(RequestHeadersStageTest, InvalidStateFinishesTheRequest) {
  const std::string key = NewKey();
  filter_.SessionStore()->CreateSession(key)->PutState(7);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/owa/", CookieFor(key)));
  EXPECT_THAT(log_.Text(), HasSubstr("Session has invalid state!"));
  EXPECT_TRUE(host_.writes.empty());
}

TEST_F(RequestHeadersStageTest, LoginPageIsServedInAnyCaseButNotWithMoreQuery) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::AwaitingPasscode);
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/TalverinAuth.dll?Logon", CookieFor(key)));
  ASSERT_FALSE(host_.writes.empty());
  EXPECT_THAT(host_.writes.back(), HasSubstr("talvlogin"));

  host_.writes.clear();
  host_.supportCalls.clear();
  ConnectionContext more;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(more, "/talverinauth.dll?logon&x", CookieFor(key)));
  EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: /talverinauth.dll?logon\r\n"));
}

TEST_F(RequestHeadersStageTest, PicturesAndStyleSheetsAreServed) {
  const std::string key = NewKey();
  MakeSession(key, SessionState::AwaitingPasscode);
  ConnectionContext picture;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED,
            Headers(picture, "/talverinauth.dll?action=getpic?login_bgr_top.gif", CookieFor(key)));
  ASSERT_FALSE(host_.writes.empty());
  EXPECT_EQ(0u, host_.writes.back().rfind("GIF", 0));
  ConnectionContext css;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(css, "/talverinauth.dll?action=getcss?common.css", CookieFor(key)));
  EXPECT_THAT(host_.supportCalls.back().headers, HasSubstr("text/css"));
}

TEST_F(RequestHeadersStageTest, StatusPollAnswersTheTokensStatusOrAnEmptyFrame) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode);
  ConnectionContext unknown;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(unknown, "/talverinauth.dll?action=status", CookieFor(key)));
  ASSERT_FALSE(host_.writes.empty());
  EXPECT_EQ("<html><body><B>SMS status: </B></body></html>", host_.writes.back());

  session->PutToken(filter_.AuthenticationProxy()->RequestPasscode("CONTOSO\\alice"));
  ConnectionContext known;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(known, "/TalverinAuth.dll?action=STATUS", CookieFor(key)));
  EXPECT_THAT(host_.writes.back(), HasSubstr("SMS status: Status:"));
}

}  // namespace
}  // namespace flowtest
