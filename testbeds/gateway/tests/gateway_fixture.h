#pragma once
// Shared by the gateway's tests: a configuration file in a scratch folder,
// the gateway started in-process on a free port, and its access log.
#include <gmock/gmock.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway/gateway.h"
#include "http_client.h"
#include "support/test_files.h"

namespace talverin::gateway_test {

using gateway::Gateway;
using gateway::GatewayConfig;
using gateway::GatewayOptions;

inline const std::string kListener = "{5A1D0C3E-7B2F-4E11-9C4A-0D5E6F708192}";

// The [listener], [set] and [users] sections every test publishes with.
inline std::string StandardSections() {
  return "[listener]\n"
         "name = Published mail\n"
         "persistent-name = " + kListener + "\n"
         "cookie-name = cadata\n"
         "cookie-domains-in-use = no\n"
         "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n"
         "Enabled = i4:1\n"
         "\n"
         "[users]\n"
         "CONTOSO\\alice | +49 170 1234567 | Alice-2fa! | valid\n";
}

inline std::string ProbeFilterPath() { return test::ExeDir() + "..\\..\\host\\tests\\talverin_probe_filter.dll"; }

class GatewayTest : public testing::Test {
 protected:
  // [gateway] with a free port, the data folder, no filter unless the lines
  // name one, and the lines given; then the standard sections and `more`.
  std::string ConfigText(const std::string& gatewayLines = {}, const std::string& more = {}) const {
    std::string text = "[gateway]\nlisten = 127.0.0.1:0\ndata = data\naccess-log = yes\n";
    if (gatewayLines.find("filter =") == std::string::npos) text += "filter = none\n";
    return text + gatewayLines + "\n" + StandardSections() + more;
  }

  std::string ConfigPath() const { return dir_.Sub("gateway.conf"); }

  void Start(const std::string& gatewayLines = {}, const std::string& more = {}, GatewayOptions options = {}) {
    const std::string text = ConfigText(gatewayLines, more);
    ASSERT_TRUE(test::WriteFileText(ConfigPath(), text));
    GatewayConfig config = gateway::LoadGatewayConfig(ConfigPath());
    options.keepRecords = true;
    options.accessLog = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logLock_);
      log_.push_back(line);
    };
    gateway_ = std::make_unique<Gateway>(std::move(config), std::move(options));
    gateway_->Start();
  }

  void TearDown() override {
    if (gateway_) gateway_->Stop();
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", nullptr);
  }

  uint16_t Port() const { return gateway_->Port(); }
  std::string Get(const std::string& url, const Fields& fields = {}) const { return Request("GET", url, Port(), fields); }
  std::string LogonPost(const std::string& password = "Alice-2fa!") const {
    return Request("POST", "/CookieAuth.dll?Logon", Port(), {{"Content-Type", "application/x-www-form-urlencoded"}},
                   FormBody({{"curl", "/owa/"}, {"username", "CONTOSO\\alice"}, {"password", password}}));
  }
  // Logs on over its own connection; the key of the cookie the proxy set.
  std::string LogOn() {
    HttpClient client(Port());
    std::optional<Response> response = client.Exchange(LogonPost());
    EXPECT_TRUE(response && response->status == 302);
    return response ? CookieSetBy(*response, "cadata") : std::string();
  }

  std::vector<std::string> AccessLog() {
    std::lock_guard<std::mutex> lock(logLock_);
    return log_;
  }

  test::ScratchDir dir_;
  std::unique_ptr<Gateway> gateway_;
  std::mutex logLock_;
  std::vector<std::string> log_;
};

}  // namespace talverin::gateway_test
