#include "road_fixture.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "filter/log_lines.h"

namespace talverin::e2e {
namespace {

// name | phone | password | status: the proxy takes the password, the back
// end the status.
constexpr char kUsers[] =
    "CONTOSO\\alice   | +49 170 1234567 | Secret1  | valid\r\n"
    "CONTOSO\\bob     | +44 7700 900123 | Bypass2  | bypass\r\n"
    "CONTOSO\\carol   | +1 555 0101     | Locked3  | locked\r\n"
    "CONTOSO\\dave    | +1 555 0102     | Denied4  | denied\r\n"
    "CONTOSO\\erin    | +1 555 0103     | Change5  | valid\r\n"
    "CONTOSO\\mallory | +1 555 0104     | Mallory6 | valid\r\n";
// An account of the proxy's that the back end does not know.
constexpr char kProxyOnlyUsers[] = "CONTOSO\\zed     | +1 555 0105     | Unknown7 | valid\r\n";

constexpr char kVendorSet[] = "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n";

std::string ListenerSection(const std::string& name, const std::string& guid, const std::string& cookie,
                            const std::string& set) {
  return "[listener]\nname = " + name + "\npersistent-name = " + guid + "\ncookie-name = " + cookie +
         "\ncookie-domains-in-use = no\n\n" + kVendorSet + set + "\n";
}

}  // namespace

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

void RoadTest::SetUp() {
  ASSERT_TRUE(install_.ok());
  ASSERT_TRUE(settings_.SetDword("TraceLevel", 2));
  ASSERT_TRUE(settings_.SetDword("FallbackFromFBAForbidden", 1));
  ASSERT_TRUE(settings_.SetText("DefaultDomain", "CONTOSO"));
  ASSERT_TRUE(test::WriteFileText(UsersPath(), kUsers));
  ASSERT_NO_FATAL_FAILURE(backend_test::PointFilterProgIdAt(backend_test::BackendHost::InProc));
  // The in-process back end's settings are process-wide: the filter's own
  // root object sees them too.
  HRESULT hr = E_FAIL;
  master_ = backend_test::Create(backend_test::kInProcProgId, &hr);
  ASSERT_TRUE(master_) << std::hex << hr;
  for (const auto& [name, value] : std::vector<std::pair<const wchar_t*, std::wstring>>{
           {L"UsersFile", backend_test::Widen(UsersPath())},
           {L"DataDir", backend_test::Widen(data_.path() + "\\")}}) {
    backend_test::Reply reply = backend_test::Method(master_.Get(), L"SetOption", {name, value});
    ASSERT_EQ(S_OK, reply.hr) << backend_test::Narrow(reply.description);
  }
}

void RoadTest::TearDown() {
  if (checkInvariant_ && server_ && !IsSkipped()) CheckRoadInvariant();
  Stop();
  SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", nullptr);
  master_ = nullptr;
}

void RoadTest::Start(const RoadConfig& config) {
  std::string store = ListenerSection("Exchange OWA", kOwaListener, kCookie, config.ownSet);
  if (!config.portalSet.empty()) store += ListenerSection("Portal", kPortalListener, "portalauth", config.portalSet);
  const std::string storePath = data_.Sub("fpc_store.conf");
  ASSERT_TRUE(test::WriteFileText(storePath, store));
  SetEnvironmentVariableA("TALVERIN_STORE_CONFIG", storePath.c_str());

  listeners_ = host::ParseListeners(store);
  users_ = host::ParseUsers(std::string(kUsers) + kProxyOnlyUsers);
  options_ = {};
  host::ApplyEmulationSettings(config.emulation, listeners_, users_, options_);

  module_ = std::make_unique<host::FilterModule>(install_.dllPath());
  ASSERT_TRUE(module_->IsLoaded()) << module_->LoadError();
  ASSERT_TRUE(module_->Start().Succeeded());
  server_ = std::make_unique<host::IsaServer>(*module_, listeners_, users_, site_, options_);
}

void RoadTest::Stop() {
  browsers_.clear();
  server_.reset();
  if (module_) {
    module_->Terminate();
    module_->Unload();
    module_.reset();
  }
}

Browser& RoadTest::MakeBrowser(const std::string& name, const std::string& listener, bool keepAlive) {
  host::BrowserOptions options;
  options.client.name = name;
  options.client.listener = listener;
  options.keepAlive = keepAlive;
  browsers_.push_back(std::make_unique<Browser>(*server_, options));
  return *browsers_.back();
}

Reply RoadTest::PostLogon(Browser& browser, const RoadUser& user, const std::string& curl) {
  protected_[browser.Name()] = host::CanonicalPath(curl);
  return browser.PostForm("/CookieAuth.dll?Logon", {{"curl", curl},
                                                     {"flags", "0"},
                                                     {"forcedownlevel", "0"},
                                                     {"formdir", "1"},
                                                     {"trusted", "0"},
                                                     {"username", user.name},
                                                     {"password", user.password}});
}

Reply RoadTest::PasswordStep(Browser& browser, const RoadUser& user, const std::string& url) {
  Reply form = browser.Visit(url);
  EXPECT_NE(form.body.find("CookieAuth.dll?Logon"), std::string::npos) << "no logon form for " << url;
  return browser.FollowAll(PostLogon(browser, user, url));
}

std::string RoadTest::LastPasscode(const RoadUser& user) const {
  const std::string outbox = Outbox();
  const std::string marker = std::string(" user=") + user.name + " passcode=";
  const size_t at = outbox.rfind(marker);
  if (at == std::string::npos) return {};
  return outbox.substr(at + marker.size(), 6);
}

Reply RoadTest::PostPasscode(Browser& browser, const std::string& passcode, const std::string& action) {
  return browser.PostForm(kOwnLoginAction, {{"passcode", passcode}, {"Action", action}});
}

Reply RoadTest::LogOnFully(Browser& browser, const RoadUser& user, const std::string& url) {
  Reply page = PasswordStep(browser, user, url);
  EXPECT_EQ(Lower(page.url), kOwnLogin) << page.raw;
  const std::string passcode = LastPasscode(user);
  EXPECT_EQ(passcode.size(), 6u) << Outbox();
  Reply accepted = PostPasscode(browser, passcode);
  EXPECT_EQ(accepted.status, 302) << accepted.raw;
  MarkValid(browser);
  return browser.FollowAll(accepted);
}

bool RoadTest::FlowPresent() {
  host::PublishedSite site;
  host::IsaServer server(*module_, listeners_, users_, site, options_);
  host::BrowserOptions options;
  options.client.name = "flow-probe";
  Browser browser(server, options);
  browser.Visit("/owa/");
  Reply reply = browser.FollowAll(browser.PostForm(
      "/CookieAuth.dll?Logon", {{"curl", "/owa/"}, {"username", kAlice.name}, {"password", kAlice.password}}));
  return Lower(reply.url) == kOwnLogin && reply.status == 200;
}

long RoadTest::SessionState(const std::string& key) const {
  ComPtr<IDispatch> store = backend_test::Get(master_.Get(), L"Store").Object();
  if (!store) return -2;
  backend_test::Reply found = backend_test::Method(store.Get(), L"GetSession", {backend_test::Widen(key)});
  if (found.type() != VT_DISPATCH) return -1;
  ComPtr<IDispatch> session = found.Object();
  backend_test::Reply state = backend_test::Get(session.Get(), L"State");
  return state.hr == S_OK ? state.Int() : -3;
}

std::vector<std::string> RoadTest::LogMessages() const { return test::LogMessages(install_.logPath()); }

void RoadTest::MarkValid(const Browser& browser) {
  valid_[browser.Name()].push_back({site_.Received().size(), browser.History().size()});
}

void RoadTest::MarkNotValid(const Browser& browser) {
  auto& intervals = valid_[browser.Name()];
  if (intervals.empty() || intervals.back().siteTo != SIZE_MAX) return;
  intervals.back().siteTo = site_.Received().size();
  intervals.back().historyTo = browser.History().size();
}

bool RoadTest::ValidAt(const std::string& client, size_t index, bool history) const {
  auto found = valid_.find(client);
  if (found == valid_.end()) return false;
  for (const Interval& interval : found->second) {
    const size_t from = history ? interval.historyFrom : interval.siteFrom;
    const size_t to = history ? interval.historyTo : interval.siteTo;
    if (index >= from && index < to) return true;
  }
  return false;
}

bool RoadTest::ExcludedAllowed(const std::string& url) const {
  // Both as sent and as the site routes it: "/rpc/../owa/" is no RPC request.
  const std::string lower = Lower(url);
  const std::string routed = host::CanonicalPath(url);
  for (const std::string& prefix : allowedExcluded_) {
    if (StartsWith(lower, prefix) && StartsWith(routed, prefix)) return true;
  }
  return false;
}

std::vector<std::string> RoadTest::RoadFindings() const {
  std::vector<std::string> findings;
  std::map<std::string, bool> initialRequestUsed;  // per session key
  const auto& received = site_.Received();
  for (size_t i = 0; i < received.size(); ++i) {
    const host::SiteRequest& request = received[i];
    if (host::PublishedSite::IsPublic(request.canonicalPath) || ExcludedAllowed(request.url)) continue;
    if (ValidAt(request.client, i, false)) continue;
    auto protectedPath = protected_.find(request.client);
    const bool initialRequest = request.method == "GET" && !request.sessionKey.empty() &&
                                protectedPath != protected_.end() &&
                                request.canonicalPath == protectedPath->second &&
                                !initialRequestUsed[request.sessionKey];
    if (initialRequest) {
      initialRequestUsed[request.sessionKey] = true;
      continue;
    }
    findings.push_back("the site received " + request.method + " " + request.url + " from " + request.client +
                       " (key '" + request.sessionKey + "', user '" + request.user +
                       "') for a session that had not passed the second factor");
  }
  for (const auto& browser : browsers_) {
    const auto& history = browser->History();
    for (size_t h = 0; h < history.size(); ++h) {
      const Reply& reply = history[h];
      if (!Leaks(reply) || ValidAt(browser->Name(), h, true)) continue;
      if (host::PublishedSite::IsPublic(host::CanonicalPath(reply.url)) || ExcludedAllowed(reply.url)) continue;
      findings.push_back("site bytes reached " + browser->Name() + " for " + reply.url +
                         " before the second factor:\n" + reply.raw.substr(0, 600));
    }
  }
  return findings;
}

void RoadTest::CheckRoadInvariant() {
  for (const std::string& finding : RoadFindings()) ADD_FAILURE() << finding;
}

}  // namespace talverin::e2e
