// The replica of GSL's gsl_integration_qags against GSL itself: the same
// result bits and the same number of integrand values on integrands that
// take each of its paths (the first rule enough, bisection, extrapolation,
// roundoff, the iteration limit, reversed limits, NaN), and the NaN-ness it
// reports when it stops early.
#include "model/qags_replica.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace vd = veltrane::detail;

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// One integrand for both: a function of x, the number of its evaluations,
// and (for the replica) where it is NaN from on, if it says.
struct integrand {
  std::function<double(double)> f;
  double nan_from = std::numeric_limits<double>::infinity();  // NaN for x >= this
  bool tell_nan_range = false;
  std::size_t calls = 0;
  std::size_t nan_calls = 0;

  double operator()(double x) {
    ++calls;
    if (x < nan_from) return f(x);
    ++nan_calls;
    return nan;
  }
};

double gsl_f(double x, void* p) { return (*static_cast<integrand*>(p))(x); }

void replica_f(const double* x, double* y, int count, void* p) {
  for (int i = 0; i < count; ++i) y[i] = (*static_cast<integrand*>(p))(x[i]);
}

bool replica_nan_from(double x, void* p) {
  const auto& f = *static_cast<const integrand*>(p);
  return f.tell_nan_range && x >= f.nan_from;
}

struct gsl_run {
  double result;
  std::size_t calls;
};

gsl_run run_gsl(integrand& f, double a, double b, double epsrel, std::size_t limit) {
  gsl_set_error_handler_off();
  gsl_integration_workspace* w = gsl_integration_workspace_alloc(limit == 0 ? 1 : limit);
  gsl_function g{&gsl_f, &f};
  double result = 0.0;
  double abserr = 0.0;
  f.calls = 0;
  gsl_integration_qags(&g, a, b, 0.0, epsrel, limit, w, &result, &abserr);
  gsl_integration_workspace_free(w);
  return {result, f.calls};
}

vd::replica_result run_replica(integrand& f, double a, double b, double epsrel, std::size_t limit,
                               vd::replica_goal goal) {
  vd::replica_workspace w;
  const vd::replica_integrand r{&replica_f, &replica_nan_from, &f};
  f.calls = 0;
  return vd::qags_replica(r, a, b, epsrel, limit, goal, w);
}

struct test_case {
  std::string name;
  std::function<double(double)> f;
  double a, b;
  double epsrel = 1e-7;
  std::size_t limit = 1000;
};

std::vector<test_case> cases() {
  return {
      {"smooth", [](double x) { return std::exp(-3.0 * x) * std::cos(x); }, 0.0, 1.0},
      {"polynomial (the first rule is exact)", [](double x) { return 1.0 + x * x; }, 0.0, 2.0},
      {"zero", [](double) { return 0.0; }, 0.0, 1.0},
      {"steep near the end", [](double x) { return std::exp(-40.0 * (1.0 - x)); }, 0.0, 1.0},
      {"inverse square root (extrapolation)", [](double x) { return 1.0 / std::sqrt(x); }, 0.0,
       1.0},
      {"logarithm", [](double x) { return std::log(x); }, 0.0, 1.0},
      {"both ends singular", [](double x) { return 1.0 / std::sqrt(x * (1.0 - x)); }, 0.0, 1.0},
      {"peak", [](double x) { return 1.0 / ((x - 0.3) * (x - 0.3) + 1e-6); }, 0.0, 1.0},
      {"oscillating", [](double x) { return std::sin(60.0 * x) * std::exp(x); }, 0.0, 3.0},
      {"step", [](double x) { return x < 0.4142 ? 1.0 : 2.0; }, 0.0, 1.0},
      {"reversed limits", [](double x) { return std::sqrt(x) * std::exp(-x); }, 2.0, 0.0},
      {"tight tolerance (roundoff)", [](double x) { return std::pow(x, -0.9); }, 0.0, 1.0, 2e-14},
      {"iteration limit", [](double x) { return std::sin(1.0 / (x + 1e-3)); }, 0.0, 1.0, 1e-7, 6},
      {"one interval", [](double x) { return std::exp(-40.0 * x); }, 0.0, 1.0, 1e-7, 1},
      {"divergent", [](double x) { return 1.0 / x; }, 0.0, 1.0},
      {"negative", [](double x) { return -std::exp(-10.0 * x) / std::sqrt(x); }, 0.0, 1.0},
  };
}

}  // namespace

TEST(QagsReplica, SameBitsAndSamplesAsGsl) {
  for (const test_case& c : cases()) {
    integrand f{c.f};
    const gsl_run g = run_gsl(f, c.a, c.b, c.epsrel, c.limit);
    const vd::replica_result r =
        run_replica(f, c.a, c.b, c.epsrel, c.limit, vd::replica_goal::value);
    EXPECT_EQ(bits(r.value), bits(g.result)) << c.name << ": " << r.value << " " << g.result;
    EXPECT_EQ(r.evaluations, g.calls) << c.name;
    EXPECT_EQ(f.calls, g.calls) << c.name;
    EXPECT_EQ(r.is_nan, std::isnan(g.result)) << c.name;
  }
}

