// The per-request connection context as the proxy's notifications drive it
// through the installed filter, read back from the filter's trace log.
#include <gtest/gtest.h>

#include <regex>

#include "filter/log_lines.h"
#include "road_fixture.h"

namespace talverin::e2e {
namespace {

using test::CountOf;

// The address in "Connection context has been created: 0x....", in order.
std::vector<std::string> Addresses(const std::vector<std::string>& messages, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& message : messages) {
    if (StartsWith(message, prefix)) found.push_back(message.substr(prefix.size()));
  }
  return found;
}

std::string Trim(std::string address) {
  while (!address.empty() && (address.back() == '.' || address.back() == ' ')) address.pop_back();
  return address;
}

class ContextThroughTheProxyTest : public RoadTest {};

TEST_F(ContextThroughTheProxyTest, ContextLivesForOneRequestAndKeptAliveConnectionsGetAFreshOne) {
  ASSERT_NO_FATAL_FAILURE(Start());
  Browser& browser = MakeBrowser("reader", {}, /*keepAlive=*/true);
  ASSERT_EQ(browser.Get("/public/info.html").status, 200);
  host::IsaConnection* connection = browser.CurrentConnection();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->Filter().FilterContextSlot(), nullptr) << "the context outlived its request";
  ASSERT_EQ(browser.Get("/public/").status, 200);
  EXPECT_EQ(browser.CurrentConnection(), connection) << "the connection was not kept alive";
  EXPECT_EQ(connection->Filter().FilterContextSlot(), nullptr);
  EXPECT_TRUE(connection->Filter().Violations().empty());

  std::vector<std::string> messages = LogMessages();
  std::vector<std::string> created = Addresses(messages, "Connection context has been created: ");
  std::vector<std::string> destroyed = Addresses(messages, "Connection context destroyed: ");
  ASSERT_EQ(created.size(), 2u) << "one context per request";
  ASSERT_EQ(destroyed.size(), 2u);
  for (size_t i = 0; i < 2; ++i) EXPECT_EQ(Trim(created[i]), Trim(destroyed[i]));

  // Between its creation and its end, every notification of the request is
  // handed the same context.
  const std::string first = Trim(created[0]);
  size_t from = test::IndexOf(messages, "Connection context has been created: " + created[0]);
  size_t to = test::IndexOf(messages, "Connection context destroyed: " + destroyed[0]);
  ASSERT_LT(from, to);
  int lookups = 0;
  for (size_t i = from; i < to; ++i) {
    if (StartsWith(messages[i], "Connection context has been returned: ")) {
      EXPECT_EQ(Trim(messages[i].substr(38)), first) << messages[i];
      ++lookups;
    }
  }
  EXPECT_GE(lookups, 2) << "headers and response notifications should find the context";
  EXPECT_EQ(CountOf(messages, "Return existing context: " + created[0]), 0u)
      << "the second request reused the first request's context";
  EXPECT_FALSE(test::Contains(messages, "WARNING: Attempt to destroy non-existing context!"));
}

TEST_F(ContextThroughTheProxyTest, RequestStartingWithTheHeadersNotificationIsFinished) {
  ASSERT_NO_FATAL_FAILURE(Start());
  host::Connection connection(Module());
  connection.SetServerVariable("LISTENER_GUID", kOwaListener);
  connection.SetServerVariable("URL", "/owa/");
  connection.SetRequestHeaders("GET /owa/ HTTP/1.1\r\nHost: mail.contoso.test\r\n\r\n");
  host::NotificationResult headers = connection.PreprocHeaders();
  ASSERT_TRUE(headers.delivered);
  EXPECT_EQ(headers.status, static_cast<DWORD>(SF_STATUS_REQ_FINISHED)) << host::StatusName(headers.status);
  connection.EndOfRequest();
  EXPECT_TRUE(connection.IsClosed());
  EXPECT_TRUE(connection.ClientBytes().empty());

  std::vector<std::string> messages = LogMessages();
  EXPECT_TRUE(test::Contains(messages, "Connection context has NOT been created!"));
  EXPECT_TRUE(test::Contains(messages, "Exception during processing. Error message: \"Connection context has not "
                                       "been found!\"."));
  EXPECT_TRUE(test::Contains(messages, "WARNING: Attempt to destroy non-existing context!"));
  EXPECT_TRUE(Addresses(messages, "Connection context has been created: ").empty());
}

TEST_F(ContextThroughTheProxyTest, RequestSplitOverChunksKeepsOneContext) {
  RoadConfig config;
  config.emulation = "[proxy]\nrequest-chunk = 16\n";
  ASSERT_NO_FATAL_FAILURE(Start(config));
  Browser& browser = MakeBrowser("chunked");
  ASSERT_EQ(browser.Get("/public/info.html").status, 200);

  std::vector<std::string> messages = LogMessages();
  std::vector<std::string> created = Addresses(messages, "Connection context has been created: ");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_GE(CountOf(messages, "Return existing context: " + created[0]), 1u)
      << "later chunks of the request should find the context made for the first";
  EXPECT_EQ(Addresses(messages, "Connection context destroyed: ").size(), 1u);
}

}  // namespace
}  // namespace talverin::e2e
