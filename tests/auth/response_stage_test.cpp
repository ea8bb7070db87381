// The response stage: holding ISA/TMG's answers back, binding the session to
// the cookie they set, the authentication outcome and the final gate.
#include <thread>
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

constexpr int kNone = -1;
constexpr int kInitial = static_cast<int>(SessionState::Initial);
constexpr int kAwaiting = static_cast<int>(SessionState::AwaitingPasscode);
constexpr int kValid = static_cast<int>(SessionState::Valid);
constexpr int kExpired = static_cast<int>(SessionState::Expired);

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ResponseStageTest : public FlowTest {
 protected:
  void TearDown() override { backend_test::Method(backend_->master(), L"ClearFaults"); }

  // The request side as the request stages leave it for a request that went on.
  void Requested(ConnectionContext& context, const std::string& url, const std::string& key = std::string()) {
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

  // A session of a user the back end knows as valid, as the logon left it.
  std::shared_ptr<Stub::Session> LoggedOnSession(const std::string& key, SessionState state) {
    std::shared_ptr<Stub::Session> session = MakeSession(key, state, "/owa/");
    session->PutUsername("CONTOSO\\alice");
    session->PutCheckAuthenticationAllowedResult(5);
    return session;
  }
};

// Wherever the host cuts the answer, the blank line included, the header
// block is found once both pieces are there.
TEST_F(ResponseStageTest, HeaderBlockInChunksGoesOutInOnePiece) {
  const std::string answer = Answer("200 OK", "Content-Type: text/html\r\n", "hello");
  const std::size_t blank = answer.find("\r\n\r\n");
  for (std::size_t cut = 1; cut <= blank + 3; ++cut) {
    SCOPED_TRACE(cut);
    ConnectionContext context;
    Requested(context, "/owa/");
    RawChunk first(answer.substr(0, cut));
    EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, first));
    EXPECT_THAT(first.Presented(), IsEmpty());
    RawChunk rest(answer.substr(cut));
    EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, rest));
    EXPECT_EQ(answer, rest.Presented());
    EXPECT_TRUE(NotificationsDisabled(SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SEND_RESPONSE));
    EXPECT_TRUE(context.ResponseData().empty());
  }
}

TEST_F(ResponseStageTest, AnswerToTheLogonPostIsHeldUntilItsBodyIsComplete) {
  ConnectionContext context;
  Requested(context, "/CookieAuth.dll?Logon");
  const std::string answer = Answer("200 OK", "", "0123456789");
  RawChunk first(answer.substr(0, answer.size() - 4));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, first));
  EXPECT_THAT(log_.Text(), HasSubstr("Whole response was not read. Reading next chunk..."));
  RawChunk rest(answer.substr(answer.size() - 4));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, rest));
  EXPECT_EQ(answer, rest.Presented());
}

