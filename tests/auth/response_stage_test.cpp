// The response stage: holding ISA/TMG's answers back, binding the session to
// the cookie they set, the authentication outcome and the final gate.
#include <thread>

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

TEST_F(ResponseStageTest, ChallengeBeforeTheSecondFactorIsNeverSent) {
  ConnectionContext context;
  Requested(context, "/owa/");
  RawChunk chunk(Answer("401 Unauthorized", "WWW-Authenticate: Negotiate\r\n"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), IsEmpty());
  EXPECT_THAT(log_.Text(), HasSubstr("Response code 401 detected which could mean fall back"));
}

TEST_F(ResponseStageTest, ChallengeAfterTheSecondFactorOrWhenAllowedIsPassedOn) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Valid);
  ConnectionContext valid;
  Requested(valid, "/owa/", key);
  const std::string answer = Answer("401 Unauthorized", "");
  RawChunk chunk(answer);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(valid, chunk));
  EXPECT_EQ(answer, chunk.Presented());

  SetFallbackForbidden(false);
  ConnectionContext anonymous;
  Requested(anonymous, "/owa/");
  RawChunk again(answer);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(anonymous, again));
  EXPECT_EQ(answer, again.Presented());
}

TEST_F(ResponseStageTest, ExpiredSessionWithoutRenewalGetsNothing) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Expired);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  RawChunk chunk(Answer("200 OK", "", "secret page"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), IsEmpty());
  EXPECT_THAT(log_.Text(), HasSubstr("has expired and there was no renewal from ISA/TMG"));
}

TEST_F(ResponseStageTest, PlainLogonBindsTheNewKeyAndStoresTheProtectedUrl) {
  const std::string key = NewKey();
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon");
  context.username = std::string("CONTOSO\\alice");
  context.checkAuthenticationAllowedResult = 5;
  const std::string answer = Answer("302 Moved", "Set-Cookie: other=1; path=/\r\nSet-Cookie: cookieauth=" + key +
                                                     "; HttpOnly; path=/\r\nLocation: https://mail.example/owa/?a=1\r\n");
  RawChunk chunk(answer);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  EXPECT_EQ(answer, chunk.Presented());
  std::shared_ptr<Stub::Session> session = Find(key);
  ASSERT_NE(nullptr, session);
  EXPECT_EQ(static_cast<int>(SessionState::Initial), session->GetState());
  EXPECT_EQ("/owa/?a=1", session->GetUrl());
  EXPECT_EQ("CONTOSO\\alice", session->GetUsername());
  EXPECT_EQ(5, session->GetCheckAuthenticationAllowedResult());
}

TEST_F(ResponseStageTest, RelativeLocationOfTheLogonAnswerIsStoredAsTheProtectedUrl) {
  // Otherwise the session has no protected URL and the passcode is never asked for.
  const std::string key = NewKey();
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon");
  RawChunk chunk(Answer("302 Moved", "Set-Cookie: cookieauth=" + key + "; path=/\r\nLocation: /owa/?a=1\r\n"));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  std::shared_ptr<Stub::Session> session = Find(key);
  ASSERT_NE(nullptr, session);
  EXPECT_EQ("/owa/?a=1", session->GetUrl());
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
  EXPECT_EQ(static_cast<int>(SessionState::AwaitingPasscode), session->GetState());
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
  EXPECT_EQ(static_cast<int>(SessionState::AwaitingPasscode), session->GetState());
}

TEST_F(ResponseStageTest, LogonFormShownAgainRequestsNoPasscode) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial);
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon", key);
  const std::string answer = Answer("200 OK", "", "<form>logon again</form>");
  RawChunk chunk(answer);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  EXPECT_EQ(answer, chunk.Presented());
  EXPECT_EQ(static_cast<int>(SessionState::Initial), StateOf(key));
  EXPECT_TRUE(Find(key)->GetToken().empty());
}

