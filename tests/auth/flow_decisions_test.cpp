// The flow's decisions without a host or a back end. The stage tests walk
// the states through the filter; these rows are the ones no stage reaches
// easily, and the request block read before any stage runs.
#include "auth/flow_decisions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/url_canonical.h"

namespace talverin::flow {
namespace {

constexpr int kNoSession = -9, kInitial = 0, kAwaiting = 1, kValid = 2, kExpired = 3;

// The session as the store holds it, every member read; kNoSession: none
// behind the key.
SessionSnapshot Session(int state, const char* keptUrl = "/owa/") {
  SessionSnapshot session;
  if (state == kNoSession) return session;
  session.present = true;
  session.state = state;
  session.keptUrl = keptUrl;
  session.keptUrlLower = LowerAscii(keptUrl);
  session.bypassReportPending = false;
  return session;
}

// Flags of a request: k no key, a Authorization, f fall-back allowed,
// r no login page renderer, I the ISA/TMG logon form.
RequestView Request(const std::string& url, const std::string& method, const std::string& flags) {
  RequestView view;
  view.url = url;
  view.urlLower = LowerAscii(url);
  view.canonicalUrl = CanonicalizeUrl(url);
  view.method = method;
  view.keyPresent = flags.find('k') == std::string::npos;
  view.authorizationPresent = flags.find('a') != std::string::npos;
  view.fallbackForbidden = flags.find('f') == std::string::npos;
  view.htmlServerPresent = flags.find('r') == std::string::npos;
  if (flags.find('I') != std::string::npos) view.formAction = FormAction::IsaTmgLogon;
  return view;
}

TEST(RequestDecisionTest, DecidesAsTheTableSays) {
  using A = RequestAction;
  using R = RequestReason;
  struct Row {
    const char* url;
    const char* method;
    const char* flags;
    int state;
    A action;
    R reason;
  };
  const Row rows[] = {
      {"/owa/", "GET", "k", kNoSession, A::PassOn, R::Anonymous},
      {"/owa/", "GET", "", kNoSession, A::SendToIsaTmgLogon, R::StaleKey},
      {"/owa/", "GET", "kaf", kNoSession, A::PassOn, R::Anonymous},
      // Without a renderer the passcode page cannot be shown, whatever the spelling.
      {"/talverinauth.dll?logon", "GET", "r", kAwaiting, A::SendToOwnLogin, R::IncorrectUrl},
      {"/x/talverinauth.dll?action=getpic?login_img.jpg", "GET", "", kValid, A::ServeResource, R::OwnPage},
      {"/talverinauth.dll?action=status", "GET", "", kExpired, A::AnswerStatusPoll, R::OwnPage},
      {"/cookieauth.dll/x", "GET", "", kInitial, A::SendToIsaTmgLogon, R::BypassDetected},
      {"/owa/", "GET", "a", kInitial, A::Finish, R::FallbackRefused},
      // A second password post while the passcode is awaited goes back to the passcode page.
      {"/CookieAuth.dll?Logon", "POST", "I", kAwaiting, A::SendToOwnLogin, R::IncorrectUrl},
      {"/owa/send", "POST", "", kValid, A::PassOn, R::Valid},
      {"/owa/", "GET", "a", kValid, A::PassOn, R::Valid},
      {"/owa/", "GET", "", -1, A::Finish, R::InvalidState},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.method) + " " + r.url + " flags " + r.flags + " state " + std::to_string(r.state));
    const RequestDecision decision = DecideRequest(Request(r.url, r.method, r.flags), Session(r.state));
    EXPECT_EQ(decision.action, r.action);
    EXPECT_EQ(decision.reason, r.reason);
  }
}

TEST(PasscodeStepTest, StateUnderTheLockDecides) {
  EXPECT_EQ(DecidePasscodeStep(kValid, true), PasscodeStep::AlreadyPassed);
  EXPECT_EQ(DecidePasscodeStep(kExpired, true), PasscodeStep::NotAwaited);
  EXPECT_EQ(DecidePasscodeStep(kInitial, true), PasscodeStep::NotAwaited);
  EXPECT_EQ(DecidePasscodeStep(kAwaiting, false), PasscodeStep::NoProxy);
  EXPECT_EQ(DecidePasscodeStep(kAwaiting, true), PasscodeStep::Check);
}

TEST(LogonTargetTest, FollowsOnlyIsaTmgLogonUrlsOfThisSite) {
  using K = IsaTmgLogonTarget::Kind;
  struct Row {
    const char* stored;
    K kind;
    const char* url;
    bool dropped;
  };
  const Row rows[] = {
      {"", K::RequestUrl, "/owa/", false},
      {"https://mail.example/CookieAuth.dll?GetLogon?reason=0&x=reason=0", K::StoredUrl,
       "https://mail.example/CookieAuth.dll?GetLogon?reason=4&x=reason=4", false},
      {"/CookieAuth.dll?GetLogon", K::StoredUrl, "/CookieAuth.dll?GetLogon", false},
      {"https://evil.example/CookieAuth.dll?GetLogon", K::RequestUrl, "/owa/", true},
      {"https://mail.example/owa/", K::Nowhere, "", false},
      {"cookieauth.dll?GetLogon", K::RequestUrl, "/owa/", true},  // a relative name is no URL of this site
  };
  for (const Row& r : rows) {
    const IsaTmgLogonTarget target = DecideIsaTmgLogonTarget(r.stored, "mail.example", "/owa/");
    EXPECT_EQ(target.kind, r.kind) << r.stored;
    EXPECT_EQ(target.url, r.url) << r.stored;
    EXPECT_EQ(target.storedNotOnSite, r.dropped) << r.stored;
  }
}

