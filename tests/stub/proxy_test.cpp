// The proxies against a scripted IDispatch object: the exact traffic each
// member sends, and how each member reads, checks and converts the answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "stub/authentication_proxy.h"
#include "stub/connection_master.h"
#include "stub/dispid_cache.h"
#include "stub/errors.h"
#include "stub/html_server.h"
#include "stub/passcode_status.h"
#include "stub/scripted_dispatch.h"
#include "stub/session_store.h"

namespace stubtest {
namespace {

using talverin::ComPtr;

template <class Proxy>
std::shared_ptr<Proxy> AttachedTo(ScriptedDispatch* object) {
  auto proxy = std::make_shared<Proxy>();
  proxy->Attach(object);
  return proxy;
}

Answer WithHResult(Answer answer, HRESULT hr) {
  answer.hr = hr;
  return answer;
}

// The text of the Stub::Exception that f raises, or "" when it raises none.
std::string StubExceptionText(const std::function<void()>& f) {
  try {
    f();
  } catch (const Stub::Exception& e) {
    return e.what();
  }
  return std::string();
}

HRESULT HResultExceptionCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const Stub::HResultException& e) {
    return e.hr();
  }
  return S_OK;
}

class ProxyTest : public testing::Test {
 protected:
  // A session proxy that remembers DISPIDs, its State read once, then the
  // back end's DISPIDs changed and its traffic forgotten.
  std::shared_ptr<Stub::Session> SessionAfterRenumbering() {
    object_->Script(L"State", Integer(2));
    auto session = std::make_shared<Stub::Session>();
    session->UseDispids(std::make_shared<Stub::DispidCache>());
    session->Attach(object_.Get());
    EXPECT_EQ(session->GetState(), 2);
    object_->Renumber();
    return session;
  }

  ComPtr<ScriptedDispatch> object_ = ScriptedDispatch::Create();
};

// ---------------------------------------------------------------------------
// Traffic

TEST_F(ProxyTest, ProxyOfNoConnectionLooksTheMemberUpOnEveryCallWithTheUserDefaultLocale) {
  object_->Script(L"State", Integer(2));
  auto session = AttachedTo<Stub::Session>(object_.Get());
  EXPECT_EQ(session->GetState(), 2);
  EXPECT_EQ(session->GetState(), 2);

  auto lookups = object_->Lookups();
  ASSERT_EQ(lookups.size(), 2u);
  for (const Lookup& lookup : lookups) {
    EXPECT_EQ(lookup.name, L"State");
    EXPECT_EQ(lookup.locale, 0x0400u);
    EXPECT_TRUE(lookup.iidNull);
    EXPECT_EQ(lookup.count, 1u);
  }
  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const ReceivedCall& call : calls) {
    EXPECT_EQ(call.flags, DISPATCH_PROPERTYGET);
    EXPECT_EQ(call.locale, 0x0400u);
    EXPECT_TRUE(call.iidNull);
    EXPECT_TRUE(call.arguments.empty());
    EXPECT_TRUE(call.namedArguments.empty());
    EXPECT_TRUE(call.resultRequested);
    EXPECT_FALSE(call.exceptionInfoPassed);
    EXPECT_FALSE(call.argumentErrorPassed);
  }
}

// A connection's proxies share what they looked up: each member is looked up
// once, gets and puts of one property alike, and the objects a proxy hands
// out use its DISPIDs too.
TEST_F(ProxyTest, ConnectionLooksEachMemberUpOnceForAllItsProxies) {
  ComPtr<ScriptedDispatch> sessionObject = ScriptedDispatch::Create();
  sessionObject->Script(L"State", Integer(2));
  sessionObject->Script(L"Url", Text(L"/owa/"));
  object_->Script(L"GetSession", Object(sessionObject.Get()));
  auto store = std::make_shared<Stub::SessionStore>();
  store->UseDispids(std::make_shared<Stub::DispidCache>());
  store->Attach(object_.Get());

  for (int round = 0; round < 3; ++round) {
    std::shared_ptr<Stub::Session> session = store->GetSession("k");
    ASSERT_TRUE(session);
    EXPECT_EQ(session->Dispids(), store->Dispids());
    EXPECT_EQ(session->GetState(), 2);
    session->PutState(1);
    EXPECT_EQ(session->GetUrl(), "/owa/");
  }
  EXPECT_EQ(object_->Lookups().size(), 1u);
  std::vector<std::wstring> looked;
  for (const Lookup& lookup : sessionObject->Lookups()) looked.push_back(lookup.name);
  EXPECT_THAT(looked, testing::ElementsAre(L"State", L"Url"));
  EXPECT_EQ(object_->Calls().size(), 3u);
  EXPECT_EQ(sessionObject->Calls().size(), 9u);
}

