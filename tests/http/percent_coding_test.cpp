#include "http/percent_coding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct CodingCase {
  std::string input;
  std::string expected;
};

class PercentEncodeTest : public testing::TestWithParam<CodingCase> {};

TEST_P(PercentEncodeTest, KeepsLettersAndDigitsEscapesEverythingElse) {
  EXPECT_EQ(PercentEncode(GetParam().input).str(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, PercentEncodeTest,
    testing::Values(CodingCase{"", ""}, CodingCase{"abcXYZ0189", "abcXYZ0189"}, CodingCase{"a b", "a%20b"},
                    CodingCase{"~", "%7E"}, CodingCase{"-_.+", "%2D%5F%2E%2B"},
                    CodingCase{"user@example.com", "user%40example%2Ecom"},
                    CodingCase{"/a?b=c&d", "%2Fa%3Fb%3Dc%26d"},
                    CodingCase{std::string("\0\xFF\x80", 3), "%00%FF%80"}));

class PercentDecodeTest : public testing::TestWithParam<CodingCase> {};

TEST_P(PercentDecodeTest, DecodesEscapesCopiesTheRest) {
  EXPECT_EQ(PercentDecode(GetParam().input).str(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PercentDecodeTest,
    testing::Values(CodingCase{"", ""}, CodingCase{"plain", "plain"}, CodingCase{"%41", "A"},
                    CodingCase{"%4a%4A", "JJ"}, CodingCase{"alice%40example.com", "alice@example.com"},
                    CodingCase{"a+b", "a+b"},           // '+' is not a blank
                    CodingCase{"%", "%"}, CodingCase{"50%", "50%"}, CodingCase{"%4", "%4"},
                    CodingCase{"abc%2", "abc%2"},        // '%' among the last two characters
                    CodingCase{"%zz%g1", "%zz%g1"},      // no hexadecimal digits
                    CodingCase{"%%41", "%A"}, CodingCase{"%2541", "%41"},  // decoded once only
                    CodingCase{"%00x", std::string("\0x", 2)}));

TEST(PercentCodingTest, DecodeOfEncodeGivesEveryByteBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const talverin::SecureString encoded = PercentEncode(all);
  EXPECT_EQ(encoded.size(), 62u + 3u * (256u - 62u));
  EXPECT_EQ(PercentDecode(encoded).str(), all);
}

}  // namespace
