#include "compute/charge_states/ratio_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/charge_state_search.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// The ratio scan's step, V/nm: fine enough to see every crossing of a
// monotonic stretch, then bisected.
constexpr double scan_step_v_per_nm = 0.5;
using detail::scan_start_v_per_nm;
using detail::search_limit_factor;

// The fields of the ratio scan of pair k: every half V/nm from 1 V/nm up to
// the over-barrier field of k (or four times the end of its sweep), then that
// field itself. A scan of more than max_fraction_fields fields is refused.
std::vector<double> ratio_scan_fields(charge_states& states, int k) {
  const auto& ob = states.over_barrier_field(k);
  if (ob.everywhere) return {};
  const double end_F =
      ob.found ? ob.at : search_limit_factor * sweep_range(states.request(), k).end;
  const double end_E = end_F * vnm_per_au;
  check_scan_length("the ratio scan of " + pair_label(k), scan_start_v_per_nm, end_E,
                    scan_step_v_per_nm);
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
// the states' tolerance. A field without a ratio (NaN) counts as lying above
// the answer. Nothing when the bracket cannot be narrowed to the tolerance.
std::optional<double> ratio_crossing_field(charge_states& states, int k, double ratio, double lo,
                                           double hi, bool below_at_lo) {
  const double tolerance = states.ratio_tolerance();
  detail::bisection_bracket b{lo, hi};
  // A field without a value counts as lying above the answer.
  std::vector<double> r;
  const auto on_lo_side = [&](std::size_t m) {
    return (!std::isnan(r[m]) && r[m] < ratio) == below_at_lo;
  };
  // A round's fields are asked from below, as many at a time as there are
  // threads, until one is not on lo's side: narrow() looks no further.
  const std::size_t group = std::max(1u, states.threads());
  while ((b.hi - b.lo) * vnm_per_au > tolerance) {
    std::vector<double> inner;
    b.add_round(inner);
    r.clear();
    while (r.size() < inner.size()) {
      const std::size_t first = r.size();
      const std::size_t last = std::min(inner.size(), first + group);
      const auto part = states.ratios_at(
          k, std::vector<double>(inner.begin() + static_cast<std::ptrdiff_t>(first),
                                 inner.begin() + static_cast<std::ptrdiff_t>(last)));
      r.insert(r.end(), part.begin(), part.end());
      bool crossed = false;
      for (std::size_t m = first; m < last; ++m) crossed = crossed || !on_lo_side(m);
      if (crossed) break;
    }
    const bool moved = b.narrow(inner.data(), on_lo_side);
    if (!moved) break;
  }
  if ((b.hi - b.lo) * vnm_per_au > tolerance) return std::nullopt;
  return 0.5 * (b.lo + b.hi) * vnm_per_au;
}

}  // namespace

std::optional<double> ratio_fields::field() const {
  for (const auto& c : crossings) {
    if (c.rising) return c.E;
  }
  return std::nullopt;
}

std::string ratio_fields::unreachable_message(const answer_numbers& numbers) const {
  std::string message = pair_label(k) + " = " + numbers.number(ratio) + " is not reached between " +
                        numbers.field(range_from) + " and " + numbers.field(range_to) + " V/nm";
  if (!(lowest <= highest)) return message + ": the model gives no ratio there.";
  return message + ": the model's ratios there run from " + numbers.number(lowest) + " to " +
         numbers.number(highest) + " (and are infinite from " + numbers.field(range_to) +
         " V/nm on).";
}

ratio_fields field_from_ratio(charge_states& states, int k, double ratio) {
  ratio_fields result;
  result.k = k;
  result.ratio = ratio;
  const std::vector<double> F = ratio_scan_fields(states, k);
  result.range_from = scan_start_v_per_nm;
  result.range_to = F.empty() ? scan_start_v_per_nm : F.back() * vnm_per_au;
  result.lowest = inf;
  result.highest = -inf;
  const auto r = states.ratios_at(k, F);

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
        if (const auto E = ratio_crossing_field(states, k, ratio, previous_F, F[i], below_before)) {
          result.crossings.push_back({*E, below_before});
        }
      }
    }
    previous_value = r[i];
    previous_F = F[i];
  }
  return result;
}

ratio_fields equal_abundance(charge_states& states, int k) {
  return field_from_ratio(states, k, 1.0);
}

counted_field field_from_counts(charge_states& states, int k, double count_lower,
                                double count_upper, double confidence) {
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
  c.estimate = field_from_ratio(states, k, c.ratio);
  c.low = field_from_ratio(states, k, c.ratio_low);
  c.high = field_from_ratio(states, k, c.ratio_high);
  return c;
}

}  // namespace veltrane
