#include "diag/event_throttle.h"

#include <gtest/gtest.h>

namespace talverin {
namespace {

constexpr unsigned kBypass = 502;

TEST(EventThrottleTest, AFloodFromManyAddressesIsBounded) {
  EventThrottle throttle(60, 4);
  std::uint64_t held = 0;
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(throttle.Admit(kBypass, "10.0.0." + std::to_string(i), 0, held));
  // Beyond the addresses it remembers the rest share one window, until the windows have run out.
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.1.1", 1, held));
  for (int i = 2; i < 100; ++i) EXPECT_FALSE(throttle.Admit(kBypass, "10.0.1." + std::to_string(i), 2, held)) << i;
  EXPECT_TRUE(throttle.Admit(kBypass, "10.0.2.1", 61, held));
  EXPECT_EQ(held, 0u);
  EXPECT_FALSE(throttle.Admit(kBypass, "10.0.2.1", 62, held));
}

}  // namespace
}  // namespace talverin
