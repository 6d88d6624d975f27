#include "compute/charge_states/fraction_curves.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "stand_in_model.hpp"

using namespace veltrane;

namespace {

calc_request built_in(const char* element, int n) {
  return *check_request({element, std::to_string(n), std::nullopt, std::nullopt}).request;
}

// The table's fractions against the model's own at fields between the
// table's points, near every over-barrier field and across the whole range.
void expect_close_to_the_model(const calc_request& request, double from, double to) {
  charge_states states(request, model_for(evaluation::accurate).function, 2);
  const fraction_curves curves(states, from, to, 0.1);
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> field(from, curves.to());
  std::vector<double> E;
  for (int i = 0; i < 120; ++i) E.push_back(field(rng));
  for (int j = 1; j <= request.n; ++j) {
    const double edge = curves.over_barrier(j);
    if (std::isfinite(edge) && edge > from + 0.01) {
      E.push_back(edge - 1e-3);
      E.push_back(edge - 0.05);
      E.push_back(edge);
    }
  }
  const fraction_table direct = fraction_table_at(states, E);
  std::vector<double> f(static_cast<std::size_t>(request.n) + 1);
  for (std::size_t e = 0; e < E.size(); ++e) {
    curves.fractions_at(E[e], f);
    for (std::size_t k = 0; k < f.size(); ++k) {
      const double want = direct.f[k][e];
      EXPECT_NEAR(f[k], want, 1e-9 + 1e-6 * want)
          << request.element << " f" << k + 1 << " at E = " << E[e];
    }
  }
}

}  // namespace

TEST(FractionCurves, TableGivesTheModelsFractionsBetweenItsPoints) {
  expect_close_to_the_model(built_in("Tungsten", 4), 5.0, 150.0);
  expect_close_to_the_model(built_in("Iron", 3), 5.0, 150.0);
}

TEST(FractionCurves, OverBarrierFieldsAndEndsAsTheChargeStatesHaveThem) {
  using namespace stand_in_model;
  charge_states states(tungsten(4), stand_in, 2);
  const fraction_curves curves(states, 1.0, 500.0, 0.1);
  // The table ends at the highest over-barrier field, where every ion
  // arrives as 5+.
  EXPECT_NEAR(curves.to(), barrier[3], tolerance::barrier);
  std::vector<double> f(5);
  curves.fractions_at(400.0, f);
  EXPECT_EQ(f[4], 1.0);
  EXPECT_EQ(f[0], 0.0);
  for (int j = 1; j <= 4; ++j) {
    EXPECT_EQ(curves.step_probability(j, barrier[j - 1] + 1e-3), 0.0);
    EXPECT_GT(curves.step_probability(j, barrier[j - 1] - 1e-3), 0.0);
  }
  // Far below, Q~ is exactly 1: every ion stays 1+.
  curves.fractions_at(1.0, f);
  EXPECT_EQ(f[0], 1.0);
  EXPECT_EQ(f[1], 0.0);
}
