#include "compute/charge_states/ratio_inversion.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/charge_state_search.hpp"
#include "compute/charge_states/field_grid.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// The table starts where the ratio searches start, in steps of a hundredth
// of a V/nm.
constexpr double table_start_v_per_nm = detail::scan_start_v_per_nm;
constexpr double table_step_v_per_nm = 0.01;
// With no over-barrier field, the table goes up to where field_from_ratio's
// scan ends.
using detail::bisection_points;
// The share of the check's half tolerance within which the table's
// smoothness must put a cubic's field for the check to be left out.
constexpr double smooth_share = 1e-3;
using detail::search_limit_factor;

// A field without a ratio counts as lying above the answer (as in the
// searches of field_from_ratio).
bool below(double r, double ratio) { return !std::isnan(r) && r < ratio; }

}  // namespace

ratio_inverter::ratio_inverter(charge_states& states, int k, double tolerance, checks checked)
    : states_(&states), k_(k), tolerance_(tolerance), checked_(checked) {
  if (k < 1 || k > states.n()) {
    throw input_refused("the pair " + pair_label(k) + " is not one of " +
                        std::to_string(states.n()) +
                        (states.n() == 1 ? " ionisation" : " ionisations"));
  }
}

void ratio_inverter::tabulate() {
  if (tabulated_) return;
  const auto& ob = states_->over_barrier_field(k_);
  if (ob.everywhere) {
    tabulated_ = true;
    return;  // no field has a ratio
  }
  const double end =
      ob.found ? ob.at_v_per_nm()
               : search_limit_factor * sweep_range(states_->request(), k_).end * vnm_per_au;
  check_scan_length("the ratios of " + pair_label(k_), table_start_v_per_nm, end,
                    table_step_v_per_nm);
  std::vector<double> E;
  for (std::size_t i = 0;; ++i) {
    const double field = table_start_v_per_nm + table_step_v_per_nm * static_cast<double>(i);
    if (!(field < end)) break;
    E.push_back(field);
  }
  E.push_back(end);
  r_ = model_ratios(E);
  E_ = std::move(E);
  close_in_on_the_edge();
  double highest = -inf;
  highest_so_far_.reserve(r_.size());
  for (double r : r_) {
    if (!std::isnan(r)) highest = std::max(highest, r);
    highest_so_far_.push_back(highest);
  }
  tabulated_ = true;
}

// Where the ratio ends (the model has no value from some field below the
// over-barrier field on, or the ratio jumps to infinity there), every ratio
// above the last finite one crosses at that edge. The edge is found once,
// to a quarter of the tolerance, and its two sides join the table: those
// ratios then need no search of their own.
void ratio_inverter::close_in_on_the_edge() {
  std::size_t last = r_.size();
  for (std::size_t i = r_.size(); i-- > 0;) {
    if (std::isfinite(r_[i])) {
      last = i;
      break;
    }
  }
  if (last + 1 >= r_.size()) return;  // no edge after the last finite ratio
  detail::bisection_bracket b{E_[last], E_[last + 1]};
  double r_lo = r_[last], r_hi = r_[last + 1];
  while (b.hi - b.lo > 0.25 * tolerance_) {
    std::vector<double> inner;
    b.add_round(inner);
    const auto r = model_ratios(inner);
    const bool moved = b.narrow(inner.data(), [&](std::size_t m) {
      (std::isfinite(r[m]) ? r_lo : r_hi) = r[m];
      return std::isfinite(r[m]);
    });
    if (!moved) break;  // no double between them any more
  }
  const double lo = b.lo, hi = b.hi;
  const auto at = E_.begin() + static_cast<std::ptrdiff_t>(last) + 1;
  if (hi != E_[last + 1]) {
    E_.insert(at, hi);
    r_.insert(r_.begin() + static_cast<std::ptrdiff_t>(last) + 1, r_hi);
  }
  if (lo != E_[last]) {
    E_.insert(E_.begin() + static_cast<std::ptrdiff_t>(last) + 1, lo);
    r_.insert(r_.begin() + static_cast<std::ptrdiff_t>(last) + 1, r_lo);
  }
}

std::vector<double> ratio_inverter::model_ratios(const std::vector<double>& E) {
  std::vector<double> F;
  F.reserve(E.size());
  for (double field : E) F.push_back(field / vnm_per_au);
  return E.empty() ? std::vector<double>{} : states_->ratios_at(k_, F);
}