TEST(QagsReplica, RefusesWhatGslRefuses) {
  // A subdivision limit beyond the workspace (1000 intervals) or a
  // tolerance GSL cannot reach: no integration, the result 0.
  integrand f{[](double x) { return x; }};
  EXPECT_EQ(run_replica(f, 0.0, 1.0, 1e-7, 1001, vd::replica_goal::value).value, 0.0);
  EXPECT_EQ(run_replica(f, 0.0, 1.0, 1e-7, 0, vd::replica_goal::value).value, 0.0);
  EXPECT_EQ(run_replica(f, 0.0, 1.0, 1e-16, 1000, vd::replica_goal::value).value, 0.0);
  EXPECT_EQ(f.calls, 0u);
  EXPECT_EQ(run_gsl(f, 0.0, 1.0, 1e-16, 1000).result, 0.0);
}

TEST(QagsReplica, NanRangesAnywhereInTheRange) {
  // An integrand that is NaN from some x on (as the transmission is above
  // the barrier top), steep below it, at thresholds from the first rule's
  // largest node to the end of the range. With the range told, the replica
  // stops early and still gives GSL's result (NaN, or the extrapolation
  // accepted before the NaN), and its NaN-ness alone sooner still.
  int nan_results = 0;
  int number_results = 0;
  for (const double steepness : {3.0, 20.0, 60.0}) {
    for (int k = 0; k <= 400; ++k) {
      const double threshold = 0.995 + 0.005 * k / 400.0 + (k % 7) * 1e-9;
      integrand f{[steepness](double x) { return std::exp(-steepness * (1.0 - x)); }, threshold};
      const gsl_run g = run_gsl(f, 0.0, 1.0, 1e-7, 1000);

      // The integrand alone: every sample as GSL takes it.
      const vd::replica_result plain =
          run_replica(f, 0.0, 1.0, 1e-7, 1000, vd::replica_goal::value);
      EXPECT_EQ(bits(plain.value), bits(g.result)) << steepness << " " << threshold;
      EXPECT_EQ(plain.evaluations, g.calls);

      f.tell_nan_range = true;
      const vd::replica_result told = run_replica(f, 0.0, 1.0, 1e-7, 1000, vd::replica_goal::value);
      const vd::replica_result nan_ness =
          run_replica(f, 0.0, 1.0, 1e-7, 1000, vd::replica_goal::nan_ness);
      ASSERT_EQ(told.is_nan, std::isnan(g.result)) << steepness << " " << threshold;
      ASSERT_EQ(nan_ness.is_nan, std::isnan(g.result)) << steepness << " " << threshold;
      EXPECT_EQ(bits(told.value), bits(g.result)) << steepness << " " << threshold;
      EXPECT_LE(told.evaluations, g.calls);
      EXPECT_LE(nan_ness.evaluations, told.evaluations);
      if (std::isnan(g.result)) {
        ++nan_results;
        EXPECT_LT(told.evaluations, g.calls);
      } else {
        ++number_results;
      }
    }
  }
  EXPECT_GT(nan_results, 100);
  EXPECT_GT(number_results, 100);
}

TEST(QagsReplica, NumberAfterANanSample) {
  // Singular at both ends and NaN just below 1 (found by a random search):
  // GSL samples the NaN only after it has accepted an extrapolated result,
  // and that result is its answer. The replica stops at the NaN with it.
  const auto f_of = [](double x) {
    constexpr double p = -0.514148;
    return std::pow(x, p) + std::pow(1.0 - x + 1e-9, p) + 0.194229 * std::exp(-116.011 * (1.0 - x));
  };
  integrand f{f_of, 0.999991429679};
  const gsl_run g = run_gsl(f, 0.0, 1.0, 1.45e-9, 1000);
  ASSERT_FALSE(std::isnan(g.result));
  ASSERT_GT(f.nan_calls, 0u);
  f.tell_nan_range = true;
  const vd::replica_result told = run_replica(f, 0.0, 1.0, 1.45e-9, 1000, vd::replica_goal::value);
  EXPECT_EQ(bits(told.value), bits(g.result));
  EXPECT_FALSE(told.is_nan);
  EXPECT_LT(told.evaluations, g.calls);
  EXPECT_FALSE(run_replica(f, 0.0, 1.0, 1.45e-9, 1000, vd::replica_goal::nan_ness).is_nan);
}

TEST(QagsReplica, NanOnTheFirstRule) {
  // NaN from 0.9 on: the first rule's largest node (0.99783) meets it.
  integrand f{[](double x) { return x; }, 0.9, true};
  const vd::replica_result r = run_replica(f, 0.0, 1.0, 1e-7, 1000, vd::replica_goal::nan_ness);
  EXPECT_TRUE(r.is_nan);
  EXPECT_EQ(r.evaluations, 0u);
  EXPECT_TRUE(std::isnan(run_gsl(f, 0.0, 1.0, 1e-7, 1000).result));
}

TEST(QagsReplica, NumberOnceAnExtrapolationIsAccepted) {
  // log(x)/sqrt(x) needs extrapolation, and more work after the first one
  // is accepted; no NaN range: the NaN-ness alone is known at that first
  // acceptance, before the integration ends.
  integrand f{[](double x) { return std::log(x) / std::sqrt(x); }};
  const vd::replica_result whole = run_replica(f, 0.0, 1.0, 1e-7, 1000, vd::replica_goal::value);
  const vd::replica_result nan_ness =
      run_replica(f, 0.0, 1.0, 1e-7, 1000, vd::replica_goal::nan_ness);
  EXPECT_FALSE(nan_ness.is_nan);
  EXPECT_TRUE(std::isnan(nan_ness.value));  // not known when it stopped
  EXPECT_LT(nan_ness.evaluations, whole.evaluations);
  EXPECT_NEAR(whole.value, -4.0, 1e-6);
}
