#include "http/percent_coding.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Encoding keeps letters and digits and escapes everything else; decoding
// decodes escapes once and copies the rest.
TEST(PercentCodingTest, EncodeAndDecodeFollowTheirRules) {
  const std::pair<std::string, std::string> encodings[] = {
      {"", ""}, {"abcXYZ0189", "abcXYZ0189"}, {"~-_.+ ", "%7E%2D%5F%2E%2B%20"},
      {std::string("\0\xFF\x80", 3), "%00%FF%80"}};
  for (const auto& [text, encoded] : encodings) EXPECT_EQ(PercentEncode(text).str(), encoded) << text;
  const std::pair<std::string, std::string> rows[] = {
      {"", ""}, {"%41", "A"}, {"%4a%4A%4F%4f", "JJOO"}, {"a+b%40c.com", "a+b@c.com"},  // '+' is not a blank
      {"%", "%"}, {"50%", "50%"}, {"%4", "%4"}, {"abc%2", "abc%2"}, {"%zz%g1", "%zz%g1"}, {"%%41", "%A"},
      {"%2541", "%41"}, {"%00x", std::string("\0x", 2)}};
  for (const auto& [text, decoded] : rows) EXPECT_EQ(PercentDecode(text).str(), decoded) << text;
}

TEST(PercentCodingTest, DecodeOfEncodeGivesEveryByteBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const talverin::SecureString encoded = PercentEncode(all);
  EXPECT_EQ(encoded.size(), 62u + 3u * (256u - 62u));
  EXPECT_EQ(PercentDecode(encoded).str(), all);
}

}  // namespace