std::optional<std::pair<std::size_t, std::size_t>> ratio_inverter::rising_step(double ratio) const {
  // The first field whose ratio reaches `ratio` is where the highest ratio
  // so far first does; the field with a ratio before it lies below.
  const auto first = std::lower_bound(highest_so_far_.begin(), highest_so_far_.end(), ratio);
  if (first == highest_so_far_.end()) return std::nullopt;
  const auto reached = static_cast<std::size_t>(first - highest_so_far_.begin());
  for (std::size_t i = reached; i-- > 0;) {
    if (!std::isnan(r_[i])) return std::pair{i, reached};
  }
  // No field with a ratio below it: the ratio must fall below `ratio` and
  // rise through it again further up.
  std::optional<std::size_t> previous;
  for (std::size_t i = reached; i < r_.size(); ++i) {
    if (std::isnan(r_[i])) continue;
    if (previous && r_[*previous] < ratio && !(r_[i] < ratio)) return std::pair{*previous, i};
    previous = i;
  }
  return std::nullopt;
}

// Inside the step [E_i, E_j] where r_k rises through `ratio`: the cubic
// through log r at the four fields around it (the step and one field on
// either side), else the straight line through log r (or r, when r_i is 0),
// solved by bisection on the interpolant.
double ratio_inverter::interpolated(double ratio, std::size_t i, std::size_t j) const {
  const auto usable = [this](std::size_t m) { return r_[m] > 0.0 && std::isfinite(r_[m]); };
  const double target = std::log(ratio);
  std::function<double(double)> g;
  if (j == i + 1 && i > 0 && j + 1 < r_.size() && usable(i - 1) && usable(i) && usable(j) &&
      usable(j + 1)) {
    const std::array<double, 4> x{E_[i - 1], E_[i], E_[j], E_[j + 1]};
    const std::array<double, 4> y{std::log(r_[i - 1]), std::log(r_[i]), std::log(r_[j]),
                                  std::log(r_[j + 1])};
    g = [x, y](double E) {
      double sum = 0.0;
      for (std::size_t a = 0; a < 4; ++a) {
        double term = y[a];
        for (std::size_t b = 0; b < 4; ++b) {
          if (b != a) term *= (E - x[b]) / (x[a] - x[b]);
        }
        sum += term;
      }
      return sum;
    };
  } else if (usable(i) && usable(j)) {
    const double a = std::log(r_[i]), b = std::log(r_[j]);
    const double Ei = E_[i], Ej = E_[j];
    g = [a, b, Ei, Ej](double E) { return a + (b - a) * (E - Ei) / (Ej - Ei); };
  } else if (r_[i] == 0.0 && std::isfinite(r_[j])) {
    const double b = r_[j], Ei = E_[i], Ej = E_[j];
    g = [b, Ei, Ej](double E) { return std::log(b * (E - Ei) / (Ej - Ei)); };
  } else {
    return 0.5 * (E_[i] + E_[j]);  // the model's bisection decides
  }
  double lo = E_[i], hi = E_[j];
  for (int round = 0; round < 64 && hi - lo > 1e-12; ++round) {
    const double mid = 0.5 * (lo + hi);
    (g(mid) < target ? lo : hi) = mid;
  }
  return 0.5 * (lo + hi);
}

