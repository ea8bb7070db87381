// The response stage: holding ISA/TMG's answers back, binding the session to the cookie they set, the authentication
// outcome and the final gate.
#include <vector>

#include "config/url_canonical.h"
#include "flow_fixture.h"

namespace flowtest {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::string Answer(const std::string& statusLine, const std::string& headers, const std::string& body = std::string()) {
  return "HTTP/1.1 " + statusLine + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

class ResponseStageTest : public FlowTest {
 protected:
  void TearDown() override { backend_test::Method(backend_->master(), L"ClearFaults"); }

  // The request side as the request stages leave it for a request that went on; with a key, the session of a user the
  // back end knows, as the logon left it.
  void Requested(ConnectionContext& context, const std::string& url, const std::string& key = std::string(),
                 int state = kNone, const std::string& keptUrl = "/owa/") {
    if (state != kNone) {
      MakeSession(key, static_cast<SessionState>(state), keptUrl)->PutUsername("CONTOSO\\alice");
      Find(key)->PutCheckAuthenticationAllowedResult(5);
    }
    context.url = url;
    context.urlLower = talverin::LowerAscii(url);
    const std::optional<std::string> canonical = talverin::CanonicalizeUrl(url);
    context.urlCanonicalValid = canonical.has_value();
    context.urlCanonical = canonical.value_or(std::string());
    context.key = key;
    context.authCookiePresent = !key.empty();
    if (!key.empty()) context.session = Find(key);
    if (context.session) context.urlIsProtected = context.urlLower == talverin::LowerAscii(context.session->GetUrl());
  }
};

// What of an answer reaches the browser, by the state of the request's session: nothing of a published page before the
// second factor.
TEST_F(ResponseStageTest, AnswersPassOnlyAsTheSessionAllows) {
  struct Row {
    const char* name;
    int state;  // kNone: no session
    const char* url;
    std::string answer;
    DWORD status;
    const char* presented;  // "=": the answer as it came, "": nothing, else a part of what is
    std::vector<const char*> logs = {};
    const char* keptUrl = "/owa/";
    const char* referer = "";
  };
  const DWORD kRead = SF_STATUS_REQ_READ_NEXT, kEnd = SF_STATUS_REQ_FINISHED, kOn = SF_STATUS_REQ_NEXT_NOTIFICATION;
  const std::string logon = "Location: https://mail.example/CookieAuth.dll?GetLogon";
  const std::string page = Answer("200 OK", "", "secret page");
  const char* const notPassed = "is not passed on: the session has not passed the second factor.";
  const char* const wrongState = "Got wrong state! Rejecting the connection...";
  const Row rows[] = {
      {"AnonymousChallenge", kNone, "/owa/", Answer("401 Unauthorized", "WWW-Authenticate: Negotiate\r\n"), kEnd, "",
       {"Response code 401 detected which could mean fall back"}},
      {"ValidChallenge", kValid, "/owa/", Answer("401 Unauthorized", ""), kRead, "="},
      {"ExpiredWithoutRenewal", kExpired, "/owa/", page, kEnd, "",
       {"has expired and there was no renewal from ISA/TMG"}},
      {"NothingKept", kInitial, "/owa/secret", page, kEnd, "", {notPassed}, ""},
      {"OtherPageInInitial", kInitial, "/owa/other", page, kEnd, "", {notPassed}},
      {"AwaitingPasscode", kAwaiting, "/owa/", page, kEnd, "", {notPassed}},
      {"IsaTmgRedirectInAwaiting", kAwaiting, "/owa/", Answer("302 Moved", logon + "\r\n"), kRead, "="},
      {"LogonFormAgain", kInitial, "/cookieauth.dll?logon", Answer("200 OK", "", "<form>again</form>"), kRead, "="},
      {"PasswordRejected", kInitial, "/owa/", Answer("302 Moved", logon + "?reason=2\r\n"), kRead, "=",
       {"ISA/TMG authentication failed! Bypassing the redirect...", "Value: 0, CheckAuthenticationAllowed: 5"}},
      {"KeptPageOtherLogonAnswer", kInitial, "/owa/", Answer("301 Moved", logon + "\r\n"), kEnd, "", {wrongState}},
      {"ServerErrorBackToRefererOnSite", kInitial, "/owa/", Answer("500 Error", ""), kOn,
       "Location: /CookieAuth.dll?GetLogon?reason=4\r\n", {}, "/owa/", "/CookieAuth.dll?GetLogon?reason=0"},
      {"ServerErrorWithForeignReferer", kInitial, "/owa/", Answer("500 Error", ""), kEnd, "", {wrongState}, "/owa/",
       "https://evil.example/CookieAuth.dll?reason=0"},
      {"IsaTmgRedirectToItsPages", kInitial, "/other/", Answer("302 Moved", logon + "\r\n"), kRead, "="},
      {"IsaTmgRedirectClimbingOut", kInitial, "/other/",
       Answer("302 Moved", "Location: https://mail.example/cookieauth.dll/../owa/\r\n"), kEnd, ""},
      {"LookAlikeSetCookie", kNone, "/cookieauth.dll?logon",
       Answer("302 Moved", "Set-Cookie: xcookieauth=K; path=/\r\nLocation: /owa/\r\n"), kEnd, ""},
  };
  auto check = [&](const Row& r) {
    SCOPED_TRACE(r.name);
    const std::string key = r.state == kNone ? std::string() : NewKey();
    ConnectionContext context;
    Requested(context, r.url, key, r.state, r.keptUrl);
    context.referer = r.referer;
    const std::size_t logged = log_.Text().size();
    RawChunk chunk(r.answer);
    EXPECT_EQ(r.status, SendRaw(context, chunk));
    if (std::string(r.presented) == "=") {
      EXPECT_EQ(r.answer, chunk.Presented());
    } else if (*r.presented) {
      EXPECT_THAT(chunk.Presented(), HasSubstr(r.presented));
    } else {
      EXPECT_THAT(chunk.Presented(), IsEmpty());
    }
    for (const char* line : r.logs) EXPECT_THAT(log_.Text().substr(logged), HasSubstr(line));
    // An answer that is no page of the site asks for no passcode.
    if (r.state == kInitial && r.status == kRead) {
      EXPECT_EQ(kInitial, StateOf(key));
      EXPECT_TRUE(Find(key)->GetToken().empty());
    }
  };
  for (const Row& r : rows) check(r);
  SetFallbackForbidden(false);
  check({"AnonymousChallengeAllowed", kNone, "/owa/", Answer("401 Unauthorized", ""), kRead, "="});
}

TEST_F(ResponseStageTest, RecoverableBackEndFailureSendsTheUserBackToIsaTmg) {
  backend_test::Method(backend_->master(), L"InjectFault", {L"RequestPasscode", L"hresult", L"0x80020009"});
  const std::string key = NewKey();
  ConnectionContext context;
  Requested(context, "/owa/", key, kInitial);
  RawChunk chunk(Answer("200 OK", "", "page"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), HasSubstr("Location: /CookieAuth.dll?GetLogon?curl=%2Fowa%2F&reason=2&formdir=1\r\n"));
  EXPECT_THAT(chunk.Presented(),
              HasSubstr("Set-Cookie: cookieauth=; Domain=mail.example; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT"));
  EXPECT_EQ(kExpired, StateOf(key));
}

// A key differing only in case is another key: the state, and what the second factor learned, move to it. The same key
// set again starts over.
TEST_F(ResponseStageTest, BindingDecidesTheStateOfTheNewKey) {
  const std::string oldKey = NewKey() + "abc";
  ConnectionContext rotated;
  Requested(rotated, "/owa/", oldKey, kValid);
  rotated.session->PutToken("T1");
  rotated.session->PutPassword("/CookieAuth.dll?GetLogon");
  rotated.checkAuthenticationAllowedResult = 5;
  const std::string newKey = oldKey.substr(0, oldKey.size() - 3) + "ABC";
  RawChunk renewal(Answer("200 OK", "Set-Cookie: cookieauth=" + newKey + "; path=/\r\n", "page"));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(rotated, renewal));
  std::shared_ptr<Stub::Session> renewed = Find(newKey);
  ASSERT_NE(nullptr, renewed);
  EXPECT_EQ(kValid, renewed->GetState());
  EXPECT_EQ("/owa/", renewed->GetUrl());
  EXPECT_EQ("T1", renewed->GetToken());
  EXPECT_EQ("/CookieAuth.dll?GetLogon", renewed->GetPassword());
  EXPECT_EQ(5, renewed->GetCheckAuthenticationAllowedResult());
  EXPECT_THAT(log_.Text(), HasSubstr("Creating and moving the state now..."));
}

// The password step is reported for a session still at it, with a valid or bypass check result; the session is looked
// up when the context has none.
TEST_F(ResponseStageTest, StatusReportNeedsThePasswordStepAndAValidOrBypassCheckResult) {
  const std::string past = NewKey();
  ConnectionContext context;
  Requested(context, "/owa/", past, kAwaiting);
  filter_.ReportPasswordAuthenticationStatus(context, true);
  EXPECT_THAT(log_.Text(), HasSubstr("Entered report password authentication status..."));
  EXPECT_THAT(log_.Text(), Not(HasSubstr("About to get check authentication allowed result...")));

  const std::string refused = NewKey();
  MakeSession(refused, SessionState::Initial)->PutUsername("CONTOSO\\alice");
  Find(refused)->PutCheckAuthenticationAllowedResult(2);
  ConnectionContext lookedUp;
  lookedUp.key = refused;
  filter_.ReportPasswordAuthenticationStatus(lookedUp, true);
  EXPECT_THAT(log_.Text(), HasSubstr("Password authentication status has NOT been reported. Username: CONTOSO\\alice, "
                                     "Value: 1, CheckAuthenticationAllowed: 2"));
}

// Neither an endless header block nor an endless answer to the logon post is held for ever.
TEST_F(ResponseStageTest, EndlessAnswersAreNotHeldForever) {
  auto endless = [this](const char* url, const std::string& head, const std::string& piece) {
    ConnectionContext context;
    Requested(context, url);
    RawChunk first(head);
    DWORD status = SendRaw(context, first);
    for (int i = 0; i < 80 && status == SF_STATUS_REQ_READ_NEXT; ++i) {
      RawChunk chunk(piece);
      status = SendRaw(context, chunk);
    }
    return status;
  };
  const std::string pad = "X-Pad: " + std::string(1000, 'x') + "\r\n";
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, endless("/owa/", "HTTP/1.1 200 OK\r\n", pad));
  EXPECT_THAT(log_.Text(), HasSubstr("Response header block is longer than the filter holds."));
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n";
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, endless("/cookieauth.dll?logon", head, std::string(64 * 1024, 'b')));
  EXPECT_THAT(log_.Text(), HasSubstr("Answer to the ISA/TMG logon post is longer than the filter holds."));
}

}  // namespace
}  // namespace flowtest
