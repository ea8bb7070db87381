// The test back end through real COM, hosted in-process: the user check, the
// passcode lifecycle, the text message status, sessions, the rendered page
// and pictures, the IDispatch rules and injected faults.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <thread>

#include "backend_client.h"

namespace backend_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class InProcBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(session_.master());
    proxy_ = session_.Child(L"Proxy");
    store_ = session_.Child(L"Store");
    server_ = session_.Child(L"Server");
    ASSERT_TRUE(proxy_ && store_ && server_);
  }
  void TearDown() override {
    if (session_.master()) Method(session_.master(), L"ClearFaults");
  }

  std::wstring RequestPasscode(const wchar_t* user) {
    Reply reply = Method(proxy_.Get(), L"RequestPasscode", {user});
    EXPECT_EQ(S_OK, reply.hr);
    EXPECT_EQ(VT_BSTR, reply.type());
    return reply.Text();
  }
  Reply Authenticate(const std::wstring& token, const std::string& passcode) {
    return Method(proxy_.Get(), L"Authenticate", {token, Widen(passcode)});
  }
  bool Accepted(const std::wstring& token, const std::string& passcode) {
    Reply reply = Authenticate(token, passcode);
    EXPECT_EQ(S_OK, reply.hr);
    EXPECT_EQ(VT_BOOL, reply.type());
    return reply.BoolValue() == VARIANT_TRUE;
  }
  struct Status {
    long status = -1, queuePosition = -1, expireTicks = -1;
  };
  Status StatusOf(const std::wstring& token) {
    Reply reply = Method(proxy_.Get(), L"GetStatus", {token});
    EXPECT_EQ(S_OK, reply.hr);
    EXPECT_EQ(VT_DISPATCH, reply.type());
    Status s;
    if (auto record = reply.Object()) {
      s.status = Method(record.Get(), L"Status").Int();
      s.queuePosition = Method(record.Get(), L"QueuePosition").Int();
      s.expireTicks = Method(record.Get(), L"ExpireTicks").Int();
    }
    return s;
  }
  static std::string WrongPasscode(const std::string& right) { return right == "000000" ? "000001" : "000000"; }

  BackendSession session_{kInProcProgId};
  ComPtr<IDispatch> proxy_, store_, server_;
};

// --- user check ----------------------------------------------------------

