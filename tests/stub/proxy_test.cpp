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
  explicit Proxies(ScriptedDispatch* object = nullptr) {
    if (object == nullptr) return;
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

// What the back end sees: texts in the thread's code page both ways, lookups and calls in IID_NULL and the
// user's locale. A back end that numbers its members anew costs one refused call and one more lookup; a member
// still unknown then fails with the lookup's code, nothing invoked. (Each member's arguments are the end-to-end
// roads', against a back end that refuses a wrong call; each member looked up once per connection, their cost test.)
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
  EXPECT_THAT(object_->Lookups(), ElementsAre("GetSession"));
  EXPECT_THAT(sessionObject->Calls(),
              ElementsAre("Url 4 - named-3 8:/owa/", "BypassTalverinAuthentication 4 - named-3 2:-1",
                          "Username 2 result", " 2 result", "Username 2 result"));  // the refused old DISPID
  EXPECT_THAT(sessionObject->Lookups(), ElementsAre("Url", "BypassTalverinAuthentication", "Username", "Username"));

  sessionObject->Renumber();
  sessionObject->FailLookup(L"Username", DISP_E_UNKNOWNNAME);
  sessionObject->ForgetTraffic();
  EXPECT_EQ(Outcome([&] { return session->GetUsername(); }), "hrxex:0x80020006");
  EXPECT_EQ(sessionObject->Calls().size(), 1u);
}

