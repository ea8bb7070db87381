// One request through the installed filter: the connection context the
// proxy's notifications drive (read back from the trace log), and what the
// request costs the back end, counted by the test back end itself at the
// level a server runs at.
#include <gmock/gmock.h>

#include <map>
#include <sstream>

#include "road_fixture.h"

namespace talverin::e2e {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing::Pair;

// A kept-alive connection gets a fresh context per request, also when the
// request comes in small pieces, and none outlives its request.
TEST_F(RoadTest, ContextLivesForOneRequest) {
  ASSERT_NO_FATAL_FAILURE(Start({"Enabled = i4:1\n", "", "[proxy]\nrequest-chunk = 16\n"}));
  Browser& browser = MakeBrowser("reader");
  ASSERT_EQ(browser.Get("/public/info.html").status, 200);
  host::IsaConnection* connection = browser.CurrentConnection();
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(browser.Get("/public/").status, 200);
  EXPECT_EQ(browser.CurrentConnection(), connection) << "the connection was not kept alive";
  EXPECT_EQ(connection->Filter().FilterContextSlot(), nullptr) << "the context outlived its request";
  EXPECT_TRUE(connection->Filter().Violations().empty());
  const std::vector<std::string> messages = LogMessages();
  for (const std::string prefix : {"Connection context has been created: ", "Connection context destroyed: "}) {
    auto starts = [&](const std::string& m) { return StartsWith(m, prefix); };
    EXPECT_EQ(std::count_if(messages.begin(), messages.end(), starts), 2) << prefix;
  }
  EXPECT_FALSE(test::Contains(messages, "WARNING: Attempt to destroy non-existing context!"));
}

// A notification before the request's data (web proxy order) ends the request.
TEST_F(RoadTest, RequestStartingWithTheHeadersNotificationIsFinished) {
  ASSERT_NO_FATAL_FAILURE(Start());
  host::Connection connection(*module_);
  connection.SetServerVariable("LISTENER_GUID", kOwaListener);
  connection.SetServerVariable("URL", "/owa/");
  connection.SetRequestHeaders("GET /owa/ HTTP/1.1\r\nHost: mail.contoso.test\r\n\r\n");
  host::NotificationResult headers = connection.PreprocHeaders();
  ASSERT_TRUE(headers.delivered);
  EXPECT_EQ(headers.status, static_cast<DWORD>(SF_STATUS_REQ_FINISHED)) << host::StatusName(headers.status);
  connection.EndOfRequest();
  EXPECT_TRUE(connection.IsClosed());
  EXPECT_TRUE(connection.ClientBytes().empty());
  EXPECT_TRUE(test::Contains(
      LogMessages(), "Exception during processing. Error message: \"Connection context has not been found!\"."));
}

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