// How far the cubic's field at E in the step [E_i, E_(i+1)] may lie from
// the model's own (V/nm): the cubic through log r at E_(i-1) ... E_(i+2)
// errs by g''''/24 times the product of E's distances to those four fields;
// g''''/24 is the fourth divided difference of log r over five fields, the
// larger of the windows reaching one field further down and one further up.
// Divided by the smallest rise of log r per V/nm among the three steps, and
// infinite where the six fields are not all usable, log r does not rise
// through them, or its rise changes by more than a quarter across them.
double ratio_inverter::cubic_error(std::size_t i, double E) const {
  if (i < 2 || i + 3 >= r_.size()) return inf;
  std::array<double, 6> x{}, g{};
  for (std::size_t a = 0; a < 6; ++a) {
    const double r = r_[i - 2 + a];
    if (!(r > 0.0 && std::isfinite(r))) return inf;
    x[a] = E_[i - 2 + a];
    g[a] = std::log(r);
    if (a > 0 && !(g[a] > g[a - 1] && x[a] > x[a - 1])) return inf;
  }
  // The fourth divided difference of the five fields from `from` on.
  const auto fourth = [&x, &g](std::size_t from) {
    std::array<double, 5> d{};
    for (std::size_t a = 0; a < 5; ++a) d[a] = g[from + a];
    for (std::size_t order = 1; order < 5; ++order) {
      for (std::size_t a = 0; a + order < 5; ++a) {
        d[a] = (d[a + 1] - d[a]) / (x[from + a + order] - x[from + a]);
      }
    }
    return std::abs(d[0]);
  };
  double product = 1.0;
  for (std::size_t a = 1; a <= 4; ++a) product *= std::abs(E - x[a]);
  // The rise per V/nm at the answer lies between the steps' secants only
  // where they change little: where log r flattens (an inflection) they
  // may all lie far above it, and the estimate is not made.
  double slope = inf, steepest = 0.0;
  for (std::size_t a = 1; a <= 3; ++a) {
    const double secant = (g[a + 1] - g[a]) / (x[a + 1] - x[a]);
    slope = std::min(slope, secant);
    steepest = std::max(steepest, secant);
  }
  if (!(steepest <= 1.25 * slope)) return inf;
  return std::max(fourth(0), fourth(1)) * product / slope;
}

// Each distinct ratio that some field has, with its table step, its
// bracket and the interpolated field; an estimate the table's smoothness
// settles (see cubic_error) is done at once.
std::vector<ratio_inverter::pending> ratio_inverter::estimates(
    const std::vector<double>& distinct) {
  settled_unchecked_ = 0;
  std::vector<pending> work;
  for (std::size_t d = 0; d < distinct.size(); ++d) {
    const auto step = rising_step(distinct[d]);
    if (!step) continue;
    const auto [i, j] = *step;
    // Fields without a ratio between them count as lying above it: the
    // crossing lies before the first of them.
    pending w{distinct[d], d, E_[i], E_[j > i + 1 ? i + 1 : j], 0.0, false};
    if (!(w.hi - w.lo > tolerance_)) {
      w.E = 0.5 * (w.lo + w.hi);  // the bracket is narrow enough already
      w.done = true;
    } else if (j > i + 1) {
      w.E = 0.5 * (w.lo + w.hi);
    } else {
      w.E = interpolated(distinct[d], i, j);
      w.done = checked_ == checks::where_not_smooth &&
               cubic_error(i, w.E) < smooth_share * 0.5 * tolerance_;
      if (w.done) ++settled_unchecked_;
    }
    work.push_back(w);
  }
  return work;
}

// The interpolated field is kept when the model's ratio lies below the
// ratio half a tolerance below it and not below it half a tolerance above;
// otherwise the bracket shrinks to the side the crossing lies on.
void ratio_inverter::check_estimates(std::vector<pending>& work) {
  std::vector<std::size_t> open;
  std::vector<double> check;
  for (std::size_t w = 0; w < work.size(); ++w) {
    if (work[w].done) continue;
    open.push_back(w);
    check.push_back(std::max(work[w].lo, work[w].E - 0.5 * tolerance_));
    check.push_back(std::min(work[w].hi, work[w].E + 0.5 * tolerance_));
  }
  const auto r = model_ratios(check);
  for (std::size_t o = 0; o < open.size(); ++o) {
    pending& w = work[open[o]];
    const double a = check[2 * o], b = check[2 * o + 1];
    const bool below_a = a == w.lo || below(r[2 * o], w.ratio);
    const bool below_b = b != w.hi && below(r[2 * o + 1], w.ratio);
    if (below_a && !below_b) {
      w.done = true;  // the crossing lies within [a, b]
    } else if (!below_a) {
      w.hi = a;
    } else {
      w.lo = b;
    }
  }
}

// The brackets still open, by bisection with the model, all of them round
// by round.
void ratio_inverter::bisect(std::vector<pending>& work) {
  for (;;) {
    std::vector<std::size_t> open;
    std::vector<double> inner;
    for (std::size_t w = 0; w < work.size(); ++w) {
      if (work[w].done) continue;
      if (!(work[w].hi - work[w].lo > tolerance_)) {
        work[w].E = 0.5 * (work[w].lo + work[w].hi);
        work[w].done = true;
        continue;
      }
      open.push_back(w);
      detail::bisection_bracket{work[w].lo, work[w].hi}.add_round(inner);
    }
    if (open.empty()) return;
    const auto r = model_ratios(inner);
    for (std::size_t o = 0; o < open.size(); ++o) {
      pending& w = work[open[o]];
      const std::size_t first = o * bisection_points;
      detail::bisection_bracket b{w.lo, w.hi};
      if (!b.narrow(inner.data() + first,
                    [&](std::size_t m) { return below(r[first + m], w.ratio); })) {
        w.E = 0.5 * (b.lo + b.hi);  // no double between them any more
        w.done = true;
      }
      w.lo = b.lo;
      w.hi = b.hi;
    }
  }
}

