#pragma once
// The whole logon road: the installed filter DLL loaded by the proxy
// emulation, the configuration-store test bed read at start-up, the test back
// end (in-process unless a test points the ProgID at the local server), and
// browsers driven through the proxy.
//
// Every test ends with the road's invariant (RoadTest::TearDown): no byte of a
// published page reached a browser whose session had not passed the second
// factor, except the excluded URLs the scenario allows and the public pages;
// and the only request that reached the site for such a session is the one
// request for its protected URL in state Initial whose answer the filter
// replaces.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend_client.h"
#include "config/settings_registry.h"
#include "host/browser.h"
#include "host/isa_server.h"
#include "support/filter_install.h"
#include "support/test_files.h"

namespace talverin::e2e {

using host::Browser;
using host::FormList;
using host::HeaderList;
using host::Reply;

inline const std::string kOwaListener = "{AAAAAAAA-0000-0000-0000-000000000001}";
inline const std::string kPortalListener = "{BBBBBBBB-0000-0000-0000-000000000002}";
inline const std::string kCookie = "cadata";
inline const std::string kOwnLogin = "/talverinauth.dll?logon";
inline const std::string kOwnLoginAction = "/talverinauth.dll?action=talvlogin";

// Users shared by the back end and the proxy (the proxy checks the password,
// the back end decides the second factor).
struct RoadUser {
  const char* name;
  const char* password;
};
inline constexpr RoadUser kAlice{"CONTOSO\\alice", "Secret1"};       // valid
inline constexpr RoadUser kBob{"CONTOSO\\bob", "Bypass2"};           // may bypass the second factor
inline constexpr RoadUser kCarol{"CONTOSO\\carol", "Locked3"};       // locked out
inline constexpr RoadUser kDave{"CONTOSO\\dave", "Denied4"};         // denied
inline constexpr RoadUser kErin{"CONTOSO\\erin", "Change5"};         // valid, must change the password
inline constexpr RoadUser kMallory{"CONTOSO\\mallory", "Mallory6"};  // valid, the attacker
inline constexpr RoadUser kZed{"CONTOSO\\zed", "Unknown7"};          // known to the proxy only

struct RoadConfig {
  // Values of the protected listener's vendor parameters set, one per line.
  std::string ownSet = "Enabled = i4:1\n";
  // The second listener (cookie "portalauth", fallback by the emulation's
  // settings when asked for); empty: no such listener.
  std::string portalSet;
  // The emulation's own settings ([proxy], [listener {GUID}], [user NAME]).
  std::string emulation;
};

class RoadTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the store and users files, loads and starts the filter and puts
  // the proxy in front of the site.
  void Start(const RoadConfig& config = {});
  void Stop();

  Browser& MakeBrowser(const std::string& name, const std::string& listener = {}, bool keepAlive = true);

  // The password step: the page, the proxy's logon form, the post, and every
  // redirect after it. Answers the last reply.
  Reply PasswordStep(Browser& browser, const RoadUser& user, const std::string& url = "/owa/");
  // The logon post alone, with the form's fields in the form's order.
  Reply PostLogon(Browser& browser, const RoadUser& user, const std::string& curl = "/owa/");
  // The passcode texted to the user last, from the back end's outbox.
  std::string LastPasscode(const RoadUser& user) const;
  Reply PostPasscode(Browser& browser, const std::string& passcode, const std::string& action = "LogIn");
  // Password, passcode, and the redirect to the page: a Valid session.
  Reply LogOnFully(Browser& browser, const RoadUser& user, const std::string& url = "/owa/");

  // Whether the filter holds a user for the passcode after the password, on
  // a proxy and site of its own (the scenario's witnesses stay clean).
  bool FlowPresent();

  // The back end's state of the session of this key; -1 when it has none.
  long SessionState(const std::string& key) const;
  std::string Audit() const { return test::ReadFileText(data_.Sub("audit.txt")); }
  std::string Outbox() const { return test::ReadFileText(data_.Sub("outbox.txt")); }
  std::vector<std::string> LogMessages() const;

  // The witness record: from now on this browser's session has passed the
  // second factor (or no longer has).
  void MarkValid(const Browser& browser);
  void MarkNotValid(const Browser& browser);
  // The URL this browser's logon is for (PostLogon records it itself).
  void Protect(const Browser& browser, const std::string& url) { protected_[browser.Name()] = host::CanonicalPath(url); }
  // Lower-case URL prefixes that pass without the second factor in this
  // scenario.
  void AllowExcluded(std::vector<std::string> prefixes) { allowedExcluded_ = std::move(prefixes); }
  // The invariant over the site's record and every browser's history: one
  // text per breach.
  std::vector<std::string> RoadFindings() const;
  void CheckRoadInvariant();

  host::PublishedSite& Site() { return site_; }
  host::IsaServer& Server() { return *server_; }
  host::FilterModule& Module() { return *module_; }
  const test::FilterInstall& Install() const { return install_; }
  IDispatch* Backend() const { return master_.Get(); }
  // The filter's registry values, read when Start loads the filter.
  test::SettingsKey& Settings() { return settings_; }
  std::string UsersPath() const { return data_.Sub("users.txt"); }

  static bool Leaks(const Reply& reply) { return host::CarriesSiteContent(reply.raw); }

  bool checkInvariant_ = true;

 private:
  struct Interval {
    size_t siteFrom, historyFrom;
    size_t siteTo = SIZE_MAX, historyTo = SIZE_MAX;
  };
  bool ValidAt(const std::string& client, size_t index, bool history) const;
  bool ExcludedAllowed(const std::string& url) const;

  test::FilterInstall install_;
  test::SettingsKey settings_;
  test::ScratchDir data_;
  ComPtr<IDispatch> master_;
  std::unique_ptr<host::FilterModule> module_;
  host::PublishedSite site_;
  std::vector<host::ListenerConfig> listeners_;
  std::vector<host::UserAccount> users_;
  host::IsaOptions options_;
  std::unique_ptr<host::IsaServer> server_;
  std::vector<std::unique_ptr<Browser>> browsers_;
  std::map<std::string, std::vector<Interval>> valid_;
  std::vector<std::string> allowedExcluded_;
  std::map<std::string, std::string> protected_;  // client -> canonical path it logged on for
};

inline constexpr char kFlowMissing[] =
    "the filter does not hold the user for the passcode after the password (the second factor is broken)";

// A test of the second factor fails, never skips, when the filter lets the
// password alone through: that is the failure it exists to catch.
#define ASSERT_FLOW_PRESENT() ASSERT_TRUE(FlowPresent()) << kFlowMissing

std::string Lower(std::string text);
bool StartsWith(const std::string& text, const std::string& prefix);

}  // namespace talverin::e2e
