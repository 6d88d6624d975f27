#pragma once

// One field from the ranges of several elements at once. Each range's count
// is Poisson with mean
//   mu_r = b_r + sum_e N_e sum_q f_eq(F) a_r,eq + sum_s A_s a_rs,
// the first sum over the elements tied to the field (their charge states in
// the proportions of the model at F, N_e ions of each element in all), the
// second over the species left free (ions of other elements, molecules,
// names that are no element, charge states beyond the model's). For every
// F the amounts are the likelihood's maximum (profiled out); F maximises
// what is left, and its interval is where that profile stays within the
// chi-square quantile of the top.

#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "compute/charge_states/fraction_curves.hpp"
#include "compute/datasets/poisson_fit.hpp"

namespace veltrane {

/// One column of the share matrix: a charge state of an element that may
/// be tied to the field (element >= 0, an index into the curves), or a
/// species that is always free (element = -1).
struct fit_species {
  int element = -1;
  int charge = 0;
};

/// The ranges, the species that may sit in them and the model of every
/// element: what stays the same from bin to bin of a map.
struct joint_problem {
  share_matrix shares;                         ///< ranges x species
  std::vector<fit_species> species;            ///< one per column
  std::vector<const fraction_curves*> curves;  ///< one per element
};

/// The counts of one fit: the whole run, a bin or a block.
struct fit_counts {
  std::vector<double> counts;      ///< one per range
  std::vector<double> background;  ///< one per range, or empty
};

/// A field of greatest likelihood and its interval (V/nm).
struct likelihood_field {
  bool found = false;  ///< false: the likelihood is nowhere finite
  /// NaN when the top is a plateau that reaches an end of the fields
  /// searched: the counts bound the field on one side only (the interval's
  /// other end is then infinite).
  double E = 0.0;
  /// Where the likelihood is highest (on a plateau, one such field): the
  /// field the amounts and means below belong to.
  double top = 0.0;
  /// Interval ends; -inf / inf where the likelihood stays above the cut to
  /// the end of the fields searched.
  double low = 0.0, high = 0.0;
  double log_likelihood = 0.0;  ///< at E
  /// The amounts at E: N_e for each tied element (by element), A_s for
  /// each free species (by column; 0 for tied columns).
  std::vector<double> element_amounts, species_amounts;
  std::vector<double> means;  ///< mu_r at E
};

/// The profile log-likelihood of F with the elements `tied` (one flag per
/// element) tied to F and every other column free. Remembers the amounts of
/// the last field asked for, so that neighbouring fields converge at once.
class field_profile_likelihood {
 public:
  field_profile_likelihood(const joint_problem& problem, const fit_counts& counts,
                           std::vector<bool> tied);

  /// The profile log-likelihood at E (V/nm): -inf where some range with
  /// counts can have no ions at E.
  double operator()(double E);
  /// The amounts and means at E.
  likelihood_field at(double E);
  /// The log-likelihood with every column free: the charge states'
  /// amounts of their own, the top any field can reach.
  double free_log_likelihood() const;

 private:
  share_matrix columns_at(double E) const;
  void amounts_into(const amounts_fit& fit, likelihood_field& out) const;

  const joint_problem* problem_;
  const fit_counts* counts_;
  std::vector<bool> tied_;
  std::vector<std::size_t> free_columns_;  // columns not tied, in order
  std::vector<int> tied_elements_;         // elements tied, in order
  std::vector<double> warm_;
  mutable std::vector<double> f_;  // fractions scratch
};

/// Where to look for the field and to what precision.
struct field_search {
  double from = 1.0, to = 100.0;  ///< V/nm
  /// A field near which to start (the whole run's, for a bin); NaN: scan
  /// the whole range in `coarse_step` steps first.
  double start = std::numeric_limits<double>::quiet_NaN();
  double coarse_step = 0.5;  ///< V/nm
  double tolerance = 1e-6;   ///< V/nm, of the field and the interval ends
  double confidence = 0.95;
};

/// The field of greatest profile likelihood and its interval.
likelihood_field maximise_field(field_profile_likelihood& profile, const field_search& search);

/// The likelihood-ratio test of the tied fit against the free one: G^2 =
/// 2 (free - tied) >= 0 and its chi-square p-value with `dof` degrees of
/// freedom (NaN when dof < 1).
struct agreement_test {
  double G2 = 0.0;
  int dof = 0;
  double p_value = 0.0;
};
agreement_test likelihood_ratio_test(double free_log_likelihood, double tied_log_likelihood,
                                     int dof);

}  // namespace veltrane
