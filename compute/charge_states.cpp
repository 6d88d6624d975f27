#include "compute/charge_states.hpp"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/number_format.hpp"
#include "compute/text_export.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double barrier_tolerance_v_per_nm = 1e-4;
constexpr double ratio_tolerance_v_per_nm = 1e-3;
constexpr double scan_start_v_per_nm = 1.0;
constexpr double scan_step_v_per_nm = 0.5;

std::string charge(int k) { return std::to_string(k) + "+"; }

}  // namespace

double over_barrier::at_v_per_nm() const { return found ? at * vnm_per_au : inf; }

std::optional<double> ratio_fields::field() const {
  for (const auto& c : crossings) {
    if (c.rising) return c.E;
  }
  return std::nullopt;
}

std::string ratio_fields::unreachable_message() const {
  std::string message = charge(k + 1) + "/" + charge(k) + " = " + format_number(ratio) +
                        " is not reached between " + format_number(range_from) + " and " +
                        format_number(range_to) + " V/nm";
  if (!(lowest <= highest)) return message + ": the model gives no ratio there.";
  return message + ": the model's ratios there run from " + format_number(lowest) + " to " +
         format_number(highest) + " (and are infinite from " + format_number(range_to) +
         " V/nm on).";
}

charge_states::charge_states(calc_request request, model_function model, unsigned threads,
                             evaluation_progress* progress)
    : request_(std::move(request)),
      model_(std::move(model)),
      threads_(threads == 0 ? default_thread_count() : threads),
      progress_(progress) {}

std::vector<double> charge_states::evaluate(const std::vector<model_call>& calls) {
  auto results = evaluate_calls(calls, model_, threads_, progress_);
  if (!results) throw calculation_cancelled();
  return std::move(*results);
}

const std::vector<over_barrier>& charge_states::over_barrier_fields() {
  if (barriers_) return *barriers_;
  const sweep_plan plan = plan_sweeps(request_);
  std::vector<over_barrier> result;
  const std::size_t batch = std::max<std::size_t>(threads_, 2);
  std::size_t first_call = 0;
  for (int j = 1; j <= request_.n; ++j) {
    const auto& points = plan.curves.steps[static_cast<std::size_t>(j) - 1].points;
    const std::vector<model_call> calls(
        plan.calls.begin() + static_cast<std::ptrdiff_t>(first_call),
        plan.calls.begin() + static_cast<std::ptrdiff_t>(first_call + points.size()));
    first_call += points.size();
    over_barrier ob;
    if (points.empty()) {
      result.push_back(ob);
      continue;
    }

    // From the top of the sweep down to its first number: the NaN points
    // there cost next to nothing, the finite ones a whole integration.
    std::optional<double> finite, lowest_nan;
    std::size_t top = points.size();
    while (top > 0 && !finite) {
      const std::size_t from = top > batch ? top - batch : 0;
      const std::vector<model_call> part(calls.begin() + static_cast<std::ptrdiff_t>(from),
                                         calls.begin() + static_cast<std::ptrdiff_t>(top));
      const auto Q = evaluate(part);
      for (std::size_t i = part.size(); i-- > 0;) {
        if (std::isnan(Q[i])) {
          lowest_nan = part[i].E;
        } else {
          finite = part[i].E;
          break;
        }
      }
      top = from;
    }
    if (!lowest_nan) {
      // No NaN in the sweep: on upwards in the sweep's steps.
      const step_range range = sweep_range(request_, j);
      double F = points.back().F;
      const double limit = 4.0 * range.end;
      while (!lowest_nan && F < limit && range.step > 0.0) {
        std::vector<model_call> part;
        for (std::size_t i = 0; i < batch; ++i) {
          F = F + range.step;
          part.push_back(step_model_call(request_, j, F));
        }
        const auto Q = evaluate(part);
        for (std::size_t i = 0; i < part.size(); ++i) {
          if (std::isnan(Q[i])) {
            lowest_nan = part[i].E;
            break;
          }
          finite = part[i].E;
        }
      }
    }
    if (!lowest_nan) {
      result.push_back(ob);
      continue;
    }
    ob.found = true;
    if (!finite) {
      // NaN from the start of the sweep on.
      ob.at = ob.below = *lowest_nan;
      result.push_back(ob);
      continue;
    }
    // Bisection, a point per thread at a time: the lowest NaN found becomes
    // the upper end, the number below it the lower one.
    double lo = *finite, hi = *lowest_nan;
    while ((hi - lo) * vnm_per_au > barrier_tolerance_v_per_nm) {
      std::vector<model_call> part;
      for (std::size_t i = 1; i <= batch; ++i) {
        const double F = lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(batch + 1);
        part.push_back(step_model_call(request_, j, F));
      }
      const auto Q = evaluate(part);
      double new_lo = lo, new_hi = hi;
      for (std::size_t i = 0; i < part.size(); ++i) {
        if (std::isnan(Q[i])) {
          new_hi = part[i].E;
          break;
        }
        new_lo = part[i].E;
      }
      if (new_lo == lo && new_hi == hi) break;  // no double between them any more
      lo = new_lo;
      hi = new_hi;
    }
    ob.below = lo;
    ob.at = hi;
    result.push_back(ob);
  }
  barriers_ = std::move(result);
  return *barriers_;
}