// A test name made of the parameter's letters and digits, kept unique by its index.
std::string ParamName(size_t index, const wchar_t* text) {
  std::string name = "n" + std::to_string(index) + "_";
  for (const wchar_t* c = text; *c; ++c) {
    if ((*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z') || (*c >= L'0' && *c <= L'9')) {
      name.push_back(static_cast<char>(*c));
    }
  }
  return name;
}

struct UserCase {
  const wchar_t* name;
  long code;
};

class UserCodes : public InProcBackend, public ::testing::WithParamInterface<UserCase> {};

TEST_P(UserCodes, CheckAuthenticationAllowedAnswersTheUsersCode) {
  Reply reply = Method(proxy_.Get(), L"CheckAuthenticationAllowed", {GetParam().name, L"192.0.2.7"});
  ASSERT_EQ(S_OK, reply.hr) << Narrow(reply.description);
  ASSERT_EQ(VT_I4, reply.type());
  EXPECT_EQ(GetParam().code, reply.Int());
  EXPECT_THAT(session_.Audit(), HasSubstr("client=192.0.2.7 result=" + std::to_string(GetParam().code)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, UserCodes,
    ::testing::Values(UserCase{L"CONTOSO\\alice", 5}, UserCase{L"contoso\\ALICE", 5}, UserCase{L"alice@Contoso", 5},
                      UserCase{L"CONTOSO.EXAMPLE\\bob", 4}, UserCase{L"bob@contoso.example", 4},
                      UserCase{L"CONTOSO\\carol", 2}, UserCase{L"CONTOSO\\dave", 3}, UserCase{L"CONTOSO\\erin", 5}, UserCase{L"CONTOSO\\\u00C9mile", 5},
                      UserCase{L"\u00E9mile@contoso", 5},
                      UserCase{L"CONTOSO\\mallory", 1}, UserCase{L"alice", 1}, UserCase{L"", 1},
                      UserCase{L"OTHER\\alice", 1}),
    [](const ::testing::TestParamInfo<UserCase>& info) { return ParamName(info.index, info.param.name); });

TEST_F(InProcBackend, BadUsersFileLineIsReportedWithFileAndLine) {
  talverin::test::WriteFileText(session_.UsersPath(),
                                "CONTOSO\\alice | +49 1 | a | valid\n# fine so far\nCONTOSO\\zed | +49 2 | b | vaild\n");
  Reply reply = Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice", L"192.0.2.7"});
  EXPECT_EQ(DISP_E_EXCEPTION, reply.hr);
  EXPECT_THAT(Narrow(reply.description), HasSubstr(session_.UsersPath() + "(3): unknown status 'vaild'"));

  talverin::test::WriteFileText(session_.UsersPath(), "alice | +49 1 | a | valid\n");
  reply = Method(proxy_.Get(), L"RequestPasscode", {L"CONTOSO\\alice"});
  EXPECT_EQ(DISP_E_EXCEPTION, reply.hr);
  EXPECT_THAT(Narrow(reply.description), HasSubstr("(1): user name 'alice' needs a domain"));
}

TEST_F(InProcBackend, MissingUsersFileIsReportedWithItsPath) {
  const std::string missing = session_.UsersPath() + ".gone";
  session_.SetOption(L"UsersFile", Widen(missing));
  Reply reply = Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice", L"192.0.2.7"});
  EXPECT_EQ(DISP_E_EXCEPTION, reply.hr);
  EXPECT_THAT(Narrow(reply.description), HasSubstr(missing));
}

TEST_F(InProcBackend, NamesFromTheNetworkCannotForgeAuditLines) {
  Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"x\r\n2026-01-01T00:00:00Z forged", L"192.0.2.7\n"});
  Method(proxy_.Get(), L"ReportPasswordAuthenticationStatus", {L"y\rforged", Arg::Bool(true)});
  const std::string audit = session_.Audit();
  EXPECT_THAT(audit, HasSubstr("user=x??2026-01-01T00:00:00Z forged client=192.0.2.7? result=1"));
  EXPECT_THAT(audit, HasSubstr("user=y?forged"));
  EXPECT_THAT(audit, Not(HasSubstr("\n2026-01-01")));
}

TEST_F(InProcBackend, ChangedUsersFileIsReadAgain) {
  EXPECT_EQ(5, Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice", L"x"}).Int());
  talverin::test::WriteFileText(session_.UsersPath(), "CONTOSO\\alice | +49 1 | a | locked  \n");
  EXPECT_EQ(2, Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice", L"x"}).Int());
}

// --- passcode lifecycle -------------------------------------------------

TEST_F(InProcBackend, RightPasscodeIsAcceptedOnceAndNeverStored) {
  const std::wstring token = RequestPasscode(L"CONTOSO\\alice");
  ASSERT_EQ(32u, token.size());
  EXPECT_EQ(std::wstring::npos, token.find_first_not_of(L"0123456789abcdef"));

  const std::string outbox = session_.Outbox();
  const std::string passcode = PasscodeFromOutbox(outbox, token);
  ASSERT_EQ(6u, passcode.size()) << outbox;
  EXPECT_THAT(outbox, HasSubstr("SMS to=+49 170 1234567 user=CONTOSO\\alice passcode=" + passcode));

  EXPECT_TRUE(Accepted(token, passcode));
  EXPECT_FALSE(Accepted(token, passcode)) << "a passcode is good for one logon only";
  const std::string audit = session_.Audit();
  EXPECT_THAT(audit, HasSubstr("result=accepted"));
  EXPECT_THAT(audit, HasSubstr("passcode already used"));
  EXPECT_THAT(audit, Not(HasSubstr(passcode)));
}

TEST_F(InProcBackend, WrongPasscodesBelowTheLimitLeaveTheTokenUsable) {
  const std::wstring token = RequestPasscode(L"alice@contoso");
  const std::string passcode = PasscodeFromOutbox(session_.Outbox(), token);
  ASSERT_FALSE(passcode.empty());
  for (int i = 0; i < 4; ++i) EXPECT_FALSE(Accepted(token, WrongPasscode(passcode)));
  EXPECT_TRUE(Accepted(token, passcode));
}

TEST_F(InProcBackend, FiveWrongPasscodesKillTheToken) {
  const std::wstring token = RequestPasscode(L"CONTOSO\\alice");
  const std::string passcode = PasscodeFromOutbox(session_.Outbox(), token);
  ASSERT_FALSE(passcode.empty());
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(Accepted(token, WrongPasscode(passcode)));
  EXPECT_FALSE(Accepted(token, passcode));
  EXPECT_EQ(4, StatusOf(token).status);  // Failure
  EXPECT_EQ(0, StatusOf(token).expireTicks);
  EXPECT_THAT(session_.Audit(), HasSubstr("token killed after 5 wrong passcodes"));
}

TEST_F(InProcBackend, ExpiredPasscodeIsRefused) {
  session_.SetOption(L"PasscodeLifetimeSeconds", L"1");
  const std::wstring token = RequestPasscode(L"CONTOSO\\alice");
  const std::string passcode = PasscodeFromOutbox(session_.Outbox(), token);
  ASSERT_FALSE(passcode.empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_FALSE(Accepted(token, passcode));
  EXPECT_EQ(0, StatusOf(token).expireTicks);
  EXPECT_THAT(session_.Audit(), HasSubstr("passcode expired"));
}

TEST_F(InProcBackend, PasscodeOfOneTokenDoesNotOpenAnother) {
  const std::wstring first = RequestPasscode(L"CONTOSO\\alice");
  const std::wstring second = RequestPasscode(L"CONTOSO\\alice");
  EXPECT_NE(first, second);
  const std::string outbox = session_.Outbox();
  const std::string firstCode = PasscodeFromOutbox(outbox, first);
  const std::string secondCode = PasscodeFromOutbox(outbox, second);
  ASSERT_FALSE(firstCode.empty());
  if (firstCode != secondCode) EXPECT_FALSE(Accepted(second, firstCode));
  EXPECT_FALSE(Accepted(L"00000000000000000000000000000000", secondCode));
  EXPECT_TRUE(Accepted(second, secondCode));
}

TEST_F(InProcBackend, TokensAndPasscodesAreFreshEachTime) {
  std::set<std::wstring> tokens;
  std::set<std::string> passcodes;
  for (int i = 0; i < 20; ++i) tokens.insert(RequestPasscode(L"CONTOSO\\alice"));
  const std::string outbox = session_.Outbox();
  for (const auto& token : tokens) passcodes.insert(PasscodeFromOutbox(outbox, token));
  EXPECT_EQ(20u, tokens.size());
  // Twenty draws from a million collide rarely; five or fewer distinct values would mean a broken generator.
  EXPECT_GT(passcodes.size(), 15u);
  EXPECT_EQ(0u, passcodes.count(""));
}

TEST_F(InProcBackend, RefusedUsersGetATokenThatNeverAuthenticates) {
  for (const wchar_t* user : {L"CONTOSO\\carol", L"CONTOSO\\mallory", L"CONTOSO\\erin"}) {
    const std::wstring token = RequestPasscode(user);
    EXPECT_EQ(32u, token.size());
    EXPECT_TRUE(PasscodeFromOutbox(session_.Outbox(), token).empty());
    EXPECT_EQ(4, StatusOf(token).status) << Narrow(user);
    for (const char* guess : {"000000", "123456", ""}) EXPECT_FALSE(Accepted(token, guess));
  }
  EXPECT_THAT(session_.Audit(), HasSubstr("no phone number"));
}

TEST_F(InProcBackend, StatusMovesFromQueuedThroughSendingToSent) {
  session_.SetOption(L"QueueSeconds", L"1");
  session_.SetOption(L"SendSeconds", L"1");
  const std::wstring first = RequestPasscode(L"CONTOSO\\alice");
  const std::wstring second = RequestPasscode(L"bob@contoso.example");
  const Status firstAtStart = StatusOf(first);
  const Status secondAtStart = StatusOf(second);
  EXPECT_EQ(1, firstAtStart.status);
  EXPECT_EQ(1, firstAtStart.queuePosition);
  EXPECT_EQ(1, secondAtStart.status);
  EXPECT_EQ(2, secondAtStart.queuePosition);
  EXPECT_GE(firstAtStart.expireTicks, 295);
  EXPECT_LE(firstAtStart.expireTicks, 300);

  std::vector<long> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    const long status = StatusOf(second).status;
    if (seen.empty() || seen.back() != status) seen.push_back(status);
    if (status == 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ((std::vector<long>{1, 2, 3}), seen);
  EXPECT_EQ(3, StatusOf(first).status) << "texts go out in the order they were asked for";
  EXPECT_EQ(0, StatusOf(second).queuePosition);
}

TEST_F(InProcBackend, ConcurrentClientsOnSeveralThreadsEachGetTheirOwnPasscode) {
  // Registered as ThreadingModel Both: the objects are called from many threads at once.
  constexpr int kThreads = 4, kRounds = 15;
  std::vector<std::vector<std::wstring>> tokens(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int i = 0; i < kRounds; ++i) {
        Reply token = Method(proxy_.Get(), L"RequestPasscode", {L"CONTOSO\\alice"});
        if (token.hr == S_OK) tokens[t].push_back(token.Text());
        ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"t" + std::to_wstring(t)}).Object();
        if (session) Put(session.Get(), L"State", i);
      }
      CoUninitialize();
    });
  }
  for (auto& thread : threads) thread.join();

  const std::string outbox = session_.Outbox();
  std::set<std::wstring> distinct;
  for (const auto& list : tokens) {
    EXPECT_EQ(static_cast<size_t>(kRounds), list.size());
    distinct.insert(list.begin(), list.end());
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kRounds), distinct.size());
  for (const auto& list : tokens) {
    const std::wstring& token = list.back();
    EXPECT_TRUE(Accepted(token, PasscodeFromOutbox(outbox, token)));
  }
  for (int t = 0; t < kThreads; ++t) {
    ComPtr<IDispatch> session = Method(store_.Get(), L"GetSession", {L"t" + std::to_wstring(t)}).Object();
    ASSERT_TRUE(session);
    EXPECT_EQ(kRounds - 1, Get(session.Get(), L"State").Int());
  }
}

