#include "compute/curves/model_cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

using veltrane::model_cache;

namespace {

std::atomic<int> evaluations{0};

double counted(double E, double B, double, int, int n, double, double u) {
  ++evaluations;
  return E * B + n + u;
}

}  // namespace

TEST(ModelCache, RemembersByExactArguments) {
  evaluations = 0;
  model_cache cache(counted);
  EXPECT_EQ(cache(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1), counted(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1));
  evaluations = 0;
  cache(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1);
  EXPECT_EQ(evaluations, 0) << "the same arguments: remembered";
  EXPECT_EQ(cache.hits(), 1u);
  cache(std::nextafter(0.05, 1.0), 0.7, 0.16, 3, 1, 26.981, 0.1);
  cache(0.05, 0.7, 0.16, 3, 2, 26.981, 0.1);
  cache(0.05, 0.7, 0.16, 3, 1, 26.981, -0.0);
  cache(0.05, 0.7, 0.16, 3, 1, 26.981, 0.0);
  EXPECT_EQ(evaluations, 4) << "one ulp, another charge, the sign of zero: all new";
  cache(0.05, 0.7, NAN, 3, 1, 26.981, 0.1);
  cache(0.05, 0.7, NAN, 3, 1, 26.981, 0.1);
  EXPECT_EQ(evaluations, 5) << "NaN arguments are remembered too";
}

TEST(ModelCache, NanTestFromAKnownValueElseFromTheTestRemembered) {
  // counted() is NaN where E is; the test says so by a route of its own.
  std::atomic<int> tests{0};
  const auto test = [&tests](double E, double, double, int, int, double, double) {
    ++tests;
    return std::isnan(E);
  };
  evaluations = 0;
  model_cache cache(counted, model_cache::default_capacity, test);
  EXPECT_FALSE(cache.has_no_value(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_TRUE(cache.has_no_value(NAN, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_TRUE(cache.has_no_value(NAN, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_EQ(tests, 2) << "each test once";
  EXPECT_EQ(evaluations, 0) << "no value formed for a test";
  EXPECT_EQ(cache.size(), 0u) << "a test is not a value";
  cache(0.06, 0.7, 0.16, 3, 1, 26.981, 0.1);
  EXPECT_FALSE(cache.has_no_value(0.06, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_EQ(tests, 2) << "a known value answers";

  // Without a test the value decides, and is remembered.
  evaluations = 0;
  model_cache plain(counted);
  EXPECT_TRUE(plain.has_no_value(NAN, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_FALSE(plain.has_no_value(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_EQ(plain(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1), counted(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1));
  EXPECT_EQ(evaluations, 3) << "two values formed once each, and the reference";
}

TEST(ModelCache, ForgetsTheOldestBeyondItsCapacity) {
  evaluations = 0;
  model_cache cache(counted, 3);
  for (int i = 0; i < 5; ++i) cache(i, 1.0, 0.0, 1, 1, 1.0, 0.0);
  EXPECT_EQ(cache.size(), 3u);
  cache(4, 1.0, 0.0, 1, 1, 1.0, 0.0);
  EXPECT_EQ(evaluations, 5);
  cache(0, 1.0, 0.0, 1, 1, 1.0, 0.0);
  EXPECT_EQ(evaluations, 6) << "the oldest was forgotten";
}

TEST(ModelCache, ThreadsShareIt) {
  evaluations = 0;
  model_cache cache(counted);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&cache] {
        for (int i = 0; i < 200; ++i) {
          EXPECT_EQ(cache(i, 2.0, 0.0, 1, 1, 1.0, 0.0), i * 2.0 + 1.0);
        }
      });
    }
  }
  EXPECT_EQ(cache.size(), 200u);
  EXPECT_GE(evaluations, 200);
}
