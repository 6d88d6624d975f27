#include "model/model.hpp"

#include <gsl/gsl_errno.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "model/constants.hpp"
#include "model/integration_settings.hpp"

namespace vm = veltrane;

namespace {

// The example point used throughout: an Al-like ion of charge 1+ at
// E = 0.05 au, B = 0.7 hartree, phi = 0.16 hartree.
constexpr double E0 = 0.05, B0 = 0.7, PHI0 = 0.16;
constexpr int M0 = 3, N0 = 1;
constexpr double MION0 = 26.981, U0 = 0.1;

// Named tolerances for the relations that hold only up to rounding.
struct tolerance {
  static constexpr double relation = 1e-12;  // closed-form identities
};

vm::R_params example_rp(double z, double E = E0) { return {z, E, B0, PHI0, M0, N0}; }

}  // namespace

TEST(ModelConstants, AreBitExact) {
  // 1/(12 pi) as the double division 1.0 / 37.69911184307752.
  EXPECT_EQ(vm::A, 1.0 / 37.69911184307752);
  EXPECT_EQ(vm::A, 0.026525823848649224);
  // The factor of the transmission's exponent, as the model holds it: the
  // cube of the double sqrt(2), printed with 17 digits by an independent
  // implementation, one ulp above the double 2*sqrt(2.0).
  EXPECT_EQ(vm::detail::c3, 2.8284271247461907);
  EXPECT_EQ(vm::detail::c3, std::nextafter(2.0 * std::sqrt(2.0), 3.0));
  // The other constants, named once in the model.
  EXPECT_EQ(vm::ev_per_hartree, 27.211);
  EXPECT_EQ(vm::vnm_per_au, 514.2);
  EXPECT_EQ(vm::electron_masses_per_u, 1822.0);
}

TEST(ModelClosedForms, StarkShiftAndCharge) {
  EXPECT_EQ(vm::E_stark(0.0, 0.7, 3), 0.0);
  EXPECT_TRUE(std::signbit(vm::E_stark(0.0, 0.7, 3)));  // a negative zero: W = B exactly
  const double q = 0.05 / 0.7;
  EXPECT_NEAR(vm::E_stark(0.05, 0.7, 3), -(17.0 * 9 + 10) / 64.0 * q * q,
              tolerance::relation * 1e-3);
  EXPECT_LT(vm::E_stark(0.05, 0.7, 3), 0.0);
  EXPECT_EQ(vm::E_stark(-0.05, 0.7, 3), vm::E_stark(0.05, 0.7, 3));  // even in E
  EXPECT_EQ(vm::Z(10.0, 1), 2.45);
  EXPECT_TRUE(std::isinf(vm::Z(0.0, 1)));
  EXPECT_TRUE(std::isinf(vm::E_stark(0.05, 0.0, 3)));
}

TEST(ModelClosedForms, TurningPointRelations) {
  const double u = 0.5, z = 10.0;
  const double av = vm::a(u, z, E0, B0, M0, N0);
  const double bv = vm::b(u, z, E0, B0, M0, N0);
  ASSERT_TRUE(std::isfinite(av) && std::isfinite(bv));
  EXPECT_LT(0.0, bv);
  EXPECT_LT(bv, av);
  const double W = B0 - vm::E_stark(E0, B0, M0);
  EXPECT_NEAR(av * bv, vm::Z(z, N0) / (E0 * u), 98.0 * tolerance::relation);
  EXPECT_NEAR(av * bv, 98.0, 98.0 * tolerance::relation);
  EXPECT_NEAR(av + bv, W / (E0 * u), W / (E0 * u) * tolerance::relation);

  // k is real strictly inside the forbidden stretch, NaN just outside it.
  vm::k_params kp{u, z, E0, B0, M0, N0};
  for (int i = 1; i < 100; ++i) {
    const double r = bv + (av - bv) * i / 100.0;
    EXPECT_FALSE(std::isnan(vm::k(r, &kp))) << "r = " << r;
  }
  EXPECT_TRUE(std::isnan(vm::k(bv * 0.9, &kp)));
  EXPECT_TRUE(std::isnan(vm::k(av * 1.1, &kp)));

  // Above the barrier top (D < 0) there are no turning points.
  EXPECT_TRUE(std::isnan(vm::a(1.0, 10.0, 0.1, B0, M0, N0)));
  EXPECT_TRUE(std::isnan(vm::b(1.0, 10.0, 0.1, B0, M0, N0)));
  // Along u = 0 the outer point is at infinity and the inner one is 0/0.
  EXPECT_EQ(vm::a(0.0, z, E0, B0, M0, N0), INFINITY);
  EXPECT_TRUE(std::isnan(vm::b(0.0, z, E0, B0, M0, N0)));
}

TEST(ModelClosedForms, CriticalDistanceInBothRegimes) {
  const double W = B0 - vm::E_stark(E0, B0, M0);
  const double expected = (W - PHI0) / E0 - 0.8;
  EXPECT_NEAR(vm::zc(E0, B0, PHI0, M0, N0), expected, expected * tolerance::relation);
  // W < phi: the square root gives |U + 0.8 E| and zc comes out near -0.8.
  EXPECT_NEAR(vm::zc(0.001, 0.1, 0.16, 3, 1), -0.8, 1e-9);
  for (int n = -3; n <= 7; ++n) EXPECT_EQ(vm::zc(E0, B0, PHI0, M0, n), vm::zc(E0, B0, PHI0, M0, 1));
  EXPECT_FALSE(std::isfinite(vm::zc(0.0, B0, PHI0, M0, N0)));
}