TEST_F(InProcBackend, StatusOfAnUnknownTokenIsEmpty) {
  Reply reply = Method(proxy_.Get(), L"GetStatus", {L"feedfacefeedfacefeedfacefeedface"});
  EXPECT_EQ(S_OK, reply.hr);
  EXPECT_EQ(VT_EMPTY, reply.type());
}

TEST_F(InProcBackend, PasswordStatusReportIsAudited) {
  Reply reply = Method(proxy_.Get(), L"ReportPasswordAuthenticationStatus", {L"CONTOSO\\alice", Arg::Bool(false)});
  EXPECT_EQ(S_OK, reply.hr);
  reply = Invoke(proxy_.Get(), L"ReportPasswordAuthenticationStatus", DISPATCH_METHOD,
                 {L"CONTOSO\\dave", Arg::Bool(true)});
  EXPECT_EQ(S_OK, reply.hr);
  const std::string audit = session_.Audit();
  EXPECT_THAT(audit, HasSubstr("ReportPasswordAuthenticationStatus user=CONTOSO\\alice password=rejected"));
  EXPECT_THAT(audit, HasSubstr("ReportPasswordAuthenticationStatus user=CONTOSO\\dave password=accepted"));
}

// --- sessions -------------------------------------------------------------

TEST_F(InProcBackend, SessionKeepsEveryMemberAndIsFoundByKey) {
  Reply created = Method(store_.Get(), L"CreateSession", {L"key-1"});
  ASSERT_EQ(S_OK, created.hr);
  ComPtr<IDispatch> session = created.Object();
  ASSERT_TRUE(session);

  EXPECT_EQ(S_OK, Put(session.Get(), L"State", 1).hr);
  EXPECT_EQ(S_OK, Put(session.Get(), L"CheckAuthenticationAllowedResult", 4).hr);
  for (const wchar_t* member : {L"Url", L"FbaCookieDomain", L"Username", L"Password", L"Token"}) {
    EXPECT_EQ(S_OK, Put(session.Get(), member, std::wstring(L"value of ") + member).hr);
  }
  EXPECT_EQ(S_OK, Put(session.Get(), L"BypassTalverinAuthentication", Arg::I2(-1)).hr);

  Reply found = Method(store_.Get(), L"GetSession", {L"key-1"});
  ASSERT_EQ(VT_DISPATCH, found.type());
  ComPtr<IDispatch> again = found.Object();
  ASSERT_TRUE(again);
  Reply state = Get(again.Get(), L"State");
  EXPECT_EQ(VT_I4, state.type());
  EXPECT_EQ(1, state.Int());
  EXPECT_EQ(4, Get(again.Get(), L"CheckAuthenticationAllowedResult").Int());
  for (const wchar_t* member : {L"Url", L"FbaCookieDomain", L"Username", L"Password", L"Token"}) {
    EXPECT_EQ(std::wstring(L"value of ") + member, Get(again.Get(), member).Text());
  }
  Reply bypass = Get(again.Get(), L"BypassTalverinAuthentication");
  EXPECT_EQ(VT_BOOL, bypass.type());
  EXPECT_EQ(VARIANT_TRUE, bypass.BoolValue());
  EXPECT_EQ(S_OK, Put(again.Get(), L"bypasstalverinauthentication", Arg::Bool(false)).hr);
  EXPECT_EQ(VARIANT_FALSE, Get(session.Get(), L"BypassTalverinAuthentication").BoolValue());
}

