// The flow's decisions without a host or a back end: every state and stage
// as a table of requests and answers and what the filter does with them.
#include "auth/flow_decisions.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "config/url_canonical.h"

namespace talverin::flow {
namespace {

constexpr int kInitial = 0, kAwaiting = 1, kValid = 2, kExpired = 3;

RequestView Request(const std::string& url, const std::string& method = "GET") {
  RequestView view;
  view.url = url;
  view.urlLower = LowerAscii(url);
  view.canonicalUrl = CanonicalizeUrl(url);
  view.method = method;
  view.keyPresent = true;
  return view;
}

SessionSnapshot Session(int state, std::optional<std::string> keptUrl = std::nullopt,
                        std::optional<bool> bypassPending = std::nullopt) {
  SessionSnapshot session;
  session.present = true;
  session.state = state;
  if (keptUrl) {
    session.keptUrl = *keptUrl;
    session.keptUrlLower = LowerAscii(*keptUrl);
  }
  session.bypassReportPending = bypassPending;
  return session;
}

// Decides as the stage does: every member asked for is read from the full
// session, and no member is asked for twice.
RequestDecision Decide(const RequestView& request, const SessionSnapshot& full, int* reads = nullptr) {
  SessionSnapshot known;
  known.present = full.present;
  int count = 0;
  for (;;) {
    RequestDecision decision = DecideRequest(request, known);
    if (decision.need == Member::None) {
      if (reads) *reads = count;
      return decision;
    }
    EXPECT_FALSE(known.Has(decision.need)) << "member asked for twice";
    if (known.Has(decision.need) || ++count > 3) return decision;
    switch (decision.need) {
      case Member::State:
        known.state = full.state;
        break;
      case Member::KeptUrl:
        known.keptUrl = full.keptUrl.value_or("");
        known.keptUrlLower = full.keptUrlLower.value_or("");
        break;
      case Member::BypassReportPending:
        known.bypassReportPending = full.bypassReportPending.value_or(false);
        break;
      case Member::None:
        break;
    }
  }
}

struct RequestCase {
  const char* name;
  RequestView request;
  SessionSnapshot session;
  RequestAction action;
  RequestReason reason;
};

std::ostream& operator<<(std::ostream& out, const RequestCase& c) { return out << c.name; }

RequestView With(RequestView view, void (*change)(RequestView&)) {
  change(view);
  return view;
}

class RequestDecisionTest : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestDecisionTest, DecidesAsTheTableSays) {
  const RequestDecision decision = Decide(GetParam().request, GetParam().session);
  EXPECT_EQ(decision.action, GetParam().action);
  EXPECT_EQ(decision.reason, GetParam().reason);
}

SessionSnapshot NoSession() { return SessionSnapshot(); }

INSTANTIATE_TEST_SUITE_P(
    EveryState, RequestDecisionTest,
    testing::Values(
        // No session.
        RequestCase{"Anonymous", With(Request("/owa/"), [](RequestView& v) { v.keyPresent = false; }), NoSession(),
                    RequestAction::PassOn, RequestReason::Anonymous},
        RequestCase{"StaleKey", Request("/owa/"), NoSession(), RequestAction::SendToIsaTmgLogon,
                    RequestReason::StaleKey},
        RequestCase{"AnonymousAuthorization",
                    With(Request("/owa/"), [](RequestView& v) { v.keyPresent = false; v.authorizationPresent = true; }),
                    NoSession(), RequestAction::Finish, RequestReason::FallbackRefused},
        RequestCase{"AuthorizationAllowedBySetting",
                    With(Request("/owa/"),
                         [](RequestView& v) {
                           v.keyPresent = false;
                           v.authorizationPresent = true;
                           v.fallbackForbidden = false;
                         }),
                    NoSession(), RequestAction::PassOn, RequestReason::Anonymous},
        // The filter's own site, in any state.
        RequestCase{"LoginPage", Request("/TalverinAuth.dll?Logon"), Session(kAwaiting), RequestAction::ShowLoginPage,
                    RequestReason::OwnPage},
        RequestCase{"LoginPageWithoutRenderer",
                    With(Request("/talverinauth.dll?logon"), [](RequestView& v) { v.htmlServerPresent = false; }),
                    Session(kAwaiting), RequestAction::SendToOwnLogin, RequestReason::IncorrectUrl},
        RequestCase{"Picture", Request("/x/talverinauth.dll?action=getpic?login_img.jpg"), Session(kValid),
                    RequestAction::ServeResource, RequestReason::OwnPage},
        RequestCase{"StatusPoll", Request("/talverinauth.dll?action=status"), Session(kExpired),
                    RequestAction::AnswerStatusPoll, RequestReason::OwnPage},
        RequestCase{"LoginPageWithMoreQuery", Request("/talverinauth.dll?logon&x"), Session(kAwaiting),
                    RequestAction::SendToOwnLogin, RequestReason::IncorrectUrl},
        // Initial: one plain read of the kept page, ISA/TMG's own pages.
        RequestCase{"InitialKeptPageOtherCase", Request("/OWA/"), Session(kInitial, "/owa/"), RequestAction::PassOn,
                    RequestReason::KeptPageRead},
        RequestCase{"InitialHead", Request("/owa/", "HEAD"), Session(kInitial, "/owa/"), RequestAction::PassOn,
                    RequestReason::KeptPageRead},
        RequestCase{"InitialPost", Request("/owa/", "POST"), Session(kInitial, "/owa/"),
                    RequestAction::SendToIsaTmgLogon, RequestReason::BypassDetected},
        RequestCase{"InitialGetWithBody", With(Request("/owa/"), [](RequestView& v) { v.hasBody = true; }),
                    Session(kInitial, "/owa/"), RequestAction::SendToIsaTmgLogon, RequestReason::BypassDetected},
        RequestCase{"InitialOtherPage", Request("/other/"), Session(kInitial, "/owa/"),
                    RequestAction::SendToIsaTmgLogon, RequestReason::BypassDetected},
        RequestCase{"InitialNothingKept", Request("/owa/"), Session(kInitial, ""), RequestAction::SendToIsaTmgLogon,
                    RequestReason::BypassDetected},
        RequestCase{"InitialIsaTmgPage", Request("/CookieAuth.dll?GetLogon"), Session(kInitial, "/owa/"),
                    RequestAction::PassOn, RequestReason::IsaTmgPage},
        RequestCase{"InitialBelowIsaTmgPath", Request("/cookieauth.dll/x"), Session(kInitial, "/owa/"),
                    RequestAction::SendToIsaTmgLogon, RequestReason::BypassDetected},
        RequestCase{"InitialAuthorization",
                    With(Request("/owa/"), [](RequestView& v) { v.authorizationPresent = true; }),
                    Session(kInitial, "/owa/"), RequestAction::Finish, RequestReason::FallbackRefused},
        // AwaitingPasscode: the passcode form or back to the passcode page.
        RequestCase{"AwaitingLogin", With(Request(kOwnLoginAction, "POST"),
                                          [](RequestView& v) { v.formAction = FormAction::Login; }),
                    Session(kAwaiting), RequestAction::CheckPasscode, RequestReason::PasscodePosted},
        RequestCase{"AwaitingCancel", With(Request(kOwnLoginAction, "POST"),
                                           [](RequestView& v) { v.formAction = FormAction::Cancel; }),
                    Session(kAwaiting), RequestAction::SendToIsaTmgLogon, RequestReason::Cancelled},
        RequestCase{"AwaitingKeptPage", Request("/owa/"), Session(kAwaiting, "/owa/"), RequestAction::SendToOwnLogin,
                    RequestReason::IncorrectUrl},
        RequestCase{"AwaitingIsaTmgLogonPost", With(Request("/CookieAuth.dll?Logon", "POST"),
                                                    [](RequestView& v) { v.formAction = FormAction::IsaTmgLogon; }),
                    Session(kAwaiting), RequestAction::SendToOwnLogin, RequestReason::IncorrectUrl},
        // Valid: everything passes, Authorization headers too.
        RequestCase{"ValidPost", Request("/owa/send", "POST"), Session(kValid, std::nullopt, false),
                    RequestAction::PassOn, RequestReason::Valid},
        RequestCase{"ValidAuthorization",
                    With(Request("/owa/"), [](RequestView& v) { v.authorizationPresent = true; }),
                    Session(kValid, std::nullopt, false), RequestAction::PassOn, RequestReason::Valid},
        // Expired: ISA/TMG's own pages only.
        RequestCase{"ExpiredGetLogon", Request("/CookieAuth.dll?GetLogon?curl=Z2Fowa"), Session(kExpired, "/owa/"),
                    RequestAction::PassOn, RequestReason::IsaTmgPage},
        RequestCase{"ExpiredLogonPost", Request("/CookieAuth.dll?Logon", "POST"), Session(kExpired),
                    RequestAction::PassOn, RequestReason::IsaTmgPage},
        RequestCase{"ExpiredPage", Request("/owa/"), Session(kExpired, "/owa/"), RequestAction::SendToIsaTmgLogon,
                    RequestReason::ExpiredWrongUrl},
        // Anything else.
        RequestCase{"UnknownState", Request("/owa/"), Session(7), RequestAction::Finish,
                    RequestReason::InvalidState},
        RequestCase{"NegativeState", Request("/owa/"), Session(-1), RequestAction::Finish,
                    RequestReason::InvalidState}),
    [](const testing::TestParamInfo<RequestCase>& info) { return std::string(info.param.name); });

// A Valid session's request reads the state and the bypass flag, nothing
// else; an Expired one only the state.
TEST(RequestDecisionCostTest, MembersReadAreOnlyThoseTheDecisionNeeds) {
  int reads = 0;
  Decide(Request("/owa/"), Session(kValid, "/owa/", false), &reads);
  EXPECT_EQ(reads, 2);
  Decide(Request("/owa/"), Session(kExpired, "/owa/", false), &reads);
  EXPECT_EQ(reads, 1);
  Decide(Request("/owa/"), Session(kInitial, "/owa/", false), &reads);
  EXPECT_EQ(reads, 2);
  Decide(Request("/owa/"), Session(kAwaiting, "/owa/", false), &reads);
  EXPECT_EQ(reads, 1);
  Decide(With(Request("/owa/"), [](RequestView& v) { v.keyPresent = false; }), NoSession(), &reads);
  EXPECT_EQ(reads, 0);
}

TEST(RequestDecisionTest2, ValidRequestOwesTheBypassReportOnlyWhileTheFlagIsSet) {
  RequestDecision owed = Decide(Request("/owa/"), Session(kValid, std::nullopt, true));
  EXPECT_TRUE(owed.reportBypass);
  EXPECT_TRUE(owed.validAtRequest);
  RequestDecision paid = Decide(Request("/owa/"), Session(kValid, std::nullopt, false));
  EXPECT_FALSE(paid.reportBypass);
  EXPECT_TRUE(paid.validAtRequest);
  EXPECT_FALSE(Decide(Request("/owa/"), Session(kInitial, "/owa/")).validAtRequest);
}

TEST(RequestDecisionTest2, ExpiredSessionStartsOverOnlyAtIsaTmgsLogonPage) {
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

struct TargetCase {
  const char* name;
  const char* stored;
  const char* host;
  IsaTmgLogonTarget::Kind kind;
  const char* url;
  bool dropped;
};

class LogonTargetTest : public testing::TestWithParam<TargetCase> {};

TEST_P(LogonTargetTest, FollowsOnlyIsaTmgLogonUrlsOfThisSite) {
  const IsaTmgLogonTarget target = DecideIsaTmgLogonTarget(GetParam().stored, GetParam().host, "/owa/");
  EXPECT_EQ(target.kind, GetParam().kind);
  EXPECT_EQ(target.url, GetParam().url);
  EXPECT_EQ(target.storedNotOnSite, GetParam().dropped);
}

INSTANTIATE_TEST_SUITE_P(
    Referers, LogonTargetTest,
    testing::Values(
        TargetCase{"NothingStored", "", "mail.example", IsaTmgLogonTarget::Kind::RequestUrl, "/owa/", false},
        TargetCase{"LogonPageOfThisSite", "https://mail.example/CookieAuth.dll?GetLogon?reason=0&x=reason=0",
                   "mail.example", IsaTmgLogonTarget::Kind::StoredUrl,
                   "https://mail.example/CookieAuth.dll?GetLogon?reason=4&x=reason=4", false},
        TargetCase{"LogonPagePath", "/CookieAuth.dll?GetLogon", "mail.example", IsaTmgLogonTarget::Kind::StoredUrl,
                   "/CookieAuth.dll?GetLogon", false},
        TargetCase{"OtherSite", "https://evil.example/CookieAuth.dll?GetLogon", "mail.example",
                   IsaTmgLogonTarget::Kind::RequestUrl, "/owa/", true},
        TargetCase{"NotALogonPage", "https://mail.example/owa/", "mail.example", IsaTmgLogonTarget::Kind::Nowhere, "",
                   false},
        TargetCase{"RelativeNameIsNoUrlOfThisSite", "cookieauth.dll?GetLogon", "mail.example",
                   IsaTmgLogonTarget::Kind::RequestUrl, "/owa/", true}),
    [](const testing::TestParamInfo<TargetCase>& info) { return std::string(info.param.name); });

// --- Answers ---------------------------------------------------------------

AnswerView Answer(const std::string& requestUrl, int status, const std::string& location = std::string()) {
  AnswerView view;
  view.statusCode = status;
  view.urlLower = LowerAscii(requestUrl);
  view.canonicalUrl = CanonicalizeUrl(requestUrl);
  view.requestKey = "K";
  view.authCookiePresent = true;
  view.location = location;
  view.locationLower = LowerAscii(location);
  return view;
}

AnswerView SettingCookie(AnswerView view, const std::string& key) {
  view.setsCookie = true;
  view.newKey = key;
  return view;
}

AnswerDecision DecideFull(const AnswerView& view, const SessionSnapshot& full, bool bound) {
  SessionSnapshot known;
  known.present = full.present;
  for (int i = 0; i < 4; ++i) {
    AnswerDecision decision = DecideAnswer(view, known, bound);
    if (decision.need == Member::None) return decision;
    if (decision.need == Member::State) known.state = full.state;
    if (decision.need == Member::KeptUrl) {
      known.keptUrl = full.keptUrl.value_or("");
      known.keptUrlLower = full.keptUrlLower.value_or("");
    }
  }
  ADD_FAILURE() << "the decision keeps asking";
  return AnswerDecision();
}

struct AnswerCase {
  const char* name;
  AnswerView answer;
  SessionSnapshot session;
  bool bound;
  AnswerAction action;
  AnswerReason reason;
};

std::ostream& operator<<(std::ostream& out, const AnswerCase& c) { return out << c.name; }

class AnswerDecisionTest : public testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerDecisionTest, DecidesAsTheTableSays) {
  const AnswerDecision decision = DecideFull(GetParam().answer, GetParam().session, GetParam().bound);
  EXPECT_EQ(decision.action, GetParam().action);
  EXPECT_EQ(decision.reason, GetParam().reason);
}

AnswerView Anonymous(AnswerView view) {
  view.requestKey.clear();
  view.authCookiePresent = false;
  return view;
}

AnswerView ValidAtRequest(AnswerView view) {
  view.validAtRequest = true;
  return view;
}

INSTANTIATE_TEST_SUITE_P(
    EveryState, AnswerDecisionTest,
    testing::Values(
        AnswerCase{"AnonymousPage", Anonymous(Answer("/public/", 200)), NoSession(), false, AnswerAction::PassOn,
                   AnswerReason::Passed},
        AnswerCase{"Anonymous401", Anonymous(Answer("/owa/", 401)), NoSession(), false, AnswerAction::Drop,
                   AnswerReason::FallbackRefused},
        AnswerCase{"Valid401", ValidAtRequest(Answer("/owa/", 401)), Session(kValid), false, AnswerAction::PassOn,
                   AnswerReason::Passed},
        AnswerCase{"LogonPostSetsCookie", SettingCookie(Anonymous(Answer("/CookieAuth.dll?Logon", 302,
                                                                         "https://mail.example/owa/")),
                                                        "N"),
                   NoSession(), false, AnswerAction::Bind, AnswerReason::None},
        AnswerCase{"AmbiguousCookie",
                   [] {
                     AnswerView v = Answer("/owa/", 200);
                     v.cookieAmbiguous = true;
                     return v;
                   }(),
                   Session(kInitial, "/owa/"), false, AnswerAction::Drop, AnswerReason::CookieAmbiguous},
        AnswerCase{"ExpiredWithoutRenewal", Answer("/CookieAuth.dll?GetLogon", 200), Session(kExpired), false,
                   AnswerAction::Drop, AnswerReason::ExpiredNoRenewal},
        AnswerCase{"KeptPageAnswered", Answer("/owa/", 200), Session(kInitial, "/owa/"), false,
                   AnswerAction::AskPasscode, AnswerReason::PasswordAccepted},
        AnswerCase{"KeptPageRedirectedToLogon", Answer("/owa/", 302, "/CookieAuth.dll?GetLogon?reason=0"),
                   Session(kInitial, "/owa/"), false, AnswerAction::PassOn, AnswerReason::PasswordRejected},
        AnswerCase{"KeptPageOtherLogonAnswer", Answer("/owa/", 301, "/CookieAuth.dll?GetLogon"),
                   Session(kInitial, "/owa/"), false, AnswerAction::Drop, AnswerReason::WrongState},
        AnswerCase{"KeptPage500WithoutReferer", Answer("/owa/", 500), Session(kInitial, "/owa/"), false,
                   AnswerAction::Drop, AnswerReason::WrongState},
        AnswerCase{"KeptPage500WithReferer",
                   [] {
                     AnswerView v = Answer("/owa/", 500);
                     v.referer = "https://mail.example/CookieAuth.dll?GetLogon?reason=0";
                     v.refererOnSite = true;
                     return v;
                   }(),
                   Session(kInitial, "/owa/"), false, AnswerAction::BackToReferer, AnswerReason::OddAnswer},
        AnswerCase{"PasswordChangePage", SettingCookie(Answer("/CookieAuth.dll?Logon", 200), "K"),
                   Session(kInitial, "/owa/"), true, AnswerAction::AskPasscode, AnswerReason::PasswordAccepted},
        AnswerCase{"LogonFormAgain", Answer("/CookieAuth.dll?Logon", 200), Session(kInitial, "/owa/"), true,
                   AnswerAction::PassOn, AnswerReason::Passed},
        AnswerCase{"OtherPageInInitial", Answer("/owa/other", 200), Session(kInitial, "/owa/"), false,
                   AnswerAction::Drop, AnswerReason::NotPassed},
        AnswerCase{"AwaitingPasscodePage", Answer("/owa/", 200), Session(kAwaiting, "/owa/"), false,
                   AnswerAction::Drop, AnswerReason::NotPassed},
        AnswerCase{"RedirectToIsaTmgInAwaiting", Answer("/owa/", 302, "https://mail.example/CookieAuth.dll?GetLogon"),
                   Session(kAwaiting, "/owa/"), false, AnswerAction::PassOn, AnswerReason::Passed},
        AnswerCase{"LogoffOfValidSession",
                   SettingCookie(ValidAtRequest(Answer("/owa/logoff.owa", 200)), ""), Session(kExpired), true,
                   AnswerAction::PassOn, AnswerReason::Passed},
        AnswerCase{"ValidNowAfterRenewal", SettingCookie(Answer("/owa/", 200), "N"), Session(kValid), true,
                   AnswerAction::PassOn, AnswerReason::Passed}),
    [](const testing::TestParamInfo<AnswerCase>& info) { return std::string(info.param.name); });

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
  EXPECT_TRUE(ReadsWholeAnswer(CanonicalizeUrl("/CookieAuth.dll?Logon"), NoSession()));
  EXPECT_TRUE(ReadsWholeAnswer(CanonicalizeUrl("/CookieAuth.dll?Logon"), Session(kInitial)));
  EXPECT_FALSE(ReadsWholeAnswer(CanonicalizeUrl("/CookieAuth.dll?Logon"), Session(kValid)));
  EXPECT_FALSE(ReadsWholeAnswer(CanonicalizeUrl("/owa/"), NoSession()));
}

