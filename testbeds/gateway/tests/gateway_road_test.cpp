// The whole logon road over sockets: the installed filter DLL in the gateway, the configuration-store test bed
// reading the gateway's derived store file, and the in-process test back end texting the passcode.
#include <gmock/gmock.h>

#include <map>
#include <memory>
#include <optional>

#include "backend_client.h"
#include "config/settings_registry.h"
#include "gateway/gateway.h"
#include "gateway/socket.h"
#include "host/browser.h"
#include "host/http_framing.h"
#include "host/published_site.h"
#include "support/filter_install.h"

namespace talverin::gateway_test {
namespace {

using Response = host::Reply;
using testing::HasSubstr;

// A browser over real sockets: keeps its cookies, its connection until the server closes it, and every byte
// it received, so that a test can tell whether any byte of the site reached it. No answer reads as status 0.
class SocketBrowser {
 public:
  explicit SocketBrowser(uint16_t port) : port_(port) {}
  Response Get(const std::string& url) { return Exchange("GET", url, {}); }
  Response Post(const std::string& url, const std::string& form) { return Exchange("POST", url, form); }
  const std::string& Transcript() const { return transcript_; }

 private:
  Response Exchange(const std::string& method, const std::string& url, const std::string& body) {
    std::string request = method + " " + url + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    std::string cookies;
    for (const auto& [name, value] : cookies_) cookies += (cookies.empty() ? "" : "; ") + name + "=" + value;
    if (!cookies.empty()) request += "Cookie: " + cookies + "\r\n";
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: ";
    if (method == "POST") request += form + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    // A kept connection the server has closed meanwhile is opened anew, once.
    std::optional<Response> response;
    for (int tries = socket_ ? 2 : 1; !response && tries-- > 0;) {
      if (!socket_) {
        std::string error;
        socket_ = gateway::ConnectTo("127.0.0.1", port_, &error);
        buffer_.clear();
      }
      if (socket_ && gateway::SendAll(socket_.Get(), request)) response = Read(method);
      if (!response) socket_.Reset();
    }
    if (!response) return {};
    for (const std::string& cookie : response->SetCookies()) {
      const size_t equals = cookie.find('='), end = cookie.find(';');
      const std::string name = cookie.substr(0, equals), content = cookie.substr(equals + 1, end - equals - 1);
      cookies_.erase(name);  // an empty or expired cookie is removed
      if (!content.empty() && cookie.find("1970") == std::string::npos) cookies_[name] = content;
    }
    if (host::EqualsIgnoringCase(response->Header("Connection"), "close")) socket_.Reset();
    return *response;
  }

  std::optional<Response> Read(const std::string& method) {
    const ULONGLONG deadline = GetTickCount64() + 20000;
    for (bool closed = false;;) {
      const host::Frame frame = host::FrameResponse(buffer_, method, closed);
      if (frame.status == host::FrameStatus::Complete) {
        Response response = host::ReadReply(buffer_.substr(0, frame.length));
        response.body = host::BodyOf(buffer_, frame);
        buffer_.erase(0, frame.length);
        return response;
      }
      const ULONGLONG now = GetTickCount64();
      if (frame.status != host::FrameStatus::Incomplete || closed || now >= deadline ||
          gateway::WaitReadable(socket_.Get(), static_cast<int>(deadline - now)) != gateway::WaitResult::Readable) {
        return std::nullopt;
      }
      char piece[8192];
      const int got = recv(socket_.Get(), piece, sizeof piece, 0);
      closed = got <= 0;
      buffer_.append(piece, closed ? 0 : static_cast<size_t>(got));
      transcript_.append(piece, closed ? 0 : static_cast<size_t>(got));
    }
  }