TEST_F(ResponseStageTest, RedirectBackToIsaTmgGoesThroughAndReportsFailure) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  const std::string answer = Answer("302 Moved", "Location: https://mail.example/CookieAuth.dll?GetLogon?reason=2\r\n");
  RawChunk chunk(answer);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  EXPECT_EQ(answer, chunk.Presented());
  EXPECT_THAT(log_.Text(), HasSubstr("ISA/TMG authentication failed! Bypassing the redirect..."));
  EXPECT_THAT(log_.Text(), HasSubstr("Value: 0, CheckAuthenticationAllowed: 5"));
  EXPECT_EQ(static_cast<int>(SessionState::Initial), StateOf(key));
}

TEST_F(ResponseStageTest, ServerErrorReturnsToARefererOfThisSiteOnly) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  context.referer = "/CookieAuth.dll?GetLogon?reason=0";
  RawChunk chunk(Answer("500 Error", ""));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), HasSubstr("Location: /CookieAuth.dll?GetLogon?reason=4\r\n"));

  ConnectionContext foreign;
  Requested(foreign, "/owa/", key);
  foreign.referer = "https://evil.example/CookieAuth.dll?reason=0";
  RawChunk other(Answer("500 Error", ""));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, SendRaw(foreign, other));
  EXPECT_THAT(other.Presented(), IsEmpty());
  EXPECT_THAT(log_.Text(), HasSubstr("Got wrong state! Rejecting the connection..."));
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
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
}

TEST_F(ResponseStageTest, ClearedCookieExpiresTheSession) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Valid);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  RawChunk chunk(Answer("200 OK", "Set-Cookie: cookieauth=; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n"));
  SendRaw(context, chunk);
  EXPECT_EQ(static_cast<int>(SessionState::Expired), StateOf(key));
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
  EXPECT_EQ(static_cast<int>(SessionState::Valid), renewed->GetState());
  EXPECT_EQ("/owa/", renewed->GetUrl());
  EXPECT_EQ("T1", renewed->GetToken());
  EXPECT_EQ("/CookieAuth.dll?GetLogon", renewed->GetPassword());
  EXPECT_EQ(5, renewed->GetCheckAuthenticationAllowedResult());
}

TEST_F(ResponseStageTest, KeyDifferingOnlyInCaseIsARotation) {
  const std::string oldKey = NewKey() + "abc";
  LoggedOnSession(oldKey, SessionState::AwaitingPasscode);
  ConnectionContext context;
  Requested(context, "/owa/", oldKey);
  const std::string newKey = oldKey.substr(0, oldKey.size() - 3) + "ABC";
  filter_.UpdateSessionBoundToIsaTmg(&context, newKey);
  EXPECT_EQ(static_cast<int>(SessionState::AwaitingPasscode), StateOf(newKey));
  EXPECT_THAT(log_.Text(), HasSubstr("Creating and moving the state now..."));
}

TEST_F(ResponseStageTest, NewKeyFromIsaTmgsOwnPagesStartsAFreshSession) {
  const std::string oldKey = NewKey();
  LoggedOnSession(oldKey, SessionState::Valid);
  ConnectionContext context;
  Requested(context, "/CookieAuth.dll?Logon", oldKey);
  context.username = std::string("CONTOSO\\alice");
  const std::string newKey = oldKey + "F";
  RawChunk chunk(Answer("302 Moved", "Set-Cookie: cookieauth=" + newKey + "\r\nLocation: https://mail.example/owa/\r\n"));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  EXPECT_EQ(static_cast<int>(SessionState::Initial), StateOf(newKey));
}

TEST_F(ResponseStageTest, SameKeySetAgainResetsItsSession) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::AwaitingPasscode);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  filter_.UpdateSessionBoundToIsaTmg(&context, key);
  EXPECT_EQ(static_cast<int>(SessionState::Initial), StateOf(key));
}

TEST_F(ResponseStageTest, BypassUserIsBoundValid) {
  const std::string key = NewKey();
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon");
  context.bypassAllowed = true;
  filter_.UpdateSessionBoundToIsaTmg(&context, key);
  EXPECT_EQ(static_cast<int>(SessionState::Valid), StateOf(key));
  EXPECT_TRUE(Find(key)->GetBypassTalverinAuthentication());
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
  EXPECT_EQ(static_cast<int>(SessionState::Valid), StateOf(newKey));
}

