// Request headers: gathering, the fallback refusal, the session state dispatch and the redirects to the login pages;
// the filter's own pages are walked by the end-to-end roads.
#include <algorithm>

#include "config/url_canonical.h"
#include "flow_fixture.h"

namespace flowtest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kClearedCookie[] = "Set-Cookie: cookieauth=; Domain=mail.example; path=/; expires=";

using RequestHeadersStageTest = FlowTest;

// What the filter does with a request of a session in each state; every spelling that could slip a request past the
// second factor is a row.
TEST_F(RequestHeadersStageTest, EachStateLetsThroughOnlyWhatItMay) {
  constexpr DWORD kOn = SF_STATUS_REQ_NEXT_NOTIFICATION, kEnd = SF_STATUS_REQ_FINISHED;
  const char* const k = "cookieauth=%K";
  struct Row {
    const char* name;
    int state;
    const char* request;  // method and URL
    DWORD status;
    int after;                       // the state afterwards; kNone: not checked
    const char* log = "";            // a line the administrator reads
    const char* location = nullptr;  // the redirect written, if one is
    bool clearsCookie = false;
    const char* cookie = "cookieauth=%K";  // %K: the session's key
    const char* authorization = "";
    const char* keptUrl = "/owa/";
  };
  const Row rows[] = {
      {"Anonymous", kNone, "GET /owa/%41", kOn, kNone, "URL: '/owa/A'", nullptr, false, ""},
      {"AnonymousAuthorization", kNone, "GET /owa/", kEnd, kNone,
       "Authorization header detected which could mean fall back", nullptr, false, "", "Negotiate abc"},
      {"AwaitingAuthorization", kAwaiting, "GET /owa/", kEnd, kAwaiting, "", nullptr, false, k, "Negotiate abc"},
      {"ValidAuthorization", kValid, "GET /owa/", kOn, kValid, "", nullptr, false, k, "Basic abc"},
      {"StaleKey", kNone, "GET /owa/", kEnd, kNone, "", "/owa/", true},
      {"LookAlikeCookieName", kValid, "GET /owa/", kEnd, kValid, "not as exactly one cookie", nullptr, false,
       "xcookieauth=%K"},
      {"CookieTwice", kValid, "GET /owa/", kEnd, kValid, "not as exactly one cookie", nullptr, false,
       "cookieauth=%K; cookieauth=other"},
      {"InitialKeptPageOtherCaseQuotedKey", kInitial, "GET /OWA/", kOn, kInitial, "", nullptr, false,
       "a=1; cookieauth=\"%K\""},
      {"InitialHeadOfKeptPage", kInitial, "HEAD /owa/", kOn, kInitial},
      {"InitialOtherPage", kInitial, "GET /other/", kEnd, kExpired, "Bypassing detected!"},
      {"InitialNothingKept", kInitial, "GET /owa/", kEnd, kExpired, "", nullptr, false, k, "", ""},
      {"InitialIsaTmgPage", kInitial, "GET /CookieAuth.dll?GetLogon", kOn, kInitial,
       "Url '/cookieauth.dll?getlogon' is a part of the ISA/TMG web site"},
      {"InitialClimbOutOfIsaTmg", kInitial, "GET /cookieauth.dll/../other/", kEnd, kExpired},
      {"InitialEncodedClimbOutOfIsaTmg", kInitial, "GET /cookieauth.dll%2f..%2fother/", kEnd, kExpired},
      {"AwaitingOtherPage", kAwaiting, "GET /owa/", kEnd, kAwaiting, "Incorrect URL has been detected.",
       "/talverinauth.dll?logon"},
      {"AwaitingLoginPageWithMoreQuery", kAwaiting, "GET /talverinauth.dll?logon&x", kEnd, kAwaiting, "",
       "/talverinauth.dll?logon"},
      {"ExpiredLogonPost", kExpired, "GET /cookieauth.dll?logon", kOn, kExpired,
       "The url '/cookieauth.dll?logon' has been allowed!"},
      {"ExpiredPage", kExpired, "GET /owa/", kEnd, kExpired, "", "/owa/", true},
      {"ExpiredClimbOutOfIsaTmg", kExpired, "GET /cookieauth.dll/../owa/", kEnd, kExpired, "", nullptr, true},
      {"InvalidState", 7, "GET /owa/", kEnd, 7, "Session has invalid state!"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    host_.supportCalls.clear();
    host_.writes.clear();
    host_.requestHeaders.erase("Authorization:");
    if (*r.authorization) host_.requestHeaders["Authorization:"] = r.authorization;
    const std::string key = NewKey();
    if (r.state != kNone) MakeSession(key, SessionState::Initial, r.keptUrl)->PutState(r.state);
    const std::string request = r.request;
    const std::string url = request.substr(request.find(' ') + 1);
    ConnectionContext context;
    context.requestMethod = request.substr(0, request.find(' '));
    const std::size_t logged = log_.Text().size();
    std::string cookie = r.cookie;
    if (cookie.find("%K") != std::string::npos) cookie.replace(cookie.find("%K"), 2, key);
    EXPECT_EQ(r.status, Headers(context, url, cookie));
    if (r.after != kNone) EXPECT_EQ(r.after, StateOf(key));
    if (r.after == 7) EXPECT_TRUE(host_.writes.empty());
    if (r.status == kOn && r.state != kNone) {
      // The quoted key is read without its quotes; the kept page in another case is the protected URL.
      EXPECT_EQ(key, context.key);
      if (r.state == kInitial) EXPECT_EQ(talverin::LowerAscii(url) == r.keptUrl, context.urlIsProtected);
    }
    if (*r.log) EXPECT_THAT(log_.Text().substr(logged), HasSubstr(r.log));
    if (r.location) EXPECT_THAT(WrittenRedirect(), HasSubstr("Location: " + std::string(r.location) + "\r\n"));
    if (r.clearsCookie) EXPECT_THAT(WrittenRedirect(), HasSubstr(kClearedCookie));
    if (r.location && !r.clearsCookie) EXPECT_THAT(WrittenRedirect(), Not(HasSubstr("Set-Cookie")));
    if (r.state == kNone && r.clearsCookie) {
      const DWORD mask = SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SEND_RESPONSE;
      EXPECT_TRUE(std::any_of(host_.supportCalls.begin(), host_.supportCalls.end(), [mask](const auto& call) {
        return call.request == SF_REQ_DISABLE_NOTIFICATIONS && call.flags == mask;
      }));
    }
  }
}

// A header the host never hands over whole still counts as present.
TEST_F(RequestHeadersStageTest, UnreadableAuthorizationCountsAsPresent) {
  host_.alwaysTooSmall = true;
  host_.requestHeaders["Authorization:"] = "Negotiate " + std::string(5000, 'A');
  ConnectionContext unreadable;
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(unreadable, "/owa/"));
  EXPECT_TRUE(unreadable.authorizationHeaderPresent);
}

// Cancel follows only a stored ISA/TMG logon page of this site, and ends the session there.
TEST_F(RequestHeadersStageTest, CancelGoesBackToIsaTmgThroughTheStoredLogonPage) {
  const std::pair<const char*, const char*> rows[] = {
      {"https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=0",
       "Location: https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=4\r\n"},
      {"https://evil.example/cookieauth.dll?reason=0", "Location: /talverinauth.dll?action=talvlogin\r\n"},
      {"cookieauth.dll?GetLogon", "Location: /talverinauth.dll?action=talvlogin\r\n"},  // a relative name is no URL
      {"/owa/?reason=0", nullptr}};  // no logon page: the request ends silently
  for (const auto& [stored, location] : rows) {
    SCOPED_TRACE(stored);
    host_.supportCalls.clear();
    const std::string key = NewKey();
    MakeSession(key, SessionState::AwaitingPasscode)->PutPassword(stored);
    ConnectionContext context;
    context.formAction = FormAction::Cancel;
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, Headers(context, "/talverinauth.dll?action=talvlogin", "cookieauth=" + key));
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

}  // namespace
}  // namespace flowtest