  uint16_t port_;
  gateway::UniqueSocket socket_;
  std::string buffer_;
  std::map<std::string, std::string> cookies_;
  std::string transcript_;
};

const char kListener[] =
    "[listener]\n"
    "name = Published mail\n"
    "persistent-name = {5A1D0C3E-7B2F-4E11-9C4A-0D5E6F708192}\n"
    "cookie-name = cadata\n"
    "cookie-domains-in-use = no\n"
    "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n"
    "Enabled = i4:1\n"
    "[users]\n"
    "CONTOSO\\alice | +49 170 1234567 | Alice-2fa! | valid\n";

class GatewayRoadTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(install_.ok());
    ASSERT_TRUE(backend_.master());
    ASSERT_TRUE(settings_.SetDword("TraceLevel", 2));
    ASSERT_TRUE(settings_.SetDword("FallbackFromFBAForbidden", 1));
    ASSERT_TRUE(settings_.SetText("DefaultDomain", "CONTOSO"));
    ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));
    gateway::GatewayConfig config = gateway::ParseGatewayConfig(
        "[gateway]\nlisten = 127.0.0.1:0\ndata = data\nfilter = " + install_.dllPath() + "\n" + kListener,
        dir_.Sub("gateway.conf"));
    // The back end reads the users file the gateway derives from its configuration: written first.
    gateway::WriteDerivedFiles(config);
    backend_.SetOption(L"UsersFile", backend_test::Widen(config.UsersPath()));
    gateway_ = std::make_unique<gateway::Gateway>(std::move(config));
    gateway_->Start();
  }

  test::ScratchDir dir_;
  test::FilterInstall install_;
  test::SettingsKey settings_;
  backend_test::BackendSession backend_{backend_test::kInProcProgId};
  std::unique_ptr<gateway::Gateway> gateway_;  // last, so that it stops first
};

// A wrong password first, then the right one and the passcode; no byte of the site before the passcode.
TEST_F(GatewayRoadTest, BrowserLogsOnWithPasswordAndPasscodeOverSockets) {
  SocketBrowser browser(gateway_->Port());
  const std::string origin = "http://127.0.0.1:" + std::to_string(gateway_->Port());

  Response first = browser.Get("/owa/");
  ASSERT_EQ(first.status, 302);
  const std::string logonUrl = first.Header("Location").substr(origin.size());
  EXPECT_EQ(logonUrl, "/CookieAuth.dll?GetLogon?curl=/owa/&reason=0&formdir=1");
  Response form = browser.Get(logonUrl);
  EXPECT_THAT(form.body, HasSubstr("action=\"/CookieAuth.dll?Logon\""));

  // A wrong password goes back to the form, and no passcode is texted.
  Response refused = browser.Post("/CookieAuth.dll?Logon", "curl=/owa/&username=CONTOSO%5Calice&password=nope");
  EXPECT_EQ(refused.status, 302);
  EXPECT_THAT(refused.Header("Location"), HasSubstr("reason=2"));
  EXPECT_EQ(backend_.Outbox(), "");

  Response posted = browser.Post(
      "/CookieAuth.dll?Logon",
      "curl=/owa/&flags=0&forcedownlevel=0&formdir=1&trusted=0&username=CONTOSO%5Calice&password=Alice-2fa%21");
  ASSERT_EQ(posted.status, 302) << posted.raw;
  EXPECT_EQ(posted.Header("Location"), origin + "/owa/");

  // The password alone leads to the filter's passcode page, not the mail.
  Response held = browser.Get("/owa/");
  ASSERT_EQ(held.status, 302) << held.raw;
  Response passcodePage = browser.Get(held.Header("Location"));
  EXPECT_EQ(passcodePage.status, 200);
  EXPECT_THAT(passcodePage.body, HasSubstr("passcode"));
  EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript())) << "site bytes before the passcode";

  const std::string marker = " user=CONTOSO\\alice passcode=";
  const std::string outbox = backend_.Outbox();
  const size_t at = outbox.rfind(marker);
  ASSERT_NE(at, std::string::npos) << outbox;
  const std::string passcode = outbox.substr(at + marker.size(), 6);
  Response accepted = browser.Post("/talverinauth.dll?action=talvlogin", "passcode=" + passcode + "&Action=LogIn");
  ASSERT_EQ(accepted.status, 302) << accepted.raw;
  EXPECT_FALSE(host::CarriesSiteContent(browser.Transcript())) << "site bytes before the passcode";

  Response mail = browser.Get("/owa/");
  EXPECT_EQ(mail.status, 200);
  EXPECT_TRUE(host::CarriesSitePage(mail.body, "/owa/"));
  EXPECT_THAT(mail.body, HasSubstr("Mail for CONTOSO\\alice"));
}

}  // namespace
}  // namespace talverin::gateway_test
