// What a request costs the back end, counted by the test back end itself:
// every member lookup and invocation that reached it while a browser made
// requests through the installed filter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;

class CostTest : public RoadTest {
 protected:
  // The level a server runs at: the decision trail reads nothing of its own.
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RoadTest::SetUp());
    ASSERT_TRUE(Settings().SetDword("TraceLevel", 0));
  }

  void ClearCounts() { ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"ClearCallCounts").hr); }

  // "Object.Member kind" -> count, since the last ClearCounts.
  std::map<std::string, long> Counts() const {
    backend_test::Reply reply = backend_test::Method(Backend(), L"CallCounts");
    std::map<std::string, long> counts;
    const std::string text = backend_test::Narrow(reply.Text());
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      const std::size_t blank = line.rfind(' ');
      if (blank != std::string::npos) counts[line.substr(0, blank)] = std::stol(line.substr(blank + 1));
      start = end + 2;
    }
    return counts;
  }
};

// A session that has passed the second factor: the session looked up, its
// state read, and whether a bypass report is still owed; no member looked up
// by name again, nothing written.
TEST_F(CostTest, ValidSessionRequestLooksTheSessionUpAndReadsItOnce) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("alice");
  ASSERT_TRUE(host::CarriesSitePage(LogOnFully(browser, kAlice).raw, "/owa/"));
  ASSERT_TRUE(host::CarriesSitePage(browser.Get("/owa/inbox.html").raw, "/owa/inbox.html"));

  ClearCounts();
  constexpr long kRequests = 10;
  for (long i = 0; i < kRequests; ++i) {
    ASSERT_TRUE(host::CarriesSitePage(browser.Get("/owa/inbox.html").raw, "/owa/inbox.html"));
  }
  EXPECT_THAT(Counts(), ElementsAre(Pair("Session.BypassTalverinAuthentication get", kRequests),
                                    Pair("Session.State get", kRequests),
                                    Pair("SessionStore.GetSession method", kRequests)));
}

TEST_F(CostTest, RequestWithoutTheProxysCookieCostsTheBackEndNothing) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& browser = MakeBrowser("anonymous");
  browser.Get("/public/info.html");
  ClearCounts();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(host::CarriesSitePage(browser.Get("/public/info.html").raw, "/public/info.html"));
    EXPECT_FALSE(Leaks(browser.Get("/owa/")));
  }
  EXPECT_THAT(Counts(), IsEmpty());
}

// The bypass report is owed once: the first request of the session makes it
// and clears the flag, the later ones only read the flag.
TEST_F(CostTest, BypassReportIsTheOnlyWriteAndComesOnce) {
  ASSERT_NO_FATAL_FAILURE(Start());
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("bob");
  browser.Visit("/owa/");
  Reply redirect = PostLogon(browser, kBob);
  ASSERT_EQ(redirect.status, 302);
  MarkValid(browser);
  ClearCounts();
  ASSERT_TRUE(host::CarriesSitePage(browser.FollowAll(redirect).raw, "/owa/"));
  const std::map<std::string, long> first = Counts();
  EXPECT_EQ(first.count("AuthenticationProxy.ReportPasswordAuthenticationStatus method"), 1u);
  EXPECT_EQ(first.count("Session.BypassTalverinAuthentication put"), 1u);

  ClearCounts();
  ASSERT_TRUE(host::CarriesSitePage(browser.Get("/owa/inbox.html").raw, "/owa/inbox.html"));
  EXPECT_THAT(Counts(), ElementsAre(Pair("Session.BypassTalverinAuthentication get", 1),
                                    Pair("Session.State get", 1), Pair("SessionStore.GetSession method", 1)));
}

}  // namespace
}  // namespace talverin::e2e
