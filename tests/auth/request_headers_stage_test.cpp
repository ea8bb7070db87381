// Request headers: gathering, the fallback refusal, the session state
// dispatch, the redirects to the login pages and the filter's own pages.
#include "config/url_canonical.h"
#include "flow_fixture.h"

namespace flowtest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr int kNone = -1;  // no session behind the key; as an outcome: not checked
constexpr int kInitial = static_cast<int>(SessionState::Initial);
constexpr int kAwaiting = static_cast<int>(SessionState::AwaitingPasscode);
constexpr int kValid = static_cast<int>(SessionState::Valid);
constexpr int kExpired = static_cast<int>(SessionState::Expired);
constexpr char kClearedCookie[] = "Set-Cookie: cookieauth=; Domain=mail.example; path=/; expires=";

class RequestHeadersStageTest : public FlowTest {
 protected:
  std::string WithKey(std::string cookie, const std::string& key) {
    const std::size_t at = cookie.find("%K");
    return at == std::string::npos ? cookie : cookie.replace(at, 2, key);
  }
};

// What the filter does with a request of a session in each state; every
// spelling that could slip a request past the second factor is a row.
TEST_F(RequestHeadersStageTest, EachStateLetsThroughOnlyWhatItMay) {
  struct Row {
    const char* name;
    int state;
    const char* keptUrl;
    const char* method;
    bool body;
    const char* url;
    const char* cookie;  // %K: the session's key
    const char* authorization;
    DWORD status;
    int after;
    const char* log;       // a line the administrator reads
    const char* location;  // the redirect written, if one is
    bool clearsCookie;
  };
  constexpr DWORD kOn = SF_STATUS_REQ_NEXT_NOTIFICATION, kEnd = SF_STATUS_REQ_FINISHED;
  const char* const k = "cookieauth=%K";
  const Row rows[] = {
      {"AnonymousAuthorization", kNone, "", "GET", false, "/owa/", "", "Negotiate abc", kEnd, kNone,
       "Authorization header detected which could mean fall back", nullptr, false},
      {"AwaitingAuthorization", kAwaiting, "/owa/", "GET", false, "/owa/", k, "Negotiate abc", kEnd, kAwaiting, "",
       nullptr, false},
      {"ValidAuthorization", kValid, "/owa/", "GET", false, "/owa/", k, "Basic abc", kOn, kValid, "", nullptr, false},
      {"StaleKey", kNone, "", "GET", false, "/owa/", k, "", kEnd, kNone, "", "/owa/", true},
      {"LookAlikeCookieName", kValid, "/owa/", "GET", false, "/owa/", "xcookieauth=%K", "", kEnd, kValid,
       "not as exactly one cookie", nullptr, false},
      {"CookieTwice", kValid, "/owa/", "GET", false, "/owa/", "cookieauth=%K; cookieauth=other", "", kEnd, kValid,
       "not as exactly one cookie", nullptr, false},
      {"InitialKeptPageOtherCaseQuotedKey", kInitial, "/owa/", "GET", false, "/OWA/", "a=1; cookieauth=\"%K\"", "",
       kOn, kInitial, "", nullptr, false},
      {"InitialHeadOfKeptPage", kInitial, "/owa/", "HEAD", false, "/owa/", k, "", kOn, kInitial, "", nullptr, false},
      {"InitialOtherPage", kInitial, "/owa/", "GET", false, "/other/", k, "", kEnd, kExpired, "Bypassing detected!",
       nullptr, false},
      {"InitialPost", kInitial, "/owa/", "POST", false, "/owa/", k, "", kEnd, kExpired, "", nullptr, false},
      {"InitialPut", kInitial, "/owa/", "PUT", false, "/owa/", k, "", kEnd, kExpired, "", nullptr, false},
      {"InitialGetWithBody", kInitial, "/owa/", "GET", true, "/owa/", k, "", kEnd, kExpired, "", nullptr, false},
      {"InitialNothingKept", kInitial, "", "GET", false, "/owa/", k, "", kEnd, kExpired, "", nullptr, false},
      {"InitialHeadNothingKept", kInitial, "", "HEAD", false, "/owa/", k, "", kEnd, kExpired, "", nullptr, false},
      {"InitialIsaTmgPage", kInitial, "/owa/", "GET", false, "/CookieAuth.dll?GetLogon", k, "", kOn, kInitial,
       "Url '/cookieauth.dll?getlogon' is a part of the ISA/TMG web site", nullptr, false},
      {"InitialClimbOutOfIsaTmg", kInitial, "/owa/", "GET", false, "/cookieauth.dll/../other/", k, "", kEnd, kExpired,
       "", nullptr, false},
      {"InitialEncodedClimbOutOfIsaTmg", kInitial, "/owa/", "GET", false, "/cookieauth.dll%2f..%2fother/", k, "", kEnd,
       kExpired, "", nullptr, false},
      {"AwaitingOtherPage", kAwaiting, "/owa/", "GET", false, "/owa/", k, "", kEnd, kAwaiting,
       "Incorrect URL has been detected.", "/talverinauth.dll?logon", false},
      {"AwaitingLoginPageWithMoreQuery", kAwaiting, "/owa/", "GET", false, "/talverinauth.dll?logon&x", k, "", kEnd,
       kAwaiting, "", "/talverinauth.dll?logon", false},
      {"ExpiredLogonPost", kExpired, "/owa/", "GET", false, "/cookieauth.dll?logon", k, "", kOn, kExpired,
       "The url '/cookieauth.dll?logon' has been allowed!", nullptr, false},
      {"ExpiredPage", kExpired, "/owa/", "GET", false, "/owa/", k, "", kEnd, kExpired, "", "/owa/", true},
      {"ExpiredClimbOutOfIsaTmg", kExpired, "/owa/", "GET", false, "/cookieauth.dll/../owa/", k, "", kEnd, kExpired,
       "", nullptr, true},
      {"InvalidState", 7, "/owa/", "GET", false, "/owa/", k, "", kEnd, 7, "Session has invalid state!", nullptr,
       false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    host_.supportCalls.clear();
    host_.writes.clear();
    host_.requestHeaders.erase("Authorization:");
    if (*r.authorization) host_.requestHeaders["Authorization:"] = r.authorization;
    const std::string key = NewKey();
    if (r.state != kNone) MakeSession(key, SessionState::Initial, r.keptUrl)->PutState(r.state);
    ConnectionContext context;
    context.requestMethod = r.method;
    context.requestHasBody = r.body;
    const std::size_t logged = log_.Text().size();
    EXPECT_EQ(r.status, Headers(context, r.url, WithKey(r.cookie, key)));
    if (r.after != kNone) EXPECT_EQ(r.after, StateOf(key));
    if (r.after == 7) EXPECT_TRUE(host_.writes.empty());
    if (r.status == kOn && r.state != kNone) {
      // The quoted key is read without its quotes; the kept page in another case is the protected URL.
      EXPECT_EQ(key, context.key);
      if (r.state == kInitial) EXPECT_EQ(talverin::LowerAscii(r.url) == r.keptUrl, context.urlIsProtected);
    }
    if (*r.log) EXPECT_THAT(log_.Text().substr(logged), HasSubstr(r.log));
    if (r.location) EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: " + std::string(r.location) + "\r\n"));
    if (r.clearsCookie) EXPECT_THAT(WrittenRedirect(), HasSubstr(kClearedCookie));
    if (r.location && !r.clearsCookie) EXPECT_THAT(WrittenRedirect(), Not(HasSubstr("Set-Cookie")));
    if (r.state == kNone && r.clearsCookie) {
      EXPECT_TRUE(NotificationsDisabled(SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SEND_RESPONSE));
    }
  }
}

TEST_F(RequestHeadersStageTest, RequestWithoutCookieGoesOnAnonymously) {
  ConnectionContext context;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(context, "/owa/%41"));
  EXPECT_TRUE(context.key.empty());
  EXPECT_EQ(nullptr, context.session);
  EXPECT_EQ("/owa/%41", context.url);
  EXPECT_THAT(log_.Text(), HasSubstr("URL: '/owa/A'"));
  EXPECT_THAT(log_.Text(), Not(HasSubstr("Is URL protected")));
}