std::vector<std::vector<double>> charge_states::step_probabilities(const std::vector<double>& F) {
  std::vector<model_call> calls;
  for (int j = 1; j <= request_.n; ++j) {
    for (double f : F) calls.push_back(step_model_call(request_, j, f));
  }
  const auto Q = evaluate(calls);
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(request_.n));
  for (std::size_t j = 0; j < rows.size(); ++j) {
    rows[j].assign(Q.begin() + static_cast<std::ptrdiff_t>(j * F.size()),
                   Q.begin() + static_cast<std::ptrdiff_t>((j + 1) * F.size()));
  }
  return rows;
}

std::vector<std::vector<double>> charge_states::certain_above_barrier(
    const std::vector<double>& F) {
  return certain_rows(request_.n, F);
}

std::vector<std::vector<double>> charge_states::certain_rows(int steps,
                                                             const std::vector<double>& F) {
  const auto& barriers = over_barrier_fields();
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(steps),
                                        std::vector<double>(F.size(), 0.0));
  // Per step, the fields below its over-barrier field, highest first.
  std::vector<std::vector<std::size_t>> pending(static_cast<std::size_t>(steps));
  for (int j = 1; j <= steps; ++j) {
    const auto& ob = barriers[static_cast<std::size_t>(j) - 1];
    auto& list = pending[static_cast<std::size_t>(j) - 1];
    for (std::size_t e = 0; e < F.size(); ++e) {
      if (!(ob.found && F[e] >= ob.at)) list.push_back(e);
    }
    std::sort(list.begin(), list.end(), [&F](std::size_t x, std::size_t y) { return F[x] > F[y]; });
  }
  // Downward in batches over all steps at once. The ion's chance of further
  // ionisation only grows with the field, so once a step's probability is
  // exactly 1 at some field, it is exactly 1 at every lower field as well:
  // those fields need no model call. (At low fields the transmissions
  // underflow and each term of the flight integral rounds away; the model
  // gives exactly 1 there, but only after its whole integration.)
  const std::size_t batch = 2 * static_cast<std::size_t>(threads_);
  std::vector<std::size_t> next(static_cast<std::size_t>(steps), 0);
  std::vector<bool> floor_reached(static_cast<std::size_t>(steps), false);
  for (;;) {
    std::vector<model_call> calls;
    std::vector<std::pair<std::size_t, std::size_t>> where;  // (step, field)
    for (std::size_t j = 0; j < pending.size(); ++j) {
      for (std::size_t c = 0; c < batch && next[j] < pending[j].size() && !floor_reached[j]; ++c) {
        const std::size_t e = pending[j][next[j]++];
        calls.push_back(step_model_call(request_, static_cast<int>(j) + 1, F[e]));
        where.emplace_back(j, e);
      }
    }
    if (calls.empty()) break;
    const auto Q = evaluate(calls);
    for (std::size_t c = 0; c < calls.size(); ++c) {
      rows[where[c].first][where[c].second] = Q[c];
      if (Q[c] == 1.0) floor_reached[where[c].first] = true;
    }
  }
  for (std::size_t j = 0; j < pending.size(); ++j) {
    for (std::size_t i = next[j]; i < pending[j].size(); ++i) rows[j][pending[j][i]] = 1.0;
  }
  return rows;
}

