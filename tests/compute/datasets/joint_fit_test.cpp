#include "compute/datasets/joint_fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"

using namespace veltrane;

namespace {

// Kingham-like steps: Q_j falls from 1 to 0 around its own field and has no
// value from an over-barrier field on; `shift` moves a second element's
// curves.
model_function stand_in(double shift) {
  return [shift](double F, double, double, int, int j, double, double) {
    static constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
    static constexpr double barrier[] = {26.0, 42.0, 66.0, 95.0};
    const double E = F * vnm_per_au;
    const auto i = static_cast<std::size_t>(j) - 1;
    if (E >= barrier[i] + shift) return std::nan("");
    const double x = (E - half[i] - shift) * 0.8;
    if (x < -30.0) return 1.0;
    return 1.0 / (1.0 + std::exp(x));
  };
}

calc_request request_of(const char* element, int n) {
  return *check_request({element, std::to_string(n), std::nullopt, std::nullopt}).request;
}

// Two elements at three charges each, 1+ to 3+, every charge state in a
// range of its own but one range that holds 3+ of the first and 2+ of the
// second (as 54Fe2+ and 27Al+ share 27 Da).
struct two_elements {
  charge_states first{request_of("Tungsten", 2), stand_in(0.0), 1};
  charge_states second{request_of("Iron", 2), stand_in(4.0), 1};
  fraction_curves c1{first, 1.0, 120.0, 0.1};
  fraction_curves c2{second, 1.0, 120.0, 0.1};
  joint_problem problem;

  two_elements() {
    problem.curves = {&c1, &c2};
    problem.shares = share_matrix(6, 6);
    problem.species = {{0, 1}, {0, 2}, {0, 3}, {1, 1}, {1, 2}, {1, 3}};
    auto& a = problem.shares;
    a(0, 0) = 1.0;  // 1+ of the first
    a(1, 1) = 1.0;  // 2+ of the first
    a(2, 2) = 0.7;  // 3+ of the first, most isotopes ...
    a(3, 2) = 0.3;  // ... and the rest shared with 2+ of the second
    a(3, 4) = 0.6;
    a(4, 4) = 0.4;  // 2+ of the second, its other isotopes
    a(5, 5) = 1.0;  // 3+ of the second
    a(4, 3) = 0.0;
    a(5, 3) = 0.0;
    // 1+ of the second in a range with nothing else
    problem.shares = a;
  }

  // The expected counts of N1 and N2 ions at the fields E1 and E2.
  std::vector<double> means(double N1, double E1, double N2, double E2) const {
    std::vector<double> f1(3), f2(3), A(6);
    c1.fractions_at(E1, f1);
    c2.fractions_at(E2, f2);
    for (int q = 0; q < 3; ++q) {
      A[static_cast<std::size_t>(q)] = N1 * f1[static_cast<std::size_t>(q)];
      A[static_cast<std::size_t>(q) + 3] = N2 * f2[static_cast<std::size_t>(q)];
    }
    return poisson_means(problem.shares, A, {});
  }
};

field_search whole_range() {
  field_search s;
  s.from = 1.0;
  s.to = 120.0;
  return s;
}

}  // namespace

TEST(JointFit, FieldOfNoiseFreeCountsIsTheFieldTheyWereMadeAt) {
  two_elements run;
  fit_counts counts{run.means(1e5, 33.0, 4e4, 33.0), {}};
  field_profile_likelihood profile(run.problem, counts, {true, true});
  const likelihood_field f = maximise_field(profile, whole_range());
  ASSERT_TRUE(f.found);
  EXPECT_NEAR(f.E, 33.0, 1e-4);
  EXPECT_NEAR(f.element_amounts[0], 1e5, 1.0);
  EXPECT_NEAR(f.element_amounts[1], 4e4, 1.0);
  EXPECT_LT(f.low, f.E);
  EXPECT_GT(f.high, f.E);
  // Nothing to disagree about: G^2 = 0, p = 1.
  const agreement_test t =
      likelihood_ratio_test(profile.free_log_likelihood(), f.log_likelihood, 3);
  EXPECT_NEAR(t.G2, 0.0, 1e-6);
  EXPECT_NEAR(t.p_value, 1.0, 1e-6);
  // The same from a start near it, as a bin starts from its run.
  field_search near = whole_range();
  near.start = 30.0;
  EXPECT_NEAR(maximise_field(profile, near).E, f.E, 1e-5);
}

