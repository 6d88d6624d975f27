#include "compute/datasets/poisson_fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace veltrane;

namespace {

// Noise-free counts: the means of the amounts themselves.
std::vector<double> means_of(const share_matrix& a, const std::vector<double>& A,
                             const std::vector<double>& b = {}) {
  return poisson_means(a, A, b);
}

// Iron 2+ (54, 56, 57 at 27, 28, 28.5 Da) and silicon 1+ (28, 29, 30) with
// 56Fe2+ and 28Si+ in one range at 28 Da: five ranges, two species.
share_matrix iron_and_silicon() {
  share_matrix a(5, 2);
  a(0, 0) = 0.05845;  // 54Fe2+
  a(1, 0) = 0.91754;  // 56Fe2+ ...
  a(1, 1) = 0.92223;  // ... and 28Si+
  a(2, 0) = 0.02119;  // 57Fe2+
  a(3, 1) = 0.04685;  // 29Si+
  a(4, 1) = 0.03092;  // 30Si+
  return a;
}

}  // namespace

TEST(PoissonFit, AmountsOfSeparateAndSharedPeaksFromTheirOwnMeans) {
  // Without overlap each amount is its counts over its share; with 56Fe2+
  // and 28Si+ in one range the other isotopes tell them apart.
  share_matrix a(2, 2);
  a(0, 0) = 0.5;
  a(1, 1) = 0.25;
  const std::vector<double> n{100.0, 30.0};
  const amounts_fit plain = fit_amounts(a, n, {});
  ASSERT_TRUE(plain.converged);
  EXPECT_NEAR(plain.amounts[0], 200.0, 1e-7);
  EXPECT_NEAR(plain.amounts[1], 120.0, 1e-7);

  const share_matrix fe_si = iron_and_silicon();
  const std::vector<double> truth{50000.0, 3000.0};
  const amounts_fit fit = fit_amounts(fe_si, means_of(fe_si, truth), {});
  ASSERT_TRUE(fit.converged);
  EXPECT_NEAR(fit.amounts[0], truth[0], 1e-5 * truth[0]);
  EXPECT_NEAR(fit.amounts[1], truth[1], 1e-5 * truth[1]);
  EXPECT_NEAR(poisson_deviance(means_of(fe_si, truth), fit.means), 0.0, 1e-8);
}

TEST(PoissonFit, KnownBackgroundIsNotGivenToAnySpecies) {
  share_matrix a(2, 1);
  a(0, 0) = 0.6;
  a(1, 0) = 0.4;
  const std::vector<double> b{15.0, 5.0};
  const amounts_fit fit = fit_amounts(a, means_of(a, {1000.0}, b), b);
  EXPECT_NEAR(fit.amounts[0], 1000.0, 1e-6);
  EXPECT_NEAR(fit.means[0], 615.0, 1e-6);
}

TEST(PoissonFit, AmountsStayAtZeroWhereTheRangesAreEmpty) {
  // Silicon's own ranges are empty and the shared one is explained by iron:
  // silicon's amount is 0, not negative, and the fit says it converged.
  share_matrix a = iron_and_silicon();
  std::vector<double> n = means_of(a, {50000.0, 0.0});
  n[1] += 40.0;  // a little more at 28 Da than iron explains
  const amounts_fit fit = fit_amounts(a, n, {});
  ASSERT_TRUE(fit.converged);
  EXPECT_GE(fit.amounts[1], 0.0);
  EXPECT_LT(fit.amounts[1], 60.0);
  // With nothing at all counted, every amount is 0 and the likelihood is 0.
  const amounts_fit none = fit_amounts(a, std::vector<double>(5, 0.0), {});
  EXPECT_EQ(none.amounts[0], 0.0);
  EXPECT_EQ(none.amounts[1], 0.0);
  EXPECT_EQ(none.log_likelihood, 0.0);
}

TEST(PoissonFit, WarmStartReachesTheSameMaximum) {
  const share_matrix a = iron_and_silicon();
  const std::vector<double> n{2900.0, 47000.0, 1100.0, 150.0, 80.0};
  const amounts_fit cold = fit_amounts(a, n, {});
  const std::vector<double> near{cold.amounts[0] * 1.01, cold.amounts[1] * 0.97};
  const amounts_fit warm = fit_amounts(a, n, {}, near);
  EXPECT_NEAR(warm.log_likelihood, cold.log_likelihood, 1e-8);
  EXPECT_LE(warm.iterations, 4);
  // A warm start that leaves a counted range without a mean starts anew.
  const amounts_fit restarted = fit_amounts(a, n, {}, std::vector<double>{0.0, 0.0});
  EXPECT_NEAR(restarted.log_likelihood, cold.log_likelihood, 1e-8);
}