TEST_F(RequestHeadersStageTest, AuthorizationPassesWhenAllowedAndCountsWhenUnreadable) {
  SetFallbackForbidden(false);
  host_.requestHeaders["Authorization:"] = "Basic abc";
  ConnectionContext allowed;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(allowed, "/owa/"));

  SetFallbackForbidden(true);
  host_.alwaysTooSmall = true;
  host_.requestHeaders["Authorization:"] = "Negotiate " + std::string(5000, 'A');
  ConnectionContext unreadable;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(unreadable, "/owa/"));
  EXPECT_TRUE(unreadable.authorizationHeaderPresent);
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
  EXPECT_EQ(kExpired, StateOf(key));

  ConnectionContext again;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(again, "/cookieauth.dll?logon", CookieFor(key)));
  EXPECT_EQ(kExpired, StateOf(key));
  ConnectionContext logonPage;
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, Headers(logonPage, "/CookieAuth.dll?GetLogon?reason=0", CookieFor(key)));
  EXPECT_EQ(kInitial, StateOf(key));
  // Back in Initial without a password entered: the kept page is not read.
  EXPECT_EQ("", Find(key)->GetUrl());
  ConnectionContext keptPage;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(keptPage, "/owa/", CookieFor(key)));
  EXPECT_THAT(log_.Text(), HasSubstr("Bypassing detected!"));
}