// What of an answer reaches the browser, by the state of the request's
// session: nothing of a published page before the second factor.
TEST_F(ResponseStageTest, AnswersPassOnlyAsTheSessionAllows) {
  struct Row {
    const char* name;
    int state;  // kNone: no session
    const char* keptUrl;
    const char* url;
    const char* referer;
    std::string answer;
    DWORD status;
    const char* presented;  // "=": the answer as it came, "": nothing, else a part of what is
    std::vector<const char*> logs;
  };
  const DWORD kRead = SF_STATUS_REQ_READ_NEXT, kEnd = SF_STATUS_REQ_FINISHED, kOn = SF_STATUS_REQ_NEXT_NOTIFICATION;
  const std::string logonPage = "Location: https://mail.example/CookieAuth.dll?GetLogon";
  const Row rows[] = {
      {"AnonymousChallenge", kNone, "", "/owa/", "", Answer("401 Unauthorized", "WWW-Authenticate: Negotiate\r\n"),
       kEnd, "", {"Response code 401 detected which could mean fall back"}},
      {"ValidChallenge", kValid, "/owa/", "/owa/", "", Answer("401 Unauthorized", ""), kRead, "=", {}},
      {"ExpiredWithoutRenewal", kExpired, "/owa/", "/owa/", "", Answer("200 OK", "", "secret page"), kEnd, "",
       {"has expired and there was no renewal from ISA/TMG"}},
      {"NothingKept", kInitial, "", "/owa/secret", "", Answer("200 OK", "", "secret"), kEnd, "",
       {"is not passed on: the session has not passed the second factor."}},
      {"LogonFormAgain", kInitial, "/owa/", "/cookieauth.dll?logon", "", Answer("200 OK", "", "<form>again</form>"),
       kRead, "=", {}},
      {"PasswordRejected", kInitial, "/owa/", "/owa/", "", Answer("302 Moved", logonPage + "?reason=2\r\n"), kRead,
       "=", {"ISA/TMG authentication failed! Bypassing the redirect...", "Value: 0, CheckAuthenticationAllowed: 5"}},
      {"ServerErrorBackToRefererOnSite", kInitial, "/owa/", "/owa/", "/CookieAuth.dll?GetLogon?reason=0",
       Answer("500 Error", ""), kOn, "Location: /CookieAuth.dll?GetLogon?reason=4\r\n", {}},
      {"ServerErrorWithForeignReferer", kInitial, "/owa/", "/owa/", "https://evil.example/CookieAuth.dll?reason=0",
       Answer("500 Error", ""), kEnd, "", {"Got wrong state! Rejecting the connection..."}},
      {"IsaTmgRedirectToItsPages", kInitial, "/owa/", "/other/", "", Answer("302 Moved", logonPage + "\r\n"), kRead,
       "=", {}},
      {"IsaTmgRedirectClimbingOut", kInitial, "/owa/", "/other/", "",
       Answer("302 Moved", "Location: https://mail.example/cookieauth.dll/../owa/\r\n"), kEnd, "", {}},
      {"LookAlikeSetCookie", kNone, "", "/cookieauth.dll?logon", "",
       Answer("302 Moved", "Set-Cookie: xcookieauth=K; path=/\r\nLocation: /owa/\r\n"), kEnd, "", {}},
  };
  auto check = [&](const Row& r) {
    SCOPED_TRACE(r.name);
    const std::string key = NewKey();
    if (r.state != kNone) LoggedOnSession(key, static_cast<SessionState>(r.state))->PutUrl(r.keptUrl);
    ConnectionContext context;
    Requested(context, r.url, r.state == kNone ? std::string() : key);
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
  check({"AnonymousChallengeAllowed", kNone, "", "/owa/", "", Answer("401 Unauthorized", ""), kRead, "=", {}});
}

// The protected URL is taken from an absolute or a relative Location:
// without one, the passcode would never be asked for.
TEST_F(ResponseStageTest, LogonAnswerBindsTheNewKeyAndStoresTheProtectedUrl) {
  for (const std::string location : {"https://mail.example/owa/?a=1", "/owa/?a=1"}) {
    SCOPED_TRACE(location);
    const std::string key = NewKey();
    ConnectionContext context;
    Requested(context, "/cookieauth.dll?logon");
    context.username = std::string("CONTOSO\\alice");
    context.checkAuthenticationAllowedResult = 5;
    const std::string answer = Answer("302 Moved", "Set-Cookie: other=1; path=/\r\nSet-Cookie: cookieauth=" + key +
                                                       "; HttpOnly; path=/\r\nLocation: " + location + "\r\n");
    RawChunk chunk(answer);
    EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
    EXPECT_EQ(answer, chunk.Presented());
    std::shared_ptr<Stub::Session> session = Find(key);
    ASSERT_NE(nullptr, session);
    EXPECT_EQ(kInitial, session->GetState());
    EXPECT_EQ("/owa/?a=1", session->GetUrl());
    EXPECT_EQ("CONTOSO\\alice", session->GetUsername());
    EXPECT_EQ(5, session->GetCheckAuthenticationAllowedResult());
  }
}

TEST_F(ResponseStageTest, ProtectedPageIsReplacedByTheLoginPageAndStaysReplaced) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  context.referer = "https://mail.example/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=0";
  RawChunk chunk(Answer("200 OK", "", std::string(100, 'p')).substr(0, 80));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), HasSubstr("Location: /talverinauth.dll?logon\r\n"));
  EXPECT_THAT(chunk.Presented(), Not(HasSubstr("Set-Cookie")));
  std::shared_ptr<Stub::Session> session = Find(key);
  EXPECT_EQ(kAwaiting, session->GetState());
  EXPECT_EQ(32u, session->GetToken().size());
  EXPECT_EQ(context.referer, session->GetPassword());
  EXPECT_THAT(log_.Text(), HasSubstr("Password authentication status has been reported. Username: CONTOSO\\alice, "
                                     "Value: 1, CheckAuthenticationAllowed: 5"));

  RawChunk later(std::string(20, 'p'));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, SendRaw(context, later));
  EXPECT_THAT(later.Presented(), IsEmpty());
  EXPECT_TRUE(context.ResponseData().empty());
}