TEST_F(InProcBackend, NewSessionStartsInitialWithEmptyTexts) {
  ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"fresh"}).Object();
  ASSERT_TRUE(session);
  EXPECT_EQ(0, Get(session.Get(), L"State").Int());
  Reply token = Get(session.Get(), L"Token");
  EXPECT_EQ(VT_BSTR, token.type());
  EXPECT_EQ(L"", token.Text());
  EXPECT_EQ(VARIANT_FALSE, Get(session.Get(), L"BypassTalverinAuthentication").BoolValue());
}

TEST_F(InProcBackend, UnknownSessionKeyAnswersEmpty) {
  Method(store_.Get(), L"CreateSession", {L"Key-A"});
  for (const wchar_t* key : {L"unknown", L"key-a", L""}) {
    Reply reply = Method(store_.Get(), L"GetSession", {key});
    EXPECT_EQ(S_OK, reply.hr);
    EXPECT_EQ(VT_EMPTY, reply.type()) << Narrow(key);
  }
}

TEST_F(InProcBackend, IdleSessionIsDroppedButAUsedOneStays) {
  session_.SetOption(L"SessionIdleSeconds", L"2");
  Method(store_.Get(), L"CreateSession", {L"idle"});
  ComPtr<IDispatch> busy = Method(store_.Get(), L"CreateSession", {L"busy"}).Object();
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Put(busy.Get(), L"State", 2);
  }
  EXPECT_EQ(VT_EMPTY, Method(store_.Get(), L"GetSession", {L"idle"}).type());
  EXPECT_EQ(VT_DISPATCH, Method(store_.Get(), L"GetSession", {L"busy"}).type());
}

