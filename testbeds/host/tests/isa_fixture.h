#pragma once
// Shared by the tests of the proxy emulation: the probe filter loaded and
// started, the listeners and users of the sample files, the site, and the
// proxy in front of it.
#include <gmock/gmock.h>

#include <memory>
#include <string>

#include "host/browser.h"
#include "host/isa_server.h"
#include "probe.h"

namespace talverin::host::test {

inline std::string DataPath(const std::string& name) { return talverin::test::ExeDir() + "data\\" + name; }

inline const std::string kOwaListener = "{AAAAAAAA-0000-0000-0000-000000000001}";
inline const std::string kPortalListener = "{BBBBBBBB-0000-0000-0000-000000000002}";

class IsaTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.Start().Succeeded()) << module_.LoadError();
    server_ = std::make_unique<IsaServer>(module_, LoadListeners(DataPath("fpc_store.conf")),
                                          LoadUsers(DataPath("backend-users.txt")), site_);
  }

  Browser MakeBrowser(const std::string& name, bool keepAlive = true) {
    BrowserOptions options;
    options.client.name = name;
    options.keepAlive = keepAlive;
    return Browser(*server_, options);
  }

  // Asks for the page, is sent to the logon form, posts it, and follows the
  // redirect back; answers the last reply.
  Reply LogOn(Browser& browser, const std::string& url, const std::string& user, const std::string& password) {
    Reply form = browser.Visit(url);
    EXPECT_EQ(form.status, 200) << form.raw;
    return browser.FollowAll(browser.PostForm("/CookieAuth.dll?Logon", {{"curl", url},
                                                                          {"flags", "0"},
                                                                          {"forcedownlevel", "0"},
                                                                          {"formdir", "1"},
                                                                          {"trusted", "0"},
                                                                          {"username", user},
                                                                          {"password", password}}));
  }

  // The logon post alone, as from the form.
  static Reply LogOnWith(Browser& browser, const std::string& user, const std::string& password) {
    return browser.PostForm("/CookieAuth.dll?Logon", {{"curl", "/owa/"}, {"username", user}, {"password", password}});
  }

  FilterModule module_{ProbePath()};
  PublishedSite site_;
  std::unique_ptr<IsaServer> server_;
};

}  // namespace talverin::host::test
