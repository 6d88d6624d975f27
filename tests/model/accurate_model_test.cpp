// The accurate evaluation against independent references: Carlson's integrals
// against GSL's, the barrier integral against adaptive quadrature of the
// model's own integrand k, the direction integral and the probability against
// adaptive integration to 1e-13, and the probability against the prescribed
// evaluation (value and NaN-ness).
#include "model/accurate_model.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>
#include <gsl/gsl_sf_ellint.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "model/carlson.hpp"
#include "model/constants.hpp"
#include "model/fast_model.hpp"
#include "model/gauss_legendre.hpp"
#include "model/integration_settings.hpp"
#include "model/model.hpp"

namespace vm = veltrane;

namespace {

// A number as "1.2e-13", for the recorded test properties.
std::string scientific(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2e", x);
  return text;
}

double rel_diff(double a, double b) { return std::fabs(a - b) / std::fabs(b); }

std::uint64_t bits(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Tungsten: work function and the second and third ionisation energies in
// hartree, period 6, mass 183.84 u.
const double tungsten_phi = 4.55 / vm::ev_per_hartree;
const double tungsten_I2 = 16.37 / vm::ev_per_hartree;
const double tungsten_I3 = 26.0 / vm::ev_per_hartree;

// One GSL workspace for the reference integrations of a test.
class workspace {
 public:
  workspace() : w_(gsl_integration_workspace_alloc(1000)) { gsl_set_error_handler_off(); }
  ~workspace() { gsl_integration_workspace_free(w_); }
  workspace(const workspace&) = delete;
  workspace& operator=(const workspace&) = delete;
  gsl_integration_workspace* get() const { return w_; }

 private:
  gsl_integration_workspace* w_;
};

// The model's WKB integrand k, 0 where rounding makes its radicand negative
// right at a turning point.
double model_k(double r, void* p) {
  const double v = vm::k(r, p);
  return std::isnan(v) ? 0.0 : v;
}

double transmission_of(double u, void* p) {
  return vm::accurate_transmission(u, *static_cast<const vm::flight_point*>(p));
}

// J by adaptive integration to 1e-13, with a break point at the kink u_x
// where the barrier changes from cut to complete.
double reference_direction_integral(const vm::flight_point& p, const workspace& w) {
  vm::flight_point copy = p;
  gsl_function f{&transmission_of, &copy};
  double points[3] = {0.0, 1.0, 1.0};
  std::size_t count = 2;
  if (p.edge_is_outer && p.u_edge > 0.0 && p.u_edge < 1.0) {
    points[1] = p.u_edge;
    count = 3;
  }
  double J = 0.0;
  double err = 0.0;
  gsl_integration_qagp(&f, points, count, 0.0, 1e-13, 1000, w.get(), &J, &err);
  return J;
}

struct model_args {
  double E, B, phi;
  int m, n;
  double m_ion, u;
};

// A flight point of a random element: binding energy 8 to 40 eV, work
// function 2 to 6 eV, period 1 to 7, charge 1 to 4, a field below the
// over-barrier one, a distance from just beyond zc to 4 zc.
struct random_flight_point {
  double E, B, phi;
  int m, n;
  double z;
};

random_flight_point draw_flight_point(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (;;) {
    random_flight_point r{};
    r.B = (8.0 + 32.0 * unit(rng)) / vm::ev_per_hartree;
    r.phi = (2.0 + 4.0 * unit(rng)) / vm::ev_per_hartree;
    r.m = 1 + static_cast<int>(7.0 * unit(rng));
    r.n = 1 + static_cast<int>(4.0 * unit(rng));
    r.E = r.B * r.B / (5.0 + 15.0 * unit(rng));
    const double zc = vm::zc(r.E, r.B, r.phi, r.m, r.n);
    if (!(zc > 0.0)) continue;
    r.z = zc * (unit(rng) < 0.5 ? 1.0 + 0.1 * unit(rng) : 1.0 + 3.0 * unit(rng));
    return r;
  }
}

}  // namespace

// --- Carlson's symmetric integrals ------------------------------------------

TEST(CarlsonIntegrals, KnownValuesAndRange) {
  // Carlson's own test values (Numer. Algorithms 10, 1995).
  EXPECT_NEAR(vm::carlson_rf(1.0, 2.0, 0.0), 1.3110287771461, 1e-13);
  EXPECT_NEAR(vm::carlson_rf(0.5, 1.0, 0.0), 1.8540746773014, 1e-13);
  EXPECT_NEAR(vm::carlson_rd(0.0, 2.0, 1.0), 1.7972103521034, 1e-13);
  EXPECT_NEAR(vm::carlson_rd(2.0, 3.0, 4.0), 0.16510527294261, 1e-14);
  // Equal arguments, and the homogeneity of degrees -1/2 and -3/2.
  EXPECT_NEAR(vm::carlson_rf(4.0, 4.0, 4.0), 0.5, 1e-16);
  EXPECT_NEAR(vm::carlson_rd(4.0, 4.0, 4.0), 0.125, 1e-16);
  const double rf = vm::carlson_rf(0.3, 1.7, 2.9);
  const double rd = vm::carlson_rd(0.3, 1.7, 2.9);
  EXPECT_LT(rel_diff(vm::carlson_rf(0.3e-200, 1.7e-200, 2.9e-200), rf * 1e100), 1e-15);
  EXPECT_LT(rel_diff(vm::carlson_rd(0.3e100, 1.7e100, 2.9e100), rd * 1e-150), 1e-15);
  // The pair is the two single integrals.
  const vm::carlson_pair both = vm::carlson_rf_rd(0.3, 1.7, 2.9);
  EXPECT_EQ(both.rf, rf);
  EXPECT_EQ(both.rd, rd);
  // Outside the range: two zeros, a negative argument, z = 0 for R_D, NaN.
  EXPECT_TRUE(std::isnan(vm::carlson_rf(0.0, 0.0, 1.0)));
  EXPECT_TRUE(std::isnan(vm::carlson_rf(-1.0, 1.0, 1.0)));
  EXPECT_TRUE(std::isnan(vm::carlson_rd(1.0, 1.0, 0.0)));
  EXPECT_TRUE(std::isnan(vm::carlson_rd(0.0, 0.0, 1.0)));
  EXPECT_TRUE(std::isnan(vm::carlson_rf(NAN, 1.0, 1.0)));
}

TEST(CarlsonIntegrals, AgreeWithGslOverSixteenDecades) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> decade(-8.0, 8.0);
  constexpr int count = 3000;
  std::vector<double> x(count), y(count), z(count), rf(count), rd(count);
  double worst_rf = 0.0;
  double worst_rd = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = (i % 5 == 0) ? 0.0 : std::pow(10.0, decade(rng));
    y[i] = std::pow(10.0, decade(rng));
    z[i] = std::pow(10.0, decade(rng));
    const double ref_f = gsl_sf_ellint_RF(x[i], y[i], z[i], GSL_PREC_DOUBLE);
    const double ref_d = gsl_sf_ellint_RD(x[i], y[i], z[i], GSL_PREC_DOUBLE);
    worst_rf = std::max(worst_rf, rel_diff(vm::carlson_rf(x[i], y[i], z[i]), ref_f));
    worst_rd = std::max(worst_rd, rel_diff(vm::carlson_rd(x[i], y[i], z[i]), ref_d));
  }
  EXPECT_LT(worst_rf, 4e-15);
  EXPECT_LT(worst_rd, 4e-15);

  // The batch: arguments this far apart need more than its fixed number of
  // duplications and are redone, the others not; all agree all the same.
  vm::carlson_rf_rd_batch(x.data(), y.data(), z.data(), rf.data(), rd.data(), count);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const vm::carlson_pair s = vm::carlson_rf_rd(x[i], y[i], z[i]);
    EXPECT_LT(rel_diff(rf[i], s.rf), 2e-15) << i;
    EXPECT_LT(rel_diff(rd[i], s.rd), 2e-15) << i;
  }
  const double bad_x[2] = {-1.0, 1.0};
  const double bad_y[2] = {1.0, 1.0};
  const double bad_z[2] = {1.0, 0.0};
  double bad_rf[2];
  double bad_rd[2];
  vm::carlson_rf_rd_batch(bad_x, bad_y, bad_z, bad_rf, bad_rd, 2);
  EXPECT_TRUE(std::isnan(bad_rf[0]) && std::isnan(bad_rd[0]));
  EXPECT_TRUE(std::isnan(bad_rd[1]));
}

