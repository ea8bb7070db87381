#include "host/header_block.h"

#include <gmock/gmock.h>

namespace talverin::host {
namespace {

using testing::ElementsAre;
using testing::Optional;
using testing::Pair;

TEST(HeaderBlockTest, ParsesRequestLineAndFieldsUpToTheEmptyLine) {
  HeaderBlock block = HeaderBlock::Parse(
      "POST /cookieauth.dll?logon HTTP/1.1\r\n"
      "Host:  example.test \r\n"
      "X-Folded: first\r\n"
      "\tsecond\n"
      "no colon here\r\n"
      "\r\n"
      "username=a&Body: not a header\r\n");
  EXPECT_EQ(block.Method(), "POST");
  EXPECT_EQ(block.Url(), "/cookieauth.dll?logon");
  EXPECT_EQ(block.Version(), "HTTP/1.1");
  EXPECT_THAT(block.Fields(), ElementsAre(Pair("Host", "example.test"), Pair("X-Folded", "first second")));
}

TEST(HeaderBlockTest, LooksUpNamesIgnoringCaseAndJoinsRepeats) {
  HeaderBlock block = HeaderBlock::Parse("GET / HTTP/1.1\r\nCookie: a=1\r\nHost: h\r\ncookie: b=2\r\n\r\n");
  EXPECT_THAT(block.Get("COOKIE"), Optional(std::string("a=1, b=2")));
  EXPECT_EQ(block.Get("Referer"), std::nullopt);
}

TEST(HeaderBlockTest, SetReplacesInPlaceAddAppendsEmptySetRemoves) {
  HeaderBlock block = HeaderBlock::Parse("GET / HTTP/1.1\r\nCookie: a=1\r\nHost: h\r\nCookie: b=2\r\n\r\n");
  block.Set("cookie", "c=3");
  block.Add("X-New", "1");
  block.Set("Absent", "v");
  EXPECT_EQ(block.Serialize(), "GET / HTTP/1.1\r\nCookie: c=3\r\nHost: h\r\nX-New: 1\r\nAbsent: v\r\n\r\n");
  block.Set("Host", "");
  EXPECT_EQ(block.Get("Host"), std::nullopt);
}

TEST(HeaderBlockTest, RewritingTheUrlKeepsMethodAndVersion) {
  HeaderBlock block = HeaderBlock::Parse("GET /old HTTP/1.0\r\n\r\n");
  block.SetUrl("/new?x=1");
  EXPECT_EQ(block.FirstLine(), "GET /new?x=1 HTTP/1.0");
}

}  // namespace
}  // namespace talverin::host
