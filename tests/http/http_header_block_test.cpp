#include "http/http_header_block.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Lines are read where they lie in the bytes, up to the blank line or as far
// as an unfinished block goes; a name that only starts like the field is
// another field.
TEST(HttpHeaderBlockTest, ReadsAnAnswerWhereItLies) {
  const std::string bytes =
      "HTTP/1.1 302 Found\r\nset-cookie : cadata=K1; path=/\r\nLocation:\t/CookieAuth.dll?GetLogon \r\n"
      "Set-Cookie2: a=1\r\nX-Set-Cookie: b=2\r\nSet-Cookie: lang=en\r\n\r\nSet-Cookie: in-the-body=1\r\n";
  const HttpHeaderBlock block = HttpHeaderBlock::Read(bytes);
  EXPECT_TRUE(block.Complete());
  EXPECT_EQ(block.StatusCode(), 302);
  EXPECT_EQ(block.Value("Location"), "/CookieAuth.dll?GetLogon");
  const std::vector<std::string_view> cookies = block.Values("Set-Cookie");
  ASSERT_EQ(cookies.size(), 2u);
  EXPECT_EQ(cookies[0], "cadata=K1; path=/");
  EXPECT_EQ(cookies[1], "lang=en");
  // Nothing copied: the values are the answer's own bytes.
  EXPECT_GE(cookies[0].data(), bytes.data());
  EXPECT_LT(cookies[1].data(), bytes.data() + bytes.size());

  const HttpHeaderBlock unfinished = HttpHeaderBlock::Read("HTTP/1.1 200 OK\r\nSet-Cookie2: a=1\r\nSet-Coo");
  EXPECT_FALSE(unfinished.Complete());
  std::string_view value;
  EXPECT_FALSE(unfinished.FindValue("Set-Cookie", value));
  EXPECT_EQ(unfinished.Values("Set-Cookie2").size(), 1u);
  EXPECT_EQ(HttpHeaderBlock::Read("HTTP/1.1\r\n\r\n").StatusCode(), 0);
  EXPECT_EQ(HttpHeaderBlock::Read("HTTP/1.1 99999999999999999999 Big\r\n\r\n").StatusCode(), 2147483647);
}

}  // namespace

// The line-end and block-end searches read several bytes at a time: a CR at
// any offset, next to any byte, and a search from any point must find what a
// byte-by-byte search finds.
TEST(HttpHeaderBlockTest, SearchesFindWhatAByteByByteSearchFinds) {
  const std::string pieces[] = {"\r", "\n", "\r\n", "\r\n\r\n", "\r\r\n\n", "\x8d", "\x0d\x0a\x0d", "a"};
  for (std::size_t length = 0; length <= 40; ++length) {
    for (std::size_t seed = 0; seed < 64; ++seed) {
      std::string text;
      std::size_t state = seed * 2654435761u + length;
      while (text.size() < length) {
        state = state * 1103515245u + 12345u;
        text += (state >> 16) % 3 == 0 ? pieces[(state >> 8) % 8] : std::string(1, static_cast<char>('a' + state % 26));
      }
      text.resize(length);
      for (std::size_t from = 0; from <= length; ++from) {
        SCOPED_TRACE(::testing::Message() << "text of " << length << " bytes, seed " << seed << ", from " << from);
        ASSERT_EQ(HttpHeaderBlock::FindLineEnd(text, from), std::string_view(text).find("\r\n", from));
        ASSERT_EQ(HttpHeaderBlock::FindEnd(text, from), std::string_view(text).find("\r\n\r\n", from));
      }
    }
  }
}