// --- Gauss-Legendre rules ---------------------------------------------------

TEST(GaussLegendre, ExactToDegreeTwoNMinusOne) {
  for (int n : {1, 2, 5, 18, 24, 40}) {
    const vm::gauss_legendre_rule r = vm::gauss_legendre(n);
    ASSERT_EQ(r.x.size(), static_cast<std::size_t>(n));
    for (std::size_t i = 0; i < r.x.size(); ++i) {
      EXPECT_GT(r.x[i], 0.0);
      EXPECT_LT(r.x[i], 1.0);
      EXPECT_GT(r.w[i], 0.0);
      if (i > 0) {
        EXPECT_LT(r.x[i - 1], r.x[i]);
      }
      EXPECT_NEAR(r.x[i] + r.x[r.x.size() - 1 - i], 1.0, 1e-15);
    }
    // Integral of (2t - 1)^k over [0, 1]: 1/(k + 1) for even k, 0 for odd.
    for (int k = 0; k <= 2 * n - 1; ++k) {
      double sum = 0.0;
      for (std::size_t i = 0; i < r.x.size(); ++i) sum += r.w[i] * std::pow(2.0 * r.x[i] - 1.0, k);
      const double exact = (k % 2 == 0) ? 1.0 / (k + 1.0) : 0.0;
      EXPECT_NEAR(sum, exact, 1e-15) << "n = " << n << ", degree " << k;
    }
    // Degree 2n is not integrated exactly (the error, 2^-2n times a
    // coefficient of order one, is seen for small n).
    if (n > 5) continue;
    double sum = 0.0;
    for (std::size_t i = 0; i < r.x.size(); ++i)
      sum += r.w[i] * std::pow(2.0 * r.x[i] - 1.0, 2 * n);
    EXPECT_GT(std::fabs(sum - 1.0 / (2.0 * n + 1.0)), 1e-15) << "n = " << n;
  }
  EXPECT_TRUE(vm::gauss_legendre(0).x.empty());
}

