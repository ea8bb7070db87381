#include "http/responses.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/fake_filter_context.h"
#include "http/raw_data.h"

namespace {

using talverin::test::FakeFilterContext;
using talverin::test::LogCapture;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

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

std::string RecordBytes(const HTTP_FILTER_RAW_DATA& record) {
  return std::string(static_cast<const char*>(record.pvInData), record.cbInData);
}

// --- IsapiRedirect ----------------------------------------------------------

struct RedirectCase {
  const char* label;
  std::string cookieName;
  std::string cookieValue;
  bool setExpired;
  std::string cookieDomain;
  std::string cookieLine;
};

class IsapiRedirectTest : public testing::TestWithParam<RedirectCase> {};

TEST_P(IsapiRedirectTest, WritesRedirectWithOptionalCookieLine) {
  const RedirectCase& c = GetParam();
  FakeFilterContext host;
  IsapiRedirect(host.pfc(), "/owa/?ae=Folder", c.cookieName, c.cookieValue, c.setExpired, c.cookieDomain);
  ExpectDirectResponse(host, "302 Moved temporarily",
                       "Location: /owa/?ae=Folder\r\nConnection: close\r\nContent-Length: 31\r\n" + c.cookieLine +
                           "\r\n",
                       "<html><body>Moved</body></html>");
}

INSTANTIATE_TEST_SUITE_P(
    Cookies, IsapiRedirectTest,
    testing::Values(
        RedirectCase{"NoCookie", "", "", false, "", ""},
        RedirectCase{"EmptyNameWritesNoCookieEvenWhenExpired", "", "v", true, "example.com", ""},
        RedirectCase{"Set", "sess", "k1", false, "", "Set-Cookie: sess=k1;path=/\r\n"},
        RedirectCase{"SetIgnoresDomain", "sess", "k1", false, "example.com", "Set-Cookie: sess=k1;path=/\r\n"},
        RedirectCase{"Expired", "cadata", "", true, "",
                     "Set-Cookie: cadata=; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n"},
        RedirectCase{"ExpiredOfDomain", "cadata", "x", true, ".example.com",
                     "Set-Cookie: cadata=; Domain=.example.com; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n"}),
    [](const testing::TestParamInfo<RedirectCase>& info) { return std::string(info.param.label); });

TEST(IsapiRedirectLogTest, LogsEveryArgument) {
  LogCapture log;
  FakeFilterContext host;
  IsapiRedirect(host.pfc(), "/cookieauth.dll?GetLogon", "cadata", "", true, "example.com");
  EXPECT_THAT(log.Text(), HasSubstr("ISAPI Redirect. Where to: /cookieauth.dll?GetLogon. Cookie name: cadata. "
                                    "Cookie value: . Set expired: Yes. Cookie domain: example.com\r\n"));
}

// --- Pages, style sheets, pictures ------------------------------------------------

TEST(SendStaticTextResponseTest, SendsStyleSheet) {
  FakeFilterContext host;
  SendStaticTextResponse(host.pfc(), "body { color: red; }");
  ExpectDirectResponse(host, "200 Ok",
                       "Connection: close\r\nContent-Length: 20\r\nContent-Type: text/css\r\n\r\n",
                       "body { color: red; }");
}

TEST(SendPictureResponseTest, SendsEveryByteAsGif) {
  static const unsigned char kJpeg[] = {0xFF, 0xD8, 0xFF, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00};
  FakeFilterContext host;
  SendPictureResponse(host.pfc(), kJpeg, sizeof kJpeg);
  ExpectDirectResponse(host, "200 Ok",
                       "Connection: close\r\nContent-Length: 10\r\nContent-Type: image/gif\r\n\r\n",
                       std::string(reinterpret_cast<const char*>(kJpeg), sizeof kJpeg));
}

struct PageCase {
  const char* label;
  std::string cookieName;
  std::string cookieValue;
  std::string cookieLine;
};

class SendHtmlPageResponseTest : public testing::TestWithParam<PageCase> {};

TEST_P(SendHtmlPageResponseTest, SendsUncachedPageWithOptionalCookieLine) {
  const PageCase& c = GetParam();
  FakeFilterContext host;
  SendHtmlPageResponse(host.pfc(), "<html>hi</html>", c.cookieName, c.cookieValue);
  ExpectDirectResponse(host, "200 Ok",
                       "Cache-Control: no-cache\r\nConnection: close\r\nContent-Length: 15\r\n"
                       "Content-Type: text/html\r\n" +
                           c.cookieLine + "\r\n",
                       "<html>hi</html>");
}

INSTANTIATE_TEST_SUITE_P(
    Cookies, SendHtmlPageResponseTest,
    testing::Values(PageCase{"NoCookie", "", "v", ""},
                    PageCase{"Set", "lang", "de", "Set-Cookie: lang=de;path=/\r\n"},
                    PageCase{"EmptyValueRemoves", "lang", "",
                             "Set-Cookie: lang=; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n"}),
    [](const testing::TestParamInfo<PageCase>& info) { return std::string(info.param.label); });

// --- Stored page ------------------------------------------------------------------

TEST(SendStoredResponseTest, SendsStoredHeaderLinesWithoutTheStoredStatusLine) {
  FakeFilterContext host;
  HttpMessage stored(std::string_view(
      "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 11\r\n\r\n<b>chg</b>\n"));
  SendStoredResponse(host.pfc(), stored.GetHeaders(), stored.GetBody());
  ExpectDirectResponse(host, "200 Ok", "Content-Type: text/html\r\nContent-Length: 11\r\n\r\n", "<b>chg</b>\n");
}

TEST(SendStoredResponseTest, StatusLineAloneLeavesOnlyTheEmptyLine) {
  FakeFilterContext host;
  SendStoredResponse(host.pfc(), "HTTP/1.1 200 OK", "");
  ExpectDirectResponse(host, "200 Ok", "\r\n", "");
}

TEST(SendStoredResponseTest, BlockWithoutStatusLineIsSentWhole) {
  FakeFilterContext host;
  SendStoredResponse(host.pfc(), "Content-Type: text/html", std::string_view("a\0b", 3));
  ExpectDirectResponse(host, "200 Ok", "Content-Type: text/html\r\n\r\n", std::string("a\0b", 3));
}

// --- Raw rewrites -----------------------------------------------------------------

TEST(RawRedirectTest, ReplacesRawDataWithRedirect) {
  LogCapture log;
  FakeFilterContext host;
  char original[] = "HTTP/1.1 200 OK\r\n\r\nsecret page";
  HTTP_FILTER_RAW_DATA record{original, sizeof original - 1, sizeof original, 0};

  EXPECT_EQ(RawRedirect(host.pfc(), &record, "/talverinauth.dll?logon", ""),
            static_cast<DWORD>(SF_STATUS_REQ_NEXT_NOTIFICATION));

  const std::string expected =
      "HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: /talverinauth.dll?logon\r\n"
      "Content-Length: 0\r\n\r\n";
  EXPECT_EQ(RecordBytes(record), expected);
  EXPECT_EQ(record.pvInData, host.lastBlock());
  EXPECT_EQ(record.cbInBuffer, expected.size());
  EXPECT_THAT(host.allocations, ElementsAre(expected.size()));
  EXPECT_THAT(log.Text(), HasSubstr("Redirecting to location in raw: '/talverinauth.dll?logon'\r\n"));
  EXPECT_THAT(log.Text(), HasSubstr("Memory allocated address:  0x"));
}

TEST(RawRedirectTest, CookieTextBecomesSetCookieLineBeforeContentLength) {
  FakeFilterContext host;
  HTTP_FILTER_RAW_DATA record{};
  const std::string cookie = "cadata=; Domain=example.com; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT";
  RawRedirect(host.pfc(), &record, "/CookieAuth.dll?GetLogon?curl=Z2F&reason=2&formdir=1", cookie);
  EXPECT_EQ(RecordBytes(record),
            "HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\n"
            "Location: /CookieAuth.dll?GetLogon?curl=Z2F&reason=2&formdir=1\r\n"
            "Set-Cookie: " + cookie + "\r\nContent-Length: 0\r\n\r\n");
}

TEST(RawRedirectTest, WithoutHostMemoryFinishesAndLeavesRecordAlone) {
  LogCapture log;
  FakeFilterContext host;
  host.allocFails = true;
  char original[] = "HTTP/1.1 200 OK\r\n\r\nsecret page";
  HTTP_FILTER_RAW_DATA record{original, sizeof original - 1, sizeof original, 7};

  EXPECT_EQ(RawRedirect(host.pfc(), &record, "/x", "a=b"), static_cast<DWORD>(SF_STATUS_REQ_FINISHED));

  EXPECT_EQ(record.pvInData, static_cast<void*>(original));
  EXPECT_EQ(record.cbInData, sizeof original - 1);
  EXPECT_EQ(record.cbInBuffer, sizeof original);
  EXPECT_STREQ(original, "HTTP/1.1 200 OK\r\n\r\nsecret page");
  EXPECT_THAT(log.Text(), Not(HasSubstr("Memory allocated address")));
}

TEST(WriteToRawDataTest, WritesEditedRequestBack) {
  FakeFilterContext host;
  char post[] = "POST /cookieauth.dll?logon HTTP/1.1\r\nContent-Length: 30\r\n\r\nusername=alice&password=secret";
  HTTP_FILTER_RAW_DATA record{post, sizeof post - 1, sizeof post, 0};
  HttpMessage request = HttpMessageFromRawData(record);
  ASSERT_TRUE(request.ReplaceFormFieldEncoded("username", ""));
  ASSERT_TRUE(request.ReplaceFormFieldEncoded("password", ""));

  ASSERT_TRUE(WriteToRawData(host.pfc(), &record, request));

  EXPECT_EQ(RecordBytes(record),
            "POST /cookieauth.dll?logon HTTP/1.1\r\nContent-Length: 19\r\n\r\nusername=&password=");
  EXPECT_EQ(record.cbInBuffer, record.cbInData);
}

TEST(WriteToRawDataTest, WithoutHostMemoryReportsFailure) {
  FakeFilterContext host;
  host.allocFails = true;
  HTTP_FILTER_RAW_DATA record{};
  HttpMessage message(std::string_view("HTTP/1.1 200 OK\r\n\r\n"));
  EXPECT_FALSE(WriteToRawData(host.pfc(), &record, message));
  EXPECT_EQ(record.pvInData, nullptr);
  EXPECT_EQ(record.cbInData, 0u);
  EXPECT_EQ(host.allocations.size(), 1u);
}

}  // namespace