TEST_F(ProxyTest, RememberedDispidTheBackEndNoLongerKnowsIsLookedUpAgainOnce) {
  auto session = SessionAfterRenumbering();
  object_->ForgetTraffic();

  EXPECT_EQ(session->GetState(), 2);
  ASSERT_EQ(object_->Lookups().size(), 1u);
  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].member, L"");  // the old DISPID, refused
  EXPECT_EQ(calls[1].member, L"State");

  object_->ForgetTraffic();
  EXPECT_EQ(session->GetState(), 2);
  EXPECT_TRUE(object_->Lookups().empty());
  EXPECT_EQ(object_->Calls().size(), 1u);
}

TEST_F(ProxyTest, MemberThatStaysUnknownAfterTheSecondLookupFailsWithTheLookupsCode) {
  auto session = SessionAfterRenumbering();
  object_->FailLookup(L"State", DISP_E_UNKNOWNNAME);
  object_->ForgetTraffic();

  try {
    session->GetState();
    ADD_FAILURE() << "no HRXEx";
  } catch (const HRXEx& e) {
    EXPECT_EQ(e.hr, DISP_E_UNKNOWNNAME);
  }
  EXPECT_EQ(object_->Lookups().size(), 1u);
  EXPECT_EQ(object_->Calls().size(), 1u);
}

TEST_F(ProxyTest, PropertyPutSendsOneNamedPropertyPutArgumentAndAsksForNoResult) {
  object_->Script(L"Url", Empty());
  object_->Script(L"State", Empty());
  object_->Script(L"CheckAuthenticationAllowedResult", Empty());
  auto session = AttachedTo<Stub::Session>(object_.Get());
  session->PutUrl("/owa/");
  session->PutState(3);
  session->PutCheckAuthenticationAllowedResult(-5);

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 3u);
  for (const ReceivedCall& call : calls) {
    EXPECT_EQ(call.flags, DISPATCH_PROPERTYPUT);
    EXPECT_THAT(call.namedArguments, testing::ElementsAre(DISPID_PROPERTYPUT));
    ASSERT_EQ(call.arguments.size(), 1u);
    EXPECT_FALSE(call.resultRequested);
  }
  EXPECT_EQ(calls[0].arguments[0].vt, VT_BSTR);
  EXPECT_EQ(calls[0].arguments[0].text, L"/owa/");
  EXPECT_EQ(calls[1].arguments[0].vt, VT_I4);
  EXPECT_EQ(calls[1].arguments[0].number, 3);
  EXPECT_EQ(calls[2].arguments[0].vt, VT_I4);
  EXPECT_EQ(calls[2].arguments[0].number, -5);
}

TEST_F(ProxyTest, BypassFlagIsPutAsShortInteger) {
  object_->Script(L"BypassTalverinAuthentication", Empty());
  auto session = AttachedTo<Stub::Session>(object_.Get());
  session->PutBypassTalverinAuthentication(true);
  session->PutBypassTalverinAuthentication(false);

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].arguments[0].vt, VT_I2);
  EXPECT_EQ(calls[0].arguments[0].number, -1);
  EXPECT_EQ(calls[1].arguments[0].vt, VT_I2);
  EXPECT_EQ(calls[1].arguments[0].number, 0);
}

TEST_F(ProxyTest, TwoArgumentMethodsReceiveTheirArgumentsInTableOrder) {
  object_->Script(L"Authenticate", Boolean(VARIANT_TRUE));
  object_->Script(L"CheckAuthenticationAllowed", Integer(5));
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  proxy->Authenticate("token-1", "123456");
  proxy->CheckAuthenticationAllowed("CONTOSO\\alice", "10.0.0.7");

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const ReceivedCall& call : calls) {
    EXPECT_EQ(call.flags, DISPATCH_METHOD);
    EXPECT_TRUE(call.namedArguments.empty());
    EXPECT_TRUE(call.resultRequested);
    ASSERT_EQ(call.arguments.size(), 2u);
    EXPECT_EQ(call.arguments[0].vt, VT_BSTR);
    EXPECT_EQ(call.arguments[1].vt, VT_BSTR);
  }
  EXPECT_EQ(calls[0].arguments[0].text, L"token-1");
  EXPECT_EQ(calls[0].arguments[1].text, L"123456");
  EXPECT_EQ(calls[1].arguments[0].text, L"CONTOSO\\alice");
  EXPECT_EQ(calls[1].arguments[1].text, L"10.0.0.7");
}