// --- Request bytes ---------------------------------------------------------

struct BlockCase {
  const char* name;
  std::string block;
  bool excluded;
  RequestBlockAction action;
  RequestBlockReason reason;
};
std::ostream& operator<<(std::ostream& out, const BlockCase& c) { return out << c.name; }

std::string Post(const std::string& url, const std::string& headers) {
  return "POST " + url + " HTTP/1.1\r\nHost: site\r\n" + headers + "\r\n";
}

class RequestBlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(RequestBlockTest, DecidesAsTheTableSays) {
  const BlockCase& c = GetParam();
  const RequestBlockDecision decision = DecideRequestBlock(ReadRequestBlock(c.block), c.block.size(), c.excluded);
  EXPECT_EQ(decision.action, c.action);
  EXPECT_EQ(decision.reason, c.reason);
  if (c.action == RequestBlockAction::ReadBody) EXPECT_EQ(decision.bytesAwaited, c.block.size() + 9);
}

constexpr char kForm[] = "Content-Type: application/x-www-form-urlencoded\r\n";
using A = RequestBlockAction;
using R = RequestBlockReason;

INSTANTIATE_TEST_SUITE_P(
    Blocks, RequestBlockTest,
    ::testing::Values(
        BlockCase{"Get", "GET /owa/ HTTP/1.1\r\nHost: site\r\n\r\n", false, A::PassOn, R::NoLoginForm},
        BlockCase{"BareLineEnd", "GET /owa/ HTTP/1.1\nHost: site\r\n\r\n", false, A::Finish, R::NotStrict},
        BlockCase{"FoldedLine", "GET /owa/ HTTP/1.1\r\nHost: site\r\n x\r\n\r\n", true, A::Finish, R::NotStrict},
        BlockCase{"Excluded", Post("/CookieAuth.dll?Logon", "Transfer-Encoding: chunked\r\n"), true, A::PassOn,
                  R::Excluded},
        BlockCase{"LogonPost", Post("/CookieAuth.dll?Logon", std::string(kForm) + "Content-Length: 9\r\n"), false,
                  A::ReadBody, R::LoginForm},
        BlockCase{"LogonPostLowerCaseMethod", "post /CookieAuth.dll?Logon HTTP/1.1\r\nContent-Length: 9\r\n\r\n",
                  false, A::ReadBody, R::LoginForm},
        BlockCase{"OwnLoginPost", Post("/talverinauth.dll?action=talvlogin", "Content-Type: text/plain\r\n"
                                                                             "Content-Length: 9\r\n"),
                  false, A::ReadBody, R::LoginForm},
        BlockCase{"PostElsewhere", Post("/owa/", "Transfer-Encoding: chunked\r\n"), false, A::PassOn, R::NoLoginForm},
        BlockCase{"Chunked", Post("/CookieAuth.dll?Logon", "Transfer-Encoding: chunked\r\n"), false, A::Finish,
                  R::UnclearFraming},
        BlockCase{"TwoLengths", Post("/CookieAuth.dll?Logon", "Content-Length: 9\r\nContent-Length: 8\r\n"), false,
                  A::Finish, R::UnclearFraming},
        BlockCase{"TooLong", Post("/CookieAuth.dll?Logon", "Content-Length: 65537\r\n"), false, A::Finish,
                  R::FormTooLong},
        BlockCase{"Multipart", Post("/CookieAuth.dll?Logon", "Content-Type: multipart/form-data; b=x\r\n"
                                                             "Content-Length: 9\r\n"),
                  false, A::Finish, R::NotUrlEncoded},
        BlockCase{"FormWithCharset", Post("/CookieAuth.dll?Logon", "content-type: Application/X-WWW-Form-UrlEncoded ;"
                                                                   " charset=utf-8\r\nContent-Length: 9\r\n"),
                  false, A::ReadBody, R::LoginForm},
        // ISA/TMG may read the form by the second line and find another user
        // name in it than the back end was asked about.
        BlockCase{"TwoContentTypes", Post("/CookieAuth.dll?Logon", std::string(kForm) +
                                                                       "Content-Type: multipart/form-data; b=x\r\n"
                                                                       "Content-Length: 9\r\n"),
                  false, A::Finish, R::NotUrlEncoded}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return std::string(info.param.name); });

TEST(RequestBlockTest2, KeepsEveryCookieLineAndTheRequestLine) {
  const RequestBlockView view =
      ReadRequestBlock("GET /owa/?a HTTP/1.1\r\nCookie: a=1\r\ncookie : cadata=K\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(view.method, "GET");
  EXPECT_EQ(view.url, "/owa/?a");
  EXPECT_EQ(view.cookieLines, (std::vector<std::string>{"a=1", "cadata=K"}));
  EXPECT_EQ(view.length.kind, HttpHeaderBlock::BodyLength::Kind::Length);
}

}  // namespace
}  // namespace talverin::flow
