#include "diag/event_throttle.h"

#include <gtest/gtest.h>

namespace talverin {
namespace {

constexpr unsigned kBypass = 502, kCookie = 500;

TEST(EventThrottleTest, OneEventPerKindAndAddressAMinuteThenTheCountHeldBack) {
  EventThrottle throttle(60);
  std::uint64_t held = 99;
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.0.1", 1000, held));
  EXPECT_EQ(held, 0u);
  EXPECT_TRUE(throttle.Admit(kCookie, "10.0.0.1", 1001, held));  // kinds and addresses have windows of their own
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.0.2", 1002, held));
  EXPECT_FALSE(throttle.Admit(kCookie, "10.0.0.1", 1003, held));
  for (int i = 1; i <= 5; ++i) EXPECT_FALSE(throttle.Admit(kBypass, "10.0.0.1", 1000 + i * 10, held)) << i;
  EXPECT_FALSE(throttle.Admit(kBypass, "10.0.0.1", 1059, held));  // 59 seconds after the one written
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.0.1", 1060, held));
  EXPECT_EQ(held, 6u);
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.0.1", 1200, held));  // a new window: nothing held back in it yet
  EXPECT_EQ(held, 0u);
}

TEST(EventThrottleTest, AFloodFromManyAddressesIsBoundedToo) {
  EventThrottle throttle(60, 4);
  std::uint64_t held = 0;
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(throttle.Admit(kBypass, "10.0.0." + std::to_string(i), 0, held));
  // Beyond the remembered addresses the rest share one window.
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.1.1", 1, held));
  for (int i = 2; i < 100; ++i) EXPECT_FALSE(throttle.Admit(kBypass, "10.0.1." + std::to_string(i), 2, held)) << i;
  // Once the windows have run out their room is given back.
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.2.1", 61, held));
  EXPECT_EQ(held, 0u);
  EXPECT_FALSE(throttle.Admit(kBypass, "10.0.2.1", 62, held));
}

}  // namespace
}  // namespace talverin