TEST_F(ResponseStageTest, LookAlikeSetCookieFinishesTheRequest) {
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon");
  RawChunk chunk(Answer("302 Moved", "Set-Cookie: xcookieauth=K; path=/\r\nLocation: /owa/\r\n"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), IsEmpty());
}

TEST_F(ResponseStageTest, EndlessHeaderBlockIsNotHeldForever) {
  ConnectionContext context;
  Requested(context, "/owa/");
  DWORD status = SF_STATUS_REQ_READ_NEXT;
  for (int i = 0; i < 70 && status == SF_STATUS_REQ_READ_NEXT; ++i) {
    RawChunk chunk(i == 0 ? "HTTP/1.1 200 OK\r\n" : "X-Pad: " + std::string(1000, 'x') + "\r\n");
    status = SendRaw(context, chunk);
  }
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, status);
  EXPECT_THAT(log_.Text(), HasSubstr("Response header block is longer than the filter holds."));
}

TEST_F(ResponseStageTest, EndlessAnswerToTheLogonPostIsNotHeldForever) {
  ConnectionContext context;
  Requested(context, "/cookieauth.dll?logon");
  RawChunk head("HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n");
  DWORD status = SendRaw(context, head);
  for (int i = 0; i < 20 && status == SF_STATUS_REQ_READ_NEXT; ++i) {
    RawChunk chunk(std::string(64 * 1024, 'b'));
    status = SendRaw(context, chunk);
  }
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, status);
  EXPECT_THAT(log_.Text(), HasSubstr("Answer to the ISA/TMG logon post is longer than the filter holds."));
}

TEST_F(ResponseStageTest, PageForASessionWithoutSecondFactorIsNotPassedOn) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial)->PutUrl("");
  ConnectionContext context;
  Requested(context, "/owa/secret", key);
  RawChunk chunk(Answer("200 OK", "", "secret"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, SendRaw(context, chunk));
  EXPECT_THAT(chunk.Presented(), IsEmpty());
  EXPECT_THAT(log_.Text(), HasSubstr("is not passed on: the session has not passed the second factor."));
}

TEST_F(ResponseStageTest, IsaTmgRedirectToItsOwnPagesPassesTheGate) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial);
  ConnectionContext context;
  Requested(context, "/other/", key);
  const std::string answer = Answer("302 Moved", "Location: https://mail.example/CookieAuth.dll?GetLogon\r\n");
  RawChunk chunk(answer);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, SendRaw(context, chunk));
  EXPECT_EQ(answer, chunk.Presented());

  ConnectionContext tricked;
  Requested(tricked, "/other/", key);
  RawChunk elsewhere(Answer("302 Moved", "Location: https://mail.example/cookieauth.dll/../owa/\r\n"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, SendRaw(tricked, elsewhere));
}

TEST_F(ResponseStageTest, StatusReportSkipsSessionsPastThePasswordStep) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::AwaitingPasscode);
  ConnectionContext context;
  Requested(context, "/owa/", key);
  filter_.ReportPasswordAuthenticationStatus(context, true);
  EXPECT_THAT(log_.Text(), HasSubstr("Entered report password authentication status..."));
  EXPECT_THAT(log_.Text(), Not(HasSubstr("About to get check authentication allowed result...")));
}

TEST_F(ResponseStageTest, StatusReportNeedsAValidOrBypassCheckResult) {
  const std::string key = NewKey();
  LoggedOnSession(key, SessionState::Initial)->PutCheckAuthenticationAllowedResult(2);
  ConnectionContext context;
  context.key = key;  // no session in the context: it is looked up
  filter_.ReportPasswordAuthenticationStatus(context, true);
  EXPECT_THAT(log_.Text(), HasSubstr("Password authentication status has NOT been reported. Username: CONTOSO\\alice, "
                                     "Value: 1, CheckAuthenticationAllowed: 2"));
}

}  // namespace
}  // namespace flowtest
