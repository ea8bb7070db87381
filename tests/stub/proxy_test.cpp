// The proxies against a scripted IDispatch object: what the back end sees, and
// how each member reads, checks and converts the answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "stub/authentication_proxy.h"
#include "stub/connection_master.h"
#include "stub/dispid_cache.h"
#include "stub/html_server.h"
#include "stub/passcode_status.h"
#include "stub/scripted_dispatch.h"
#include "stub/session_store.h"

namespace stubtest {
namespace {

using talverin::ComPtr;
using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

const std::string kExpired = std::string("raised:") + Stub::kPointerExpired;
const std::string kEmpty = std::string("raised:") + Stub::kReturnedEmpty;
const std::string kTypeMismatch = "hrxex:0x80020005";

// Every kind of proxy, attached to one object.
struct Proxies {
  explicit Proxies(ScriptedDispatch* object) {
    session.Attach(object);
    auth.Attach(object);
    html.Attach(object);
    status.Attach(object);
    store.Attach(object);
    master.Attach(object);
  }
  Stub::Session session;
  Stub::AuthenticationProxy auth;
  Stub::HtmlServer html;
  Stub::PasscodeStatusEx status;
  Stub::SessionStore store;
  Stub::ConnectionMaster master;
};

class ProxyTest : public testing::Test {
 protected:
  ComPtr<ScriptedDispatch> object_ = ScriptedDispatch::Create();
};

// What the back end sees: texts in the thread's code page both ways, calls in IID_NULL and the user's locale. A back
// end that numbers its members anew costs one refused call and one more lookup; a member still unknown then fails with
// the lookup's code. (The arguments of each member and its one lookup per connection: the end-to-end roads' cost.)
TEST_F(ProxyTest, TextsCrossInTheThreadsCodePageAndRenumberedMembersAreLookedUpAgain) {
  ComPtr<ScriptedDispatch> sessionObject = ScriptedDispatch::Create();
  sessionObject->Script(L"Username", Text(L"M\u00fcller"));
  sessionObject->Script(L"Url", Empty());
  sessionObject->Script(L"BypassTalverinAuthentication", Empty());
  object_->Script(L"GetSession", Object(sessionObject.Get()));
  auto store = std::make_shared<Stub::SessionStore>();
  store->UseDispids(std::make_shared<Stub::DispidCache>());
  store->Attach(object_.Get());
  const LCID previous = GetThreadLocale();
  ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT)));
  std::shared_ptr<Stub::Session> session = store->GetSession("caf\xe9");
  ASSERT_TRUE(session);
  session->PutUrl("/owa/");
  session->PutBypassTalverinAuthentication(true);  // VARIANT_TRUE, as the back end's flag reads
  EXPECT_EQ(session->GetUsername(), "M\xfcller");
  sessionObject->Renumber();
  EXPECT_EQ(session->GetUsername(), "M\xfcller");
  SetThreadLocale(previous);
  EXPECT_THAT(object_->Calls(), ElementsAre("GetSession 1 result 8:caf\\u00E9"));
  EXPECT_THAT(sessionObject->Calls(),
              ElementsAre("Url 4 - named-3 8:/owa/", "BypassTalverinAuthentication 4 - named-3 2:-1",
                          "Username 2 result", " 2 result", "Username 2 result"));  // the refused old DISPID

  sessionObject->Renumber();
  sessionObject->FailLookup(L"Username", DISP_E_UNKNOWNNAME);
  EXPECT_EQ(Outcome([&] { return session->GetUsername(); }), "hrxex:0x80020006");
  EXPECT_EQ(sessionObject->Calls().size(), 6u);  // the refused call only
}

// A proxy gives back the reference it held when it is attached anew or closed (destroyed: the member table's end);
// an abandoned one leaves it to the back end.
TEST_F(ProxyTest, ProxyWithoutObjectClosedOrAbandonedRaisesExpiredAndCallsNothing) {
  ComPtr<ScriptedDispatch> second = ScriptedDispatch::Create();
  Stub::ConnectionMaster master;
  EXPECT_EQ(Outcome([&] { return std::to_string(master.IsAlive()); }), kExpired);  // the probe checks on its own
  master.Attach(object_.Get());
  master.Attach(second.Get());
  EXPECT_EQ(object_->References(), 1u);
  EXPECT_EQ(second->References(), 2u);
  master.Close();
  EXPECT_EQ(second->References(), 1u);
  EXPECT_EQ(Outcome([&] { return std::to_string(master.IsAlive()); }), kExpired);
  master.Close();

  auto session = std::make_shared<Stub::Session>();
  session->Attach(object_.Get());
  session->Abandon();
  EXPECT_EQ(Outcome([&] { return session->GetToken(); }), kExpired);
  session.reset();
  EXPECT_EQ(object_->References(), 2u);
  EXPECT_TRUE(object_->Calls().empty());
  object_->Release();
}

