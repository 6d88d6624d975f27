#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/request.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

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

/// Charge-state fractions of the post-ionisation cascade of one request, on
/// one field axis. With F = E/514.2:
///   Q_j(F)  the sweep's own model call of step j at F;
///   Q~_j    = Q_j below the over-barrier field of step j, 0 from it on;
///   f_1 = Q~_1, f_k = Q~_k prod_{i<k} (1 - Q~_i), f_(n+1) = prod_{i<=n} (1 - Q~_i);
///   r_k = f_(k+1)/f_k where f_k > 0, infinite from the over-barrier field of k on.
/// Model calls run on `threads` threads (0: all cores); a cancel through
/// `progress` throws calculation_cancelled, a failing model calculation_error.
/// Each Q_j(F) is computed once: the values (and NaN tests) found are kept
/// for every later question, which gives the same bits as asking again.
class charge_states {
 public:
  charge_states(calc_request request, model_function model, unsigned threads = 0,
                evaluation_progress* progress = nullptr);
  /// With an evaluation's model, its ratio tolerance and its NaN test.
  charge_states(calc_request request, const charge_state_model& model, unsigned threads = 0,
                evaluation_progress* progress = nullptr);

  /// The over-barrier searches ask `has_no_value` whether Q_j is NaN instead
  /// of taking its value (unset: they take the value).
  void set_nan_test(nan_test_function has_no_value) { nan_test_ = std::move(has_no_value); }

  /// The ratio searches bisect to this width (V/nm; 1e-3 unless set).
  void set_ratio_tolerance(double v_per_nm) { ratio_tolerance_ = v_per_nm; }
  double ratio_tolerance() const { return ratio_tolerance_; }
  /// The model calls from here on report to `progress` and stop at its
  /// cancel (nullptr: neither). What was found so far is kept.
  void set_progress(evaluation_progress* progress) { progress_ = progress; }

  const calc_request& request() const { return request_; }
  int n() const { return request_.n; }
  /// The threads the model calls run on.
  unsigned threads() const { return threads_; }

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
  /// f_1 .. f_(m+1) from the rows of Q~_1 .. Q~_m, field by field (the
  /// cascade's product, the one place it is formed):
  ///   f_k = Q~_k prod_{i<k} (1 - Q~_i),  f_(m+1) = prod_{i<=m} (1 - Q~_i).
  static std::vector<std::vector<double>> fractions(
      const std::vector<std::vector<double>>& Q_tilde);

  /// r_k = f_(k+1)/f_k at the fields F (atomic units), from the steps up to
  /// k + 1 alone: infinite from the over-barrier field of k on, NaN where f_k
  /// is 0 or the model has no value.
  std::vector<double> ratios_at(int k, const std::vector<double>& F);

 private:
  // One field of one step.
  struct step_field {
    int j;
    double F;
  };
  std::vector<double> evaluate(const std::vector<model_call>& calls);
  std::vector<double> values(const std::vector<step_field>& at);
  std::vector<char> without_value(const std::vector<step_field>& at);
  std::vector<std::vector<double>> certain_rows(int steps, const std::vector<double>& F);
  std::vector<double> sweep_fields(int j) const;
  std::vector<char> steps_without_value(int j, const std::vector<double>& F);
  std::optional<std::pair<double, double>> nan_above(int j, const std::vector<double>& F);
  std::optional<std::pair<double, double>> number_below(int j, double start);
  struct edge_search;
  void narrow_edges(std::vector<edge_search>& searches);
  over_barrier bracket_over_barrier(int j);

  calc_request request_;
  model_function model_;
  unsigned threads_;
  evaluation_progress* progress_;
  nan_test_function nan_test_;
  // The steps' over-barrier fields searched so far (1, 2, ... in order).
  std::vector<over_barrier> barriers_;
  double ratio_tolerance_ = 1e-3;  // V/nm
  // What is known of Q_j at the fields asked so far, by the bits of F: its
  // value, or (where only that was asked) whether it is NaN; one map per step.
  std::vector<std::unordered_map<std::uint64_t, double>> known_;
  std::vector<std::unordered_map<std::uint64_t, bool>> known_nan_;
};

/// The fractions of a request on a field grid, as written and drawn.
struct fraction_table {
  std::vector<double> E;                     ///< V/nm
  std::vector<std::vector<double>> Q_tilde;  ///< Q~_1 .. Q~_n, one row per step
  std::vector<std::vector<double>> f;        ///< f_1 .. f_(n+1)
  std::vector<over_barrier> barriers;        ///< of every step
};

/// The fractions at the fields E (V/nm; F = E/514.2).
fraction_table fraction_table_at(charge_states& states, const std::vector<double>& E);

/// The default range of the fraction table: from the lowest start of a sweep
/// to the highest over-barrier field, widened to whole V/nm.
std::pair<double, double> default_field_range(charge_states& states);

}  // namespace veltrane