// A proxy gives back the reference it held when it is attached anew, destroyed or closed; an
// abandoned one leaves it to the back end.
TEST_F(ProxyTest, ProxyWithoutObjectClosedOrAbandonedRaisesExpiredAndCallsNothing) {
  Proxies p;
  ComPtr<ScriptedDispatch> second = ScriptedDispatch::Create();
  auto session = std::make_shared<Stub::Session>();
  session->Attach(object_.Get());
  session->Attach(second.Get());
  EXPECT_EQ(object_->References(), 1u);
  EXPECT_EQ(second->References(), 2u);
  session.reset();
  EXPECT_EQ(second->References(), 1u);
  p.master.Attach(object_.Get());
  p.master.Close();
  EXPECT_EQ(object_->References(), 1u);
  EXPECT_EQ(Outcome([&] { return std::to_string(p.master.IsAlive()); }), kExpired);  // checks on its own
  p.master.Close();

  session = std::make_shared<Stub::Session>();
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

struct AnswerRow {
  const wchar_t* member;
  Answer answer;
  std::function<std::string(Proxies&)> call;
  std::string expected;
};

// One member's answer, and what the proxy makes of it.
TEST_F(ProxyTest, EachAnswerReadsAsTheMemberTableSays) {
  ComPtr<ScriptedDispatch> child = ScriptedDispatch::Create();
  child->Script(L"State", Integer(1));
  using P = Proxies;
  auto bypass = [](P& p) { return std::to_string(p.session.GetBypassTalverinAuthentication()); };
  auto authenticate = [](P& p) { return std::to_string(p.auth.Authenticate("t", "p")); };
  auto found = [](P& p) { return std::to_string(p.store.GetSession("k") != nullptr); };
  auto created = [](P& p) { return std::to_string(p.store.CreateSession("k") != nullptr); };
  auto foundState = [](P& p) { return std::to_string(p.store.GetSession("k")->GetState()); };
  auto status = [](P& p) { return std::to_string(p.auth.GetStatus("t") != nullptr); };
  auto store = [](P& p) { return std::to_string(p.master.GetStore() != nullptr); };
  auto alive = [](P& p) { return std::to_string(p.master.IsAlive()); };
  auto statusText = [](P& p) { return p.status.GetStatusText(); };
  const std::vector<AnswerRow> rows = {
      {L"Url", Empty(), [](P& p) { return p.session.GetUrl(); }, "value:"},
      {L"FbaCookieDomain", Empty(), [](P& p) { return p.session.GetFbaCookieDomain(); }, "value:"},
      {L"Password", Empty(), [](P& p) { return p.session.GetPassword(); }, "value:"},
      {L"Username", Empty(), [](P& p) { return p.session.GetUsername(); }, kEmpty},
      {L"Token", Empty(), [](P& p) { return p.session.GetToken(); }, kEmpty},
      {L"State", Empty(), [](P& p) { return std::to_string(p.session.GetState()); }, kEmpty},
      {L"BypassTalverinAuthentication", Empty(), bypass, "value:0"},
      {L"CheckAuthenticationAllowedResult", Empty(),
       [](P& p) { return std::to_string(p.session.GetCheckAuthenticationAllowedResult()); }, "value:0"},
      {L"RequestPasscode", Empty(), [](P& p) { return p.auth.RequestPasscode("u"); }, kEmpty},
      {L"Authenticate", Empty(), authenticate, kEmpty},
      {L"CheckAuthenticationAllowed", Empty(),
       [](P& p) { return std::to_string(p.auth.CheckAuthenticationAllowed("u", "a")); }, kEmpty},
      {L"RenderHtmlPage", Empty(), [](P& p) { return p.html.RenderHtmlPage("p", "t"); }, kEmpty},
      {L"RenderPicture", Empty(), Picture, kEmpty},
      {L"Status", Empty(), [](P& p) { return std::to_string(p.status.Status()); }, kEmpty},
      {L"QueuePosition", Empty(), [](P& p) { return std::to_string(p.status.QueuePosition()); }, kEmpty},
      {L"ExpireTicks", Empty(), [](P& p) { return std::to_string(p.status.ExpireTicks()); }, kEmpty},
      // Only VARIANT_TRUE is true for the bypass flag; any non-zero value for Authenticate.
      {L"BypassTalverinAuthentication", Boolean(VARIANT_TRUE), bypass, "value:1"},
      {L"BypassTalverinAuthentication", Boolean(1), bypass, "value:0"},
      {L"BypassTalverinAuthentication", Short(-1), bypass, "value:1"},
      {L"Authenticate", Boolean(1), authenticate, "value:1"},
      {L"Authenticate", Boolean(VARIANT_FALSE), authenticate, "value:0"},
      {L"Token", Text(L"0123456789abcdef"), [](P& p) { return p.session.GetToken(); }, "value:0123456789abcdef"},
      {L"Password", NullText(), [](P& p) { return p.session.GetPassword(); }, "value:"},
      {L"State", Integer(-7), [](P& p) { return std::to_string(p.session.GetState()); }, "value:-7"},
      {L"Url", Text(std::wstring(L"a\0b", 3)), [](P& p) { return p.session.GetUrl(); }, std::string("value:a\0b", 9)},
      // A number where a text or an object belongs is never read as a pointer.
      {L"Username", Integer(7), [](P& p) { return p.session.GetUsername(); }, kTypeMismatch},
      {L"GetSession", Integer(0x1234), found, kTypeMismatch},
      // Success codes pass, except for Authenticate.
      {L"State", WithHResult(Integer(1), S_FALSE), [](P& p) { return std::to_string(p.session.GetState()); },
       "value:1"},
      {L"ReportPasswordAuthenticationStatus", Failure(S_FALSE),
       [](P& p) { return (p.auth.ReportPasswordAuthenticationStatus("u", false), ""); }, "value:"},
      {L"Authenticate", WithHResult(Boolean(VARIANT_TRUE), S_FALSE), authenticate, "hrxex:0x00000001"},
      {L"RequestPasscode", Failure(RPC_E_DISCONNECTED), [](P& p) { return p.auth.RequestPasscode("u"); },
       "hrxex:0x80010108"},
      // Objects: a missing session or status is no failure, a missing created session or child is.
      {L"GetSession", Empty(), found, "value:0"},
      {L"GetSession", Object(nullptr), found, "value:0"},
      {L"GetSession", Reference(VT_UNKNOWN, child.Get()), foundState, "value:1"},
      {L"CreateSession", Empty(), created, kEmpty},
      {L"CreateSession", Object(nullptr), created, kEmpty},
      {L"CreateSession", Object(child.Get()), created, "value:1"},
      {L"GetStatus", Object(nullptr), status, "value:0"},
      {L"GetStatus", Object(child.Get()), status, "value:1"},
      {L"Store", Object(child.Get()), store, "value:1"},
      {L"Store", Object(nullptr), store, kEmpty},
      {L"Server", Object(child.Get()), [](P& p) { return std::to_string(p.master.GetServer() != nullptr); }, "value:1"},
      // The probe is true only for an OK VARIANT_TRUE; the last one's 16-bit value word is 0.
      {L"Server", Boolean(VARIANT_TRUE), alive, "value:1"},
      {L"Server", Boolean(VARIANT_FALSE), alive, "value:0"},
      {L"Server", Failure(RPC_E_DISCONNECTED), alive, "value:0"},
      {L"Server", WithHResult(Boolean(VARIANT_TRUE), S_FALSE), alive, "value:0"},
      {L"Server", Integer(0x10000), alive, "value:0"},
      {L"Proxy", Object(child.Get()), [](P& p) { return std::to_string(p.master.GetProxy() != nullptr); }, "value:1"},
      // Pictures are appended; an array of any other shape is refused whole.
      {L"RenderPicture", Array<unsigned char>(VT_UI1, {0x47, 0x49, 0x00, 0xFF}), Picture, "value:1 71 73 0 255 "},
      {L"RenderPicture", Array<unsigned char>(VT_UI1, {}), Picture, "value:1 "},
      {L"RenderPicture", Array<unsigned char>(VT_UI1, {1, 2, 3}, 1), Picture, "hrxex:0x80070057"},
      {L"RenderPicture", Array<short>(VT_I2, {1, 2}), Picture, "hrxex:0x80070057"},
      {L"RenderPicture", Array<unsigned char>(VT_UI1, {0, 0}, 0, 2), Picture, "hrxex:0x80070057"},
      {L"RenderPicture", Text(L"GIF89a"), Picture, "hrxex:0x80070057"},
      // The status text names the status and gives the ticks, then the queue position, scripted just before.
      {L"ExpireTicks", Integer(-1), [](P& p) { return std::to_string(p.status.ExpireTicks()); }, "value:-1"},
      {L"QueuePosition", Integer(4), [](P& p) { return std::to_string(p.status.QueuePosition()); }, "value:4"},
      {L"Status", Integer(3), statusText, "value:Status:Sent;Expires:-1;QueuePosition:4"},
      {L"Status", Integer(6), statusText, "value:Status:Unknown;Expires:-1;QueuePosition:4"},
      {L"Status", Integer(7), statusText, "value:Status:;Expires:-1;QueuePosition:4"},
      {L"Status", Integer(-1), statusText, "value:Status:;Expires:-1;QueuePosition:4"},
  };
  Proxies p(object_.Get());
  for (const AnswerRow& row : rows) {
    SCOPED_TRACE(std::string(row.member, row.member + wcslen(row.member)) + " -> " + row.expected);
    object_->Script(row.member, row.answer);
    EXPECT_EQ(Outcome([&] { return row.call(p); }), row.expected);
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
  std::promise<void> entered;
  std::promise<void> release;
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
