// The flow's decisions without a host or a back end: every state and stage
// as a table of requests and answers and what the filter does with them.
#include "auth/flow_decisions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/url_canonical.h"

namespace talverin::flow {
namespace {

constexpr int kNoSession = -9, kInitial = 0, kAwaiting = 1, kValid = 2, kExpired = 3;

// The session as the store holds it; kNoSession: none behind the key.
SessionSnapshot Session(int state, const char* keptUrl = nullptr, std::optional<bool> bypassPending = false) {
  SessionSnapshot session;
  if (state == kNoSession) return session;
  session.present = true;
  session.state = state;
  if (keptUrl) {
    session.keptUrl = keptUrl;
    session.keptUrlLower = LowerAscii(keptUrl);
  }
  session.bypassReportPending = bypassPending;
  return session;
}

// Reads a member of the full session into the known one, as the stages do
// when a decision asks for it.
void Read(Member need, const SessionSnapshot& full, SessionSnapshot& known) {
  if (need == Member::State) known.state = full.state;
  if (need == Member::KeptUrl) {
    known.keptUrl = full.keptUrl.value_or("");
    known.keptUrlLower = full.keptUrlLower.value_or("");
  }
  if (need == Member::BypassReportPending) known.bypassReportPending = full.bypassReportPending.value_or(false);
}

// Decides as the stage does: no member is asked for twice.
RequestDecision Decide(const RequestView& request, const SessionSnapshot& full, int* reads = nullptr) {
  SessionSnapshot known;
  known.present = full.present;
  for (int count = 0;; ++count) {
    RequestDecision decision = DecideRequest(request, known);
    if (reads) *reads = count;
    if (decision.need == Member::None || count > 3) return decision;
    EXPECT_FALSE(known.Has(decision.need)) << "member asked for twice";
    if (known.Has(decision.need)) return decision;
    Read(decision.need, full, known);
  }
}

// Flags of a request: k no key, a Authorization, f fall-back allowed, b a body,
// r no login page renderer, L/C/I the own login, cancel or ISA/TMG logon form.
RequestView Request(const std::string& url, const std::string& method = "GET", const std::string& flags = "") {
  RequestView view;
  view.url = url;
  view.urlLower = LowerAscii(url);
  view.canonicalUrl = CanonicalizeUrl(url);
  view.method = method;
  view.keyPresent = flags.find('k') == std::string::npos;
  view.authorizationPresent = flags.find('a') != std::string::npos;
  view.fallbackForbidden = flags.find('f') == std::string::npos;
  view.hasBody = flags.find('b') != std::string::npos;
  view.htmlServerPresent = flags.find('r') == std::string::npos;
  if (flags.find('L') != std::string::npos) view.formAction = FormAction::Login;
  if (flags.find('C') != std::string::npos) view.formAction = FormAction::Cancel;
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
    const char* keptUrl;
    A action;
    R reason;
  };
  const Row rows[] = {
      // No session.
      {"/owa/", "GET", "k", kNoSession, nullptr, A::PassOn, R::Anonymous},
      {"/owa/", "GET", "", kNoSession, nullptr, A::SendToIsaTmgLogon, R::StaleKey},
      {"/owa/", "GET", "ka", kNoSession, nullptr, A::Finish, R::FallbackRefused},
      {"/owa/", "GET", "kaf", kNoSession, nullptr, A::PassOn, R::Anonymous},
      // The filter's own site, in any state.
      {"/TalverinAuth.dll?Logon", "GET", "", kAwaiting, nullptr, A::ShowLoginPage, R::OwnPage},
      {"/talverinauth.dll?logon", "GET", "r", kAwaiting, nullptr, A::SendToOwnLogin, R::IncorrectUrl},
      {"/x/talverinauth.dll?action=getpic?login_img.jpg", "GET", "", kValid, nullptr, A::ServeResource, R::OwnPage},
      {"/talverinauth.dll?action=status", "GET", "", kExpired, nullptr, A::AnswerStatusPoll, R::OwnPage},
      {"/talverinauth.dll?logon&x", "GET", "", kAwaiting, nullptr, A::SendToOwnLogin, R::IncorrectUrl},
      // Initial: one plain read of the kept page, ISA/TMG's own pages.
      {"/OWA/", "GET", "", kInitial, "/owa/", A::PassOn, R::KeptPageRead},
      {"/owa/", "HEAD", "", kInitial, "/owa/", A::PassOn, R::KeptPageRead},
      {"/owa/", "POST", "", kInitial, "/owa/", A::SendToIsaTmgLogon, R::BypassDetected},
      {"/owa/", "GET", "b", kInitial, "/owa/", A::SendToIsaTmgLogon, R::BypassDetected},
      {"/other/", "GET", "", kInitial, "/owa/", A::SendToIsaTmgLogon, R::BypassDetected},
      {"/owa/", "GET", "", kInitial, "", A::SendToIsaTmgLogon, R::BypassDetected},
      {"/CookieAuth.dll?GetLogon", "GET", "", kInitial, "/owa/", A::PassOn, R::IsaTmgPage},
      {"/cookieauth.dll/x", "GET", "", kInitial, "/owa/", A::SendToIsaTmgLogon, R::BypassDetected},
      {"/owa/", "GET", "a", kInitial, "/owa/", A::Finish, R::FallbackRefused},
      // AwaitingPasscode: the passcode form or back to the passcode page.
      {kOwnLoginAction, "POST", "L", kAwaiting, nullptr, A::CheckPasscode, R::PasscodePosted},
      {kOwnLoginAction, "POST", "C", kAwaiting, nullptr, A::SendToIsaTmgLogon, R::Cancelled},
      {"/owa/", "GET", "", kAwaiting, "/owa/", A::SendToOwnLogin, R::IncorrectUrl},
      {"/CookieAuth.dll?Logon", "POST", "I", kAwaiting, nullptr, A::SendToOwnLogin, R::IncorrectUrl},
      // Valid: everything passes, Authorization headers too.
      {"/owa/send", "POST", "", kValid, nullptr, A::PassOn, R::Valid},
      {"/owa/", "GET", "a", kValid, nullptr, A::PassOn, R::Valid},
      // Expired: ISA/TMG's own pages only.
      {"/CookieAuth.dll?GetLogon?curl=Z2Fowa", "GET", "", kExpired, "/owa/", A::PassOn, R::IsaTmgPage},
      {"/CookieAuth.dll?Logon", "POST", "", kExpired, nullptr, A::PassOn, R::IsaTmgPage},
      {"/owa/", "GET", "", kExpired, "/owa/", A::SendToIsaTmgLogon, R::ExpiredWrongUrl},
      // Anything else.
      {"/owa/", "GET", "", 7, nullptr, A::Finish, R::InvalidState},
      {"/owa/", "GET", "", -1, nullptr, A::Finish, R::InvalidState},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.method) + " " + r.url + " flags " + r.flags + " state " + std::to_string(r.state));
    const RequestDecision decision = Decide(Request(r.url, r.method, r.flags), Session(r.state, r.keptUrl));
    EXPECT_EQ(decision.action, r.action);
    EXPECT_EQ(decision.reason, r.reason);
  }
}

