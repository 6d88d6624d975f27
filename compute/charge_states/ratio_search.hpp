#pragma once

// The field of a measured ratio of neighbouring charge states: the model's
// ratios r_k on a scan of fields, every crossing of the measured value, and
// from counts the same for the ends of the counting interval. One answer at
// a time, with every crossing; many ratios at once go through
// ratio_inversion.hpp.

#include <optional>
#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

/// One field where a neighbouring-state ratio crosses the value asked for.
struct ratio_crossing {
  double E = 0.0;      ///< V/nm, to the search's tolerance or better
  bool rising = true;  ///< the ratio rises through the value here
};

/// The fields at which r_k = f(k+1)/f(k) takes a value, with what is needed
/// to say so.
struct ratio_fields {
  int k = 1;                                ///< the pair k+ and (k+1)+
  double ratio = 0.0;                       ///< r asked for
  std::vector<ratio_crossing> crossings;    ///< in rising field; empty: not reached
  bool monotonic = true;                    ///< r_k never fell on the scan
  double range_from = 0.0, range_to = 0.0;  ///< the searched fields, V/nm
  double lowest = 0.0, highest = 0.0;       ///< the finite ratios met there
  /// The answer: the lowest field where r_k rises through `ratio`.
  std::optional<double> field() const;
  /// True when the answer is not the only field of the ratio: r_k falls
  /// somewhere on the scan, or crosses the ratio more than once.
  bool ambiguous() const { return !monotonic || crossings.size() > 1; }
  /// "3+/2+ = 0.8 is not reached between 1 and 38.83 V/nm: the model's ratios
  /// there run from 1.2e-05 to 6.3 (and are infinite from 38.83 V/nm on)."
  std::string unreachable_message(const answer_numbers& numbers = plain_answer_numbers()) const;
};

/// A field estimate from counts, with its interval from counting statistics.
struct counted_field {
  int k = 1;
  double count_lower = 0, count_upper = 0;  ///< N(k+), N((k+1)+)
  double confidence = default_confidence;
  double ratio = 0.0, ratio_low = 0.0, ratio_high = 0.0;  ///< from Wilson's interval
  ratio_fields estimate, low, high;
};

/// The fields between 1 V/nm and the over-barrier field of k where r_k of
/// `states` crosses `ratio`: a scan in steps of 0.5 V/nm, then bisection to
/// the states' ratio tolerance.
/// Throws input_refused when the scan would exceed max_fraction_fields
/// fields (an over-barrier field far beyond any real one).
ratio_fields field_from_ratio(charge_states& states, int k, double ratio);

/// The equal-abundance field of k+ and (k+1)+: where r_k = 1.
ratio_fields equal_abundance(charge_states& states, int k);

/// The field from counts of k+ and (k+1)+, with the interval of the
/// binomial proportion N(k+1)/(N(k) + N(k+1)) by Wilson's score method at
/// `confidence`, mapped through r = p/(1 - p). Counting statistics only.
counted_field field_from_counts(charge_states& states, int k, double count_lower,
                                double count_upper, double confidence = default_confidence);

}  // namespace veltrane