std::vector<std::vector<double>> charge_states::fractions(
    const std::vector<std::vector<double>>& Qt) {
  const std::size_t n = Qt.size();
  const std::size_t count = n == 0 ? 0 : Qt[0].size();
  std::vector<std::vector<double>> f(n + 1, std::vector<double>(count));
  for (std::size_t e = 0; e < count; ++e) {
    double survived = 1.0;  // prod_{i<k} (1 - Q~_i)
    for (std::size_t k = 0; k < n; ++k) {
      f[k][e] = Qt[k][e] * survived;
      survived = survived * (1.0 - Qt[k][e]);
    }
    f[n][e] = survived;
  }
  return f;
}

std::vector<double> charge_states::ratios_at(int k, const std::vector<double>& F) {
  const auto& ob_k = over_barrier_fields()[static_cast<std::size_t>(k) - 1];
  // The steps up to k + 1 (or n) decide f_k and f_(k+1).
  const auto Qt = certain_rows(std::min(k + 1, request_.n), F);
  std::vector<double> ratios;
  for (std::size_t e = 0; e < F.size(); ++e) {
    if (ob_k.found && F[e] >= ob_k.at) {
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

ratio_fields charge_states::field_from_ratio(int k, double ratio) {
  ratio_fields result;
  result.k = k;
  result.ratio = ratio;
  const auto& ob = over_barrier_fields()[static_cast<std::size_t>(k) - 1];
  const double end_F = ob.found ? ob.at : 4.0 * sweep_range(request_, k).end;
  result.range_from = scan_start_v_per_nm;
  result.range_to = end_F * vnm_per_au;
  result.lowest = inf;
  result.highest = -inf;

  // The scan: every half V/nm from 1 V/nm, then the over-barrier field.
  std::vector<double> F;
  for (int i = 0;; ++i) {
    const double E = scan_start_v_per_nm + scan_step_v_per_nm * i;
    if (!(E / vnm_per_au < end_F)) break;
    F.push_back(E / vnm_per_au);
  }
  F.push_back(end_F);
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
      const bool below_now = r[i] < ratio;
      if (below_before != below_now) {
        // Bisection of the bracket, a point per thread at a time.
        double lo = previous_F, hi = F[i];
        const std::size_t batch = std::max<std::size_t>(threads_, 2);
        while ((hi - lo) * vnm_per_au > ratio_tolerance_v_per_nm) {
          std::vector<double> inner;
          for (std::size_t m = 1; m <= batch; ++m) {
            inner.push_back(lo +
                            (hi - lo) * static_cast<double>(m) / static_cast<double>(batch + 1));
          }
          const auto ri = ratios_at(k, inner);
          double new_lo = lo, new_hi = hi;
          for (std::size_t m = 0; m < inner.size(); ++m) {
            if (std::isnan(ri[m])) continue;
            if ((ri[m] < ratio) == below_before) {
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
        result.crossings.push_back({0.5 * (lo + hi) * vnm_per_au, below_before});
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

fraction_table fraction_table_at(charge_states& states, const std::vector<double>& E) {
  fraction_table t;
  t.E = E;
  std::vector<double> F;
  F.reserve(E.size());
  for (double e : E) F.push_back(e / vnm_per_au);
  t.barriers = states.over_barrier_fields();
  t.Qt = states.certain_above_barrier(F);
  t.f = charge_states::fractions(t.Qt);
  return t;
}

std::optional<std::vector<double>> field_grid(double from, double to, double step,
                                              std::string* message) {
  auto refuse_grid = [message](std::string text) {
    if (message != nullptr) *message = std::move(text);
    return std::nullopt;
  };
  if (!std::isfinite(from) || !std::isfinite(to) || !std::isfinite(step)) {
    return refuse_grid("the field range and step must be finite numbers");
  }
  if (!(from < to)) {
    return refuse_grid("the field range must rise: " + format_number(from) + " is not below " +
                       format_number(to) + " V/nm");
  }
  if (!(step > 0.0))
    return refuse_grid("the field step must be above 0, not " + format_number(step));
  const double intervals = std::floor((to - from) / step * (1.0 + 1e-12));
  if (!(intervals + 1.0 <= static_cast<double>(max_fraction_fields))) {
    return refuse_grid("the range from " + format_number(from) + " to " + format_number(to) +
                       " V/nm in steps of " + format_number(step) + " has more than " +
                       std::to_string(max_fraction_fields) + " fields");
  }
  std::vector<double> E;
  for (std::size_t i = 0; i <= static_cast<std::size_t>(intervals); ++i) {
    E.push_back(from + step * static_cast<double>(i));
  }
  return E;
}

std::pair<double, double> default_field_range(charge_states& states) {
  double from = inf, to = -inf;
  const auto& barriers = states.over_barrier_fields();
  for (int j = 1; j <= states.n(); ++j) {
    const step_range range = sweep_range(states.request(), j);
    from = std::min(from, range.start * vnm_per_au);
    const auto& ob = barriers[static_cast<std::size_t>(j) - 1];
    to = std::max(to, ob.found ? ob.at * vnm_per_au : range.end * vnm_per_au);
  }
  from = std::floor(from);
  to = std::ceil(to);
  if (!std::isfinite(from) || !std::isfinite(to) || !(from < to)) return {1.0, 100.0};
  return {std::max(from, 0.0), to};
}

std::vector<std::string> fraction_csv_lines(const calc_request& r, const fraction_table& t) {
  std::vector<std::string> lines;
  lines.push_back("# Charge-state fractions after Kingham's post-field-ionisation theory");
  std::string inputs = "# " + r.element + ", n = " + std::to_string(r.n) + ", work function " +
                       format_number(r.work_function_ev) + " eV, energies";
  for (std::size_t i = 0; i < r.energies_ev.size(); ++i) {
    inputs += (i ? ", " : " ") + format_number(r.energies_ev[i]);
  }
  lines.push_back(inputs + " eV");
  std::string barriers = "# over the barrier from E_ob [V/nm]:";
  for (std::size_t j = 0; j < t.barriers.size(); ++j) {
    barriers += (j ? ", step " : " step ") + std::to_string(j + 1) + " " +
                format_number(t.barriers[j].at_v_per_nm());
  }
  lines.push_back(barriers);
  lines.push_back(
      "# Qj: probability that j+ keeps its charge (0 from E_ob of step j on); "
      "fk: fraction of k+");
  std::string header = "E_V_per_nm";
  for (std::size_t j = 1; j <= t.Qt.size(); ++j) header += ",Q" + std::to_string(j);
  for (std::size_t k = 1; k <= t.f.size(); ++k) header += ",f" + std::to_string(k);
  lines.push_back(header);
  for (std::size_t e = 0; e < t.E.size(); ++e) {
    std::string line = format_number(t.E[e]);
    for (const auto& row : t.Qt) line += "," + format_number(row[e]);
    for (const auto& row : t.f) line += "," + format_number(row[e]);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::pair<double, double> wilson_interval(double successes, double trials, double confidence) {
  const double z = gsl_cdf_ugaussian_Pinv(1.0 - (1.0 - confidence) / 2.0);
  const double p = successes / trials;
  const double z2n = z * z / trials;
  const double centre = (p + z2n / 2.0) / (1.0 + z2n);
  const double half = z / (1.0 + z2n) * std::sqrt(p * (1.0 - p) / trials + z2n / (4.0 * trials));
  return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

namespace {

// "3+" -> 3; nothing for anything else.
std::optional<int> read_charge(std::string text) {
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.size() < 2 || text.size() > 3 || text.back() != '+') return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool refuse(std::string* message, std::string text) {
  if (message != nullptr) *message = std::move(text);
  return false;
}

bool check_state(int state, int n, std::string* message) {
  if (state < 1 || state > n + 1) {
    return refuse(message, charge(state) + " is not a charge state of " + std::to_string(n) +
                               (n == 1 ? " ionisation" : " ionisations") + " (1+ to " +
                               charge(n + 1) + ")");
  }
  return true;
}

}  // namespace

std::optional<ratio_spec> parse_ratio_spec(const std::string& text, int n, std::string* message) {
  const std::size_t slash = text.find('/');
  const std::size_t equals = text.find('=');
  const auto upper = slash == std::string::npos ? std::nullopt : read_charge(text.substr(0, slash));
  const auto lower = (slash == std::string::npos || equals == std::string::npos || equals < slash)
                         ? std::nullopt
                         : read_charge(text.substr(slash + 1, equals - slash - 1));
  if (!upper || !lower) {
    refuse(message, "a ratio is written as 3+/2+=0.8, not \"" + text + "\"");
    return std::nullopt;
  }
  if (!check_state(*upper, n, message) || !check_state(*lower, n, message)) return std::nullopt;
  if (std::abs(*upper - *lower) != 1) {
    refuse(message,
           charge(*upper) + " and " + charge(*lower) + " are not neighbouring charge states");
    return std::nullopt;
  }
  const std::string value_text = text.substr(equals + 1);
  const auto value = parse_number(value_text, plain_number_format());
  if (!value || !std::isfinite(*value) || !(*value > 0.0)) {
    refuse(message, "a ratio must be a finite number above 0, not \"" + value_text + "\"");
    return std::nullopt;
  }
  if (*upper > *lower) return ratio_spec{*lower, *value};
  return ratio_spec{*upper, 1.0 / *value};
}

std::optional<std::vector<double>> parse_counts_spec(const std::string& text, int n,
                                                     std::string* message) {
  std::vector<double> counts(static_cast<std::size_t>(n) + 2, -1.0);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    const std::size_t equals = item.find('=');
    const auto state =
        equals == std::string::npos ? std::nullopt : read_charge(item.substr(0, equals));
    if (!state) {
      refuse(message, "counts are written as 2+=1200,3+=960, not \"" + item + "\"");
      return std::nullopt;
    }
    if (!check_state(*state, n, message)) return std::nullopt;
    const std::string value_text = item.substr(equals + 1);
    const auto value = parse_number(value_text, plain_number_format());
    if (!value || !std::isfinite(*value) || *value < 0.0 || *value != std::trunc(*value) ||
        *value > 1e15) {
      refuse(message, "a count must be a whole number of at least 0, not \"" + value_text + "\"");
      return std::nullopt;
    }
    auto& slot = counts[static_cast<std::size_t>(*state)];
    if (slot >= 0.0) {
      refuse(message, charge(*state) + " is counted twice");
      return std::nullopt;
    }
    slot = *value == 0.0 ? 0.0 : *value;  // no negative zero
    start = end + 1;
  }
  return counts;
}

std::optional<std::vector<int>> counted_pairs(const std::vector<double>& counts,
                                              std::string* message) {
  std::vector<int> pairs;
  for (std::size_t k = 1; k + 1 < counts.size(); ++k) {
    if (counts[k] < 0.0 || counts[k + 1] < 0.0) continue;
    if (counts[k] == 0.0 && counts[k + 1] == 0.0) {
      refuse(message, "the counts of " + charge(static_cast<int>(k)) + " and " +
                          charge(static_cast<int>(k) + 1) + " are both zero");
      return std::nullopt;
    }
    pairs.push_back(static_cast<int>(k));
  }
  if (pairs.empty()) {
    refuse(message, "counts of two neighbouring charge states are needed, such as 2+=1200,3+=960");
    return std::nullopt;
  }
  return pairs;
}

}  // namespace veltrane