TEST_F(InProcBackend, CreatingAKeyAgainStartsAFreshSession) {
  ComPtr<IDispatch> old = Method(store_.Get(), L"CreateSession", {L"k"}).Object();
  Put(old.Get(), L"State", 2);
  Method(store_.Get(), L"CreateSession", {L"k"});
  ComPtr<IDispatch> found = Method(store_.Get(), L"GetSession", {L"k"}).Object();
  ASSERT_TRUE(found);
  EXPECT_EQ(0, Get(found.Get(), L"State").Int());
}

// --- IDispatch rules --------------------------------------------------------

TEST_F(InProcBackend, NamesAreFoundWithoutRegardToCase) {
  Reply reply = Method(proxy_.Get(), L"cHECKaUTHENTICATIONaLLOWED", {L"CONTOSO\\alice", L"x"});
  EXPECT_EQ(S_OK, reply.hr);
  EXPECT_EQ(5, reply.Int());
  EXPECT_EQ(DISP_E_UNKNOWNNAME, Method(proxy_.Get(), L"CheckAuthenticationAlowed", {L"a", L"b"}).hr);
}

TEST_F(InProcBackend, BadCallsAnswerTheAutomationErrors) {
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice"}).hr);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, Method(store_.Get(), L"GetSession").hr);
  Reply mismatch = Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"CONTOSO\\alice", Arg::Double(1.5)});
  EXPECT_EQ(DISP_E_TYPEMISMATCH, mismatch.hr);
  EXPECT_EQ(0u, mismatch.argErr) << "the index counts from the last argument";
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Put(proxy_.Get(), L"GetStatus", L"x").hr);
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Method(session_.master(), L"Store").hr) << "Store is a property";

  ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"k"}).Object();
  EXPECT_EQ(DISP_E_TYPEMISMATCH, Put(session.Get(), L"State", L"not a number").hr);
  Reply noNamedArg = Invoke(session.Get(), L"State", DISPATCH_PROPERTYGET, {Arg(1)});
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, noNamedArg.hr);
}

TEST_F(InProcBackend, ArgumentsAreConvertedAsAutomationDoes) {
  // A number where a name is expected is taken as its text; "-1" is true.
  EXPECT_EQ(1, Method(proxy_.Get(), L"CheckAuthenticationAllowed", {42, 7}).Int());
  ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"k"}).Object();
  EXPECT_EQ(S_OK, Put(session.Get(), L"State", L"3").hr);
  EXPECT_EQ(3, Get(session.Get(), L"State").Int());
  EXPECT_EQ(S_OK, Put(session.Get(), L"BypassTalverinAuthentication", L"-1").hr);
  EXPECT_EQ(VARIANT_TRUE, Get(session.Get(), L"BypassTalverinAuthentication").BoolValue());
}