TEST_F(ResponseStageTest, PasswordChangePageIsStoredAndTheRedirectKeepsTheCookie) {
  const std::string key = NewKey();
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon");
  context.username = std::string("CONTOSO\\alice");
  context.checkAuthenticationAllowedResult = 5;
  const std::string cookie = "cookieauth=" + key + "; path=/";
  const std::string answer = Answer("200 OK", "Set-Cookie: " + cookie + "\r\n", "<html>change</html>");
  RawChunk chunk(answer);
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), HasSubstr("Location: /talverinauth.dll?logon\r\n"));
  EXPECT_THAT(chunk.Presented(), HasSubstr("Set-Cookie: " + cookie + "\r\n"));
  std::shared_ptr<Stub::Session> session = Find(key);
  EXPECT_EQ(answer, session->GetFbaCookieDomain());
  EXPECT_EQ(kAwaiting, session->GetState());
}

TEST_F(ResponseStageTest, RecoverableBackEndFailureSendsTheUserBackToIsaTmg) {
  backend_test::Method(backend_->master(), L"InjectFault", {L"RequestPasscode", L"hresult", L"0x80020009"});
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  RawChunk chunk(Answer("200 OK", "", "page"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), HasSubstr("Location: /CookieAuth.dll?GetLogon?curl=%2Fowa%2F&reason=2&formdir=1\r\n"));
  EXPECT_THAT(chunk.Presented(),
              HasSubstr("Set-Cookie: cookieauth=; Domain=mail.example; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT"));
  EXPECT_EQ(kExpired, StateOf(key));
}

TEST_F(ResponseStageTest, ClearedCookieExpiresTheSession) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Valid);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  RawChunk chunk(Answer("200 OK", "Set-Cookie: cookieauth=; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n"));
  SendRaw(context, chunk);
  EXPECT_EQ(kExpired, StateOf(key));
  EXPECT_EQ(nullptr, context.session);
}

TEST_F(ResponseStageTest, RotationMovesTheStateAndWhatTheSecondFactorLearned) {
  const std::string oldKey = NewKey();
  std::shared_ptr<Stub::Session> old = LoggedOnSession(oldKey, SessionState::Valid);
  old->PutToken("T1");
  old->PutPassword("/CookieAuth.dll?GetLogon");
  ConnectionContext context;
  Requested(context, "/owa/", oldKey);
  context.checkAuthenticationAllowedResult = 5;
  const std::string newKey = oldKey + "N";
  RawChunk chunk(Answer("200 OK", "Set-Cookie: cookieauth=" + newKey + "; path=/\r\n", "page"));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  std::shared_ptr<Stub::Session> renewed = Find(newKey);
  ASSERT_NE(nullptr, renewed);
  EXPECT_EQ(kValid, renewed->GetState());
  EXPECT_EQ("/owa/", renewed->GetUrl());
  EXPECT_EQ("T1", renewed->GetToken());
  EXPECT_EQ("/CookieAuth.dll?GetLogon", renewed->GetPassword());
  EXPECT_EQ(5, renewed->GetCheckAuthenticationAllowedResult());
}

