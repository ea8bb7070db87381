#include "base/secure.h"

#include <gtest/gtest.h>

#include <cstring>

namespace talverin {
namespace {

TEST(SecureStringTest, WipeZeroesWholeBufferAndEmpties) {
  SecureString s("secret-passcode-123456");
  const char* buffer = s.data();
  std::size_t capacity = s.capacity();
  s.Wipe();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(s.data(), buffer);  // no reallocation: the old bytes were zeroed in place
  for (std::size_t i = 0; i < capacity; ++i) EXPECT_EQ(buffer[i], '\0') << i;
}

TEST(SecureStringTest, MoveLeavesSourceWiped) {
  SecureString source("pw");
  const char* small = source.data();
  SecureString target(std::move(source));
  EXPECT_EQ(target, "pw");
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(small[1], '\0');
}

TEST(SecureBytesTest, WipeEmpties) {
  SecureBytes b{1, 2, 3};
  b.Wipe();
  EXPECT_TRUE(b.empty());
}

}  // namespace
}  // namespace talverin