TEST_F(InProcBackend, ServerCalledAsMethodAnswersALiveObject) {
  Reply probe = Method(session_.master(), L"Server");
  EXPECT_EQ(S_OK, probe.hr);
  ASSERT_EQ(VT_DISPATCH, probe.type());
  EXPECT_NE(nullptr, V_DISPATCH(&probe.value));
}

// --- pages and pictures ------------------------------------------------------

TEST_F(InProcBackend, LogonPageCarriesTheFormTheFilterExpects) {
  Reply reply = Method(server_.Get(), L"RenderHtmlPage", {L"TalvLogon.html", L"/owa/?a=1&b=<2>"});
  ASSERT_EQ(S_OK, reply.hr);
  ASSERT_EQ(VT_BSTR, reply.type());
  const std::string page = Narrow(reply.Text());
  for (const char* part : {
           "<form method=\"post\" action=\"/talverinauth.dll?action=talvlogin\"",
           "name=\"passcode\"",
           "name=\"Action\" value=\"LogIn\"",
           "name=\"Action\" value=\"Cancel\"",
           "\"/talverinauth.dll?action=status\"",
           "href=\"/talverinauth.dll?action=getcss?common.css\"",
           "href=\"/talverinauth.dll?action=getcss?talverin.css\"",
           "/talverinauth.dll?action=getpic?login_img.jpg",
           "/talverinauth.dll?action=getpic?login_bgr_top.gif",
           "/talverinauth.dll?action=getpic?login_bgr_body.gif",
           "/talverinauth.dll?action=getpic?dialog_box_fade.gif",
           "/owa/?a=1&amp;b=&lt;2&gt;",
       }) {
    EXPECT_THAT(page, HasSubstr(part));
  }
  EXPECT_THAT(page, Not(HasSubstr("<2>")));
}

