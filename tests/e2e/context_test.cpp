// The per-request connection context as the proxy's notifications drive it
// through the installed filter, read back from the filter's trace log.
#include "road_fixture.h"

namespace talverin::e2e {
namespace {

size_t CountStarting(const std::vector<std::string>& messages, const std::string& prefix) {
  return std::count_if(messages.begin(), messages.end(), [&](const std::string& m) { return StartsWith(m, prefix); });
}

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
  EXPECT_EQ(CountStarting(messages, "Connection context has been created: "), 2u);
  EXPECT_EQ(CountStarting(messages, "Connection context destroyed: "), 2u);
  EXPECT_GE(CountStarting(messages, "Return existing context: "), 2u) << "later pieces should find the context";
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
  EXPECT_TRUE(test::Contains(LogMessages(),
                             "Exception during processing. Error message: \"Connection context has not "
                             "been found!\"."));
}

}  // namespace
}  // namespace talverin::e2e