TEST(PoissonFit, LikelihoodAndDevianceWhereARangeHasCountsButNoMean) {
  const std::vector<double> n{3.0, 0.0};
  EXPECT_EQ(poisson_log_likelihood(n, std::vector<double>{0.0, 1.0}),
            -std::numeric_limits<double>::infinity());
  EXPECT_EQ(poisson_deviance(n, std::vector<double>{0.0, 1.0}),
            std::numeric_limits<double>::infinity());
  // A range without counts and without mean adds nothing.
  EXPECT_NEAR(poisson_log_likelihood(n, std::vector<double>{3.0, 0.0}), 3.0 * std::log(3.0) - 3.0,
              1e-15);
  EXPECT_EQ(poisson_deviance(n, std::vector<double>{3.0, 0.0}), 0.0);
}

TEST(PoissonFit, SpeciesInTheSameProportionsEverywhereAreInseparable) {
  // 54Fe+ and 54Cr+ alone at 54 Da, and a third species of its own:
  // the first two are one group, the third is separable.
  share_matrix a(3, 3);
  a(0, 0) = 0.05845;
  a(0, 1) = 0.02365;
  a(1, 2) = 0.5;
  a(2, 2) = 0.5;
  const separability sep = separability_of(a);
  EXPECT_FALSE(sep.separable[0]);
  EXPECT_FALSE(sep.separable[1]);
  EXPECT_TRUE(sep.separable[2]);
  ASSERT_EQ(sep.groups.size(), 1u);
  EXPECT_EQ(sep.groups[0], (std::vector<std::size_t>{0, 1}));
  EXPECT_EQ(sep.basis.size(), 2u);

  // Two isotopes each, in proportion 2:1 for both species: still one group.
  share_matrix b(2, 2);
  b(0, 0) = 0.4;
  b(1, 0) = 0.2;
  b(0, 1) = 0.6;
  b(1, 1) = 0.3;
  EXPECT_EQ(separability_of(b).groups.size(), 1u);
  // In other proportions they separate.
  b(1, 1) = 0.31;
  EXPECT_TRUE(separability_of(b).groups.empty());
  // A third species equal to the sum of two others ties all three.
  share_matrix c(3, 3);
  c(0, 0) = 1.0;
  c(1, 1) = 1.0;
  c(0, 2) = 0.5;
  c(1, 2) = 0.5;
  c(2, 0) = 0.0;
  const separability three = separability_of(c);
  ASSERT_EQ(three.groups.size(), 1u);
  EXPECT_EQ(three.groups[0].size(), 3u);
  // Iron and silicon as above are separable.
  EXPECT_TRUE(separability_of(iron_and_silicon()).groups.empty());
}

TEST(PoissonFit, ErrorsOfSeparatePeaksAreTheSquareRootOfTheirCounts) {
  share_matrix a(2, 2);
  a(0, 0) = 1.0;
  a(1, 1) = 0.5;
  const std::vector<double> mu{400.0, 50.0};
  const std::vector<std::size_t> both{0, 1};
  const std::vector<double> sigma = amount_errors(a, mu, both);
  EXPECT_NEAR(sigma[0], 20.0, 1e-12);
  EXPECT_NEAR(sigma[1], std::sqrt(50.0) / 0.5, 1e-12);
  const std::vector<std::size_t> first{0};
  EXPECT_TRUE(std::isnan(amount_errors(a, mu, first)[1]));
}

TEST(PoissonFit, StatedErrorsHoldTheTruthAsOftenAsTheySay) {
  // 28Si+ under 56Fe2+: over simulated runs the amount of silicon lies
  // within one standard error of the truth in about 68 % of them.
  const share_matrix a = iron_and_silicon();
  const std::vector<double> truth{20000.0, 2000.0};
  const std::vector<double> mu = means_of(a, truth);
  std::mt19937_64 rng(20261209);
  int within = 0;
  const int runs = 400;
  const std::vector<std::size_t> both{0, 1};
  for (int k = 0; k < runs; ++k) {
    std::vector<double> n(mu.size());
    for (std::size_t r = 0; r < mu.size(); ++r) {
      n[r] = static_cast<double>(std::poisson_distribution<long>(mu[r])(rng));
    }
    const amounts_fit fit = fit_amounts(a, n, {});
    const double sigma = amount_errors(a, fit.means, both)[1];
    if (std::abs(fit.amounts[1] - truth[1]) <= sigma) ++within;
  }
  // Binomial(400, 0.683): 4 standard deviations either side.
  EXPECT_GT(within, 273 - 37);
  EXPECT_LT(within, 273 + 37);
}