TEST_F(InProcBackend, LogonPageStaysAsciiWhateverTheAddress) {
  Reply reply = Method(server_.Get(), L"RenderHtmlPage", {L"TalvLogon.html", L"/caf\u00E9/\U0001F600\t\"x\""});
  ASSERT_EQ(S_OK, reply.hr);
  const std::wstring page = reply.Text();
  EXPECT_EQ(std::wstring::npos, page.find_first_not_of(
                                    L"\r\n\t !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                                    L"abcdefghijklmnopqrstuvwxyz{|}~"));
  EXPECT_THAT(Narrow(page), HasSubstr("/caf&#233;/&#128512;&#65533;&quot;x&quot;"));
}

TEST_F(InProcBackend, StyleSheetsAreRenderedByName) {
  for (const wchar_t* name : {L"common.css", L"TALVERIN.CSS"}) {
    Reply reply = Method(server_.Get(), L"RenderHtmlPage", {name, L""});
    ASSERT_EQ(S_OK, reply.hr);
    const std::string css = Narrow(reply.Text());
    EXPECT_TRUE(std::regex_search(css, std::regex(R"([a-z.-]+\s*\{[^}]+\})"))) << css;
    EXPECT_THAT(css, Not(HasSubstr("<")));
  }
  EXPECT_EQ(S_OK, Method(server_.Get(), L"RenderHtmlPage", {L"common.css"}).hr) << "the text is optional";
  Reply unknown = Method(server_.Get(), L"RenderHtmlPage", {L"nothere.html", L""});
  EXPECT_EQ(DISP_E_EXCEPTION, unknown.hr);
  EXPECT_THAT(Narrow(unknown.description), HasSubstr("nothere.html"));
}

struct PictureCase {
  const wchar_t* name;
  bool jpeg;
};

class Pictures : public InProcBackend, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(Pictures, AreValidImagesInAZeroBasedByteArray) {
  Reply reply = Method(server_.Get(), L"RenderPicture", {GetParam().name});
  ASSERT_EQ(S_OK, reply.hr);
  ASSERT_EQ(VT_ARRAY | VT_UI1, reply.type());
  SAFEARRAY* array = V_ARRAY(&reply.value);
  EXPECT_EQ(1u, SafeArrayGetDim(array));
  LONG lb = -1;
  SafeArrayGetLBound(array, 1, &lb);
  EXPECT_EQ(0, lb);
  const std::vector<unsigned char> bytes = reply.Bytes();
  ASSERT_GT(bytes.size(), 20u);
  if (GetParam().jpeg) {
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xD8, bytes[1]);
    EXPECT_EQ(0xFF, bytes[2]);
    EXPECT_EQ(0xFF, bytes[bytes.size() - 2]);
    EXPECT_EQ(0xD9, bytes[bytes.size() - 1]);
  } else {
    EXPECT_EQ("GIF89a", std::string(bytes.begin(), bytes.begin() + 6));
    const unsigned width = bytes[6] | (bytes[7] << 8), height = bytes[8] | (bytes[9] << 8);
    EXPECT_GT(width, 0u);
    EXPECT_GT(height, 0u);
    EXPECT_EQ(0x3B, bytes.back()) << "GIF trailer";
  }
}

INSTANTIATE_TEST_SUITE_P(All, Pictures,
                         ::testing::Values(PictureCase{L"login_img.jpg", true}, PictureCase{L"login_bgr_top.gif", false},
                                           PictureCase{L"LOGIN_BGR_BODY.GIF", false},
                                           PictureCase{L"dialog_box_fade.gif", false}),
                         [](const ::testing::TestParamInfo<PictureCase>& info) {
                           return ParamName(info.index, info.param.name);
                         });

TEST_F(InProcBackend, UnknownPictureRaisesAnException) {
  Reply reply = Method(server_.Get(), L"RenderPicture", {L"logo.png"});
  EXPECT_EQ(DISP_E_EXCEPTION, reply.hr);
  EXPECT_THAT(Narrow(reply.description), HasSubstr("logo.png"));
}

// --- fault injection ---------------------------------------------------------

class Faults : public InProcBackend {
 protected:
  void Inject(const wchar_t* member, const wchar_t* kind, const wchar_t* value, long count = 0) {
    Reply reply = Method(session_.master(), L"InjectFault", {member, kind, value, count});
    ASSERT_EQ(S_OK, reply.hr) << Narrow(reply.description);
  }
  Reply Picture() { return Method(server_.Get(), L"RenderPicture", {L"login_bgr_top.gif"}); }
};

TEST_F(Faults, HResultIsAnsweredUntilCleared) {
  Inject(L"CheckAuthenticationAllowed", L"hresult", L"0x800706BA");
  EXPECT_EQ(static_cast<HRESULT>(0x800706BA), Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"a", L"b"}).hr);
  EXPECT_EQ(static_cast<HRESULT>(0x800706BA), Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"a", L"b"}).hr);
  EXPECT_EQ(S_OK, Method(proxy_.Get(), L"RequestPasscode", {L"CONTOSO\\alice"}).hr) << "other members are untouched";
  Method(session_.master(), L"ClearFaults");
  EXPECT_EQ(S_OK, Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"a", L"b"}).hr);
}

TEST_F(Faults, CountLimitsTheFaultAndSuccessCodesPass) {
  Inject(L"AuthenticationProxy.Authenticate", L"hresult", L"1", 1);
  EXPECT_EQ(S_FALSE, Method(proxy_.Get(), L"Authenticate", {L"t", L"p"}).hr);
  EXPECT_EQ(S_OK, Method(proxy_.Get(), L"Authenticate", {L"t", L"p"}).hr);
}

TEST_F(Faults, QualifiedNameHitsOnlyThatObject) {
  Inject(L"Session.State", L"empty", L"");
  ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"k"}).Object();
  EXPECT_EQ(VT_EMPTY, Get(session.Get(), L"State").type());
  EXPECT_EQ(VT_BSTR, Get(session.Get(), L"Token").type());
}

TEST_F(Faults, AnswersCanBeEmptyMistypedOrNull) {
  Inject(L"Token", L"empty", L"");
  Inject(L"CheckAuthenticationAllowed", L"wrongtype", L"");
  Inject(L"Url", L"wrongtype", L"");
  Inject(L"GetSession", L"nullobject", L"");
  Inject(L"Authenticate", L"value", L"1");
  ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"k"}).Object();
  EXPECT_EQ(VT_EMPTY, Get(session.Get(), L"Token").type());
  EXPECT_EQ(VT_BSTR, Method(proxy_.Get(), L"CheckAuthenticationAllowed", {L"a", L"b"}).type());
  EXPECT_EQ(VT_I4, Get(session.Get(), L"Url").type());
  Reply nullSession = Method(store_.Get(), L"GetSession", {L"k"});
  EXPECT_EQ(VT_DISPATCH, nullSession.type());
  EXPECT_EQ(nullptr, V_DISPATCH(&nullSession.value));
  Reply authenticate = Method(proxy_.Get(), L"Authenticate", {L"t", L"p"});
  EXPECT_EQ(VT_BOOL, authenticate.type());
  EXPECT_EQ(1, authenticate.BoolValue());
}

