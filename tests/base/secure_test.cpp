#include "base/secure.h"

#include <gtest/gtest.h>

namespace talverin {
namespace {

// The wiped bytes are read where they were: a wipe that only empties, or that
// moves the bytes elsewhere first, leaves the secret in memory.
void ExpectZeroed(const void* buffer, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) EXPECT_EQ(static_cast<const unsigned char*>(buffer)[i], 0u) << i;
}

TEST(SecureStringTest, WipeZeroesTheWholeBufferInPlaceAndEmpties) {
  SecureString s("secret-passcode-123456");
  const char* buffer = s.data();
  const std::size_t capacity = s.capacity();
  s.Wipe();
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(s.data(), buffer);
  ExpectZeroed(buffer, capacity);
}

TEST(SecureStringTest, MoveLeavesTheSourceWiped) {
  SecureString source("pw");  // short: the bytes live in the object itself
  const char* small = source.data();
  SecureString target(std::move(source));
  EXPECT_EQ(target, "pw");
  ExpectZeroed(small, 2);
}

TEST(SecureBytesTest, WipeZeroesTheBytesInPlaceAndEmpties) {
  SecureBytes b{1, 2, 3, 0xFF};
  const unsigned char* buffer = b.data();
  b.Wipe();
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(b.data(), buffer);
  ExpectZeroed(buffer, 4);
}

}  // namespace
}  // namespace talverin
