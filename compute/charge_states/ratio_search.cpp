// The field of a measured ratio of neighbouring charge states: the model's
// ratios r_k on a scan of fields, the crossings of the measured value, and
// from counts the same with the ends of the counting interval.
#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/charge_state_search.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/text_export.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// The ratio scan's step, V/nm: fine enough to see every crossing of a
// monotonic stretch, then bisected.
constexpr double scan_step_v_per_nm = 0.5;
using detail::bisection_points;
using detail::scan_start_v_per_nm;
using detail::search_limit_factor;

}  // namespace

std::vector<double> charge_states::ratios_at(int k, const std::vector<double>& F) {
  const over_barrier ob_k = over_barrier_field(k);
  // The steps up to k + 1 (or n) decide f_k and f_(k+1).
  const auto Qt = certain_rows(std::min(k + 1, request_.n), F);
  std::vector<double> ratios;
  for (std::size_t e = 0; e < F.size(); ++e) {
    if (ob_k.everywhere || (ob_k.found && F[e] >= ob_k.at)) {
      ratios.push_back(inf);
      continue;
    }
    double survived = 1.0;
    for (int i = 0; i + 1 < k; ++i)
      survived = survived * (1.0 - Qt[static_cast<std::size_t>(i)][e]);
    const double q_k = Qt[static_cast<std::size_t>(k) - 1][e];
    const double f_k = q_k * survived;
    const double beyond = survived * (1.0 - q_k);
    const double f_next = k < request_.n ? Qt[static_cast<std::size_t>(k)][e] * beyond : beyond;
    ratios.push_back(f_k > 0.0 ? f_next / f_k : nan_value);
  }
  return ratios;
}

// The fields of the ratio scan of pair k: every half V/nm from 1 V/nm up to
// the over-barrier field of k (or four times the end of its sweep), then that
// field itself. A scan of more than max_fraction_fields fields is refused.
std::vector<double> charge_states::ratio_scan_fields(int k) {
  const auto& ob = over_barrier_field(k);
  if (ob.everywhere) return {};
  const double end_F = ob.found ? ob.at : search_limit_factor * sweep_range(request_, k).end;
  const double end_E = end_F * vnm_per_au;
  check_scan_length("the ratio scan of " + charge_label(k + 1) + "/" + charge_label(k),
                    scan_start_v_per_nm, end_E, scan_step_v_per_nm);
  std::vector<double> F;
  for (int i = 0;; ++i) {
    const double E = scan_start_v_per_nm + scan_step_v_per_nm * i;
    if (!(E / vnm_per_au < end_F)) break;
    F.push_back(E / vnm_per_au);
  }
  F.push_back(end_F);
  return F;
}

// Bisection of a bracket [lo, hi] of pair k's ratio across `ratio`, down to
// the tolerance: each round splits it into the same eight parts whatever the
// number of threads. A field without a ratio (NaN) counts as lying above the
// answer. Nothing when the bracket cannot be narrowed to the tolerance.
std::optional<double> charge_states::ratio_crossing_field(int k, double ratio, double lo, double hi,
                                                          bool below_at_lo) {
  while ((hi - lo) * vnm_per_au > ratio_tolerance_) {
    std::vector<double> inner;
    for (std::size_t m = 1; m <= bisection_points; ++m) {
      inner.push_back(lo + (hi - lo) * static_cast<double>(m) /
                               static_cast<double>(bisection_points + 1));
    }
    const auto r = ratios_at(k, inner);
    double new_lo = lo, new_hi = hi;
    for (std::size_t m = 0; m < inner.size(); ++m) {
      // A field without a value counts as lying above the answer.
      const bool below = !std::isnan(r[m]) && r[m] < ratio;
      if (below == below_at_lo) {
        new_lo = inner[m];
      } else {
        new_hi = inner[m];
        break;
      }
    }
    if (new_lo == lo && new_hi == hi) break;
    lo = new_lo;
    hi = new_hi;
  }
  if ((hi - lo) * vnm_per_au > ratio_tolerance_) return std::nullopt;
  return 0.5 * (lo + hi) * vnm_per_au;
}

ratio_fields charge_states::field_from_ratio(int k, double ratio) {
  ratio_fields result;
  result.k = k;
  result.ratio = ratio;
  const std::vector<double> F = ratio_scan_fields(k);
  result.range_from = scan_start_v_per_nm;
  result.range_to = F.empty() ? scan_start_v_per_nm : F.back() * vnm_per_au;
  result.lowest = inf;
  result.highest = -inf;
  const auto r = ratios_at(k, F);

  double previous_value = nan_value;
  double previous_F = nan_value;
  for (std::size_t i = 0; i < F.size(); ++i) {
    if (std::isnan(r[i])) continue;
    if (std::isfinite(r[i])) {
      result.lowest = std::min(result.lowest, r[i]);
      result.highest = std::max(result.highest, r[i]);
    }
    if (!std::isnan(previous_value)) {
      if (r[i] < previous_value) result.monotonic = false;
      const bool below_before = previous_value < ratio;
      if (below_before != (r[i] < ratio)) {
        if (const auto E = ratio_crossing_field(k, ratio, previous_F, F[i], below_before)) {
          result.crossings.push_back({*E, below_before});
        }
      }
    }
    previous_value = r[i];
    previous_F = F[i];
  }
  return result;
}

counted_field charge_states::field_from_counts(int k, double count_lower, double count_upper,
                                               double confidence) {
  counted_field c;
  c.k = k;
  c.count_lower = count_lower;
  c.count_upper = count_upper;
  c.confidence = confidence;
  const double trials = count_lower + count_upper;
  const auto [p_low, p_high] = wilson_interval(count_upper, trials, confidence);
  auto to_ratio = [](double p) { return p >= 1.0 ? inf : p / (1.0 - p); };
  c.ratio = count_lower > 0.0 ? count_upper / count_lower : inf;
  c.ratio_low = to_ratio(p_low);
  c.ratio_high = to_ratio(p_high);
  c.estimate = field_from_ratio(k, c.ratio);
  c.low = field_from_ratio(k, c.ratio_low);
  c.high = field_from_ratio(k, c.ratio_high);
  return c;
}

}  // namespace veltrane