TEST_F(RequestHeadersStageTest, RightPasscodeReturnsToTheKeptPageOrReplaysAHeldBackPasswordChangePage) {
  for (const std::string kept : {"/owa/?ae=1", ""}) {
    SCOPED_TRACE(kept);
    host_.supportCalls.clear();
    const std::string key = NewKey();
    std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode, kept);
    const std::string token = filter_.AuthenticationProxy()->RequestPasscode("CONTOSO\\alice");
    session->PutToken(token);
    // A password change page ISA/TMG answered is held back until the passcode.
    if (kept.empty()) session->PutFbaCookieDomain("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>chg</html>");
    ConnectionContext context;
    context.formAction = FormAction::Login;
    context.passcode = backend_test::PasscodeFromOutbox(backend_->Outbox(), backend_test::Widen(token));
    ASSERT_FALSE(context.passcode.empty());
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
    EXPECT_EQ(kValid, StateOf(key));
    if (!kept.empty()) {
      EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: /owa/?ae=1\r\n"));
    } else {
      EXPECT_TRUE(NotificationsDisabled(0x0400EC40));
      ASSERT_FALSE(host_.writes.empty());
      EXPECT_EQ("<html>chg</html>", host_.writes.back());
      EXPECT_THAT(log_.Text(), HasSubstr("Password change page has been sent to the user"));
    }
  }
}

// Cancel follows only a stored ISA/TMG logon page of this site, and ends the
// session there.
TEST_F(RequestHeadersStageTest, CancelGoesBackToIsaTmgThroughTheStoredLogonPage) {
  const std::pair<const char*, const char*> rows[] = {
      {"https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=0",
       "Location: https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=4\r\n"},
      {"https://evil.example/cookieauth.dll?reason=0", "Location: /talverinauth.dll?action=talvlogin\r\n"},
      {"/owa/?reason=0", nullptr}};  // no logon page: the request ends silently
  for (const auto& [stored, location] : rows) {
    SCOPED_TRACE(stored);
    host_.supportCalls.clear();
    const std::string key = NewKey();
    MakeSession(key, SessionState::AwaitingPasscode)->PutPassword(stored);
    ConnectionContext context;
    context.formAction = FormAction::Cancel;
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", CookieFor(key)));
    if (location == nullptr) {
      EXPECT_THAT(WrittenRedirect(), IsEmpty());
    } else {
      EXPECT_THAT(WrittenRedirect(), HasSubstr(location));
      EXPECT_THAT(WrittenRedirect(), Not(HasSubstr("evil")));
    }
    if (stored == rows[0].first) {
      EXPECT_THAT(WrittenRedirect(), HasSubstr("Set-Cookie: cookieauth=; Domain=mail.example;"));
      EXPECT_EQ(kExpired, StateOf(key));
    }
  }
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

TEST_F(RequestHeadersStageTest, OwnPagesAreServedInAnyCase) {
  const std::string key = NewKey();
  std::shared_ptr<Stub::Session> session = MakeSession(key, SessionState::AwaitingPasscode);
  auto serve = [&](const std::string& url) {
    ConnectionContext context;
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, url, CookieFor(key))) << url;
    return host_.writes.empty() ? std::string() : host_.writes.back();
  };
  EXPECT_THAT(serve("/TalverinAuth.dll?Logon"), HasSubstr("talvlogin"));
  EXPECT_EQ(0u, serve("/talverinauth.dll?action=getpic?login_bgr_top.gif").rfind("GIF", 0));
  serve("/talverinauth.dll?action=getcss?common.css");
  EXPECT_THAT(host_.supportCalls.back().headers, HasSubstr("text/css"));
  // The status poll answers the token's status, or an empty frame without one.
  EXPECT_EQ("<html><body><B>SMS status: </B></body></html>", serve("/talverinauth.dll?action=status"));
  session->PutToken(filter_.AuthenticationProxy()->RequestPasscode("CONTOSO\\alice"));
  EXPECT_THAT(serve("/TalverinAuth.dll?action=STATUS"), HasSubstr("SMS status: Status:"));
}

}  // namespace
}  // namespace flowtest
