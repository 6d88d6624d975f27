#include "compute/datasets/field_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <unordered_map>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/curves/text_export.hpp"
#include "model/constants.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
// The table starts where the ratio searches start, in steps of a hundredth
// of a V/nm.
constexpr double table_start_v_per_nm = 1.0;
constexpr double table_step_v_per_nm = 0.01;
// With no over-barrier field, the searches go up to four times the end of
// the step's sweep (as field_from_ratio does).
constexpr double search_limit_factor = 4.0;
// Bisection rounds split a bracket into eight parts, as the searches of
// charge_states do.
constexpr std::size_t bisection_points = 7;
// More blocks than this make a profile no one can read, and its partial sums
// would take hundreds of megabytes.
constexpr std::uint64_t most_blocks = 1000000;

// A field without a ratio counts as lying above the answer (as in the
// searches of charge_states).
bool below(double r, double ratio) { return !std::isnan(r) && r < ratio; }

}  // namespace

ratio_inverter::ratio_inverter(charge_states& states, int k, double tolerance)
    : states_(&states), k_(k), tolerance_(tolerance) {
  if (k < 1 || k > states.n()) {
    throw input_refused("the pair " + charge_label(k + 1) + "/" + charge_label(k) +
                        " is not one of " + std::to_string(states.n()) +
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
  check_scan_length("the ratios of " + charge_label(k_ + 1) + "/" + charge_label(k_),
                    table_start_v_per_nm, end, table_step_v_per_nm);
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
  double lo = E_[last], hi = E_[last + 1];
  double r_lo = r_[last], r_hi = r_[last + 1];
  while (hi - lo > 0.25 * tolerance_) {
    std::vector<double> inner;
    for (std::size_t m = 1; m <= bisection_points; ++m) {
      inner.push_back(lo + (hi - lo) * static_cast<double>(m) /
                               static_cast<double>(bisection_points + 1));
    }
    const auto r = model_ratios(inner);
    const double before_lo = lo, before_hi = hi;
    for (std::size_t m = 0; m < bisection_points; ++m) {
      if (std::isfinite(r[m])) {
        lo = inner[m];
        r_lo = r[m];
      } else {
        hi = inner[m];
        r_hi = r[m];
        break;
      }
    }
    if (lo == before_lo && hi == before_hi) break;  // no double between them any more
  }
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
  std::optional<std::size_t> previous;
  for (std::size_t i = 0; i < r_.size(); ++i) {
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

// Each distinct ratio that some field has, with its table step, its
// bracket and the interpolated field.
std::vector<ratio_inverter::pending> ratio_inverter::estimates(
    const std::vector<double>& distinct) const {
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
    } else {
      w.E = j > i + 1 ? 0.5 * (w.lo + w.hi) : interpolated(distinct[d], i, j);
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
      for (std::size_t m = 1; m <= bisection_points; ++m) {
        inner.push_back(work[w].lo + (work[w].hi - work[w].lo) * static_cast<double>(m) /
                                         static_cast<double>(bisection_points + 1));
      }
    }
    if (open.empty()) return;
    const auto r = model_ratios(inner);
    for (std::size_t o = 0; o < open.size(); ++o) {
      pending& w = work[open[o]];
      double lo = w.lo, hi = w.hi;
      for (std::size_t m = 0; m < bisection_points; ++m) {
        const double E = inner[o * bisection_points + m];
        if (below(r[o * bisection_points + m], w.ratio)) {
          lo = E;
        } else {
          hi = E;
          break;
        }
      }
      if (lo == w.lo && hi == w.hi) {  // no double between them any more
        w.E = 0.5 * (lo + hi);
        w.done = true;
      }
      w.lo = lo;
      w.hi = hi;
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

namespace {

void check_confidence(double confidence) {
  if (!(confidence > 0.0 && confidence < 1.0)) {
    throw input_refused("the confidence must lie between 0 and 1, not " +
                        format_number(confidence));
  }
}

// A pair's field from raw and background counts.
pair_field pair_from(int k, double raw_lower, double raw_upper, double background_lower,
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

std::string line_of(const std::vector<double>& values) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ',';
    line += shortest_number(values[i]);
  }
  return line;
}

}  // namespace

namespace {

// The refusal of a pair of which the state `state` has no counted range.
input_refused no_range_of(const apt::range_file& file, const std::string& symbol, int state,
                          int k) {
  return input_refused(file.path + ": no range of " + symbol + apt::charge_suffix(state) +
                       " is counted, so the pair " + charge_label(k + 1) + "/" + charge_label(k) +
                       " has no ratio");
}

// Before a pass: both states of the pair k have a counted range.
void check_pair_counted(const detail::counting_pass& pass, const apt::range_file& file, int k) {
  for (const int state : {k, k + 1}) {
    bool counted = false;
    for (std::size_t s = 0; s < pass.slot_count(); ++s)
      counted = counted || pass.charge_of(s) == state;
    if (!counted) throw no_range_of(file, pass.symbol(), state, k);
  }
}

// The overall field of the pair of `inverter` from counts already made.
overall_field overall_of(dataset_counts counts, const apt::range_file& file,
                         ratio_inverter& inverter, double confidence) {
  overall_field o;
  o.counts = std::move(counts);
  const int k = inverter.k();
  const charge_count* lower = o.counts.find(k);
  const charge_count* upper = o.counts.find(k + 1);
  for (const auto& [state, count] : {std::pair{k, lower}, std::pair{k + 1, upper}}) {
    if (count == nullptr) throw no_range_of(file, o.counts.symbol, state, k);
  }
  o.factor = isotope_factor(*lower, *upper);
  o.field = pair_from(k, static_cast<double>(lower->counts), static_cast<double>(upper->counts),
                      lower->background, upper->background, o.factor, confidence);
  set_fields({&o.field}, inverter);
  return o;
}

// Which of the pair each slot of the pass counts: 0 for k+, 1 for (k+1)+,
// -1 for neither.
std::vector<int> pair_of_slots(const detail::counting_pass& pass, int k) {
  std::vector<int> pair(pass.slot_count(), -1);
  for (std::size_t s = 0; s < pass.slot_count(); ++s) {
    if (pass.charge_of(s) == k) pair[s] = 0;
    if (pass.charge_of(s) == k + 1) pair[s] = 1;
  }
  return pair;
}

}  // namespace

overall_field field_of_dataset(const apt::dataset& data, const apt::range_file& file,
                               ratio_inverter& inverter, const field_options& options) {
  check_confidence(options.confidence);
  return overall_of(
      count_charge_states(data, file, inverter.states().request().element, options.counting), file,
      inverter, options.confidence);
}

namespace {

struct bin_key {
  std::int64_t i, j;
  bool operator==(const bin_key&) const = default;
};
struct bin_hash {
  std::size_t operator()(const bin_key& b) const {
    const auto a = static_cast<std::uint64_t>(b.i), c = static_cast<std::uint64_t>(b.j);
    return static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ull) ^ (c + 0x7F4A7C159E3779B9ull));
  }
};
// Raw k+, raw (k+1)+, background k+, background (k+1)+.
using bin_counts = std::array<std::uint64_t, 4>;

// The bin of a coordinate, or nothing for one that is not finite or lies
// beyond what 63 bits can count.
std::optional<std::int64_t> bin_index(float coordinate, double bin) {
  const double i = std::floor(static_cast<double>(coordinate) / bin);
  if (!(std::abs(i) < 4e18)) return std::nullopt;
  return static_cast<std::int64_t>(i);
}

// The counts of one worker's bins: a dense square of bins around the
// origin, where a detector's or a specimen's bins lie, made on first use,
// and a hash map for any bin beyond it.
class bin_tally {
 public:
  bin_counts& at(std::int64_t i, std::int64_t j) {
    const auto di = static_cast<std::uint64_t>(i + half), dj = static_cast<std::uint64_t>(j + half);
    if (di < side && dj < side) {
      if (dense_.empty()) dense_.assign(side * side, bin_counts{});
      return dense_[di * side + dj];
    }
    return sparse_[{i, j}];
  }
  // Calls f(i, j, counts) for every bin with counts.
  template <class function>
  void each(const function& f) const {
    for (std::size_t d = 0; d < dense_.size(); ++d) {
      const bin_counts& c = dense_[d];
      if (c[0] + c[1] + c[2] + c[3] == 0) continue;
      f(static_cast<std::int64_t>(d / side) - half, static_cast<std::int64_t>(d % side) - half, c);
    }
    for (const auto& [key, c] : sparse_) f(key.i, key.j, c);
  }

 private:
  static constexpr std::int64_t half = 256;
  static constexpr std::uint64_t side = 2 * half;
  std::vector<bin_counts> dense_;
  std::unordered_map<bin_key, bin_counts, bin_hash> sparse_;
};

}  // namespace

namespace {

void check_map_options(const apt::dataset& data, const map_options& options) {
  if (!(options.bin > 0.0 && std::isfinite(options.bin))) {
    throw input_refused("the bin size must be a finite number above 0, not " +
                        format_number(options.bin));
  }
  check_confidence(options.confidence);
  if (options.over == map_plane::detector && !data.has(apt::columns::detector)) {
    throw input_refused(data.path() + ": the file holds no detector coordinates (" +
                        std::string(apt::format_name(data.format())) +
                        "); map over the specimen instead");
  }
  if (options.over == map_plane::specimen && !data.has(apt::columns::position)) {
    throw input_refused(data.path() + ": the file holds no reconstructed positions");
  }
}

// What one pass over the dataset counts for a map: every range of the
// element (per worker), and the pair's ions by bin, merged in bin order.
struct binned_counts {
  std::vector<detail::counting_pass::tally> counts;
  std::map<std::pair<std::int64_t, std::int64_t>, bin_counts> bins;
  std::uint64_t without_position = 0;
  // Ions with finite coordinates whose bin numbers would pass 63 bits.
  std::uint64_t beyond_bins = 0;
};

binned_counts count_by_bin(const apt::dataset& data, const detail::counting_pass& pass, int k,
                           const map_options& options) {
  const bool over_detector = options.over == map_plane::detector;
  const std::vector<int> pair_of_slot = pair_of_slots(pass, k);
  struct tally {
    detail::counting_pass::tally counts;
    bin_tally bins;
    std::uint64_t without_position = 0, beyond_bins = 0;
  };
  std::vector<tally> tallies(detail::worker_count(data, options.counting),
                             tally{pass.new_tally(), {}, 0, 0});
  const bool filter = pass.single_hits();
  const apt::columns wanted =
      (over_detector ? apt::columns::detector : apt::columns::position) | pass.columns();
  const double b = options.bin;
  detail::for_each_chunk_parallel(
      data, wanted, options.counting,
      [&](unsigned worker, const apt::ion_chunk& chunk, std::size_t) {
        tally& t = tallies[worker];
        const auto& xs = over_detector ? chunk.det_x : chunk.x;
        const auto& ys = over_detector ? chunk.det_y : chunk.y;
        for (std::size_t n = 0; n < chunk.size(); ++n) {
          if (!detail::passes(chunk, n, filter)) continue;
          // The bin's counter of a slot of the pair (offset 2 for a window).
          const auto count_in_bin = [&](int slot, std::size_t offset) {
            const int pair = pair_of_slot[static_cast<std::size_t>(slot)];
            if (pair < 0) return;
            const auto i = bin_index(xs[n], b), j = bin_index(ys[n], b);
            if (!i || !j) {
              if (std::isfinite(xs[n]) && std::isfinite(ys[n])) {
                ++t.beyond_bins;  // the bin is too small for where the ion lies
              } else if (offset == 0) {
                ++t.without_position;
              }
              return;
            }
            ++t.bins.at(*i, *j)[offset + static_cast<std::size_t>(pair)];
          };
          pass.place(
              static_cast<double>(chunk.mass[n]), t.counts,
              [&](int slot) { count_in_bin(slot, 0); }, [&](int slot) { count_in_bin(slot, 2); });
        }
      });
  binned_counts result;
  for (const auto& t : tallies) {
    result.counts.push_back(t.counts);
    result.without_position += t.without_position;
    result.beyond_bins += t.beyond_bins;
    t.bins.each([&result](std::int64_t i, std::int64_t j, const bin_counts& c) {
      bin_counts& into = result.bins[{i, j}];
      for (std::size_t s = 0; s < 4; ++s) into[s] += c[s];
    });
  }
  return result;
}

// The bins with ions of the pair, each with its counts and ratio; a bin
// with fewer ions than the options ask for is masked and gets no ratio.
void add_bins(field_map& map, const binned_counts& counted, int k, const map_options& options) {
  for (const auto& [key, c] : counted.bins) {
    if (c[0] + c[1] == 0) continue;  // background alone
    map_bin bin;
    bin.i = key.first;
    bin.j = key.second;
    bin.x = (static_cast<double>(bin.i) + 0.5) * map.bin;
    bin.y = (static_cast<double>(bin.j) + 0.5) * map.bin;
    bin.masked = c[0] + c[1] < options.min_counts;
    bin.field = pair_from(k, static_cast<double>(c[0]), static_cast<double>(c[1]),
                          static_cast<double>(c[2]), static_cast<double>(c[3]), map.overall.factor,
                          options.confidence);
    if (bin.masked) bin.field.ratio = bin.field.ratio_low = bin.field.ratio_high = nan_value;
    map.bins.push_back(bin);
    if (map.i_max < map.i_min) {
      map.i_min = map.i_max = bin.i;
      map.j_min = map.j_max = bin.j;
    }
    map.i_min = std::min(map.i_min, bin.i);
    map.i_max = std::max(map.i_max, bin.i);
    map.j_min = std::min(map.j_min, bin.j);
    map.j_max = std::max(map.j_max, bin.j);
  }
}

}  // namespace

field_map map_field(const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const map_options& options) {
  check_map_options(data, options);
  field_map map;
  map.over = options.over;
  map.bin = options.bin;
  const detail::counting_pass pass(data, file, inverter.states().request().element,
                                   options.counting);
  const int k = inverter.k();
  check_pair_counted(pass, file, k);
  const binned_counts counted = count_by_bin(data, pass, k, options);
  if (counted.beyond_bins > 0) {
    const std::string unit = options.over == map_plane::detector ? " mm" : " nm";
    throw input_refused(
        "the bin size (--bin) of " + format_number(options.bin) + unit +
        " is too small for the coordinates: " + std::to_string(counted.beyond_bins) +
        " ions lie so far out that their bins cannot be numbered; take a larger "
        "bin");
  }
  map.without_position = counted.without_position;
  map.overall = overall_of(pass.finish(counted.counts), file, inverter, options.confidence);
  map.messages = map.overall.counts.messages;
  if (map.without_position > 0) {
    map.messages.push_back(data.path() + ": " + std::to_string(map.without_position) +
                           " ions of the pair have no finite coordinates and are not mapped");
  }
  add_bins(map, counted, k, options);
  std::vector<pair_field*> open;
  for (auto& bin : map.bins) {
    if (!bin.masked) open.push_back(&bin.field);
  }
  set_fields(open, inverter);
  return map;
}

std::vector<std::string> map_csv_lines(const field_map& map) {
  std::vector<std::string> lines;
  const std::string unit = map.over == map_plane::detector ? "mm" : "nm";
  lines.push_back("x_" + unit + ",y_" + unit +
                  ",N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm");
  for (const auto& bin : map.bins) {
    const auto& f = bin.field;
    if (bin.masked) {
      lines.push_back(line_of({bin.x, bin.y, f.count_lower, f.count_upper, nan_value, nan_value,
                               nan_value, nan_value}));
    } else {
      lines.push_back(
          line_of({bin.x, bin.y, f.count_lower, f.count_upper, f.ratio, f.E, f.E_low, f.E_high}));
    }
  }
  return lines;
}

namespace {

std::uint64_t checked_block_count(const apt::dataset& data, const profile_options& options) {
  if (options.block == 0) throw input_refused("a block must hold at least 1 ion");
  const std::uint64_t ions = data.ion_count();
  const std::uint64_t block_count = (ions + options.block - 1) / options.block;
  if (block_count > most_blocks) {
    throw input_refused("blocks of " + std::to_string(options.block) + " ions make " +
                        std::to_string(block_count) + " blocks of " + std::to_string(ions) +
                        " ions, more than " + std::to_string(most_blocks) + "; take larger blocks");
  }
  check_confidence(options.confidence);
  return block_count;
}

// The sums of one block: the pair's counts (raw k+, raw (k+1)+, background
// k+, background (k+1)+) and the DC voltage's.
struct block_sums {
  std::uint64_t block = 0;
  bin_counts counts{};
  double v_sum = 0.0;
  std::uint64_t v_count = 0;
};

// What one pass over the dataset counts for a profile: every range of the
// element (per worker), and the sums of each block in file order. Per chunk
// the sums of the blocks it touches are kept and added up in file order
// afterwards, so that the mean voltages do not depend on the number of
// threads.
struct blocked_counts {
  std::vector<detail::counting_pass::tally> counts;
  std::vector<block_sums> blocks;
};

blocked_counts count_by_block(const apt::dataset& data, const detail::counting_pass& pass, int k,
                              std::uint64_t block_count, const profile_options& options) {
  const std::vector<int> pair_of_slot = pair_of_slots(pass, k);
  const bool with_voltage = data.has(apt::columns::dc_voltage);
  const bool filter = pass.single_hits();
  blocked_counts result;
  result.counts.assign(detail::worker_count(data, options.counting), pass.new_tally());
  const std::size_t chunk_ions = std::max<std::size_t>(options.counting.chunk_ions, 1);
  std::vector<std::vector<block_sums>> partials(
      apt::detail::to_size((data.ion_count() + chunk_ions - 1) / chunk_ions));
  const apt::columns wanted =
      (with_voltage ? apt::columns::dc_voltage : apt::columns::none) | pass.columns();
  detail::for_each_chunk_parallel(
      data, wanted, options.counting,
      [&](unsigned worker, const apt::ion_chunk& chunk, std::size_t index) {
        auto& mine = partials[index];
        for (std::size_t n = 0; n < chunk.size(); ++n) {
          const std::uint64_t block = (chunk.first + n) / options.block;
          if (mine.empty() || mine.back().block != block) mine.push_back({block, {}, 0.0, 0});
          block_sums& p = mine.back();
          if (with_voltage && std::isfinite(chunk.v_dc[n])) {
            p.v_sum += static_cast<double>(chunk.v_dc[n]);
            ++p.v_count;
          }
          if (!detail::passes(chunk, n, filter)) continue;
          const auto count_in_block = [&](int slot, std::size_t offset) {
            const int pair = pair_of_slot[static_cast<std::size_t>(slot)];
            if (pair >= 0) ++p.counts[offset + static_cast<std::size_t>(pair)];
          };
          pass.place(
              static_cast<double>(chunk.mass[n]), result.counts[worker],
              [&](int slot) { count_in_block(slot, 0); },
              [&](int slot) { count_in_block(slot, 2); });
        }
      });
  result.blocks.resize(apt::detail::to_size(block_count));
  for (std::size_t b = 0; b < result.blocks.size(); ++b) result.blocks[b].block = b;
  for (const auto& chunk : partials) {
    for (const auto& p : chunk) {
      block_sums& into = result.blocks[apt::detail::to_size(p.block)];
      for (std::size_t s = 0; s < 4; ++s) into.counts[s] += p.counts[s];
      into.v_sum += p.v_sum;
      into.v_count += p.v_count;
    }
  }
  return result;
}

}  // namespace

field_profile profile_field(const apt::dataset& data, const apt::range_file& file,
                            ratio_inverter& inverter, const profile_options& options) {
  const std::uint64_t block_count = checked_block_count(data, options);
  field_profile profile;
  profile.block = options.block;
  profile.voltages = data.voltages();
  const detail::counting_pass pass(data, file, inverter.states().request().element,
                                   options.counting);
  const int k = inverter.k();
  check_pair_counted(pass, file, k);
  const blocked_counts counted = count_by_block(data, pass, k, block_count, options);
  profile.overall = overall_of(pass.finish(counted.counts), file, inverter, options.confidence);
  profile.messages = profile.overall.counts.messages;
  const bool with_voltage = data.has(apt::columns::dc_voltage);
  for (const auto& s : counted.blocks) {
    profile_block block;
    block.first_ion = s.block * options.block;
    block.last_ion = std::min(data.ion_count(), block.first_ion + options.block) - 1;
    const auto& c = s.counts;
    block.field = pair_from(k, static_cast<double>(c[0]), static_cast<double>(c[1]),
                            static_cast<double>(c[2]), static_cast<double>(c[3]),
                            profile.overall.factor, options.confidence);
    if (with_voltage && s.v_count > 0) {
      block.mean_v_dc = s.v_sum / static_cast<double>(s.v_count);
    }
    profile.blocks.push_back(block);
  }
  std::vector<pair_field*> open;
  for (auto& block : profile.blocks) open.push_back(&block.field);
  set_fields(open, inverter);
  return profile;
}

std::vector<std::string> profile_csv_lines(const field_profile& profile) {
  std::vector<std::string> lines;
  lines.emplace_back(
      "first_ion,last_ion,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm");
  for (const auto& block : profile.blocks) {
    const auto& f = block.field;
    lines.push_back(std::to_string(block.first_ion) + "," + std::to_string(block.last_ion) + "," +
                    line_of({f.count_lower, f.count_upper, f.ratio, f.E, f.E_low, f.E_high}));
  }
  return lines;
}

}  // namespace veltrane
