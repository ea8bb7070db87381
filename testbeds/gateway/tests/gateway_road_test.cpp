// The whole logon road over sockets: the installed filter DLL in the
// gateway, the configuration-store test bed reading the gateway's derived
// store file, and the in-process test back end texting the passcode.
#include "backend_client.h"
#include "config/settings_registry.h"
#include "gateway_fixture.h"
#include "host/published_site.h"
#include "support/filter_install.h"

namespace talverin::gateway_test {
namespace {

using testing::HasSubstr;

class GatewayRoadTest : public GatewayTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_.ok());
    ASSERT_TRUE(settings_.SetDword("TraceLevel", 2));
    ASSERT_TRUE(settings_.SetDword("FallbackFromFBAForbidden", 1));
    ASSERT_TRUE(settings_.SetText("DefaultDomain", "CONTOSO"));
    ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));

    // The back end reads the users file the gateway derives from its
    // configuration, so it is written before the back end is told of it.
    ASSERT_TRUE(test::WriteFileText(ConfigPath(), ConfigText("filter = " + install_.dllPath() + "\n")));
    gateway::GatewayConfig config = gateway::LoadGatewayConfig(ConfigPath());
    gateway::WriteDerivedFiles(config);
    HRESULT hr = E_FAIL;
    backend_ = backend_test::Create(backend_test::kInProcProgId, &hr);
    ASSERT_TRUE(backend_) << std::hex << hr;
    for (const auto& [name, value] : std::vector<std::pair<const wchar_t*, std::wstring>>{
             {L"UsersFile", backend_test::Widen(config.UsersPath())},
             {L"DataDir", backend_test::Widen(dir_.path() + "\\")}}) {
      backend_test::Reply reply = backend_test::Method(backend_.Get(), L"SetOption", {name, value});
      ASSERT_EQ(S_OK, reply.hr) << backend_test::Narrow(reply.description);
    }
    ASSERT_NO_FATAL_FAILURE(Start("filter = " + install_.dllPath() + "\n"));
  }

  void TearDown() override {
    GatewayTest::TearDown();
    gateway_.reset();
    backend_ = nullptr;
  }

  std::string LastPasscode() const {
    const std::string outbox = test::ReadFileText(dir_.Sub("outbox.txt"));
    const std::string marker = " user=CONTOSO\\alice passcode=";
    const size_t at = outbox.rfind(marker);
    return at == std::string::npos ? std::string() : outbox.substr(at + marker.size(), 6);
  }

  test::FilterInstall install_;
  test::SettingsKey settings_;
  ComPtr<IDispatch> backend_;
};

TEST_F(GatewayRoadTest, BrowserLogsOnWithPasswordAndPasscodeOverSockets) {
  SocketBrowser browser(Port());
  const std::string origin = "http://127.0.0.1:" + std::to_string(Port());

  std::optional<Response> first = browser.Get("/owa/");
  ASSERT_TRUE(first);
  ASSERT_EQ(first->status, 302);
  const std::string logonUrl = first->Header("Location").substr(origin.size());
  EXPECT_EQ(logonUrl, "/CookieAuth.dll?GetLogon?curl=/owa/&reason=0&formdir=1");

  std::optional<Response> form = browser.Get(logonUrl);
  ASSERT_TRUE(form);
  EXPECT_THAT(form->body, HasSubstr("action=\"/CookieAuth.dll?Logon\""));

  std::optional<Response> posted = browser.Post(
      "/CookieAuth.dll?Logon", FormBody({{"curl", "/owa/"}, {"flags", "0"}, {"forcedownlevel", "0"}, {"formdir", "1"},
                                         {"trusted", "0"}, {"username", "CONTOSO\\alice"}, {"password", "Alice-2fa!"}}));
  ASSERT_TRUE(posted);
  ASSERT_EQ(posted->status, 302) << posted->raw;
  EXPECT_EQ(posted->Header("Location"), origin + "/owa/");

  // The password alone leads to the filter's passcode page, not the mail.
  std::optional<Response> held = browser.Get("/owa/");
  ASSERT_TRUE(held);
  ASSERT_EQ(held->status, 302) << held->raw;
  std::optional<Response> passcodePage = browser.Get(held->Header("Location"));
  ASSERT_TRUE(passcodePage);
  EXPECT_EQ(passcodePage->status, 200);
  EXPECT_THAT(passcodePage->body, HasSubstr("passcode"));
  EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript())) << "site bytes before the passcode";

  const std::string passcode = LastPasscode();
  ASSERT_EQ(passcode.size(), 6u) << test::ReadFileText(dir_.Sub("outbox.txt"));
  std::optional<Response> accepted =
      browser.Post("/talverinauth.dll?action=talvlogin", FormBody({{"passcode", passcode}, {"Action", "LogIn"}}));
  ASSERT_TRUE(accepted);
  ASSERT_EQ(accepted->status, 302) << accepted->raw;
  EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript())) << "site bytes before the passcode";

  std::optional<Response> mail = browser.Get("/owa/");
  ASSERT_TRUE(mail);
  EXPECT_EQ(mail->status, 200);
  EXPECT_TRUE(host::CarriesSitePage(mail->body, "/owa/"));
  EXPECT_THAT(mail->body, HasSubstr("Mail for CONTOSO\\alice"));
}

TEST_F(GatewayRoadTest, WrongPasswordKeepsEverySiteByteAway) {
  SocketBrowser browser(Port());
  std::optional<Response> posted = browser.Post(
      "/CookieAuth.dll?Logon", FormBody({{"curl", "/owa/"}, {"username", "CONTOSO\\alice"}, {"password", "nope"}}));
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->status, 302);
  EXPECT_THAT(posted->Header("Location"), HasSubstr("reason=2"));
  std::optional<Response> page = browser.Get("/owa/inbox.html");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 302);
  EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript()));
  EXPECT_EQ(test::ReadFileText(dir_.Sub("outbox.txt")), "");
}

}  // namespace
}  // namespace talverin::gateway_test