// --- The barrier integral ---------------------------------------------------

TEST(BarrierIntegral, MatchesQuadratureOfTheModelsIntegrand) {
  // sqrt(E u) I against the adaptive integral of k from the inner turning
  // point to the end of the path, cut by the surface or not.
  const workspace w;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int cut = 0;
  int complete = 0;
  double worst = 0.0;
  while (cut < 150 || complete < 150) {
    const random_flight_point r = draw_flight_point(rng);
    const vm::flight_point p = vm::make_flight_point(r.z, r.E, r.B, r.m, r.n);
    const double u = 0.2 + 0.8 * unit(rng);
    if (!(u < p.u_top)) continue;
    const vm::barrier br = vm::path_barrier(u, p);
    if (!(br.c > br.b)) continue;  // the surface before the barrier: no integral
    if ((br.cut && cut >= 150) || (!br.cut && complete >= 150)) continue;
    ++(br.cut ? cut : complete);
    vm::k_params kp{u, r.z, r.E, r.B, r.m, r.n};
    gsl_function f{&model_k, &kp};
    double ref = 0.0;
    double err = 0.0;
    gsl_integration_qags(&f, br.b, br.c, 0.0, 1e-13, 1000, w.get(), &ref, &err);
    const double I = std::sqrt(r.E * u) * vm::accurate_barrier_integral(br);
    worst = std::max(worst, rel_diff(I, ref));
    EXPECT_LT(rel_diff(I, ref), 1e-10) << "u " << u << " z " << r.z << " cut " << br.cut;
    EXPECT_NEAR(br.width, br.a - br.b, 1e-12 * br.a);
    EXPECT_NEAR(br.a, vm::a(u, r.z, r.E, r.B, r.m, r.n), 1e-12 * br.a);
    EXPECT_NEAR(br.b, vm::b(u, r.z, r.E, r.B, r.m, r.n), 1e-9 * br.b);
  }
  EXPECT_LT(worst, 1e-11);
}

TEST(BarrierIntegral, ClosedFormsOfTheCompleteBarrierAgree) {
  // Carlson's form with c = a against the arithmetic-geometric mean, from a
  // barrier hardly below its top (a - b = 1e-6 a) to one whose inner turning
  // point is 1e-12 of the outer one (where the mean needs more steps).
  // Carlson's form subtracts terms of the order of a/(a - b) times its value
  // (which is why the complete barriers use the mean).
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> decade(-12.0, 0.0);
  for (int i = 0; i < 400; ++i) {
    const double a = std::pow(10.0, decade(rng) + 12.0);
    const double b = (i % 2 == 0) ? a * std::pow(10.0, decade(rng))  // b/a from 1e-12 to 1
                                  : a - a * std::pow(10.0, decade(rng) / 2.0);  // near the top
    const double width = a - b;  // exact near the top (Sterbenz)
    const vm::barrier br{a, b, width, a, false};
    const double agm = vm::accurate_complete_barrier_integral(a, b, width);
    EXPECT_LT(rel_diff(vm::accurate_cut_barrier_integral(br), agm), 1e-13 + 4e-15 * a / width)
        << "a " << a << " b/a " << b / a;
    EXPECT_EQ(vm::accurate_barrier_integral(br), agm);
  }
}

