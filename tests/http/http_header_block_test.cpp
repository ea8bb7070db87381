#include "http/http_header_block.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

// Values are views of the answer's own bytes, up to the blank line or as far
// as an unfinished block goes; a name that only starts like the field is
// another field. Names and values as HttpMessage reads them are tested there.
TEST(HttpHeaderBlockTest, ReadsAnAnswerWhereItLies) {
  const std::string bytes = "HTTP/1.1 302 Found\r\nset-cookie : cadata=K1\r\nSet-Cookie2: a=1\r\nX-Set-Cookie: b=2\r\n"
                            "Set-Cookie: lang=en\r\n\r\nSet-Cookie: in-the-body=1\r\n";
  const HttpHeaderBlock block = HttpHeaderBlock::Read(bytes);
  EXPECT_TRUE(block.Complete());
  const std::vector<std::string_view> cookies = block.Values("Set-Cookie");
  ASSERT_THAT(cookies, testing::ElementsAre("cadata=K1", "lang=en"));
  EXPECT_EQ(cookies[1].data(), bytes.data() + bytes.find("lang=en"));
  EXPECT_FALSE(HttpHeaderBlock::Read("HTTP/1.1 200 OK\r\nSet-Cookie2: a=1\r\nSet-Coo").Complete());
}

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