TEST_F(ProxyTest, PasswordReportSendsBooleanAndAsksForNoResult) {
  object_->Script(L"ReportPasswordAuthenticationStatus", Empty());
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  proxy->ReportPasswordAuthenticationStatus("bob", true);
  proxy->ReportPasswordAuthenticationStatus("bob", false);

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  for (const ReceivedCall& call : calls) {
    EXPECT_EQ(call.flags, DISPATCH_METHOD);
    EXPECT_FALSE(call.resultRequested);
    ASSERT_EQ(call.arguments.size(), 2u);
    EXPECT_EQ(call.arguments[0].text, L"bob");
    EXPECT_EQ(call.arguments[1].vt, VT_BOOL);
  }
  EXPECT_EQ(calls[0].arguments[1].number, VARIANT_TRUE);
  EXPECT_EQ(calls[1].arguments[1].number, VARIANT_FALSE);
}

TEST_F(ProxyTest, PageWithoutTextSendsAnEmptyStringNotANullOne) {
  object_->Script(L"RenderHtmlPage", Text(L"<html/>"));
  auto server = AttachedTo<Stub::HtmlServer>(object_.Get());
  EXPECT_EQ(server->RenderHtmlPage("TalvStyle.css"), "<html/>");

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].arguments.size(), 2u);
  EXPECT_EQ(calls[0].arguments[0].text, L"TalvStyle.css");
  EXPECT_EQ(calls[0].arguments[1].vt, VT_BSTR);
  EXPECT_FALSE(calls[0].arguments[1].nullText);
  EXPECT_TRUE(calls[0].arguments[1].text.empty());
}

TEST_F(ProxyTest, TextsCrossInTheThreadCodePage) {
  // Western European code page for this thread: 0xE9 is e-acute, 0xFC u-umlaut.
  LCID previous = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
  object_->Script(L"GetSession", Empty());
  object_->Script(L"Username", Text(L"M\u00fcller"));
  auto store = AttachedTo<Stub::SessionStore>(object_.Get());
  auto session = AttachedTo<Stub::Session>(object_.Get());
  store->GetSession("caf\xe9");
  std::string name = session->GetUsername();
  SetThreadLocale(previous);

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[0].arguments.size(), 1u);
  EXPECT_EQ(calls[0].arguments[0].text, L"caf\u00e9");
  EXPECT_EQ(name, "M\xfcller");
}

// ---------------------------------------------------------------------------
// Expired proxies

TEST_F(ProxyTest, ProxyWithoutObjectRaisesExpiredBeforeAnyCall) {
  Stub::Session session;
  Stub::SessionStore store;
  Stub::AuthenticationProxy proxy;
  Stub::HtmlServer server;
  Stub::PasscodeStatusEx status;
  Stub::ConnectionMaster master;
  std::vector<unsigned char> bytes;
  const std::vector<std::function<void()>> members = {
      [&] { session.GetState(); },
      [&] { session.PutUrl("x"); },
      [&] { session.GetBypassTalverinAuthentication(); },
      [&] { store.GetSession("k"); },
      [&] { store.CreateSession("k"); },
      [&] { proxy.Authenticate("t", "p"); },
      [&] { proxy.ReportPasswordAuthenticationStatus("u", true); },
      [&] { server.RenderPicture("p.gif", bytes); },
      [&] { status.GetStatusText(); },
      [&] { master.GetStore(); },
      [&] { master.IsAlive(); },
  };
  for (std::size_t i = 0; i < members.size(); ++i) {
    EXPECT_EQ(StubExceptionText(members[i]), "COM pointer has expired") << "member " << i;
  }
}

TEST_F(ProxyTest, AbandonedProxyStopsCallingAndKeepsItsReference) {
  object_->Script(L"Token", Text(L"t"));
  auto session = AttachedTo<Stub::Session>(object_.Get());
  const ULONG held = object_->References();
  session->Abandon();

  EXPECT_EQ(StubExceptionText([&] { session->GetToken(); }), "COM pointer has expired");
  EXPECT_TRUE(object_->Calls().empty());
  EXPECT_TRUE(object_->Lookups().empty());
  // Left to the back end: no Release, even when the proxy goes.
  session.reset();
  EXPECT_EQ(object_->References(), held);
  object_->Release();  // balance the abandoned reference so the object can go
}

TEST_F(ProxyTest, AttachReleasesThePreviousObject) {
  ComPtr<ScriptedDispatch> second = ScriptedDispatch::Create();
  auto session = AttachedTo<Stub::Session>(object_.Get());
  EXPECT_EQ(object_->References(), 2u);
  session->Attach(second.Get());
  EXPECT_EQ(object_->References(), 1u);
  EXPECT_EQ(second->References(), 2u);
  session.reset();
  EXPECT_EQ(second->References(), 1u);
}