TEST(JointFit, IntervalEndsLieWhereTheProfileFallsByTheQuantile) {
  two_elements run;
  std::vector<double> n = run.means(2e3, 34.0, 1e3, 34.0);
  for (double& x : n) x = std::round(x);
  fit_counts counts{n, {}};
  field_profile_likelihood profile(run.problem, counts, {true, true});
  const likelihood_field f = maximise_field(profile, whole_range());
  // The top: no field within a small step does better.
  for (double d : {-0.01, -1e-3, 1e-3, 0.01}) EXPECT_LE(profile(f.E + d), f.log_likelihood + 1e-9);
  // 95 %: 3.841459 / 2 below the top at both ends, and above it inside.
  const double cut = f.log_likelihood - 3.841458820694124 / 2.0;
  EXPECT_NEAR(profile(f.low), cut, 1e-4);
  EXPECT_NEAR(profile(f.high), cut, 1e-4);
  EXPECT_GT(profile(0.5 * (f.low + f.E)), cut);
  EXPECT_LT(profile(f.low - 0.05), cut);
  EXPECT_LT(profile(f.high + 0.05), cut);
}

TEST(JointFit, IntervalHoldsTheTrueFieldAsOftenAsItSaysAndPValuesAreUniform) {
  two_elements run;
  const std::vector<double> mu = run.means(3e3, 33.5, 2e3, 33.5);
  std::mt19937_64 rng(42);
  const int runs = 300;
  int covered = 0, below_tenth = 0;
  for (int k = 0; k < runs; ++k) {
    fit_counts counts;
    for (double m : mu)
      counts.counts.push_back(static_cast<double>(std::poisson_distribution<long>(m)(rng)));
    field_profile_likelihood profile(run.problem, counts, {true, true});
    field_search s = whole_range();
    s.start = 33.0;
    const likelihood_field f = maximise_field(profile, s);
    if (f.low <= 33.5 && 33.5 <= f.high) ++covered;
    // Four charge states with ions at this field (1+ of both lies above its
    // over-barrier field), two elements, one field: 1 degree of freedom.
    const agreement_test t =
        likelihood_ratio_test(profile.free_log_likelihood(), f.log_likelihood, 1);
    if (t.p_value < 0.1) ++below_tenth;
  }
  // Binomial(300, 0.95): sd 3.8; (300, 0.1): sd 5.2. Four of them either side.
  EXPECT_NEAR(covered, 285, 15);
  EXPECT_NEAR(below_tenth, 30, 21);
}

TEST(JointFit, ElementDrawnAtAnotherFieldIsRejected) {
  two_elements run;
  std::vector<double> n = run.means(2e4, 33.0, 2e4, 36.0);
  for (double& x : n) x = std::round(x);
  fit_counts counts{n, {}};
  field_profile_likelihood joint(run.problem, counts, {true, true});
  const likelihood_field f = maximise_field(joint, whole_range());
  const agreement_test t = likelihood_ratio_test(joint.free_log_likelihood(), f.log_likelihood, 3);
  EXPECT_LT(t.p_value, 1e-6);
  // Each element alone, the other free, finds its own field.
  field_profile_likelihood first(run.problem, counts, {true, false});
  field_profile_likelihood second(run.problem, counts, {false, true});
  EXPECT_NEAR(maximise_field(first, whole_range()).E, 33.0, 0.05);
  EXPECT_NEAR(maximise_field(second, whole_range()).E, 36.0, 0.05);
}

TEST(JointFit, StateObservedWhereTheModelGivesItNothingGivesNoNaN) {
  // 1+ counted, but above its over-barrier field (26 V/nm) no ion is 1+:
  // the likelihood is -inf there, and the fit sits below the edge.
  two_elements run;
  std::vector<double> n = run.means(1e4, 30.0, 1e4, 30.0);
  n[0] = 50.0;
  fit_counts counts{n, {}};
  field_profile_likelihood profile(run.problem, counts, {true, true});
  EXPECT_EQ(profile(30.0), -std::numeric_limits<double>::infinity());
  const likelihood_field f = maximise_field(profile, whole_range());
  ASSERT_TRUE(f.found);
  EXPECT_FALSE(std::isnan(f.E));
  // (The over-barrier field is located to 1e-4 V/nm.)
  EXPECT_LT(f.E, 26.0 + 1e-4);
  EXPECT_GT(f.E, 25.5);
  const agreement_test t =
      likelihood_ratio_test(profile.free_log_likelihood(), f.log_likelihood, 3);
  EXPECT_LT(t.p_value, 1e-6);
  // Counts no field can give at all: no field, no NaN field claimed.
  fit_counts impossible{std::vector<double>(6, 0.0), {}};
  impossible.counts[0] = 10.0;  // 1+ of the first ...
  impossible.counts[5] = 10.0;  // ... and 3+ of the second, in no field together
  field_profile_likelihood none(run.problem, impossible, {true, true});
  const likelihood_field g = maximise_field(none, whole_range());
  EXPECT_TRUE(!g.found || std::isfinite(g.log_likelihood));
}