std::string Picture(Proxies& p) {
  std::vector<unsigned char> bytes = {1};
  try {
    p.html.RenderPicture("logo.gif", bytes);
  } catch (...) {
    if (bytes.size() != 1) return "partly appended";
    throw;
  }
  std::string hex;
  for (unsigned char b : bytes) hex += std::to_string(b) + " ";
  return hex;
}

// A member's answers, each with what the proxy makes of it.
struct MemberRow {
  const wchar_t* member;
  std::function<std::string(Proxies&)> call;
  std::vector<std::pair<Answer, std::string>> answers;
};

TEST_F(ProxyTest, EachAnswerReadsAsTheMemberTableSays) {
  ComPtr<ScriptedDispatch> child = ScriptedDispatch::Create();
  child->Script(L"State", Integer(1));
  using P = Proxies;
  auto found = [](P& p) { return std::to_string(p.store.GetSession("k") != nullptr); };
  auto alive = [](P& p) { return std::to_string(p.master.IsAlive()); };
  const std::string invalid = "hrxex:0x80070057";
  const std::string yes = "value:1", no = "value:0";
  const std::vector<MemberRow> rows = {
      {L"Url", [](P& p) { return p.session.GetUrl(); },
       {{Empty(), "value:"}, {Text(std::wstring(L"a\0b", 3)), std::string("value:a\0b", 9)}}},
      {L"FbaCookieDomain", [](P& p) { return p.session.GetFbaCookieDomain(); }, {{Empty(), "value:"}}},
      {L"Password", [](P& p) { return p.session.GetPassword(); }, {{Empty(), "value:"}, {NullText(), "value:"}}},
      // A number where a text or an object belongs is never read as a pointer.
      {L"Username", [](P& p) { return p.session.GetUsername(); }, {{Empty(), kEmpty}, {Integer(7), kTypeMismatch}}},
      {L"Token", [](P& p) { return p.session.GetToken(); }, {{Empty(), kEmpty}}},
      // Success codes pass, except for Authenticate.
      {L"State", [](P& p) { return std::to_string(p.session.GetState()); },
       {{Empty(), kEmpty}, {Integer(-7), "value:-7"}, {WithHResult(Integer(1), S_FALSE), yes}}},
      {L"ReportPasswordAuthenticationStatus",
       [](P& p) { return (p.auth.ReportPasswordAuthenticationStatus("u", false), ""); },
       {{Failure(S_FALSE), "value:"}}},
      // Only VARIANT_TRUE is true for the bypass flag; any non-zero value for Authenticate.
      {L"BypassTalverinAuthentication",
       [](P& p) { return std::to_string(p.session.GetBypassTalverinAuthentication()); },
       {{Empty(), no}, {Boolean(VARIANT_TRUE), yes}, {Boolean(1), no}, {Short(-1), yes}}},
      {L"Authenticate", [](P& p) { return std::to_string(p.auth.Authenticate("t", "p")); },
       {{Empty(), kEmpty}, {Boolean(1), yes}, {Boolean(VARIANT_FALSE), no},
        {WithHResult(Boolean(VARIANT_TRUE), S_FALSE), "hrxex:0x00000001"}}},
      {L"CheckAuthenticationAllowedResult",
       [](P& p) { return std::to_string(p.session.GetCheckAuthenticationAllowedResult()); }, {{Empty(), no}}},
      {L"RequestPasscode", [](P& p) { return p.auth.RequestPasscode("u"); },
       {{Empty(), kEmpty}, {Failure(RPC_E_DISCONNECTED), "hrxex:0x80010108"}}},
      {L"RenderHtmlPage", [](P& p) { return p.html.RenderHtmlPage("p", "t"); }, {{Empty(), kEmpty}}},
      // Pictures are appended; an array of any other shape is refused whole.
      {L"RenderPicture", Picture,
       {{Empty(), kEmpty}, {Array<unsigned char>(VT_UI1, {0x47, 0x49, 0x00, 0xFF}), "value:1 71 73 0 255 "},
        {Array<unsigned char>(VT_UI1, {}), "value:1 "}, {Array<unsigned char>(VT_UI1, {1, 2, 3}, 1), invalid},
        {Array<short>(VT_I2, {1, 2}), invalid}, {Array<unsigned char>(VT_UI1, {0, 0}, 0, 2), invalid},
        {Text(L"GIF89a"), invalid}}},
      {L"QueuePosition", [](P& p) { return std::to_string(p.status.QueuePosition()); },
       {{Empty(), kEmpty}, {Integer(4), "value:4"}}},
      {L"ExpireTicks", [](P& p) { return std::to_string(p.status.ExpireTicks()); },
       {{Empty(), kEmpty}, {Integer(-1), "value:-1"}}},
      // The status text names the status and gives the ticks and the queue position scripted just before.
      {L"Status", [](P& p) { return p.status.GetStatusText(); },
       {{Integer(3), "value:Status:Sent;Expires:-1;QueuePosition:4"},
        {Integer(7), "value:Status:;Expires:-1;QueuePosition:4"},
        {Integer(-1), "value:Status:;Expires:-1;QueuePosition:4"}}},
      // Objects: a missing session or status is no failure, a missing created session or child is.
      {L"GetSession", found, {{Integer(0x1234), kTypeMismatch}, {Empty(), no}, {Object(nullptr), no}}},
      {L"GetSession", [](P& p) { return std::to_string(p.store.GetSession("k")->GetState()); },
       {{Reference(VT_UNKNOWN, child.Get()), yes}}},
      {L"CreateSession", [](P& p) { return std::to_string(p.store.CreateSession("k") != nullptr); },
       {{Empty(), kEmpty}, {Object(nullptr), kEmpty}, {Object(child.Get()), yes}}},
      {L"GetStatus", [](P& p) { return std::to_string(p.auth.GetStatus("t") != nullptr); },
       {{Object(nullptr), no}, {Object(child.Get()), yes}}},
      {L"Store", [](P& p) { return std::to_string(p.master.GetStore() != nullptr); },
       {{Object(child.Get()), yes}, {Object(nullptr), kEmpty}}},
      // The probe is true only for an OK VARIANT_TRUE; the last one's 16-bit value word is 0.
      {L"Server", alive,
       {{Boolean(VARIANT_TRUE), yes}, {Boolean(VARIANT_FALSE), no}, {Failure(RPC_E_DISCONNECTED), no},
        {WithHResult(Boolean(VARIANT_TRUE), S_FALSE), no}, {Integer(0x10000), no}}},
  };
  Proxies p(object_.Get());
  for (const MemberRow& row : rows) {
    for (const auto& [answer, expected] : row.answers) {
      SCOPED_TRACE(std::string(row.member, row.member + wcslen(row.member)) + " -> " + expected);
      object_->Script(row.member, answer);
      EXPECT_EQ(Outcome([&] { return row.call(p); }), expected);
    }
  }
  EXPECT_EQ(child->References(), 1u);  // every proxy handed out let its object go
  object_->FailLookup(L"Server", DISP_E_UNKNOWNNAME);
  EXPECT_EQ(alive(p), "0");
}

