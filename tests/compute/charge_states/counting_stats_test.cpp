#include "compute/charge_states/counting_stats.hpp"

#include <gtest/gtest.h>

using namespace veltrane;

TEST(CountingStats, WilsonIntervalOfATextbookCase) {
  // 80 of 100 at 95 %: 0.7112 to 0.8666.
  const auto [low, high] = wilson_interval(80, 100, 0.95);
  EXPECT_NEAR(low, 0.7112, 5e-5);
  EXPECT_NEAR(high, 0.8666, 5e-5);
}

TEST(CountingStats, WilsonIntervalAtTheEnds) {
  // No success, or all: the interval reaches 0 or 1 and no further.
  EXPECT_EQ(wilson_interval(0, 50, 0.95).first, 0.0);
  EXPECT_GT(wilson_interval(0, 50, 0.95).second, 0.0);
  EXPECT_EQ(wilson_interval(50, 50, 0.95).second, 1.0);
  EXPECT_LT(wilson_interval(50, 50, 0.95).first, 1.0);
}
