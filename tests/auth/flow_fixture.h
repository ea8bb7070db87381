#pragma once
// Drives the logon filter's stages the way the host does: a fake host filter context, the settings of one protected
// listener, and the real in-process test back end behind the filter's back-end connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "backend_client.h"
#include "config/filter_settings.h"
#include "config/settings_registry.h"
#include "support/fake_filter_context.h"
#include "support/trace_capture.h"
#include "stub/authentication_proxy.h"
#include "stub/session_store.h"

namespace flowtest {

constexpr char kListener[] = "{6F1B7C55-0B7D-4E1A-9A53-5C0B3A2F1E01}";
constexpr char kCookie[] = "cookieauth";
constexpr int kNone = -1;  // no session behind the key
constexpr int kInitial = static_cast<int>(SessionState::Initial);
constexpr int kAwaiting = static_cast<int>(SessionState::AwaitingPasscode);
constexpr int kValid = static_cast<int>(SessionState::Valid);
constexpr int kExpired = static_cast<int>(SessionState::Expired);

// One raw-data notification: the record, and the bytes it presents after the filter has seen it.
struct RawChunk {
  explicit RawChunk(const std::string& text) : bytes(text) {
    record.pvInData = bytes.empty() ? nullptr : &bytes[0];
    record.cbInData = static_cast<DWORD>(bytes.size());
    record.cbInBuffer = static_cast<DWORD>(bytes.size());
  }
  std::string Presented() const {
    return std::string(static_cast<const char*>(record.pvInData), record.pvInData ? record.cbInData : 0);
  }
  std::string bytes;
  HTTP_FILTER_RAW_DATA record{};
};

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc);
    backend_ = std::make_unique<backend_test::BackendSession>(backend_test::kInProcProgId);
    SetFallbackForbidden(true);
    talverin::WebListenerInfo info;
    info.Name = "Mail";
    info.FBACookieName = kCookie;
    info.Enabled = true;
    info.FBACookieDomains = {"mail.example"};
    talverin::FilterSettings::Instance().SaveWebListeners({{kListener, info}});
    ASSERT_TRUE(filter_.Connect());
    host_.serverVariables["LISTENER_GUID"] = kListener;
    host_.serverVariables["HTTP_HOST"] = "mail.example";
    host_.serverVariables["REMOTE_ADDR"] = "192.0.2.7";
  }

  void SetFallbackForbidden(bool forbidden) {
    registry_.SetDword("FallbackFromFBAForbidden", forbidden ? 1 : 0);
    registry_.SetText("DefaultDomain", "CONTOSO");
    talverin::FilterSettings::Instance().Load();
  }

  // A key no other test uses.
  static std::string NewKey() {
    static int counter = 0;
    return "K" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(++counter) + "x" +
           std::to_string(GetTickCount());
  }

  std::shared_ptr<Stub::Session> MakeSession(const std::string& key, SessionState state,
                                             const std::string& url = "/owa/") {
    std::shared_ptr<Stub::Session> session = filter_.SessionStore()->CreateSession(key);
    session->PutState(static_cast<int>(state));
    session->PutUrl(url);
    return session;
  }
  std::shared_ptr<Stub::Session> Find(const std::string& key) { return filter_.SessionStore()->GetSession(key); }
  int StateOf(const std::string& key) { return Find(key)->GetState(); }

  // The request-headers notification for url with the given Cookie header; a GET unless the raw-data stage has read
  // another method into the context.
  DWORD Headers(ConnectionContext& context, const std::string& url, const std::string& cookie = std::string()) {
    if (context.requestMethod.empty()) context.requestMethod = "GET";
    host_.serverVariables["URL"] = url;
    if (cookie.empty()) {
      host_.serverVariables.erase("HTTP_COOKIE");
    } else {
      host_.serverVariables["HTTP_COOKIE"] = cookie;
    }
    return filter_.OnPreprocHeaders(host_.pfc(), host_.headerRecord(), &context);
  }
  DWORD ReadRaw(ConnectionContext& context, RawChunk& chunk) {
    return filter_.OnReadRawData(host_.pfc(), &chunk.record, &context);
  }
  DWORD SendRaw(ConnectionContext& context, RawChunk& chunk) {
    return filter_.OnSendRawData(host_.pfc(), &chunk.record, &context);
  }

  static std::string LogonPost(const std::string& body, const std::string& url = "/CookieAuth.dll?Logon") {
    return "POST " + url + " HTTP/1.1\r\nHost: mail.example\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  }

  // The redirect written through the host, or empty.
  std::string WrittenRedirect() const {
    for (const auto& call : host_.supportCalls) {
      if (call.request == SF_REQ_SEND_RESPONSE_HEADER) return call.status + "|" + call.headers;
    }
    return std::string();
  }

  talverin::test::TraceCapture log_;
  talverin::test::SettingsKey registry_;
  std::unique_ptr<backend_test::BackendSession> backend_;
  talverin::test::FakeFilterContext host_;
  CAnonymousLogonFilterImplementation filter_;
};

}  // namespace flowtest