// ---------------------------------------------------------------------------
// VT_EMPTY answers, member by member

struct EmptyRow {
  const char* member;
  std::function<std::string(Stub::Session&, Stub::AuthenticationProxy&, Stub::HtmlServer&,
                            Stub::PasscodeStatusEx&)>
      read;
  const char* expected;  // nullptr: raises "COM method returned VT_EMPTY"
};

void PrintTo(const EmptyRow& row, std::ostream* os) { *os << row.member; }

class EmptyAnswerTest : public ProxyTest, public testing::WithParamInterface<EmptyRow> {};

TEST_P(EmptyAnswerTest, GivesTheZeroValueOrRaisesAsTheMemberTableSays) {
  const EmptyRow& row = GetParam();
  std::wstring member(row.member, row.member + std::char_traits<char>::length(row.member));
  object_->Script(member, Empty());
  Stub::Session session;
  Stub::AuthenticationProxy proxy;
  Stub::HtmlServer server;
  Stub::PasscodeStatusEx status;
  session.Attach(object_.Get());
  proxy.Attach(object_.Get());
  server.Attach(object_.Get());
  status.Attach(object_.Get());

  std::string value;
  std::string raised = StubExceptionText([&] { value = row.read(session, proxy, server, status); });
  if (row.expected == nullptr) {
    EXPECT_EQ(raised, "COM method returned VT_EMPTY");
  } else {
    EXPECT_EQ(raised, "");
    EXPECT_EQ(value, row.expected);
  }
}

using S = Stub::Session;
using A = Stub::AuthenticationProxy;
using H = Stub::HtmlServer;
using P = Stub::PasscodeStatusEx;

INSTANTIATE_TEST_SUITE_P(
    MemberTable, EmptyAnswerTest,
    testing::Values(
        EmptyRow{"Url", [](S& s, A&, H&, P&) { return s.GetUrl(); }, ""},
        EmptyRow{"FbaCookieDomain", [](S& s, A&, H&, P&) { return s.GetFbaCookieDomain(); }, ""},
        EmptyRow{"Password", [](S& s, A&, H&, P&) { return s.GetPassword(); }, ""},
        EmptyRow{"Username", [](S& s, A&, H&, P&) { return s.GetUsername(); }, nullptr},
        EmptyRow{"Token", [](S& s, A&, H&, P&) { return s.GetToken(); }, nullptr},
        EmptyRow{"State", [](S& s, A&, H&, P&) { return std::to_string(s.GetState()); }, nullptr},
        EmptyRow{"BypassTalverinAuthentication",
                 [](S& s, A&, H&, P&) { return std::to_string(s.GetBypassTalverinAuthentication()); }, "0"},
        EmptyRow{"CheckAuthenticationAllowedResult",
                 [](S& s, A&, H&, P&) { return std::to_string(s.GetCheckAuthenticationAllowedResult()); }, "0"},
        EmptyRow{"RequestPasscode", [](S&, A& a, H&, P&) { return a.RequestPasscode("u"); }, nullptr},
        EmptyRow{"Authenticate", [](S&, A& a, H&, P&) { return std::to_string(a.Authenticate("t", "p")); },
                 nullptr},
        EmptyRow{"CheckAuthenticationAllowed",
                 [](S&, A& a, H&, P&) { return std::to_string(a.CheckAuthenticationAllowed("u", "a")); }, nullptr},
        EmptyRow{"RenderHtmlPage", [](S&, A&, H& h, P&) { return h.RenderHtmlPage("p", "t"); }, nullptr},
        EmptyRow{"RenderPicture",
                 [](S&, A&, H& h, P&) {
                   std::vector<unsigned char> bytes;
                   h.RenderPicture("p.gif", bytes);
                   return std::string();
                 },
                 nullptr},
        EmptyRow{"Status", [](S&, A&, H&, P& p) { return std::to_string(p.Status()); }, nullptr},
        EmptyRow{"QueuePosition", [](S&, A&, H&, P& p) { return std::to_string(p.QueuePosition()); }, nullptr},
        EmptyRow{"ExpireTicks", [](S&, A&, H&, P& p) { return std::to_string(p.ExpireTicks()); }, nullptr}),
    [](const testing::TestParamInfo<EmptyRow>& info) { return std::string(info.param.member); });

// ---------------------------------------------------------------------------
// Result conversions