TEST(BindingTest, CookieClearedRotatedOrFresh) {
  EXPECT_EQ(DecideBinding("K", "", false), Binding::ExpireOld);
  EXPECT_EQ(DecideBinding("K", "N", false), Binding::Renew);
  EXPECT_EQ(DecideBinding("K", "k", false), Binding::Renew);  // keys differ in case: another key
  EXPECT_EQ(DecideBinding("K", "N", true), Binding::CreateOrReset);
  EXPECT_EQ(DecideBinding("K", "K", false), Binding::CreateOrReset);
  EXPECT_EQ(DecideBinding("", "N", false), Binding::Renew);
  EXPECT_EQ(DecideBinding("", "", false), Binding::CreateOrReset);
}

TEST(WholeAnswerTest, OnlyTheLogonPostsAnswerBeforeTheSecondFactorIsReadWhole) {
  EXPECT_TRUE(ReadsWholeAnswer(CanonicalizeUrl("/CookieAuth.dll?Logon"), Session(kNoSession)));
  EXPECT_TRUE(ReadsWholeAnswer(CanonicalizeUrl("/CookieAuth.dll?Logon"), Session(kInitial)));
  EXPECT_FALSE(ReadsWholeAnswer(CanonicalizeUrl("/CookieAuth.dll?Logon"), Session(kValid)));
  EXPECT_FALSE(ReadsWholeAnswer(CanonicalizeUrl("/owa/"), Session(kNoSession)));
}

TEST(RequestBlockTest, DecidesAsTheTableSays) {
  using A = RequestBlockAction;
  using R = RequestBlockReason;
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string logon = "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: site\r\n";
  struct Row {
    const char* name;
    std::string block;
    bool excluded;
    A action;
    R reason;
  };
  const Row rows[] = {
      {"Get", "GET /owa/ HTTP/1.1\r\nHost: site\r\n", false, A::PassOn, R::NoLoginForm},
      {"BareLineEnd", "GET /owa/ HTTP/1.1\nHost: site\r\n", false, A::Finish, R::NotStrict},
      {"FoldedLine", "GET /owa/ HTTP/1.1\r\nHost: site\r\n x\r\n", true, A::Finish, R::NotStrict},
      {"Excluded", logon + "Transfer-Encoding: chunked\r\n", true, A::PassOn, R::Excluded},
      {"LogonPost", logon + form + "Content-Length: 9\r\n", false, A::ReadBody, R::LoginForm},
      {"LowerCaseMethod", "post /CookieAuth.dll?Logon HTTP/1.1\r\nContent-Length: 9\r\n", false, A::ReadBody,
       R::LoginForm},
      {"OwnLoginPost", "POST /talverinauth.dll?action=talvlogin HTTP/1.1\r\nContent-Type: text/plain\r\n"
                       "Content-Length: 9\r\n", false, A::ReadBody, R::LoginForm},
      {"PostElsewhere", "POST /owa/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n", false, A::PassOn, R::NoLoginForm},
      {"Chunked", logon + "Transfer-Encoding: chunked\r\n", false, A::Finish, R::UnclearFraming},
      {"TwoLengths", logon + "Content-Length: 9\r\nContent-Length: 8\r\n", false, A::Finish, R::UnclearFraming},
      {"TooLong", logon + "Content-Length: 65537\r\n", false, A::Finish, R::FormTooLong},
      {"Multipart", logon + "Content-Type: multipart/form-data; b=x\r\nContent-Length: 9\r\n", false, A::Finish,
       R::NotUrlEncoded},
      {"FormWithCharset", logon + "content-type: Application/X-WWW-Form-UrlEncoded ; charset=utf-8\r\n"
                                  "Content-Length: 9\r\n", false, A::ReadBody, R::LoginForm},
      // ISA/TMG may read the form by the second line and find another user
      // name in it than the back end was asked about.
      {"TwoContentTypes", logon + form + "Content-Type: multipart/form-data; b=x\r\nContent-Length: 9\r\n", false,
       A::Finish, R::NotUrlEncoded},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string block = r.block + "\r\n";
    const RequestBlockDecision decision = DecideRequestBlock(ReadRequestBlock(block), block.size(), r.excluded);
    EXPECT_EQ(decision.action, r.action);
    EXPECT_EQ(decision.reason, r.reason);
    if (r.action == A::ReadBody) {
      EXPECT_EQ(decision.bytesAwaited, block.size() + 9);
    }
  }
}

TEST(RequestBlockTest, KeepsEveryCookieLineAndTheRequestLine) {
  const RequestBlockView view =
      ReadRequestBlock("GET /owa/?a HTTP/1.1\r\nCookie: a=1\r\ncookie : cadata=K\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(view.method, "GET");
  EXPECT_EQ(view.url, "/owa/?a");
  EXPECT_EQ(view.cookieLines, (std::vector<std::string>{"a=1", "cadata=K"}));
  EXPECT_EQ(view.length.kind, HttpHeaderBlock::BodyLength::Kind::Length);
}

}  // namespace
}  // namespace talverin::flow