// A key differing only in case is another key: the state moves to it. The
// same key set again, or a new key from ISA/TMG's own pages, starts over; a
// bypass user is bound valid at once.
TEST_F(ResponseStageTest, BindingDecidesTheStateOfTheNewKey) {
  const std::string oldKey = NewKey() + "abc";
  LoggedOnSession(oldKey, SessionState::AwaitingPasscode);
  ConnectionContext rotated;
  Requested(rotated, "/owa/", oldKey);
  const std::string newKey = oldKey.substr(0, oldKey.size() - 3) + "ABC";
  filter_.UpdateSessionBoundToIsaTmg(&rotated, newKey);
  EXPECT_EQ(kAwaiting, StateOf(newKey));
  EXPECT_THAT(log_.Text(), HasSubstr("Creating and moving the state now..."));

  ConnectionContext again;
  Requested(again, "/owa/", newKey);
  filter_.UpdateSessionBoundToIsaTmg(&again, newKey);
  EXPECT_EQ(kInitial, StateOf(newKey));

  const std::string validKey = NewKey();
  LoggedOnSession(validKey, SessionState::Valid);
  ConnectionContext logon;
  Requested(logon, "/CookieAuth.dll?Logon", validKey);
  logon.username = std::string("CONTOSO\\alice");
  const std::string freshKey = validKey + "F";
  RawChunk chunk(
      Answer("302 Moved", "Set-Cookie: cookieauth=" + freshKey + "\r\nLocation: https://mail.example/owa/\r\n"));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(logon, chunk));
  EXPECT_EQ(kInitial, StateOf(freshKey));

  const std::string bypassKey = NewKey();
  ConnectionContext bypass;
  Requested(bypass, "/cookieauth.dll?logon");
  bypass.bypassAllowed = true;
  filter_.UpdateSessionBoundToIsaTmg(&bypass, bypassKey);
  EXPECT_EQ(kValid, StateOf(bypassKey));
  EXPECT_TRUE(Find(bypassKey)->GetBypassTalverinAuthentication());
}

// The password step is reported for a session still at it, with a valid or
// bypass check result; the session is looked up when the context has none.
TEST_F(ResponseStageTest, StatusReportNeedsThePasswordStepAndAValidOrBypassCheckResult) {
  const std::string past = NewKey();
  LoggedOnSession(past, SessionState::AwaitingPasscode);
  ConnectionContext context;
  Requested(context, "/owa/", past);
  filter_.ReportPasswordAuthenticationStatus(context, true);
  EXPECT_THAT(log_.Text(), HasSubstr("Entered report password authentication status..."));
  EXPECT_THAT(log_.Text(), Not(HasSubstr("About to get check authentication allowed result...")));

  const std::string refused = NewKey();
  LoggedOnSession(refused, SessionState::Initial)->PutCheckAuthenticationAllowedResult(2);
  ConnectionContext lookedUp;
  lookedUp.key = refused;
  filter_.ReportPasswordAuthenticationStatus(lookedUp, true);
  EXPECT_THAT(log_.Text(), HasSubstr("Password authentication status has NOT been reported. Username: CONTOSO\\alice, "
                                     "Value: 1, CheckAuthenticationAllowed: 2"));
}

TEST_F(ResponseStageTest, ConcurrentRenewalsToOneKeyCreateOneSession) {
  const std::string oldKey = NewKey();
  LoggedOnSession(oldKey, SessionState::Valid);
  const std::string newKey = oldKey + "C";
  auto renew = [&] {
    ConnectionContext context;
    Requested(context, "/owa/", oldKey);
    filter_.UpdateSessionBoundToIsaTmg(&context, newKey);
  };
  std::thread a(renew);
  std::thread b(renew);
  a.join();
  b.join();
  EXPECT_EQ(1, Count(log_.Text(), "Session(" + newKey + ") has been created"));
  EXPECT_EQ(kValid, StateOf(newKey));
}

// Neither an endless header block nor an endless answer to the logon post
// is held for ever.
TEST_F(ResponseStageTest, EndlessAnswersAreNotHeldForever) {
  ConnectionContext page;
  Requested(page, "/owa/");
  DWORD status = SF_STATUS_REQ_READ_NEXT;
  for (int i = 0; i < 70 && status == SF_STATUS_REQ_READ_NEXT; ++i) {
    RawChunk chunk(i == 0 ? "HTTP/1.1 200 OK\r\n" : "X-Pad: " + std::string(1000, 'x') + "\r\n");
    status = SendRaw(page, chunk);
  }
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, status);
  EXPECT_THAT(log_.Text(), HasSubstr("Response header block is longer than the filter holds."));

  ConnectionContext logon;
  Requested(logon, "/cookieauth.dll?logon");
  RawChunk head("HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n");
  status = SendRaw(logon, head);
  for (int i = 0; i < 20 && status == SF_STATUS_REQ_READ_NEXT; ++i) {
    RawChunk chunk(std::string(64 * 1024, 'b'));
    status = SendRaw(logon, chunk);
  }
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, status);
  EXPECT_THAT(log_.Text(), HasSubstr("Answer to the ISA/TMG logon post is longer than the filter holds."));
}

}  // namespace
}  // namespace flowtest