TEST_F(ProxyTest, BypassFlagReadsTrueOnlyForVariantTrue) {
  auto session = AttachedTo<Stub::Session>(object_.Get());
  object_->Script(L"BypassTalverinAuthentication", Boolean(VARIANT_TRUE));
  EXPECT_TRUE(session->GetBypassTalverinAuthentication());
  object_->Script(L"BypassTalverinAuthentication", Boolean(1));
  EXPECT_FALSE(session->GetBypassTalverinAuthentication());
  object_->Script(L"BypassTalverinAuthentication", Short(-1));
  EXPECT_TRUE(session->GetBypassTalverinAuthentication());
  object_->Script(L"BypassTalverinAuthentication", Boolean(VARIANT_FALSE));
  EXPECT_FALSE(session->GetBypassTalverinAuthentication());
}

TEST_F(ProxyTest, AuthenticateReadsAnyNonZeroValueAsTrue) {
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  object_->Script(L"Authenticate", Boolean(1));
  EXPECT_TRUE(proxy->Authenticate("t", "p"));
  object_->Script(L"Authenticate", Boolean(VARIANT_TRUE));
  EXPECT_TRUE(proxy->Authenticate("t", "p"));
  object_->Script(L"Authenticate", Boolean(VARIANT_FALSE));
  EXPECT_FALSE(proxy->Authenticate("t", "p"));
}

TEST_F(ProxyTest, TextAndIntegerResultsConvert) {
  auto session = AttachedTo<Stub::Session>(object_.Get());
  object_->Script(L"Token", Text(L"0123456789abcdef"));
  object_->Script(L"Password", NullText());
  object_->Script(L"State", Integer(-7));
  object_->Script(L"Url", Text(std::wstring(L"a\0b", 3)));
  EXPECT_EQ(session->GetToken(), "0123456789abcdef");
  EXPECT_EQ(session->GetPassword(), "");
  EXPECT_EQ(session->GetState(), -7);
  EXPECT_EQ(session->GetUrl(), std::string("a\0b", 3));
}

TEST_F(ProxyTest, TextMemberAnsweringANumberRaisesTypeMismatchInsteadOfReadingAPointer) {
  auto session = AttachedTo<Stub::Session>(object_.Get());
  object_->Script(L"Username", Integer(7));
  EXPECT_EQ(HResultExceptionCode([&] { session->GetUsername(); }), DISP_E_TYPEMISMATCH);
  object_->Script(L"Url", Integer(0x1000));
  EXPECT_EQ(HResultExceptionCode([&] { session->GetUrl(); }), DISP_E_TYPEMISMATCH);
}

// ---------------------------------------------------------------------------
// HRESULT checks

TEST_F(ProxyTest, FailingCallRaisesHrxexWithTheSystemText) {
  object_->Script(L"RequestPasscode", Failure(RPC_E_DISCONNECTED));
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  try {
    proxy->RequestPasscode("alice");
    FAIL() << "no HRXEx";
  } catch (const HRXEx& failure) {
    EXPECT_EQ(failure.hr, RPC_E_DISCONNECTED);
    EXPECT_EQ(failure.description, "");
    EXPECT_EQ(failure.errorText, Stub::ErrorText(RPC_E_DISCONNECTED));
    EXPECT_FALSE(failure.errorText.empty());
  }
}

TEST_F(ProxyTest, FailedLookupIsTheResultAndNothingIsInvoked) {
  object_->FailLookup(L"GetStatus", DISP_E_UNKNOWNNAME);
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  try {
    proxy->GetStatus("t");
    FAIL() << "no HRXEx";
  } catch (const HRXEx& failure) {
    EXPECT_EQ(failure.hr, DISP_E_UNKNOWNNAME);
  }
  EXPECT_EQ(object_->Lookups().size(), 1u);
  EXPECT_TRUE(object_->Calls().empty());
}

TEST_F(ProxyTest, SuccessCodesPassExceptForAuthenticate) {
  object_->Script(L"State", WithHResult(Integer(1), S_FALSE));
  object_->Script(L"ReportPasswordAuthenticationStatus", Failure(S_FALSE));
  object_->Script(L"Authenticate", WithHResult(Boolean(VARIANT_TRUE), S_FALSE));
  auto session = AttachedTo<Stub::Session>(object_.Get());
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  EXPECT_EQ(session->GetState(), 1);
  EXPECT_NO_THROW(proxy->ReportPasswordAuthenticationStatus("u", false));
  try {
    proxy->Authenticate("t", "p");
    FAIL() << "S_FALSE passed";
  } catch (const HRXEx& failure) {
    EXPECT_EQ(failure.hr, S_FALSE);
  }
}

