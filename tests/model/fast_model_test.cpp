#include "model/fast_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "model/model.hpp"

namespace vm = veltrane;

namespace {

struct point {
  double E, B, phi;
  int m, n;
  double m_ion, u;
};

// Results agree bit for bit, or are both not a number.
void expect_same(double fast, double literal, const char* what) {
  if (std::isnan(literal)) {
    EXPECT_TRUE(std::isnan(fast)) << what;
  } else {
    EXPECT_EQ(fast, literal) << what;
  }
}

}  // namespace

TEST(FastModel, AgreesWithTheModelBitForBit) {
  const double phi = 4.55 / 27.211, I2 = 16.37 / 27.211, I3 = 26.0 / 27.211;
  const std::vector<point> points = {
      {0.05, 0.7, 0.16, 3, 1, 26.981, 0.1},          // the example
      {0.05, 1.0, 0.16, 3, 2, 26.981, 0.3},          // P close to 1
      {I2 * I2 / 12.0, I2, phi, 6, 1, 183.84, 0.0},  // Tungsten, step 1, mid-sweep
      {I2 * I2 / 8.6, I2, phi, 6, 1, 183.84, 0.0},   // Tungsten, step 1, near its end
      {I3 * I3 / 16.0, I3, phi, 6, 2, 183.84, 0.9},  // Tungsten, step 2
      {0.001, 0.1, 0.16, 3, 1, 26.981, 0.1},         // W < phi: NaN
      {0.05, 0.7, 0.16, 0, 1, 0.0, 0.1},             // no element data
      {0.05, 0.7, 0.16, 3, 1, 26.981, 50.0},         // negative kinetic energy
      {0.1, 0.7, 0.16, 3, 1, 26.981, 0.1},           // no turning points near zc
  };
  for (const auto& p : points) {
    expect_same(vm::fast_veltrane(p.E, p.B, p.phi, p.m, p.n, p.m_ion, p.u),
                vm::veltrane(p.E, p.B, p.phi, p.m, p.n, p.m_ion, p.u), "probability");
  }
  // Where the inner turning point rounds to 0 (a field of 1e-18 au and less)
  // or both turning points are negative (a negative binding energy), the
  // thick-barrier shortcut must agree with the integration too.
  expect_same(vm::fast_R(2e17, 1e-18, 0.6, 0.16, 3, 1), vm::R(2e17, 1e-18, 0.6, 0.16, 3, 1),
              "rounded inner turning point");
  expect_same(vm::fast_R(3e20, 2e-21, 0.3, 0.16, 3, 1), vm::R(3e20, 2e-21, 0.3, 0.16, 3, 1),
              "rounded inner turning point");
  expect_same(vm::fast_R(50.0, 0.05, -0.7, 0.16, 3, 1), vm::R(50.0, 0.05, -0.7, 0.16, 3, 1),
              "negative binding energy");
  for (double z : {9.0, 10.5, 12.0, 20.0, 200.0}) {
    for (double E : {0.03, 0.05, 0.1}) {
      expect_same(vm::fast_R(z, E, 0.7, 0.16, 3, 1), vm::R(z, E, 0.7, 0.16, 3, 1), "rate");
    }
  }
}

TEST(FastModel, DegenerateArgumentsAreQuick) {
  // A zero field or NaN arguments make every sample NaN; the literal model
  // integrates them to the subdivision limit, the fast one sees it at once.
  EXPECT_TRUE(std::isnan(vm::fast_veltrane(0.0, 0.7, 0.16, 3, 1, 26.981, 0.1)));
  EXPECT_TRUE(std::isnan(vm::fast_veltrane(NAN, 0.7, 0.16, 3, 1, 26.981, 0.1)));
  EXPECT_TRUE(std::isnan(vm::fast_R(NAN, 0.05, 0.7, 0.16, 3, 1)));
  EXPECT_TRUE(std::isnan(vm::fast_veltrane(INFINITY, 0.7, 0.16, 3, 1, 26.981, 0.1)));
}

TEST(FastModel, ThreadsGiveTheSameBits) {
  const double expected = vm::fast_veltrane(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1);
  std::vector<double> results(4);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
      threads.emplace_back(
          [&results, i] { results[i] = vm::fast_veltrane(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1); });
    }
  }
  for (double r : results) EXPECT_EQ(r, expected);
}