TEST(ModelTransmission, ChoosesTheNearerEndAndGrowsWithDirection) {
  auto rp = example_rp(12.0);
  // u = 0.5: the surface plane d = 24 lies before the outer turning point.
  EXPECT_LT(24.0, vm::a(0.5, 12.0, E0, B0, M0, N0));
  // u = 1: the outer turning point lies before the surface plane d = 12.
  EXPECT_LT(vm::a(1.0, 12.0, E0, B0, M0, N0), 12.0);

  const double s025 = vm::S(0.25, &rp), s05 = vm::S(0.5, &rp), s1 = vm::S(1.0, &rp);
  for (double s : {s025, s05, s1}) {
    EXPECT_GE(s, 0.0);
    EXPECT_LE(s, 1.0);
  }
  EXPECT_LT(s025, s05);
  EXPECT_LT(s05, s1);
  EXPECT_LT(s025 * 1e6, s1);  // many orders of magnitude apart
  double last = 0.0;
  for (int i = 1; i <= 20; ++i) {
    const double s = vm::S(i / 20.0, &rp);
    EXPECT_GE(s, last) << "u = " << i / 20.0;
    last = s;
  }
}

TEST(ModelTransmission, NanAndZeroEdges) {
  // Nearer than zc (a little over 10 bohr): nothing is integrated, S is 0.
  auto near = example_rp(9.0);
  EXPECT_EQ(vm::S(0.5, &near), 0.0);
  EXPECT_EQ(vm::R(9.0, E0, B0, PHI0, M0, N0), 0.0);

  // E = 0.1: paths with u above about 0.6 have no turning points.
  auto strong = example_rp(12.0, 0.1);
  EXPECT_TRUE(std::isfinite(vm::S(0.3, &strong)));
  EXPECT_TRUE(std::isnan(vm::S(0.9, &strong)));
  EXPECT_TRUE(std::isnan(vm::R(12.0, 0.1, B0, PHI0, M0, N0)));
}

TEST(ModelTransmission, NeverAbortsEvenBeforeAnyRate) {
  // GSL's default handler aborts on a failed integration; a transmission
  // evaluated on its own, before any rate, must not take the process down.
  gsl_set_error_handler(nullptr);  // the library default: abort
  auto strong = example_rp(12.0, 0.1);
  EXPECT_TRUE(std::isnan(vm::S(0.9, &strong)));
  // The transmission left a handler of its own (the silent one) in place.
  EXPECT_NE(gsl_set_error_handler(nullptr), nullptr);
  gsl_set_error_handler_off();
}

TEST(ModelRate, FallsWithDistance) {
  const double r12 = vm::R(12.0, E0, B0, PHI0, M0, N0);
  const double r20 = vm::R(20.0, E0, B0, PHI0, M0, N0);
  EXPECT_GT(r12, 0.0);
  EXPECT_LT(r20, r12);
  EXPECT_GT(r20, 0.0);
}

TEST(ModelProbability, ExampleValueToTheLastBit) {
  // From an independent implementation of the same model, printed with 17
  // significant digits.
  EXPECT_EQ(vm::veltrane(E0, B0, PHI0, M0, N0, MION0, U0), 0.18673400329299111);
}

TEST(ModelProbability, GridIsAccumulatedAndEndsShortOfOneOverZc) {
  const double zcv = vm::zc(E0, B0, PHI0, M0, N0);
  double g[50];
  vm::flight_grid(E0, B0, PHI0, M0, N0, g);
  const double h = (1.0 / zcv) / 50.0;
  EXPECT_EQ(g[0], 0.0);
  for (int i = 1; i <= 49; ++i) EXPECT_EQ(g[i], g[i - 1] + h) << "one addition per point";
  EXPECT_NE(g[49], 1.0 / zcv);
  EXPECT_NEAR(g[49], 49.0 * h, 1e-12 * g[49]);
  EXPECT_NE(g[49], 49.0 * h) << "accumulated, not i*h: differs in the last digits";
  EXPECT_NEAR(g[49] * zcv, 0.98, 1e-12);

  // t is largest at the smallest s, and finite along the whole grid here.
  double t_max = 0.0;
  int i_max = 0;
  for (int i = 1; i <= 49; ++i) {
    const double tv = vm::t(g[i], E0, B0, PHI0, M0, N0, MION0, U0);
    ASSERT_TRUE(std::isfinite(tv)) << "i = " << i;
    if (tv > t_max) t_max = tv, i_max = i;
  }
  EXPECT_EQ(i_max, 1);

  // The probability built from these values is checked to the last bit, by
  // the value an independent implementation printed (ExampleValueToTheLastBit).
}

TEST(ModelProbability, NanAndLimits) {
  // No turning points near zc at E = 0.1.
  EXPECT_TRUE(std::isnan(vm::veltrane(0.1, B0, PHI0, M0, N0, MION0, U0)));
  // W < phi: the grid runs over negative s, the speed is NaN.
  EXPECT_TRUE(std::isnan(vm::veltrane(0.001, 0.1, 0.16, M0, N0, MION0, U0)));
  // No element data (period 0, mass 0).
  EXPECT_TRUE(std::isnan(vm::veltrane(E0, B0, PHI0, 0, N0, 0.0, U0)));

  // A stronger-bound electron of a doubly charged ion is hardly ionised.
  const double p1 = vm::veltrane(E0, B0, PHI0, M0, N0, MION0, U0);
  const double p2 = vm::veltrane(E0, 1.0, PHI0, M0, 2, MION0, 0.3);
  EXPECT_GT(p1, 0.0);
  EXPECT_LT(p1, 1.0);
  EXPECT_GT(p2, p1);
  EXPECT_LE(p2, 1.0);
  EXPECT_LT(1.0 - p2, (1.0 - p1) * 1e-2);
}