TEST_F(ProxyTest, LockIsLeftWhenAMemberRaises) {
  object_->Script(L"Token", Failure(E_FAIL));
  object_->Script(L"Url", Text(L"/after"));
  auto session = AttachedTo<Stub::Session>(object_.Get());
  EXPECT_THROW(session->GetToken(), HRXEx);
  object_->Script(L"Token", Empty());
  EXPECT_THROW(session->GetToken(), Stub::Exception);
  // A critical section is re-entrant for its owner: only another thread can
  // tell whether it was left.
  auto other = std::async(std::launch::async, [&] { return session->GetUrl(); });
  ASSERT_EQ(other.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(other.get(), "/after");
}

TEST_F(ProxyTest, CallsOnOneProxyAreSerialized) {
  object_->Script(L"RequestPasscode", Text(L"token"));
  object_->Script(L"Authenticate", Boolean(VARIANT_TRUE));
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  object_->OnInvoke([&, released](const std::wstring& member) {
    if (member == L"RequestPasscode") {
      entered.set_value();
      released.wait();
    }
  });
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  auto slow = std::async(std::launch::async, [&] { return proxy->RequestPasscode("u"); });
  entered.get_future().wait();
  auto waiting = std::async(std::launch::async, [&] { return proxy->Authenticate("t", "p"); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(object_->Calls().size(), 1u);
  release.set_value();
  EXPECT_EQ(slow.get(), "token");
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(object_->Calls().size(), 2u);
}

// ---------------------------------------------------------------------------
// Object results

TEST_F(ProxyTest, CreatedSessionTalksToTheObjectTheStoreReturned) {
  ComPtr<ScriptedDispatch> child = ScriptedDispatch::Create();
  child->Script(L"Username", Text(L"alice"));
  object_->Script(L"CreateSession", Object(child.Get()));
  auto store = AttachedTo<Stub::SessionStore>(object_.Get());

  auto session = store->CreateSession("key-1");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(child->References(), 2u);  // ours and the proxy's; the result's is gone
  EXPECT_EQ(session->GetUsername(), "alice");
  EXPECT_EQ(object_->Calls()[0].arguments[0].text, L"key-1");
  session.reset();
  EXPECT_EQ(child->References(), 1u);
}

TEST_F(ProxyTest, StoreThatCreatesNothingRaisesEmpty) {
  auto store = AttachedTo<Stub::SessionStore>(object_.Get());
  object_->Script(L"CreateSession", Empty());
  EXPECT_EQ(StubExceptionText([&] { store->CreateSession("k"); }), "COM method returned VT_EMPTY");
  object_->Script(L"CreateSession", Object(nullptr));
  EXPECT_EQ(StubExceptionText([&] { store->CreateSession("k"); }), "COM method returned VT_EMPTY");
}

TEST_F(ProxyTest, MissingSessionIsANullReferenceNotAFailure) {
  auto store = AttachedTo<Stub::SessionStore>(object_.Get());
  object_->Script(L"GetSession", Empty());
  EXPECT_EQ(store->GetSession("unknown"), nullptr);
  object_->Script(L"GetSession", Object(nullptr));
  EXPECT_EQ(store->GetSession("unknown"), nullptr);
}

TEST_F(ProxyTest, SessionAnsweredAsUnknownIsReachedThroughItsDispatchInterface) {
  ComPtr<ScriptedDispatch> child = ScriptedDispatch::Create();
  child->Script(L"State", Integer(1));
  object_->Script(L"GetSession", Unknown(static_cast<IUnknown*>(child.Get())));
  auto store = AttachedTo<Stub::SessionStore>(object_.Get());
  auto session = store->GetSession("k");
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->GetState(), 1);
}

TEST_F(ProxyTest, ObjectMemberAnsweringANumberRaisesTypeMismatch) {
  auto store = AttachedTo<Stub::SessionStore>(object_.Get());
  object_->Script(L"GetSession", Integer(0x1234));
  EXPECT_EQ(HResultExceptionCode([&] { store->GetSession("k"); }), DISP_E_TYPEMISMATCH);
}

TEST_F(ProxyTest, StatusRecordIsOptional) {
  ComPtr<ScriptedDispatch> record = ScriptedDispatch::Create();
  auto proxy = AttachedTo<Stub::AuthenticationProxy>(object_.Get());
  object_->Script(L"GetStatus", Empty());
  EXPECT_EQ(proxy->GetStatus("t"), nullptr);
  object_->Script(L"GetStatus", Object(nullptr));
  EXPECT_EQ(proxy->GetStatus("t"), nullptr);
  object_->Script(L"GetStatus", Object(record.Get()));
  EXPECT_NE(proxy->GetStatus("t"), nullptr);
  EXPECT_EQ(record->References(), 1u);
}

TEST_F(ProxyTest, RootHandsOutItsThreeObjectsByPropertyGet) {
  ComPtr<ScriptedDispatch> server = ScriptedDispatch::Create();
  ComPtr<ScriptedDispatch> store = ScriptedDispatch::Create();
  ComPtr<ScriptedDispatch> proxy = ScriptedDispatch::Create();
  server->Script(L"RenderHtmlPage", Text(L"page"));
  object_->Script(L"Server", Object(server.Get()));
  object_->Script(L"Store", Object(store.Get()));
  object_->Script(L"Proxy", Object(proxy.Get()));
  Stub::ConnectionMaster master;
  master.Attach(object_.Get());

  auto htmlServer = master.GetServer();
  auto sessionStore = master.GetStore();
  auto authenticationProxy = master.GetProxy();
  ASSERT_NE(htmlServer, nullptr);
  ASSERT_NE(sessionStore, nullptr);
  ASSERT_NE(authenticationProxy, nullptr);
  EXPECT_EQ(htmlServer->RenderHtmlPage("x"), "page");
  for (const ReceivedCall& call : object_->Calls()) EXPECT_EQ(call.flags, DISPATCH_PROPERTYGET);

  object_->Script(L"Store", Object(nullptr));
  EXPECT_EQ(StubExceptionText([&] { master.GetStore(); }), "COM method returned VT_EMPTY");
}

// ---------------------------------------------------------------------------
// The probe and closing the root

TEST_F(ProxyTest, ProbeCallsServerAsAMethodAndNeverRaisesForTheAnswer) {
  Stub::ConnectionMaster master;
  master.Attach(object_.Get());
  object_->Script(L"Server", Boolean(VARIANT_TRUE));
  EXPECT_TRUE(master.IsAlive());
  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].flags, DISPATCH_METHOD);
  EXPECT_TRUE(calls[0].arguments.empty());
  EXPECT_TRUE(calls[0].resultRequested);

  object_->Script(L"Server", Boolean(VARIANT_FALSE));
  EXPECT_FALSE(master.IsAlive());
  object_->Script(L"Server", Failure(RPC_E_DISCONNECTED));
  EXPECT_FALSE(master.IsAlive());
  object_->Script(L"Server", WithHResult(Boolean(VARIANT_TRUE), S_FALSE));
  EXPECT_FALSE(master.IsAlive());
  object_->Script(L"Server", Integer(0x10000));  // the 16-bit value word is 0
  EXPECT_FALSE(master.IsAlive());
  object_->FailLookup(L"Server", DISP_E_UNKNOWNNAME);
  EXPECT_FALSE(master.IsAlive());
}