TEST(BarrierIntegral, ThinBarrierNearItsTop) {
  // With m = (a + b)/2 and e = (a - b)/(2m), I = (pi/8) (a - b)^2/sqrt(m)
  // (1 + (3/32) e^2 + O(e^4)).
  for (double e : {1e-7, 1e-6, 1e-5, 1e-4}) {
    for (double m : {0.1, 7.0, 3e5}) {
      const double a = m * (1.0 + e);
      const double b = m * (1.0 - e);
      const double width = 2.0 * m * e;
      const double expected =
          vm::detail::pi / 8.0 * width * width / std::sqrt(m) * (1.0 + 3.0 / 32.0 * e * e);
      EXPECT_LT(rel_diff(vm::accurate_complete_barrier_integral(a, b, width), expected), 1e-14)
          << "e " << e << " m " << m;
    }
  }
}

// --- The direction integral -------------------------------------------------

TEST(DirectionIntegral, MatchesAdaptiveIntegrationOnSweepsAndRandomPoints) {
  // Every flight point of Tungsten's two steps at five fields (complete,
  // kinked and cut barriers), and random points of random elements, among
  // them the rarer kinds: every path cut (u_x >= 1), the surface meeting the
  // inner turning point (2 E z < W), the barrier top just above u = 1.
  const workspace w;
  std::vector<vm::flight_point> points;
  struct step {
    double I;
    int n;
    double divisors[5];  // the sweep's fields are I^2/divisor
  };
  const step steps[] = {{tungsten_I2, 1, {14.0, 11.0, 9.5, 8.8, 8.3}},
                        {tungsten_I3, 2, {18.0, 16.0, 14.0, 13.0, 12.2}}};
  for (const step& st : steps) {
    for (double d : st.divisors) {
      const double E = st.I * st.I / d;
      double g[50];
      vm::flight_grid(E, st.I, tungsten_phi, 6, st.n, g);
      for (int i = 1; i <= 49; i += 2) {
        points.push_back(vm::make_flight_point(1.0 / g[i], E, st.I, 6, st.n));
      }
    }
  }
  std::mt19937_64 rng(17);
  int all_cut = 0;
  int inner = 0;
  int near_top = 0;
  for (int draws = 0; all_cut < 30 || inner < 30 || near_top < 30; ++draws) {
    ASSERT_LT(draws, 1000000) << all_cut << " " << inner << " " << near_top;
    const random_flight_point r = draw_flight_point(rng);
    const vm::flight_point p = vm::make_flight_point(r.z, r.E, r.B, r.m, r.n);
    if (vm::classify_rate(p) != vm::rate_kind::number) continue;
    const bool is_all_cut = p.u_edge >= 1.0 && p.edge_is_outer;
    const bool is_inner = !p.edge_is_outer;
    const bool is_near_top = p.u_top < 1.02;
    if ((is_all_cut && all_cut < 30) || (is_inner && inner < 30) ||
        (is_near_top && near_top < 30)) {
      all_cut += is_all_cut ? 1 : 0;
      inner += is_inner ? 1 : 0;
      near_top += is_near_top ? 1 : 0;
      points.push_back(p);
    }
  }
  double worst = 0.0;
  for (const vm::flight_point& p : points) {
    if (vm::classify_rate(p) != vm::rate_kind::number) continue;
    const double J = vm::accurate_direction_integral(p);
    const double ref = reference_direction_integral(p, w);
    ASSERT_GT(ref, 1e-290);
    worst = std::max(worst, rel_diff(J, ref));
    EXPECT_LT(rel_diff(J, ref), 1e-12)
        << "z " << p.z << " E " << p.E << " u_x " << p.u_edge << " u* " << p.u_top;
    EXPECT_LT(rel_diff(J, vm::accurate_direction_integral(p, 24)), 1e-12);
  }
  EXPECT_GT(points.size(), 300u);
  RecordProperty("worst_relative_difference", scientific(worst));
}