// A Valid session's request reads the state and the bypass flag, nothing
// else; an Expired one only the state.
TEST(RequestDecisionTest, MembersReadAreOnlyThoseTheDecisionNeeds) {
  const std::pair<int, int> rows[] = {{kValid, 2}, {kExpired, 1}, {kInitial, 2}, {kAwaiting, 1}};
  for (const auto& [state, expected] : rows) {
    int reads = -1;
    Decide(Request("/owa/"), Session(state, "/owa/"), &reads);
    EXPECT_EQ(reads, expected) << state;
  }
  int reads = -1;
  Decide(Request("/owa/", "GET", "k"), Session(kNoSession), &reads);
  EXPECT_EQ(reads, 0);
}

TEST(RequestDecisionTest, ValidRequestOwesTheBypassReportOnlyWhileTheFlagIsSet) {
  RequestDecision owed = Decide(Request("/owa/"), Session(kValid, nullptr, true));
  EXPECT_TRUE(owed.reportBypass);
  EXPECT_TRUE(owed.validAtRequest);
  RequestDecision paid = Decide(Request("/owa/"), Session(kValid));
  EXPECT_FALSE(paid.reportBypass);
  EXPECT_TRUE(paid.validAtRequest);
  EXPECT_FALSE(Decide(Request("/owa/"), Session(kInitial, "/owa/")).validAtRequest);
}

