#include "http/responses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

#include "support/fake_filter_context.h"

namespace {

using talverin::test::FakeFilterContext;
using testing::ElementsAre;

constexpr char kExpired[] = "; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n";

// One direct response: status and header text through the host, then the body.
void ExpectDirectResponse(const FakeFilterContext& host, const std::string& status, const std::string& headers,
                          const std::string& body) {
  ASSERT_EQ(host.supportCalls.size(), 1u);
  EXPECT_EQ(host.supportCalls[0].request, SF_REQ_SEND_RESPONSE_HEADER);
  EXPECT_EQ(host.supportCalls[0].status, status);
  EXPECT_EQ(host.supportCalls[0].headers, headers);
  EXPECT_EQ(host.supportCalls[0].ul2, 0u);
  EXPECT_THAT(host.writes, ElementsAre(body));
  EXPECT_THAT(host.order, ElementsAre("support", "write"));
}

TEST(IsapiRedirectTest, WritesTheRedirectWithTheCookieLineAsked) {
  // Cookie name, value, whether expired, domain; the cookie line written.
  const std::tuple<std::string, std::string, bool, std::string, std::string> rows[] = {
      {"", "v", true, "example.com", ""},  // no name, no cookie, even expired
      {"sess", "k1", false, "example.com", "Set-Cookie: sess=k1;path=/\r\n"},
      {"cadata", "", true, "", std::string("Set-Cookie: cadata=") + kExpired},
      {"cadata", "x", true, ".example.com", std::string("Set-Cookie: cadata=; Domain=.example.com") + kExpired}};
  for (const auto& [name, value, expired, domain, line] : rows) {
    SCOPED_TRACE(line);
    FakeFilterContext host;
    IsapiRedirect(host.pfc(), "/owa/?ae=Folder", name, value, expired, domain);
    ExpectDirectResponse(host, "302 Moved temporarily",
                         "Location: /owa/?ae=Folder\r\nConnection: close\r\nContent-Length: 31\r\n" + line + "\r\n",
                         "<html><body>Moved</body></html>");
  }
}

TEST(DirectResponseTest, PagesAndStoredPagesGoOutWhole) {
  const std::string html =
      "Cache-Control: no-cache\r\nConnection: close\r\nContent-Length: 15\r\nContent-Type: text/html\r\n";
  HttpMessage stored(
      std::string_view("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 11\r\n\r\n<b>chg</b>\n"));
  // How to send, the header text and the body that go out.
  const std::tuple<std::function<void(HTTP_FILTER_CONTEXT*)>, std::string, std::string> rows[] = {
      {[](HTTP_FILTER_CONTEXT* pfc) { SendHtmlPageResponse(pfc, "<html>hi</html>", "", "v"); }, html + "\r\n",
       "<html>hi</html>"},
      {[](HTTP_FILTER_CONTEXT* pfc) { SendHtmlPageResponse(pfc, "<html>hi</html>", "lang", "de"); },
       html + "Set-Cookie: lang=de;path=/\r\n\r\n", "<html>hi</html>"},
      {[](HTTP_FILTER_CONTEXT* pfc) { SendHtmlPageResponse(pfc, "<html>hi</html>", "lang", ""); },
       html + "Set-Cookie: lang=" + kExpired + "\r\n", "<html>hi</html>"},
      // A stored page goes out without its own status line.
      {[&](HTTP_FILTER_CONTEXT* pfc) { SendStoredResponse(pfc, stored.GetHeaders(), stored.GetBody()); },
       "Content-Type: text/html\r\nContent-Length: 11\r\n\r\n", "<b>chg</b>\n"},
      {[](HTTP_FILTER_CONTEXT* pfc) { SendStoredResponse(pfc, "HTTP/1.1 200 OK", ""); }, "\r\n", ""},
      {[](HTTP_FILTER_CONTEXT* pfc) { SendStoredResponse(pfc, "Content-Type: text/html", std::string("a\0b", 3)); },
       "Content-Type: text/html\r\n\r\n", std::string("a\0b", 3)}};
  for (const auto& [send, headers, body] : rows) {
    SCOPED_TRACE(headers);
    FakeFilterContext host;
    send(host.pfc());
    ExpectDirectResponse(host, "200 Ok", headers, body);
  }
}

// The record is pointed at a redirect in host memory; without host memory
// the request is finished and no byte of the page goes on.
TEST(RawRedirectTest, ReplacesTheRecordWithARedirectInHostMemoryOrFinishes) {
  FakeFilterContext host;
  char original[] = "HTTP/1.1 200 OK\r\n\r\nsecret page";
  HTTP_FILTER_RAW_DATA record{original, sizeof original - 1, sizeof original, 0};
  host.allocFails = true;
  EXPECT_EQ(RawRedirect(host.pfc(), &record, "/x", "a=b"), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
  EXPECT_EQ(record.pvInData, static_cast<void*>(original));
  EXPECT_EQ(record.cbInData, sizeof original - 1);
  EXPECT_EQ(record.cbInBuffer, sizeof original);
  EXPECT_STREQ(original, "HTTP/1.1 200 OK\r\n\r\nsecret page");

  host.allocFails = false;
  EXPECT_EQ(RawRedirect(host.pfc(), &record, "/talverinauth.dll?logon", ""),
            static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));
  const std::string expected =
      "HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: /talverinauth.dll?logon\r\n"
      "Content-Length: 0\r\n\r\n";
  EXPECT_EQ(std::string(static_cast<const char*>(record.pvInData), record.cbInData), expected);
  EXPECT_EQ(record.pvInData, host.lastBlock());
  EXPECT_EQ(record.cbInBuffer, expected.size());
  EXPECT_THAT(host.allocations, ElementsAre(testing::_, expected.size()));  // the refused one, then this
}

}  // namespace