TEST_F(ProxyTest, CloseReleasesTheRootAndExpiresIt) {
  Stub::ConnectionMaster master;
  master.Attach(object_.Get());
  EXPECT_EQ(object_->References(), 2u);
  master.Close();
  EXPECT_EQ(object_->References(), 1u);
  EXPECT_EQ(StubExceptionText([&] { master.IsAlive(); }), "COM pointer has expired");
  master.Close();  // nothing held: nothing happens
}

// ---------------------------------------------------------------------------
// Pictures

TEST_F(ProxyTest, PictureBytesAreAppended) {
  auto server = AttachedTo<Stub::HtmlServer>(object_.Get());
  object_->Script(L"RenderPicture", ByteArray({0x47, 0x49, 0x46, 0x00, 0xFF}));
  std::vector<unsigned char> bytes = {1};
  server->RenderPicture("logo.gif", bytes);
  EXPECT_THAT(bytes, testing::ElementsAre(1, 0x47, 0x49, 0x46, 0x00, 0xFF));
  ASSERT_EQ(object_->Calls().size(), 1u);
  EXPECT_EQ(object_->Calls()[0].arguments[0].text, L"logo.gif");
}

TEST_F(ProxyTest, EmptyPictureAppendsNothing) {
  auto server = AttachedTo<Stub::HtmlServer>(object_.Get());
  object_->Script(L"RenderPicture", ByteArray({}));
  std::vector<unsigned char> bytes;
  EXPECT_NO_THROW(server->RenderPicture("none.gif", bytes));
  EXPECT_TRUE(bytes.empty());
}

struct PictureShape {
  const char* name;
  Answer answer;
};

void PrintTo(const PictureShape& shape, std::ostream* os) { *os << shape.name; }

class MisshapenPictureTest : public ProxyTest, public testing::WithParamInterface<PictureShape> {};