TEST(RequestDecisionTest, ExpiredSessionStartsOverOnlyAtIsaTmgsLogonPage) {
  RequestDecision getLogon = Decide(Request("/CookieAuth.dll?GetLogon?reason=0"), Session(kExpired, "/owa/"));
  ASSERT_TRUE(getLogon.newState);
  EXPECT_EQ(*getLogon.newState, SessionState::Initial);
  EXPECT_TRUE(getLogon.forgetKeptUrl);
  EXPECT_TRUE(getLogon.backToInitial);
  RequestDecision post = Decide(Request("/CookieAuth.dll?Logon", "POST"), Session(kExpired, "/owa/"));
  EXPECT_FALSE(post.newState);
  EXPECT_FALSE(post.forgetKeptUrl);
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

// --- Answers ---------------------------------------------------------------

// Flags of an answer: n no key or cookie in the request, v Valid at the
// request, c sets the listener's cookie, x sets it ambiguously, r a referer
// of this site.
AnswerView Answer(const std::string& requestUrl, int status, const std::string& location, const std::string& flags,
                  const std::string& newKey = "") {
  AnswerView view;
  view.statusCode = status;
  view.urlLower = LowerAscii(requestUrl);
  view.canonicalUrl = CanonicalizeUrl(requestUrl);
  const bool anonymous = flags.find('n') != std::string::npos;
  view.requestKey = anonymous ? "" : "K";
  view.authCookiePresent = !anonymous;
  view.location = location;
  view.locationLower = LowerAscii(location);
  view.validAtRequest = flags.find('v') != std::string::npos;
  view.setsCookie = flags.find('c') != std::string::npos;
  view.newKey = newKey;
  view.cookieAmbiguous = flags.find('x') != std::string::npos;
  if (flags.find('r') != std::string::npos) {
    view.referer = "https://mail.example/CookieAuth.dll?GetLogon?reason=0";
    view.refererOnSite = true;
  }
  return view;
}

AnswerDecision DecideFull(const AnswerView& view, const SessionSnapshot& full, bool bound) {
  SessionSnapshot known;
  known.present = full.present;
  for (int i = 0; i < 4; ++i) {
    AnswerDecision decision = DecideAnswer(view, known, bound);
    if (decision.need == Member::None) return decision;
    Read(decision.need, full, known);
  }
  ADD_FAILURE() << "the decision keeps asking";
  return AnswerDecision();
}

TEST(AnswerDecisionTest, DecidesAsTheTableSays) {
  using A = AnswerAction;
  using R = AnswerReason;
  const std::string logon = "/CookieAuth.dll?GetLogon";
  struct Row {
    const char* name;
    AnswerView answer;
    int state;
    const char* keptUrl;
    bool bound;
    A action;
    R reason;
  };
  const Row rows[] = {
      {"AnonymousPage", Answer("/public/", 200, "", "n"), kNoSession, nullptr, false, A::PassOn, R::Passed},
      {"Anonymous401", Answer("/owa/", 401, "", "n"), kNoSession, nullptr, false, A::Drop, R::FallbackRefused},
      {"Valid401", Answer("/owa/", 401, "", "v"), kValid, nullptr, false, A::PassOn, R::Passed},
      {"LogonPostSetsCookie", Answer("/CookieAuth.dll?Logon", 302, "https://mail.example/owa/", "nc", "N"), kNoSession,
       nullptr, false, A::Bind, R::None},
      {"AmbiguousCookie", Answer("/owa/", 200, "", "x"), kInitial, "/owa/", false, A::Drop, R::CookieAmbiguous},
      {"ExpiredWithoutRenewal", Answer(logon, 200, "", ""), kExpired, nullptr, false, A::Drop, R::ExpiredNoRenewal},
      {"KeptPageAnswered", Answer("/owa/", 200, "", ""), kInitial, "/owa/", false, A::AskPasscode,
       R::PasswordAccepted},
      {"KeptPageRedirectedToLogon", Answer("/owa/", 302, logon + "?reason=0", ""), kInitial, "/owa/", false,
       A::PassOn, R::PasswordRejected},
      {"KeptPageOtherLogonAnswer", Answer("/owa/", 301, logon, ""), kInitial, "/owa/", false, A::Drop,
       R::WrongState},
      {"KeptPage500WithoutReferer", Answer("/owa/", 500, "", ""), kInitial, "/owa/", false, A::Drop, R::WrongState},
      {"KeptPage500WithReferer", Answer("/owa/", 500, "", "r"), kInitial, "/owa/", false, A::BackToReferer,
       R::OddAnswer},
      {"PasswordChangePage", Answer("/CookieAuth.dll?Logon", 200, "", "c", "K"), kInitial, "/owa/", true,
       A::AskPasscode, R::PasswordAccepted},
      {"LogonFormAgain", Answer("/CookieAuth.dll?Logon", 200, "", ""), kInitial, "/owa/", true, A::PassOn, R::Passed},
      {"OtherPageInInitial", Answer("/owa/other", 200, "", ""), kInitial, "/owa/", false, A::Drop, R::NotPassed},
      {"AwaitingPasscodePage", Answer("/owa/", 200, "", ""), kAwaiting, "/owa/", false, A::Drop, R::NotPassed},
      {"RedirectToIsaTmgInAwaiting", Answer("/owa/", 302, "https://mail.example" + logon, ""), kAwaiting, "/owa/",
       false, A::PassOn, R::Passed},
      {"LogoffOfValidSession", Answer("/owa/logoff.owa", 200, "", "vc", ""), kExpired, nullptr, true, A::PassOn,
       R::Passed},
      {"ValidNowAfterRenewal", Answer("/owa/", 200, "", "c", "N"), kValid, nullptr, true, A::PassOn, R::Passed},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const AnswerDecision decision = DecideFull(r.answer, Session(r.state, r.keptUrl, std::nullopt), r.bound);
    EXPECT_EQ(decision.action, r.action);
    EXPECT_EQ(decision.reason, r.reason);
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

// --- Request bytes ---------------------------------------------------------

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
