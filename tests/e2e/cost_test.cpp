// What a request costs the back end, counted by the test back end itself:
// every member lookup and invocation that reached it while a browser made
// requests through the installed filter, at the level a server runs at.
#include <gmock/gmock.h>

#include <map>
#include <sstream>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;

class CostTest : public RoadTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(RoadTest::SetUp());
    ASSERT_TRUE(settings_.SetDword("TraceLevel", 0));
    ASSERT_NO_FATAL_FAILURE(Start());
  }
  void ClearCounts() { ASSERT_EQ(S_OK, backend_test::Method(Backend(), L"ClearCallCounts").hr); }
  // "Object.Member kind" -> count, since the last ClearCounts.
  std::map<std::string, long> Counts() const {
    std::istringstream lines(backend_test::Narrow(backend_test::Method(Backend(), L"CallCounts").Text()));
    std::map<std::string, long> counts;
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const size_t blank = line.rfind(' ');
      if (blank != std::string::npos) counts[line.substr(0, blank)] = std::stol(line.substr(blank + 1));
    }
    return counts;
  }
};

// A session that has passed the second factor: the session looked up, its
// state read, and whether a bypass report is still owed; nothing written.
TEST_F(CostTest, ValidSessionRequestLooksTheSessionUpAndReadsItOnce) {
  ASSERT_FLOW_PRESENT();
  Browser& browser = MakeBrowser("alice");
  ASSERT_TRUE(Shows(LogOnFully(browser, kAlice), "/owa/"));
  ASSERT_TRUE(Shows(browser.Get("/owa/inbox.html"), "/owa/inbox.html"));
  ClearCounts();
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Shows(browser.Get("/owa/inbox.html"), "/owa/inbox.html"));
  EXPECT_THAT(Counts(), ElementsAre(Pair("Session.BypassTalverinAuthentication get", 10), Pair("Session.State get", 10),
                                    Pair("SessionStore.GetSession method", 10)));
}

TEST_F(CostTest, RequestWithoutTheProxysCookieCostsTheBackEndNothing) {
  Browser& browser = MakeBrowser("anonymous");
  browser.Get("/public/info.html");
  ClearCounts();
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(Shows(browser.Get("/public/info.html"), "/public/info.html"));
    EXPECT_FALSE(Leaks(browser.Get("/owa/")));
  }
  EXPECT_THAT(Counts(), IsEmpty());
}

}  // namespace
}  // namespace talverin::e2e
