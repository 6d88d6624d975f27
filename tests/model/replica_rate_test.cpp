// The prescribed rate by replicas of its integrations against the prescribed
// rate itself: the same bits, and the same NaN-ness when only that is asked,
// across the narrow band of flight points where only the integrator's own
// samples decide.
#include "model/replica_rate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "model/constants.hpp"
#include "model/fast_model.hpp"
#include "model/model.hpp"

namespace vm = veltrane;

namespace {

std::uint64_t bits(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

const double tungsten_phi = 4.55 / vm::ev_per_hartree;
const double tungsten_I2 = 16.37 / vm::ev_per_hartree;
const double tungsten_I3 = 26.0 / vm::ev_per_hartree;

struct rate_args {
  double z, E, B, phi;
  int m, n;
};

// Both replicas against fast_R; returns whether the rate is NaN.
bool expect_same_rate(const rate_args& a, const char* what) {
  const double prescribed = vm::fast_R(a.z, a.E, a.B, a.phi, a.m, a.n);
  const double replica = vm::replica_R(a.z, a.E, a.B, a.phi, a.m, a.n);
  EXPECT_EQ(bits(replica), bits(prescribed)) << what << ": z " << a.z << " E " << a.E << " B "
                                             << a.B << ": " << replica << " " << prescribed;
  EXPECT_EQ(std::isnan(prescribed), std::isnan(replica)) << what;
  EXPECT_EQ(vm::replica_R_is_nan(a.z, a.E, a.B, a.phi, a.m, a.n), std::isnan(prescribed))
      << what << ": z " << a.z << " E " << a.E << " B " << a.B;
  return std::isnan(prescribed);
}

}  // namespace

TEST(ReplicaRate, SameBitsAsThePrescribedRate) {
  // Tungsten's first two steps from low fields to beyond their over-barrier
  // fields, from just beyond zc outwards, and nearer than zc.
  for (const auto& [I, n] : {std::pair{tungsten_I2, 1}, std::pair{tungsten_I3, 2}}) {
    for (double d : {16.0, 12.0, 10.0, 8.8, 8.0, 7.0}) {
      const double E = I * I / d;
      const double zc = vm::zc(E, I, tungsten_phi, 6, n);
      for (double f : {0.9, 1.0005, 1.01, 1.1, 1.5, 3.0, 20.0}) {
        expect_same_rate({zc * f, E, I, tungsten_phi, 6, n}, "Tungsten");
      }
    }
  }
  // The prescribed rate's own edge cases: no field, a level below the Fermi
  // level (W < phi), a thick barrier.
  expect_same_rate({10.0, 0.0, 0.7, 0.16, 3, 1}, "no field");
  expect_same_rate({20.0, 0.001, 0.1, 0.16, 3, 1}, "W < phi");
  expect_same_rate({3e20, 2e-21, 0.3, 0.16, 3, 1}, "thick barrier");
}

TEST(ReplicaRate, SameNanNessAcrossTheNarrowBand) {
  // Flight points whose barrier top u* lies anywhere between the first
  // rule's largest node (0.99783) and u = 1, where the rate is NaN or not
  // depending on whether the integrator samples a direction above u*: for
  // Tungsten's first step beyond its over-barrier field and its second step,
  // Z(z) = W^2/(4 E u*).
  const double top_node = 0.5 + 0.5 * 0.995657163025808;
  int nans = 0;
  int numbers = 0;
  struct step {
    double I, d;
    int n;
  };
  for (const step& s :
       {step{tungsten_I2, 7.6, 1}, step{tungsten_I2, 6.5, 1}, step{tungsten_I3, 11.0, 2}}) {
    const double E = s.I * s.I / s.d;
    const double W = s.I - vm::E_stark(E, s.I, 6);
    for (int k = 0; k <= 60; ++k) {
      const double u_top = top_node + (1.0 - top_node) * (k / 60.0) * (k / 60.0);
      const double z = 4.5 / (W * W / (4.0 * E * u_top) - (s.n + 1.0));
      ASSERT_GT(z, vm::zc(E, s.I, tungsten_phi, 6, s.n));
      const bool is_nan = expect_same_rate({z, E, s.I, tungsten_phi, 6, s.n}, "band");
      ++(is_nan ? nans : numbers);
    }
  }
  EXPECT_GT(nans, 20);
  EXPECT_GT(numbers, 20);
}

TEST(ReplicaRate, SurfaceBeforeTheInnerTurningPoint) {
  // A weakly bound level (W < 2 phi): nearest the surface the paths above u_x
  // end before their barrier begins (NaN by the barrier integral, not by the
  // discriminant), around u = 1.
  const double B = 0.3;
  const double phi = 0.2;
  const double E = 0.009;
  const double zc = vm::zc(E, B, phi, 2, 1);
  int nans = 0;
  for (int k = 0; k <= 40; ++k) {
    nans += expect_same_rate({zc * (1.0 + 0.015 * k), E, B, phi, 2, 1}, "inner edge") ? 1 : 0;
  }
  EXPECT_GT(nans, 0);
  EXPECT_LT(nans, 41);
}

TEST(ReplicaRate, Threads) {
  const double E = tungsten_I2 * tungsten_I2 / 9.0;
  const double z = 1.2 * vm::zc(E, tungsten_I2, tungsten_phi, 6, 1);
  const double R = vm::fast_R(z, E, tungsten_I2, tungsten_phi, 6, 1);
  std::vector<double> results(4);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
      threads.emplace_back([&results, E, z, i] {
        results[i] = vm::replica_R(z, E, tungsten_I2, tungsten_phi, 6, 1);
      });
    }
  }
  for (double r : results) EXPECT_EQ(bits(r), bits(R));
}