std::vector<double> ratio_inverter::fields_of(const std::vector<double>& ratios) {
  tabulate();
  std::vector<double> distinct;
  for (double x : ratios) {
    if (x > 0.0 && std::isfinite(x)) distinct.push_back(x);
  }
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());

  std::vector<pending> work = estimates(distinct);
  check_estimates(work);
  bisect(work);
  std::vector<double> answer(distinct.size(), nan_value);
  for (const pending& w : work) answer[w.slot] = w.E;

  std::vector<double> result;
  result.reserve(ratios.size());
  for (double x : ratios) {
    const auto it = std::lower_bound(distinct.begin(), distinct.end(), x);
    result.push_back(it != distinct.end() && *it == x
                         ? answer[static_cast<std::size_t>(it - distinct.begin())]
                         : nan_value);
  }
  return result;
}

ratio_interval corrected_ratio(double net_lower, double net_upper, double factor,
                               double confidence) {
  const double trials = net_lower + net_upper;
  if (!(trials > 0.0)) return {nan_value, nan_value, nan_value};
  auto [p_low, p_high] = wilson_interval(net_upper, trials, confidence);
  // The ends at a share of exactly 0 or 1, free of rounding.
  if (net_upper == 0.0) p_low = 0.0;
  if (net_lower == 0.0) p_high = 1.0;
  const auto to_ratio = [factor](double p) { return p >= 1.0 ? inf : p / (1.0 - p) * factor; };
  const double ratio = net_lower > 0.0 ? net_upper / net_lower * factor : inf;
  return {ratio, to_ratio(p_low), to_ratio(p_high)};
}

void set_fields(std::vector<pair_field*> pairs, ratio_inverter& inverter) {
  std::vector<double> ratios;
  ratios.reserve(3 * pairs.size());
  for (const pair_field* p : pairs) {
    ratios.push_back(p->ratio);
    ratios.push_back(p->ratio_low);
    ratios.push_back(p->ratio_high);
  }
  const std::vector<double> E = inverter.fields_of(ratios);
  // A ratio no field has lies below every ratio of the model (its field
  // below the table), or above them all.
  double highest = -inf;
  for (double r : inverter.ratios()) {
    if (std::isfinite(r)) highest = std::max(highest, r);
  }
  const auto beyond = [highest](double r) { return r < highest ? -inf : inf; };
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    pair_field& f = *pairs[p];
    f.E = E[3 * p];
    const double low = E[3 * p + 1], high = E[3 * p + 2];
    if (std::isnan(f.ratio_low)) {
      f.E_low = nan_value;
    } else if (f.ratio_low == 0.0) {
      f.E_low = -inf;
    } else {
      f.E_low = std::isnan(low) ? beyond(f.ratio_low) : low;
    }
    if (std::isnan(f.ratio_high)) {
      f.E_high = nan_value;
    } else if (std::isinf(f.ratio_high)) {
      f.E_high = inf;
    } else {
      f.E_high = std::isnan(high) ? beyond(f.ratio_high) : high;
    }
  }
}

pair_field counted_pair(int k, double raw_lower, double raw_upper, double background_lower,
                        double background_upper, double factor, double confidence) {
  pair_field f;
  f.k = k;
  f.confidence = confidence;
  f.count_lower = raw_lower;
  f.count_upper = raw_upper;
  f.net_lower = std::max(0.0, raw_lower - background_lower);
  f.net_upper = std::max(0.0, raw_upper - background_upper);
  const ratio_interval r = corrected_ratio(f.net_lower, f.net_upper, factor, confidence);
  f.ratio = r.ratio;
  f.ratio_low = r.low;
  f.ratio_high = r.high;
  f.E = f.E_low = f.E_high = nan_value;
  return f;
}

}  // namespace veltrane