TEST_F(Faults, ProbeCanBeMadeToAnswerZero) {
  Inject(L"ConnectionMaster.Server", L"value", L"0");
  Reply probe = Method(session_.master(), L"Server");
  EXPECT_EQ(S_OK, probe.hr);
  EXPECT_EQ(VT_I4, probe.type());
  EXPECT_EQ(0, probe.Int());
}

TEST_F(Faults, CallKindQualifierLeavesTheOtherKindsAlone) {
  Inject(L"Server:method", L"value", L"0");
  Inject(L"Session.State:put", L"hresult", L"0x80020009");
  EXPECT_EQ(VT_DISPATCH, Get(session_.master(), L"Server").type());
  EXPECT_EQ(VT_I4, Method(session_.master(), L"Server").type());
  ComPtr<IDispatch> session = Method(store_.Get(), L"CreateSession", {L"k"}).Object();
  EXPECT_EQ(DISP_E_EXCEPTION, Put(session.Get(), L"State", 1).hr);
  EXPECT_EQ(S_OK, Get(session.Get(), L"State").hr);
}

TEST_F(Faults, ExceptionCarriesItsDescription) {
  Inject(L"RenderHtmlPage", L"exception", L"renderer crashed");
  Reply reply = Method(server_.Get(), L"RenderHtmlPage", {L"common.css", L""});
  EXPECT_EQ(DISP_E_EXCEPTION, reply.hr);
  EXPECT_EQ(L"renderer crashed", reply.description);
}

TEST_F(Faults, PictureArraysCanBeMisshapen) {
  const size_t size = Picture().Bytes().size();
  Inject(L"RenderPicture", L"array-lbound1", L"", 1);
  {
    Reply reply = Picture();
    LONG lb = 0;
    SafeArrayGetLBound(V_ARRAY(&reply.value), 1, &lb);
    EXPECT_EQ(1, lb);
    EXPECT_EQ(size, reply.Bytes().size());
  }
  Inject(L"RenderPicture", L"array-2d", L"", 1);
  {
    Reply reply = Picture();
    EXPECT_EQ(2u, SafeArrayGetDim(V_ARRAY(&reply.value)));
  }
  Inject(L"RenderPicture", L"array-i2", L"", 1);
  {
    Reply reply = Picture();
    EXPECT_EQ(VT_ARRAY | VT_I2, reply.type());
    VARTYPE element = VT_EMPTY;
    SafeArrayGetVartype(V_ARRAY(&reply.value), &element);
    EXPECT_EQ(VT_I2, element);
  }
  Inject(L"RenderPicture", L"array-empty", L"", 1);
  {
    Reply reply = Picture();
    EXPECT_EQ(VT_ARRAY | VT_UI1, reply.type());
    EXPECT_TRUE(reply.Bytes().empty());
  }
  EXPECT_EQ(size, Picture().Bytes().size());
}

TEST_F(Faults, DelayHoldsTheAnswerBack) {
  Inject(L"GetStatus", L"delay", L"300", 1);
  const auto start = std::chrono::steady_clock::now();
  Reply reply = Method(proxy_.Get(), L"GetStatus", {L"x"});
  EXPECT_EQ(S_OK, reply.hr);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
}

TEST_F(Faults, BadInjectionsAreRefused) {
  EXPECT_EQ(DISP_E_EXCEPTION, Method(session_.master(), L"InjectFault", {L"State", L"explode", L""}).hr);
  EXPECT_EQ(DISP_E_EXCEPTION, Method(session_.master(), L"InjectFault", {L"State", L"hresult", L"oops"}).hr);
  EXPECT_EQ(DISP_E_EXCEPTION, Method(session_.master(), L"SetOption", {L"Colour", L"blue"}).hr);
}

TEST_F(Faults, ShutdownIsRefusedInProcess) {
  Reply reply = Method(session_.master(), L"Shutdown");
  EXPECT_EQ(S_OK, reply.hr);
  EXPECT_EQ(VARIANT_FALSE, reply.BoolValue());
  EXPECT_EQ(static_cast<long>(GetCurrentProcessId()), Method(session_.master(), L"ProcessId").Int());
}

}  // namespace
}  // namespace backend_test
