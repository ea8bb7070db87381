#pragma once
// The installed filter DLL in the proxy emulation, with the configuration-store test bed, the in-process test back end
// and browsers. Every test ends with the road's invariant (TearDown): no byte of a published page (public pages and the
// excluded URLs a scenario allows aside) reached a browser whose session had not passed the second factor, and the only
// request of such a session that reached the site is the one GET of its protected URL in state Initial, whose answer
// the filter replaces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend_client.h"
#include "config/settings_registry.h"
#include "host/browser.h"
#include "host/isa_server.h"
#include "support/filter_install.h"
#include "support/trace_capture.h"

namespace talverin::e2e {

using host::Browser;
using host::HeaderList;
using host::Reply;

inline const std::string kOwaListener = "{AAAAAAAA-0000-0000-0000-000000000001}";
inline const std::string kPortalListener = "{BBBBBBBB-0000-0000-0000-000000000002}";
inline const std::string kCookie = "cadata";
inline const std::string kOwnLogin = "/talverinauth.dll?logon";
enum State : long { kInitial = 0, kAwaitingPasscode = 1, kValid = 2, kExpired = 3 };

// The proxy checks the password, the back end decides the second factor.
struct RoadUser {
  const char* name;
  const char* password;
};
inline constexpr RoadUser kAlice{"CONTOSO\\alice", "Secret1"}, kBob{"CONTOSO\\bob", "Bypass2"},
    kCarol{"CONTOSO\\carol", "Locked3"}, kDave{"CONTOSO\\dave", "Denied4"}, kErin{"CONTOSO\\erin", "Change5"},
    kMallory{"CONTOSO\\mallory", "Mallory6"}, kZed{"CONTOSO\\zed", "Unknown7"};
// name | phone | password | status: bob may bypass the second factor, zed is known to the proxy only.
inline constexpr char kUsers[] =
    "CONTOSO\\alice | +49 170 1234567 | Secret1 | valid\r\nCONTOSO\\bob | +44 7700 900123 | Bypass2 | bypass\r\n"
    "CONTOSO\\carol | +1 555 0101 | Locked3 | locked\r\nCONTOSO\\dave | +1 555 0102 | Denied4 | denied\r\n"
    "CONTOSO\\erin | +1 555 0103 | Change5 | valid\r\nCONTOSO\\mallory | +1 555 0104 | Mallory6 | valid\r\n";

struct RoadConfig {
  std::string ownSet = "Enabled = i4:1\n";  // the protected listener's vendor parameters
  std::string portalSet;                    // the second listener's ("portalauth"); empty: none
  std::string emulation;                    // [proxy], [listener {GUID}], [user NAME] of the emulation
};

inline std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class RoadTest : public testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(install_.ok());
    ASSERT_TRUE(settings_.SetDword("TraceLevel", 2));
    ASSERT_TRUE(settings_.SetDword("FallbackFromFBAForbidden", 1));
    ASSERT_TRUE(settings_.SetText("DefaultDomain", "CONTOSO"));
    ASSERT_TRUE(test::WriteFileText(data_.Sub("users.txt"), kUsers));
    ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));
    // The in-process back end's settings are process-wide: the filter's root object sees them too.
    HRESULT hr = E_FAIL;
    master_ = backend_test::Create(backend_test::kInProcProgId, &hr);
    ASSERT_TRUE(master_) << std::hex << hr;
    for (const auto& [name, value] : {std::pair<const wchar_t*, std::string>{L"UsersFile", data_.Sub("users.txt")},
                                      {L"DataDir", data_.path() + "\\"}}) {
      backend_test::Reply reply = backend_test::Method(Backend(), L"SetOption", {name, backend_test::Widen(value)});
      ASSERT_EQ(S_OK, reply.hr) << backend_test::Narrow(reply.description);
    }
  }
  void TearDown() override {
    if (server_) CheckRoadInvariant();
    Stop();
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", nullptr);
    master_ = nullptr;
  }

  void Start(const RoadConfig& config = {}) {
    auto listener = [](const std::string& name, const std::string& guid, const std::string& cookie,
                       const std::string& set) {
      return "[listener]\nname = " + name + "\npersistent-name = " + guid + "\ncookie-name = " + cookie +
             "\ncookie-domains-in-use = no\n\n[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n" + set + "\n";
    };
    std::string store = listener("Exchange OWA", kOwaListener, kCookie, config.ownSet);
    if (!config.portalSet.empty()) store += listener("Portal", kPortalListener, "portalauth", config.portalSet);
    ASSERT_TRUE(test::WriteFileText(data_.Sub("fpc_store.conf"), store));
    SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", data_.Sub("fpc_store.conf").c_str());
    listeners_ = host::ParseListeners(store);
    users_ = host::ParseUsers(std::string(kUsers) + "CONTOSO\\zed | +1 555 0105 | Unknown7 | valid\r\n");
    options_ = {};
    host::ApplyEmulationSettings(config.emulation, listeners_, users_, options_);
    module_ = std::make_unique<host::FilterModule>(install_.dllPath());
    ASSERT_TRUE(module_->IsLoaded()) << module_->LoadError();
    ASSERT_TRUE(module_->Start().Succeeded());
    server_ = std::make_unique<host::IsaServer>(*module_, listeners_, users_, site_, options_);
  }
  void Stop() {
    browsers_.clear();
    server_.reset();
    if (module_) {
      module_->Terminate();
      module_->Unload();
      module_.reset();
    }
  }

  Browser& MakeBrowser(const std::string& name) {
    host::BrowserOptions options;
    options.client.name = name;
    browsers_.push_back(std::make_unique<Browser>(*server_, options));
    return *browsers_.back();
  }
  // The logon post alone, its fields in the proxy's form's order.
  Reply PostLogon(Browser& browser, const RoadUser& user, const std::string& curl = "/owa/") {
    Protect(browser, curl);
    return browser.PostForm("/CookieAuth.dll?Logon", {{"curl", curl}, {"flags", "0"}, {"forcedownlevel", "0"},
                                                      {"formdir", "1"}, {"trusted", "0"}, {"username", user.name},
                                                      {"password", user.password}});
  }
  // The page, the proxy's logon form, the post and every redirect after it.
  Reply PasswordStep(Browser& browser, const RoadUser& user, const std::string& url = "/owa/") {
    EXPECT_NE(browser.Visit(url).body.find("CookieAuth.dll?Logon"), std::string::npos) << "no logon form for " << url;
    return browser.FollowAll(PostLogon(browser, user, url));
  }
  Browser& AwaitingSession(const std::string& name) {
    Browser& browser = MakeBrowser(name);
    EXPECT_EQ(Lower(PasswordStep(browser, kAlice).url), kOwnLogin) << name;
    return browser;
  }
  // The passcode texted to the user last; empty when none was.
  std::string LastPasscode(const RoadUser& user) const {
    const std::string outbox = Outbox(), marker = std::string(" user=") + user.name + " passcode=";
    const size_t at = outbox.rfind(marker);
    return at == std::string::npos ? std::string() : outbox.substr(at + marker.size(), 6);
  }
  Reply PostPasscode(Browser& browser, const std::string& passcode, const std::string& action = "LogIn") {
    return browser.PostForm("/talverinauth.dll?action=talvlogin", {{"passcode", passcode}, {"Action", action}});
  }
  // Password, passcode and the redirect to the page: a Valid session.
  Reply LogOnFully(Browser& browser, const RoadUser& user, const std::string& url = "/owa/") {
    EXPECT_EQ(Lower(PasswordStep(browser, user, url).url), kOwnLogin);
    const std::string passcode = LastPasscode(user);
    EXPECT_EQ(passcode.size(), 6u) << Outbox();
    Reply accepted = PostPasscode(browser, passcode);
    EXPECT_EQ(accepted.status, 302) << accepted.raw;
    MarkValid(browser);
    return browser.FollowAll(accepted);
  }
  static std::string Key(const Browser& browser) { return browser.Cookie(kCookie).value_or(""); }
  // The back end's state of the session of this key; -1 when it has none.
  long SessionState(const std::string& key) const {
    ComPtr<IDispatch> store = backend_test::Get(Backend(), L"Store").Object();
    if (!store) return -2;
    backend_test::Reply found = backend_test::Method(store.Get(), L"GetSession", {backend_test::Widen(key)});
    if (found.type() != VT_DISPATCH) return -1;
    backend_test::Reply state = backend_test::Get(found.Object().Get(), L"State");
    return state.hr == S_OK ? state.Int() : -3;
  }
  std::string Audit() const { return test::ReadFileText(data_.Sub("audit.txt")); }
  std::string Outbox() const { return test::ReadFileText(data_.Sub("outbox.txt")); }
  IDispatch* Backend() const { return master_.Get(); }
  void Fault(const std::vector<const wchar_t*>& members, const wchar_t* kind, const wchar_t* value) {
    for (const wchar_t* member : members)
      ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"InjectFault", {member, kind, value}).hr) << member;
  }

  // The witness: from now on this browser's session has passed the second factor (or no longer has).
  void MarkValid(const Browser& browser) {
    valid_[browser.Name()].push_back({site_.Received().size(), browser.History().size()});
  }
  void MarkNotValid(const Browser& browser) {
    auto& intervals = valid_[browser.Name()];
    if (intervals.empty() || intervals.back().siteTo != SIZE_MAX) return;
    intervals.back().siteTo = site_.Received().size();
    intervals.back().historyTo = browser.History().size();
  }
  void Protect(const Browser& browser, const std::string& url) {
    protected_[browser.Name()] = host::CanonicalPath(url);
  }
  // Lower-case URL prefixes that pass without the second factor.
  void AllowExcluded(std::vector<std::string> prefixes) { allowedExcluded_ = std::move(prefixes); }
  static bool Leaks(const Reply& reply) { return host::CarriesSiteContent(reply.raw); }
  static bool Shows(const Reply& reply, const std::string& path) { return host::CarriesSitePage(reply.raw, path); }

  void CheckRoadInvariant() {
    std::map<std::string, bool> initialRequestUsed;  // per session key
    const auto& received = site_.Received();
    for (size_t i = 0; i < received.size(); ++i) {
      const host::SiteRequest& r = received[i];
      if (host::PublishedSite::IsPublic(r.canonicalPath) || ExcludedAllowed(r.url) || ValidAt(r.client, i, false))
        continue;
      auto kept = protected_.find(r.client);
      if (r.method == "GET" && !r.sessionKey.empty() && kept != protected_.end() && r.canonicalPath == kept->second &&
          !initialRequestUsed[r.sessionKey]) {
        initialRequestUsed[r.sessionKey] = true;
        continue;
      }
      ADD_FAILURE() << "the site received " << r.method << " " << r.url << " from " << r.client << " (key '"
                    << r.sessionKey << "') for a session that had not passed the second factor";
    }
    for (const auto& browser : browsers_) {
      const auto& history = browser->History();
      for (size_t h = 0; h < history.size(); ++h) {
        const Reply& reply = history[h];
        if (Leaks(reply) && !ValidAt(browser->Name(), h, true) && !ExcludedAllowed(reply.url) &&
            !host::PublishedSite::IsPublic(host::CanonicalPath(reply.url)))
          ADD_FAILURE() << "site bytes reached " << browser->Name() << " for " << reply.url
                        << " before the second factor:\n" << reply.raw.substr(0, 600);
      }
    }
  }

  test::FilterInstall install_;
  test::SettingsKey settings_;
  test::ScratchDir data_;
  host::PublishedSite site_;
  std::unique_ptr<host::FilterModule> module_;
  std::unique_ptr<host::IsaServer> server_;

 private:
  struct Interval {
    size_t siteFrom, historyFrom, siteTo = SIZE_MAX, historyTo = SIZE_MAX;
  };
  bool ValidAt(const std::string& client, size_t index, bool history) const {
    auto found = valid_.find(client);
    return found != valid_.end() && std::any_of(found->second.begin(), found->second.end(), [&](const Interval& v) {
             return index >= (history ? v.historyFrom : v.siteFrom) && index < (history ? v.historyTo : v.siteTo);
           });
  }
  // Both as sent and as the site routes it: "/rpc/../owa/" is no RPC request.
  bool ExcludedAllowed(const std::string& url) const {
    return std::any_of(allowedExcluded_.begin(), allowedExcluded_.end(), [&](const std::string& prefix) {
      return Lower(url).rfind(prefix, 0) == 0 && host::CanonicalPath(url).rfind(prefix, 0) == 0;
    });
  }

  ComPtr<IDispatch> master_;
  std::vector<host::ListenerConfig> listeners_;
  std::vector<host::UserAccount> users_;
  host::IsaOptions options_;
  std::vector<std::unique_ptr<Browser>> browsers_;
  std::map<std::string, std::vector<Interval>> valid_;
  std::vector<std::string> allowedExcluded_;
  std::map<std::string, std::string> protected_;  // client -> canonical path it logged on for
};

}  // namespace talverin::e2e
