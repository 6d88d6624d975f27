#pragma once

#include <optional>
#include <string>
#include <vector>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/curves/request.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

/// A calculation stopped through its progress's cancel flag.
class calculation_cancelled : public std::runtime_error {
 public:
  calculation_cancelled() : std::runtime_error("cancelled") {}
};

/// The field from which step j has no value: the electron's level lies above
/// the barrier for paths towards the surface, so the ion of charge j+ is
/// certain to be ionised further. Both fields in atomic units: `at` is the
/// lowest field found where Q_j is NaN, `below` the highest field below it
/// where Q_j is a number; they lie at most 1e-4 V/nm apart.
/// When Q_j is already NaN at the start of the sweep, the search goes down in
/// the sweep's steps; when it is NaN all the way down to 1 V/nm, the step has
/// no value anywhere (`everywhere`): j+ is taken as ionised further at every
/// field.
struct over_barrier {
  bool found = false;       ///< false: no such field up to four times the sweep's end
  bool everywhere = false;  ///< no value at any field from 1 V/nm
  double below = 0.0;
  double at = 0.0;
  double at_v_per_nm() const;  ///< +inf when not found, 0 when everywhere
  /// The field as written in outputs ("22.599"), or "no value at any field
  /// from 1 V/nm".
  std::string text() const;
};

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
  std::string unreachable_message() const;
};

/// A field estimate from counts, with its interval from counting statistics.
struct counted_field {
  int k = 1;
  double count_lower = 0, count_upper = 0;  ///< N(k+), N((k+1)+)
  double confidence = 0.95;
  double ratio = 0.0, ratio_low = 0.0, ratio_high = 0.0;  ///< from Wilson's interval
  ratio_fields estimate, low, high;
};

/// Charge-state fractions of the post-ionisation cascade of one request, on
/// one field axis. With F = E/514.2:
///   Q_j(F)  the sweep's own model call of step j at F;
///   Q~_j    = Q_j below the over-barrier field of step j, 0 from it on;
///   f_1 = Q~_1, f_k = Q~_k prod_{i<k} (1 - Q~_i), f_(n+1) = prod_{i<=n} (1 - Q~_i);
///   r_k = f_(k+1)/f_k where f_k > 0, infinite from the over-barrier field of k on.
/// Model calls run on `threads` threads (0: all cores); a cancel through
/// `progress` throws calculation_cancelled, a failing model calculation_error.
class charge_states {
 public:
  charge_states(calc_request request, model_function model, unsigned threads = 0,
                evaluation_progress* progress = nullptr);

  /// The ratio searches bisect to this width (V/nm; 1e-3 unless set).
  void set_ratio_tolerance(double v_per_nm) { ratio_tolerance_ = v_per_nm; }
  double ratio_tolerance() const { return ratio_tolerance_; }

  const calc_request& request() const { return request_; }
  int n() const { return request_.n; }

  /// The over-barrier field of every step: the lower edge of the region of
  /// fields without a value that holds, or follows, the start of the step's
  /// sweep. With a number at the start the search goes up the sweep's fields
  /// and on in its steps; with NaN there, down in its steps to 1 V/nm; then
  /// bisection to 1e-4 V/nm.
  const std::vector<over_barrier>& over_barrier_fields();
  /// The over-barrier field of step j alone (and of the steps below it that
  /// are not known yet): the same as over_barrier_fields()[j - 1], searched
  /// for without the steps above j.
  const over_barrier& over_barrier_field(int j);

  /// Q_j at the fields F (atomic units), NaN from the over-barrier field on
  /// left as the model gives it: one row per step.
  std::vector<std::vector<double>> step_probabilities(const std::vector<double>& F);
  /// Q~ (0 from the over-barrier field on; no model call there; 1 below a
  /// field where the step's probability is exactly 1, see certain_rows).
  std::vector<std::vector<double>> certain_above_barrier(const std::vector<double>& F);
  /// f_1 .. f_(n+1) from the rows of Q~.
  static std::vector<std::vector<double>> fractions(const std::vector<std::vector<double>>& Qt);

  /// The fields between 1 V/nm and the over-barrier field of k where r_k
  /// crosses `ratio`: a scan in steps of 0.5 V/nm, then bisection to the
  /// ratio tolerance.
  /// Throws input_refused when the scan would exceed max_fraction_fields
  /// fields (an over-barrier field far beyond any real one).
  ratio_fields field_from_ratio(int k, double ratio);

  /// The equal-abundance field of k+ and (k+1)+: where r_k = 1.
  ratio_fields equal_abundance(int k) { return field_from_ratio(k, 1.0); }

  /// The field from counts of k+ and (k+1)+, with the interval of the
  /// binomial proportion N(k+1)/(N(k) + N(k+1)) by Wilson's score method at
  /// `confidence`, mapped through r = p/(1 - p). Counting statistics only.
  counted_field field_from_counts(int k, double count_lower, double count_upper,
                                  double confidence = 0.95);

  /// r_k = f_(k+1)/f_k at the fields F (atomic units), from the steps up to
  /// k + 1 alone: infinite from the over-barrier field of k on, NaN where f_k
  /// is 0 or the model has no value.
  std::vector<double> ratios_at(int k, const std::vector<double>& F);

 private:
  std::vector<double> evaluate(const std::vector<model_call>& calls);
  std::vector<std::vector<double>> certain_rows(int steps, const std::vector<double>& F);
  std::vector<double> sweep_fields(int j) const;
  std::vector<double> step_values(int j, const std::vector<double>& F);
  std::optional<std::pair<double, double>> nan_above(int j, const std::vector<double>& F);
  std::optional<std::pair<double, double>> number_below(int j, double start);
  struct edge_search;
  void narrow_edges(std::vector<edge_search>& searches);
  over_barrier bracket_over_barrier(int j);
  std::vector<double> ratio_scan_fields(int k);
  std::optional<double> ratio_crossing_field(int k, double ratio, double lo, double hi,
                                             bool below_at_lo);

  calc_request request_;
  model_function model_;
  unsigned threads_;
  evaluation_progress* progress_;
  // The steps' over-barrier fields searched so far (1, 2, ... in order).
  std::vector<over_barrier> barriers_;
  double ratio_tolerance_ = 1e-3;  // V/nm
};

/// The fractions of a request on a field grid, as written and drawn.
struct fraction_table {
  std::vector<double> E;                ///< V/nm
  std::vector<std::vector<double>> Qt;  ///< Q~_1 .. Q~_n, one row per step
  std::vector<std::vector<double>> f;   ///< f_1 .. f_(n+1)
  std::vector<over_barrier> barriers;   ///< of every step
};

/// The fractions at the fields E (V/nm; F = E/514.2).
fraction_table fraction_table_at(charge_states& states, const std::vector<double>& E);

/// The default range of the fraction table: from the lowest start of a sweep
/// to the highest over-barrier field, widened to whole V/nm.
std::pair<double, double> default_field_range(charge_states& states);

}  // namespace veltrane
