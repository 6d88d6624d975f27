// The fast evaluation promises the literal model's results bit for bit. Here
// whole sweeps are compared: Tungsten with n = 1 (50 points) and the second
// step of Tungsten with n = 2, whose last point has no value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "compute/curves/sweep.hpp"
#include "model/fast_model.hpp"
#include "model/model.hpp"

using namespace veltrane;

namespace {

std::uint64_t bits(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

calc_request tungsten(int n) {
  calc_request r;
  r.element = "Tungsten";
  r.n = n;
  r.period = 6;
  r.atomic_mass = 183.84;
  r.work_function_ev = 4.55;
  r.energies_ev = {7.86403, 16.37, 26.0};
  r.energies_ev.resize(static_cast<std::size_t>(n) + 1);
  return r;
}

// Compares the calls of one step, fast on all threads against literal.
void expect_same_step(const sweep_plan& plan, int j, int* nan_points) {
  std::vector<model_call> calls;
  for (const auto& c : plan.calls) {
    if (c.n == j) calls.push_back(c);
  }
  ASSERT_GE(calls.size(), 50u);
  const auto fast = evaluate_calls(calls, fast_veltrane, 0);
  const auto literal = evaluate_calls(calls, veltrane::veltrane, 0);
  ASSERT_TRUE(fast && literal);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const double a = (*fast)[i], b = (*literal)[i];
    if (std::isnan(b)) {
      ++*nan_points;
      EXPECT_TRUE(std::isnan(a)) << "point " << i;
    } else {
      EXPECT_EQ(bits(a), bits(b)) << "point " << i << ": " << a << " vs " << b;
    }
  }
}

}  // namespace

TEST(FastAgainstLiteral, SingleStepSweepBitForBit) {
  int nans = 0;
  expect_same_step(plan_sweeps(tungsten(1)), 1, &nans);
  EXPECT_EQ(nans, 0);
}

TEST(FastAgainstLiteral, SecondStepOfTwoBitForBit) {
  int nans = 0;
  expect_same_step(plan_sweeps(tungsten(2)), 2, &nans);
  EXPECT_GE(nans, 1) << "the step reaches the field without turning points";
}