TEST(DirectionIntegral, DirectionsBelowTheLowerEndAreNegligible) {
  const workspace w;
  const double E = tungsten_I2 * tungsten_I2 / 10.0;
  double g[50];
  vm::flight_grid(E, tungsten_I2, tungsten_phi, 6, 1, g);
  for (int i : {1, 25, 40, 49}) {
    vm::flight_point p = vm::make_flight_point(1.0 / g[i], E, tungsten_I2, 6, 1);
    const double u_lo = vm::accurate_lower_direction(p);
    EXPECT_GT(u_lo, 0.1);
    EXPECT_LT(u_lo, 0.9);
    gsl_function f{&transmission_of, &p};
    double below = 0.0;
    double err = 0.0;
    gsl_integration_qags(&f, 0.0, u_lo, 1e-300, 1e-8, 1000, w.get(), &below, &err);
    EXPECT_LT(below, 1e-16 * vm::accurate_direction_integral(p)) << "point " << i;
  }
}

// --- The rate and its NaN-ness ------------------------------------------------

TEST(AccurateRate, MatchesThePrescribedRateAndItsNanness) {
  // Tungsten's first step from low fields to beyond the over-barrier field,
  // at distances from just beyond zc outwards: NaN exactly where the
  // prescribed rate is NaN, and within its tolerance elsewhere.
  int numbers = 0;
  int nans = 0;
  for (double d : {14.0, 10.0, 8.8, 8.0, 7.6, 7.0}) {
    const double E = tungsten_I2 * tungsten_I2 / d;
    const double zc = vm::zc(E, tungsten_I2, tungsten_phi, 6, 1);
    for (double f : {1.0005, 1.003, 1.01, 1.03, 1.1, 1.3, 2.0, 5.0, 40.0}) {
      const double z = zc * f;
      const double accurate = vm::accurate_R(z, E, tungsten_I2, tungsten_phi, 6, 1);
      const double prescribed = vm::fast_R(z, E, tungsten_I2, tungsten_phi, 6, 1);
      if (std::isnan(prescribed)) {
        ++nans;
        EXPECT_TRUE(std::isnan(accurate)) << "d " << d << " z/zc " << f;
      } else {
        ++numbers;
        EXPECT_LT(rel_diff(accurate, prescribed), 1e-6) << "d " << d << " z/zc " << f;
      }
    }
  }
  EXPECT_GT(numbers, 20);
  EXPECT_GT(nans, 3);
  // Nearer than zc the rate is zero by definition.
  const double E = tungsten_I2 * tungsten_I2 / 10.0;
  EXPECT_EQ(vm::accurate_R(0.9 * vm::zc(E, tungsten_I2, tungsten_phi, 6, 1), E, tungsten_I2,
                           tungsten_phi, 6, 1),
            0.0);
}

TEST(AccurateRate, NarrowBandIsDecidedByThePrescribedRate) {
  // Flight points whose barrier top u* lies at a chosen direction: Z(z) =
  // W^2/(4 E u*) for Tungsten's first step at E = I2^2/7.6, beyond its
  // over-barrier field.
  const double E = tungsten_I2 * tungsten_I2 / 7.6;
  const double W = tungsten_I2 - vm::E_stark(E, tungsten_I2, 6);
  const double top_node = 0.5 + 0.5 * 0.995657163025808;
  struct probe {
    double u_top;
    vm::rate_kind kind;
  };
  const probe probes[] = {
      {top_node * (1.0 - 1e-9), vm::rate_kind::not_a_number},
      {top_node * (1.0 + 1e-9), vm::rate_kind::narrow_band},
      {0.9985, vm::rate_kind::narrow_band},
      {0.9995, vm::rate_kind::narrow_band},
      {1.0 - 1e-9, vm::rate_kind::narrow_band},
      {1.0 + 1e-9, vm::rate_kind::number},
      {1.001, vm::rate_kind::number},
  };
  for (const probe& pr : probes) {
    const double z = 4.5 / (W * W / (4.0 * E * pr.u_top) - 2.0);
    const vm::flight_point p = vm::make_flight_point(z, E, tungsten_I2, 6, 1);
    ASSERT_TRUE(p.edge_is_outer);
    ASSERT_GT(z, vm::zc(E, tungsten_I2, tungsten_phi, 6, 1));
    EXPECT_EQ(vm::classify_rate(p), pr.kind) << "u* " << pr.u_top;
    const double accurate = vm::accurate_R(z, E, tungsten_I2, tungsten_phi, 6, 1);
    const double prescribed = vm::fast_R(z, E, tungsten_I2, tungsten_phi, 6, 1);
    EXPECT_EQ(std::isnan(accurate), std::isnan(prescribed)) << "u* " << pr.u_top;
    if (pr.kind == vm::rate_kind::narrow_band && !std::isnan(prescribed)) {
      EXPECT_EQ(bits(accurate), bits(prescribed)) << "u* " << pr.u_top;
    }
  }
}