TEST_P(MisshapenPictureTest, RaisesInvalidArgumentAndAppendsNothing) {
  auto server = AttachedTo<Stub::HtmlServer>(object_.Get());
  object_->Script(L"RenderPicture", GetParam().answer);
  std::vector<unsigned char> bytes;
  EXPECT_EQ(HResultExceptionCode([&] { server->RenderPicture("p.gif", bytes); }), E_INVALIDARG);
  EXPECT_TRUE(bytes.empty());
  // The proxy is usable afterwards: its lock was left.
  object_->Script(L"RenderPicture", ByteArray({7}));
  server->RenderPicture("p.gif", bytes);
  EXPECT_THAT(bytes, testing::ElementsAre(7));
}

INSTANTIATE_TEST_SUITE_P(Shapes, MisshapenPictureTest,
                         testing::Values(PictureShape{"LowerBoundOne", ByteArray({1, 2, 3}, 1)},
                                         PictureShape{"ShortElements", ShortArray({1, 2})},
                                         PictureShape{"TwoDimensions", TwoDimensionalByteArray(2, 2)},
                                         PictureShape{"NotAnArray", Text(L"GIF89a")}),
                         [](const testing::TestParamInfo<PictureShape>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Passcode status text

struct StatusRow {
  long status;
  long expireTicks;
  long queuePosition;
  const char* text;
};

void PrintTo(const StatusRow& row, std::ostream* os) { *os << row.text; }

class StatusTextTest : public ProxyTest, public testing::WithParamInterface<StatusRow> {};

TEST_P(StatusTextTest, NamesTheStatusAndGivesTicksThenQueuePosition) {
  const StatusRow& row = GetParam();
  object_->Script(L"Status", Integer(row.status));
  object_->Script(L"ExpireTicks", Integer(row.expireTicks));
  object_->Script(L"QueuePosition", Integer(row.queuePosition));
  auto status = AttachedTo<Stub::PasscodeStatusEx>(object_.Get());
  EXPECT_EQ(status->GetStatusText(), row.text);

  auto calls = object_->Calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].member, L"Status");
  EXPECT_EQ(calls[1].member, L"QueuePosition");
  EXPECT_EQ(calls[2].member, L"ExpireTicks");
  for (const ReceivedCall& call : calls) EXPECT_EQ(call.flags, DISPATCH_METHOD);
}

INSTANTIATE_TEST_SUITE_P(
    Values, StatusTextTest,
    testing::Values(StatusRow{3, 120, 0, "Status:Sent;Expires:120;QueuePosition:0"},
                    StatusRow{1, 300, 4, "Status:Queued;Expires:300;QueuePosition:4"},
                    StatusRow{6, -1, 2, "Status:Unknown;Expires:-1;QueuePosition:2"},
                    StatusRow{7, 120, 0, "Status:;Expires:120;QueuePosition:0"},
                    StatusRow{-1, 5, 1, "Status:;Expires:5;QueuePosition:1"}),
    [](const testing::TestParamInfo<StatusRow>& info) {
      return "Status" + std::string(info.param.status < 0 ? "Minus" : "") + std::to_string(std::abs(info.param.status));
    });

TEST(PasscodeStatusNameTest, EveryValueHasItsNameAndOthersNone) {
  const char* const names[] = {"None", "Queued", "Sending", "Sent", "Failure", "Skipped", "Unknown"};
  for (int value = 0; value < 7; ++value) EXPECT_STREQ(Stub::PasscodeStatusName(value), names[value]) << value;
  EXPECT_STREQ(Stub::PasscodeStatusName(7), "");
  EXPECT_STREQ(Stub::PasscodeStatusName(-1), "");
  EXPECT_STREQ(Stub::PasscodeStatusName(INT_MIN), "");
}

// ---------------------------------------------------------------------------
// Error texts

TEST(ErrorTextTest, SystemTextIsTrimmedAndUnknownCodesAreNamed) {
  const std::string known = Stub::ErrorText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  ASSERT_FALSE(known.empty());
  EXPECT_EQ(known.find("Unknown error"), std::string::npos);
  EXPECT_NE(known.back(), '\n');
  EXPECT_NE(known.back(), '\r');
  EXPECT_NE(known.back(), ' ');
  EXPECT_NE(known.front(), ' ');
  EXPECT_EQ(Stub::ErrorText(static_cast<HRESULT>(0x8FFF1234)), "Unknown error 0x8FFF1234");
  EXPECT_EQ(Stub::ErrorText(static_cast<HRESULT>(0xA00000AB)), "Unknown error 0xA00000AB");
}

}  // namespace
}  // namespace stubtest