// A failed call carries the system's text for its code, without the blanks and line end it comes with.
TEST_F(ProxyTest, CallsOnOneProxyAreSerializedAndTheLockIsLeftWhenOneRaisesWithTheSystemsText) {
  object_->Script(L"RequestPasscode", Text(L"token"));
  object_->Script(L"Authenticate", Boolean(VARIANT_TRUE));
  object_->Script(L"GetStatus", Failure(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  object_->OnInvoke([&, released](const std::wstring& member) {
    if (member != L"RequestPasscode") return;
    entered.set_value();
    released.wait();
  });
  Proxies p(object_.Get());
  try {
    p.auth.GetStatus("t");
    ADD_FAILURE() << "no HRXEx";
  } catch (const HRXEx& failure) {
    EXPECT_EQ(failure.errorText, talverin::ErrorText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    EXPECT_THAT(failure.errorText, AllOf(testing::MatchesRegex("\\S.*\\S"), Not(HasSubstr("Unknown error"))));
  }
  EXPECT_EQ(talverin::ErrorText(static_cast<HRESULT>(0xA00000AB)), "Unknown error 0xA00000AB");
  auto slow = std::async(std::launch::async, [&] { return p.auth.RequestPasscode("u"); });
  entered.get_future().wait();
  auto waiting = std::async(std::launch::async, [&] { return p.auth.Authenticate("t", "p"); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(object_->Calls().size(), 2u);
  release.set_value();
  EXPECT_EQ(slow.get(), "token");
  EXPECT_TRUE(waiting.get());
}

}  // namespace
}  // namespace stubtest