TEST(AccurateRate, SurfaceBeforeTheInnerTurningPointIsNan) {
  // A weakly bound level (W < 2 phi): nearest the surface, 2 E z < W, and
  // the paths above u_x end before their barrier begins.
  const double B = 0.3;
  const double phi = 0.2;
  const double E = 0.009;
  const double zc = vm::zc(E, B, phi, 2, 1);
  int nan_by_edge = 0;
  int numbers = 0;
  for (double f : {1.001, 1.01, 1.05, 1.1, 1.3, 1.4, 1.5, 1.6}) {
    const double z = zc * f;
    const vm::flight_point p = vm::make_flight_point(z, E, B, 2, 1);
    if (p.edge_is_outer) continue;
    const double accurate = vm::accurate_R(z, E, B, phi, 2, 1);
    const double prescribed = vm::fast_R(z, E, B, phi, 2, 1);
    EXPECT_EQ(std::isnan(accurate), std::isnan(prescribed)) << "z/zc " << f;
    if (p.u_top > 1.0 && p.u_edge < 0.99) ++nan_by_edge;
    if (!std::isnan(prescribed)) {
      ++numbers;
      EXPECT_LT(rel_diff(accurate, prescribed), 1e-6) << "z/zc " << f;
    }
  }
  EXPECT_GT(nan_by_edge, 0);
  EXPECT_GT(numbers, 0);
}

// --- The probability ----------------------------------------------------------

namespace {

// Q and 1 - Q with the rates from direction integrals to 1e-13 and the
// prescribed flight sum in long double.
struct reference_q {
  double Q;
  double complement;
};

reference_q reference_probability(const model_args& a, const workspace& w) {
  double g[50];
  vm::flight_grid(a.E, a.B, a.phi, a.m, a.n, g);
  long double t[50] = {};
  for (int i = 1; i <= 49; ++i) {
    const double s = g[i];
    const vm::flight_point p = vm::make_flight_point(1.0 / s, a.E, a.B, a.m, a.n);
    EXPECT_EQ(vm::classify_rate(p), vm::rate_kind::number) << "point " << i;
    const long double J = reference_direction_integral(p, w);
    const long double R = (2.0L * a.B / a.m) * (J / 6.0L);
    t[i] = R / vm::detail::ion_speed(s, a.E, a.n, a.m_ion, a.u) / (static_cast<long double>(s) * s);
  }
  long double L = 0.0L;
  for (int i = 1; i <= 48; ++i)
    L -= (static_cast<long double>(g[i]) - g[i - 1]) / 6.0L * (t[49] + t[i]);
  return {static_cast<double>(std::exp(L)), static_cast<double>(-std::expm1(L))};
}

}  // namespace

