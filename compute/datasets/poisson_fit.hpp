#pragma once

// The counts of the ranges of a mass spectrum explained by non-negative
// amounts of the ions that may sit in them:
//   n_r ~ Poisson(mu_r),   mu_r = b_r + sum_s a_rs A_s,
// with a_rs >= 0 the share of the ions of species s that falls in range r
// (the summed natural abundance of its isotopes there), A_s the number of
// ions of s, all isotopes included, and b_r a known background. The
// log-likelihood sum_r n_r ln mu_r - mu_r is concave in A, so its maximum
// over A >= 0 is one point in mu and is found by Fisher scoring.

#include <cstddef>
#include <span>
#include <vector>

namespace veltrane {

/// The shares a_rs of a linear Poisson model: one row per range, one column
/// per species; every share 0 or above.
class share_matrix {
 public:
  share_matrix() = default;
  share_matrix(std::size_t ranges, std::size_t species)
      : ranges_(ranges), species_(species), a_(ranges * species, 0.0) {}

  std::size_t ranges() const { return ranges_; }
  std::size_t species() const { return species_; }
  double& operator()(std::size_t r, std::size_t s) { return a_[r * species_ + s]; }
  double operator()(std::size_t r, std::size_t s) const { return a_[r * species_ + s]; }
  /// The matrix of the columns `which`, in that order.
  share_matrix columns(std::span<const std::size_t> which) const;

 private:
  std::size_t ranges_ = 0, species_ = 0;
  std::vector<double> a_;
};

/// sum_r n_r ln mu_r - mu_r (the terms of the counts alone left out):
/// -infinity when a range with counts has no mean.
double poisson_log_likelihood(std::span<const double> counts, std::span<const double> means);

/// The deviance 2 sum_r [n_r ln(n_r / mu_r) - (n_r - mu_r)] of means
/// against the counts themselves (n ln n = 0 for n = 0); infinity when a
/// range with counts has no mean.
double poisson_deviance(std::span<const double> counts, std::span<const double> means);

/// mu_r = b_r + sum_s a_rs A_s. An empty background is 0.
std::vector<double> poisson_means(const share_matrix& a, std::span<const double> amounts,
                                  std::span<const double> background);

struct amounts_fit {
  std::vector<double> amounts;  ///< A_s >= 0
  std::vector<double> means;    ///< mu_r at them
  double log_likelihood = 0.0;  ///< poisson_log_likelihood there
  int iterations = 0;
  bool converged = false;  ///< the scoring met its tolerance
};

/// The amounts A >= 0 of greatest likelihood. Counts and background are one
/// per range (background may be empty: none). `start`, when given (one per
/// species, each >= 0), is where the search begins: the amounts of a
/// neighbouring problem make it converge in a step or two. Columns that the
/// ranges cannot tell apart (see separability_of) share their amount in an
/// arbitrary way; the means and the likelihood are still the maximum's.
amounts_fit fit_amounts(const share_matrix& a, std::span<const double> counts,
                        std::span<const double> background, std::span<const double> start = {});

/// Which species the ranges can tell apart. A species is inseparable when
/// some combination of species that includes it leaves every range's mean
/// unchanged (its share column lies in the span of others': all its
/// isotopes share ranges with other species in the same proportions); only
/// the group's joint contribution is then known.
struct separability {
  std::vector<bool> separable;  ///< one per species
  /// The inseparable species, grouped by the combinations that tie them
  /// (each group sorted, groups by their first species).
  std::vector<std::vector<std::size_t>> groups;
  /// A largest set of independent columns, in increasing order: fitting
  /// them alone gives the same means as fitting all.
  std::vector<std::size_t> basis;
};
separability separability_of(const share_matrix& a);

/// The standard errors of the amounts from the inverse of the Fisher
/// information I_st = sum_r a_rs a_rt / mu_r (ranges with mu_r = 0 left
/// out), over the species `which`; NaN for the others, for a species none of
/// whose ranges has a mean, and for all when the information is singular.
std::vector<double> amount_errors(const share_matrix& a, std::span<const double> means,
                                  std::span<const std::size_t> which);

}  // namespace veltrane
