#pragma once

// Many measured ratios of one pair of neighbouring states inverted at once:
// the model's ratio curve r_k(E) is tabulated once, each ratio's field read
// off it and checked with the model. Also the ratio of counts and its
// counting interval (Wilson's score interval of the share of the higher
// state), and the fields of many such counts at once.

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/counting_stats.hpp"

namespace veltrane {

/// The inversion of r_k(E) for many ratios at once. The ratios of the model
/// are tabulated once with fraction_table_at on the fields 1, 1.01, 1.02 ...
/// V/nm up to the over-barrier field of k (where r_k becomes infinite; or the
/// end of the search of field_from_ratio when there is none), and on the two
/// fields around the edge where the ratio ends, found to a quarter of the
/// tolerance (so the table's last steps are uneven). A ratio's field is, as
/// field_from_ratio gives it, the lowest field where r_k rises through it:
/// the table's first such step, inside it a cubic through the logarithms of
/// the four nearest ratios, then checked with the model to the tolerance on
/// either side of the answer (and bisected with the model within the step
/// where that fails). Where the curve is smooth the check is not needed: a
/// cubic's error is g''''/24 times the product of the distances to its four
/// nodes, and the fourth divided differences of log r over the five fields
/// on either side give g''''/24. When both say that the cubic's field lies
/// within a thousandth of the tolerance of the model's own (and log r rises
/// through all six fields at a rate that changes by at most a quarter
/// across the step and its neighbours), the check would pass and give the
/// cubic's field unchanged; it is taken without the two model calls. Near a
/// kink, an edge, an inflection or a band without values the check is made.
class ratio_inverter {
 public:
  /// Which estimates the model checks.
  enum class checks {
    where_not_smooth,  ///< all but those the table's smoothness settles
    every_estimate,    ///< all of them
  };

  /// The inversion of r_k of `states` (which must outlive the inverter).
  /// `tolerance`: V/nm to which each field is certain. Throws input_refused
  /// for a pair that is not one of the request's (1 <= k <= n), and what
  /// charge_states throws.
  ratio_inverter(charge_states& states, int k, double tolerance = 1e-6,
                 checks checked = checks::where_not_smooth);

  int k() const { return k_; }
  charge_states& states() const { return *states_; }
  /// The fields of the table (V/nm) and r_k there. The table is made on
  /// first use (here or by fields_of).
  const std::vector<double>& fields() {
    tabulate();
    return E_;
  }
  const std::vector<double>& ratios() {
    tabulate();
    return r_;
  }

  /// The field of each ratio (V/nm): NaN where no field has it (0, infinite,
  /// NaN, or beyond every ratio of the model). Identical ratios are
  /// inverted once.
  std::vector<double> fields_of(const std::vector<double>& ratios);
  /// Of the distinct ratios of the last fields_of, how many the table's
  /// smoothness settled without a model check.
  std::size_t settled_unchecked() const { return settled_unchecked_; }

 private:
  // A ratio on its way to a field: bracketed by a field below it (lo) and
  // one not below it (hi), E the field so far; slot: its place among the
  // distinct ratios.
  struct pending {
    double ratio;
    std::size_t slot;
    double lo, hi;
    double E;
    bool done;
  };
  std::vector<pending> estimates(const std::vector<double>& distinct);
  void check_estimates(std::vector<pending>& work);
  void bisect(std::vector<pending>& work);
  void close_in_on_the_edge();
  // The index i of the table step [E_i, E_j] where r_k first rises through
  // `ratio` (j the next field with a ratio), or nothing.
  std::optional<std::pair<std::size_t, std::size_t>> rising_step(double ratio) const;
  double interpolated(double ratio, std::size_t i, std::size_t j) const;
  double cubic_error(std::size_t i, double E) const;
  std::vector<double> model_ratios(const std::vector<double>& E);
  void tabulate();

  charge_states* states_;
  int k_;
  double tolerance_;
  checks checked_;
  std::size_t settled_unchecked_ = 0;
  bool tabulated_ = false;
  std::vector<double> E_, r_;
  // The highest ratio of the table up to each field (NaN passed over).
  std::vector<double> highest_so_far_;
};

/// Counts of one pair and the field they give.
struct pair_field {
  int k = 0;  ///< the pair k+ and (k+1)+
  /// Raw ions in the ranges (whole numbers) and after background.
  double count_lower = 0.0, count_upper = 0.0;
  double net_lower = 0.0, net_upper = 0.0;
  double confidence = default_confidence;
  /// Isotope-corrected: the factor A_k / A_(k+1) applied to N_(k+1) / N_k.
  double ratio = 0.0, ratio_low = 0.0, ratio_high = 0.0;
  /// V/nm. E is NaN when the ratio is 0 or infinite or not reached; an
  /// interval end without a field is -inf (low) or inf (high), NaN when
  /// there is no interval (no ion of either state).
  double E = 0.0, E_low = 0.0, E_high = 0.0;
  /// The share of the element's isotopes (atom %) the ranges of each state
  /// cover, where the counts come from ranges; 100 otherwise. The factor
  /// above is their ratio.
  double covered_lower_percent = 100.0, covered_upper_percent = 100.0;
};

/// The ratio and its interval from net counts, isotope factor A_k / A_(k+1)
/// and confidence: Wilson on the net share, mapped through p / (1 - p) times
/// the factor. {ratio, low, high}; the ratio is inf when net_lower is 0 (NaN
/// when both are).
struct ratio_interval {
  double ratio, low, high;
};
ratio_interval corrected_ratio(double net_lower, double net_upper, double factor,
                               double confidence);

/// A pair's counts (raw, and the background under each state's ranges) with
/// their ratio and its interval; the fields still NaN (see set_fields).
pair_field counted_pair(int k, double raw_lower, double raw_upper, double background_lower,
                        double background_upper, double factor, double confidence);

/// The fields of many pair_fields at once (their counts and ratios set).
void set_fields(std::vector<pair_field*> pairs, ratio_inverter& inverter);

}  // namespace veltrane