TEST(AccurateProbability, MatchesTheReferenceToTwelveDigits) {
  const workspace w;
  std::vector<model_args> cases;
  for (double d : {14.0, 12.0, 10.0, 9.0, 8.8}) {
    cases.push_back({tungsten_I2 * tungsten_I2 / d, tungsten_I2, tungsten_phi, 6, 1, 183.84, 0.0});
  }
  for (double d : {16.0, 13.0, 12.3}) {  // the second step, with an energy offset
    cases.push_back({tungsten_I3 * tungsten_I3 / d, tungsten_I3, tungsten_phi, 6, 2, 183.84, 0.9});
  }
  double worst_q = 0.0;
  double worst_complement = 0.0;
  for (const model_args& a : cases) {
    const reference_q ref = reference_probability(a, w);
    const double Q = vm::accurate_veltrane(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
    const double C = vm::accurate_veltrane_complement(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
    EXPECT_LT(rel_diff(Q, ref.Q), 1e-12) << "E " << a.E << " n " << a.n;
    EXPECT_LT(rel_diff(C, ref.complement), 1e-12) << "E " << a.E << " n " << a.n;
    EXPECT_GT(ref.complement, 0.0);
    worst_q = std::max(worst_q, rel_diff(Q, ref.Q));
    worst_complement = std::max(worst_complement, rel_diff(C, ref.complement));
  }
  RecordProperty("max_relative_dQ", scientific(worst_q));
  RecordProperty("max_relative_d(1-Q)", scientific(worst_complement));
}

TEST(AccurateProbability, MatchesThePrescribedEvaluationAndItsNanness) {
  // A few dozen prescribed evaluations: Tungsten's first two steps across
  // their sweeps and past the over-barrier field, other elements, and the
  // arguments where the prescribed evaluation itself answers.
  std::vector<model_args> cases;
  for (double d : {14.0, 11.0, 9.4, 8.8, 8.6, 8.2, 7.8}) {
    cases.push_back({tungsten_I2 * tungsten_I2 / d, tungsten_I2, tungsten_phi, 6, 1, 183.84, 0.0});
  }
  for (double d : {18.0, 14.0, 12.4, 12.0, 11.0}) {
    cases.push_back({tungsten_I3 * tungsten_I3 / d, tungsten_I3, tungsten_phi, 6, 2, 183.84, 0.9});
  }
  cases.push_back({0.05, 0.7, 0.16, 3, 1, 26.981, 0.1});   // the model's example
  cases.push_back({0.05, 1.0, 0.16, 3, 2, 26.981, 0.3});   // Q close to 1
  cases.push_back({0.1, 0.7, 0.16, 3, 1, 26.981, 0.1});    // no turning points near zc
  cases.push_back({0.012, 0.3, 0.2, 2, 1, 9.012, 0.0});    // W < 2 phi
  cases.push_back({0.001, 0.1, 0.16, 3, 1, 26.981, 0.1});  // W < phi
  cases.push_back({0.05, 0.7, 0.16, 3, 1, 26.981, 50.0});  // negative kinetic energy
  cases.push_back({0.05, 0.7, 0.16, 0, 1, 0.0, 0.1});      // no element data
  cases.push_back({0.0, 0.7, 0.16, 3, 1, 26.981, 0.1});    // no field
  cases.push_back({NAN, 0.7, 0.16, 3, 1, 26.981, 0.1});    // not a number
  int numbers = 0;
  int nans = 0;
  for (const model_args& a : cases) {
    const double accurate = vm::accurate_veltrane(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
    const double prescribed = vm::fast_veltrane(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
    // The NaN test without the value says the same as the value.
    EXPECT_EQ(vm::accurate_veltrane_is_nan(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u),
              std::isnan(accurate))
        << "E " << a.E << " B " << a.B;
    if (std::isnan(prescribed)) {
      ++nans;
      EXPECT_TRUE(std::isnan(accurate)) << "E " << a.E << " B " << a.B << ": " << accurate;
    } else {
      ++numbers;
      EXPECT_LT(rel_diff(accurate, prescribed), 1e-5) << "E " << a.E << " B " << a.B;
      EXPECT_LT(std::fabs(accurate - prescribed), 1e-5 * (1.0 - prescribed) + 1e-15)
          << "E " << a.E << " B " << a.B;
    }
  }
  EXPECT_GE(numbers, 10);
  EXPECT_GE(nans, 10);
}

TEST(AccurateProbability, ComplementAndThreads) {
  const model_args a{tungsten_I2 * tungsten_I2 / 9.0, tungsten_I2, tungsten_phi, 6, 1, 183.84, 0.0};
  const double Q = vm::accurate_veltrane(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
  const double C = vm::accurate_veltrane_complement(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
  EXPECT_GT(Q, 0.0);
  EXPECT_LT(Q, 1.0);
  EXPECT_NEAR(Q + C, 1.0, 1e-15);
  // Where the prescribed evaluation answers, the complement is 1 - its Q.
  EXPECT_TRUE(std::isnan(vm::accurate_veltrane_complement(0.0, 0.7, 0.16, 3, 1, 26.981, 0.1)));

  std::vector<double> results(4);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
      threads.emplace_back([&results, &a, i] {
        results[i] = vm::accurate_veltrane(a.E, a.B, a.phi, a.m, a.n, a.m_ion, a.u);
      });
    }
  }
  for (double r : results) EXPECT_EQ(bits(r), bits(Q));
}
