#include "compute/charge_states/charge_states.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "compute/charge_states/charge_state_search.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double barrier_tolerance_v_per_nm = 1e-4;
// The searches evaluate a fixed number of fields per round, so that their
// results do not depend on the number of threads (threads only share a round).
using detail::scan_start_v_per_nm;
using detail::search_limit_factor;
constexpr std::size_t search_batch = 8;
// Fields of a fraction table per step and round of the exactly-1 rule.
constexpr std::size_t certain_batch = 8;

}  // namespace

double over_barrier::at_v_per_nm() const {
  if (everywhere) return 0.0;
  return found ? at * vnm_per_au : inf;
}

std::string over_barrier::text() const {
  if (everywhere) return "no value at any field from 1 V/nm";
  return format_number(at_v_per_nm());
}

charge_states::charge_states(calc_request request, model_function model, unsigned threads,
                             evaluation_progress* progress)
    : request_(std::move(request)),
      model_(std::move(model)),
      threads_(threads == 0 ? default_thread_count() : threads),
      progress_(progress) {
  // Held to its full size, so that the fields handed out stay where they are.
  barriers_.reserve(static_cast<std::size_t>(request_.n));
  known_.resize(static_cast<std::size_t>(std::max(request_.n, 0)));
  known_nan_.resize(known_.size());
}

charge_states::charge_states(calc_request request, const charge_state_model& model,
                             unsigned threads, evaluation_progress* progress)
    : charge_states(std::move(request), model.function, threads, progress) {
  nan_test_ = model.has_no_value;
  ratio_tolerance_ = model.ratio_tolerance_v_per_nm;
}

std::vector<double> charge_states::evaluate(const std::vector<model_call>& calls) {
  auto results = evaluate_calls(calls, model_, threads_, progress_);
  if (!results) throw calculation_cancelled();
  return std::move(*results);
}

namespace {

std::uint64_t field_bits(double F) { return std::bit_cast<std::uint64_t>(F); }

// The memory of a step's values is emptied beyond this many fields, so that
// a long-lived model does not grow without bound.
constexpr std::size_t most_known_fields = 1000000;

template <class map>
void keep(map& known, std::uint64_t key, typename map::mapped_type value) {
  if (known.size() >= most_known_fields) known.clear();
  known.emplace(key, value);
}

}  // namespace

// Q_j(F) at every (j, F) asked: the values known already, the others
// evaluated together and kept.
std::vector<double> charge_states::values(const std::vector<step_field>& at) {
  std::vector<double> Q(at.size());
  std::vector<model_call> calls;
  std::vector<std::size_t> asked;  // positions in `at` of the calls
  for (std::size_t i = 0; i < at.size(); ++i) {
    auto& known = known_[static_cast<std::size_t>(at[i].j) - 1];
    const auto found = known.find(field_bits(at[i].F));
    if (found != known.end()) {
      Q[i] = found->second;
    } else {
      calls.push_back(step_model_call(request_, at[i].j, at[i].F));
      asked.push_back(i);
    }
  }
  const auto results = evaluate(calls);
  for (std::size_t c = 0; c < calls.size(); ++c) {
    const step_field& p = at[asked[c]];
    Q[asked[c]] = results[c];
    keep(known_[static_cast<std::size_t>(p.j) - 1], field_bits(p.F), results[c]);
  }
  return Q;
}

// Whether Q_j(F) is NaN at every (j, F) asked (1 where it is): from a known
// value or test, else by the NaN test (or the value, without one).
std::vector<char> charge_states::without_value(const std::vector<step_field>& at) {
  if (!nan_test_) {
    const auto Q = values(at);
    std::vector<char> none(at.size());
    for (std::size_t i = 0; i < at.size(); ++i) none[i] = std::isnan(Q[i]) ? 1 : 0;
    return none;
  }
  std::vector<char> none(at.size());
  std::vector<model_call> calls;
  std::vector<std::size_t> asked;
  for (std::size_t i = 0; i < at.size(); ++i) {
    const auto j = static_cast<std::size_t>(at[i].j) - 1;
    const std::uint64_t key = field_bits(at[i].F);
    if (const auto value = known_[j].find(key); value != known_[j].end()) {
      none[i] = std::isnan(value->second) ? 1 : 0;
    } else if (const auto test = known_nan_[j].find(key); test != known_nan_[j].end()) {
      none[i] = test->second ? 1 : 0;
    } else {
      calls.push_back(step_model_call(request_, at[i].j, at[i].F));
      asked.push_back(i);
    }
  }
  // The test through evaluate_calls: NaN for "no value", 0 otherwise.
  const nan_test_function& test = nan_test_;
  const model_function as_model = [&test](double E, double B, double phi, int m, int n,
                                          double m_ion, double u) {
    return test(E, B, phi, m, n, m_ion, u) ? std::numeric_limits<double>::quiet_NaN() : 0.0;
  };
  auto results = evaluate_calls(calls, as_model, threads_, progress_);
  if (!results) throw calculation_cancelled();
  for (std::size_t c = 0; c < calls.size(); ++c) {
    const step_field& p = at[asked[c]];
    const bool nan = std::isnan((*results)[c]);
    none[asked[c]] = nan ? 1 : 0;
    keep(known_nan_[static_cast<std::size_t>(p.j) - 1], field_bits(p.F), nan);
  }
  return none;
}

// The sweep's fields of step j (atomic units), in rising order.
std::vector<double> charge_states::sweep_fields(int j) const {
  const sweep_plan plan = plan_sweeps(request_);
  std::vector<double> F;
  for (const auto& p : plan.curves.steps[static_cast<std::size_t>(j) - 1].points) F.push_back(p.F);
  return F;
}

std::vector<char> charge_states::steps_without_value(int j, const std::vector<double>& F) {
  std::vector<step_field> at;
  at.reserve(F.size());
  for (double f : F) at.push_back({j, f});
  return without_value(at);
}

// Upward from a field where Q_j is a number: the sweep's fields in rising
// order, then on in the sweep's steps up to four times its end, a fixed batch
// at a time. The bracket is the last number and the first NaN after it.
std::optional<std::pair<double, double>> charge_states::nan_above(int j,
                                                                  const std::vector<double>& F) {
  const step_range range = sweep_range(request_, j);
  const double limit = search_limit_factor * range.end;
  double lo = F.front();
  std::size_t next = 1;
  double beyond = F.back();
  for (;;) {
    std::vector<double> part;
    while (part.size() < search_batch && next < F.size()) part.push_back(F[next++]);
    while (part.size() < search_batch && next >= F.size() && range.step > 0.0) {
      beyond = beyond + range.step;
      if (!(beyond < limit)) break;
      part.push_back(beyond);
    }
    if (part.empty()) return std::nullopt;
    const auto none = steps_without_value(j, part);
    for (std::size_t i = 0; i < part.size(); ++i) {
      if (none[i] != 0) return std::pair{lo, part[i]};
      lo = part[i];
    }
  }
}

// Downward from the start of the sweep, where Q_j is NaN: in the sweep's
// steps, not below 1 V/nm. The bracket is the first number and the NaN above.
std::optional<std::pair<double, double>> charge_states::number_below(int j, double start) {
  const double step = sweep_range(request_, j).step;
  const double floor_F = scan_start_v_per_nm / vnm_per_au;
  double hi = start;
  std::size_t i = 1;
  while (step > 0.0) {
    std::vector<double> part;
    for (; part.size() < search_batch; ++i) {
      const double F = start - static_cast<double>(i) * step;
      if (!(F >= floor_F)) break;
      part.push_back(F);
    }
    if (part.empty()) break;
    const auto none = steps_without_value(j, part);
    for (std::size_t m = 0; m < part.size(); ++m) {
      if (none[m] == 0) return std::pair{part[m], hi};
      hi = part[m];
    }
  }
  return std::nullopt;
}

// The bisection of one step's bracket [lo, hi] (a number at lo, NaN at
// hi) down to the tolerance, by the rounds of detail::bisection_bracket: the
// first NaN and the number just below it are kept. The parts are tried from
// below, a few at a time as the threads allow, and the round ends at its
// first NaN (as bisection_bracket::narrow ends it): the parts above it are
// never evaluated.
struct charge_states::edge_search {
  int j = 0;
  double lo = 0.0, hi = 0.0;
  std::vector<double> part;  // this round's fields, rising; empty between rounds
  std::size_t next = 0;      // the first part not yet tried
  double new_lo = 0.0;       // the highest number of the round so far
  std::size_t rounds = 0;    // ended so far
  bool done = false;

  // Ends a round with its new bracket; the search ends when the bracket is
  // within the tolerance or no double lies between its ends any more.
  void end_round(double lower, double upper) {
    if (lower == lo && upper == hi) done = true;
    ++rounds;
    lo = lower;
    hi = upper;
    part.clear();
  }
  void start_round() {
    if ((hi - lo) * vnm_per_au <= barrier_tolerance_v_per_nm) {
      done = true;
      return;
    }
    detail::bisection_bracket{lo, hi}.add_round(part);
    next = 0;
    new_lo = lo;
  }
  // Takes whether Q is NaN at part[next].
  void take(bool no_value) {
    if (no_value) return end_round(new_lo, part[next]);
    new_lo = part[next++];
    if (next == part.size()) end_round(new_lo, hi);
  }
};

// The searches of all steps side by side: each wave evaluates the next parts
// of every search at once (as many ahead of each as the threads allow), so
// the threads share the steps' work while every search tries its parts in
// the same order as alone.
void charge_states::narrow_edges(std::vector<edge_search>& searches) {
  for (;;) {
    std::vector<edge_search*> open;
    for (auto& s : searches) {
      if (!s.done && s.part.empty()) s.start_round();
      if (!s.done) open.push_back(&s);
    }
    if (open.empty()) return;
    const std::size_t ahead = std::max<std::size_t>(1, threads_ / open.size());
    std::vector<step_field> at;
    std::vector<std::size_t> taken;
    for (const edge_search* s : open) {
      const std::size_t n = std::min(ahead, s->part.size() - s->next);
      for (std::size_t i = 0; i < n; ++i) at.push_back({s->j, s->part[s->next + i]});
      taken.push_back(n);
    }
    const auto none = without_value(at);
    std::size_t q = 0;
    for (std::size_t o = 0; o < open.size(); ++o) {
      edge_search& s = *open[o];
      const std::size_t round = s.rounds;
      for (std::size_t i = 0; i < taken[o]; ++i, ++q) {
        // A value past the round's first NaN is not needed.
        if (s.rounds == round) s.take(none[q] != 0);
      }
    }
  }
}

// The bracket of step j's over-barrier field: upward from the sweep's start
// when Q_j is a number there, downward from it when it is NaN.
over_barrier charge_states::bracket_over_barrier(int j) {
  over_barrier ob;
  const std::vector<double> F = sweep_fields(j);
  if (F.empty()) return ob;
  const bool number_at_start = steps_without_value(j, {F.front()}).front() == 0;
  const auto bracket = number_at_start ? nan_above(j, F) : number_below(j, F.front());
  if (!bracket) {
    ob.everywhere = !number_at_start;
    return ob;
  }
  ob.found = true;
  std::tie(ob.below, ob.at) = *bracket;
  return ob;
}

const over_barrier& charge_states::over_barrier_field(int j) {
  if (j < 1 || j > request_.n) throw std::out_of_range("no such step of the cascade");
  const auto known = static_cast<int>(barriers_.size());
  if (j > known) {
    std::vector<over_barrier> more;
    std::vector<edge_search> searches;
    for (int step = known + 1; step <= j; ++step) {
      more.push_back(bracket_over_barrier(step));
      const over_barrier& ob = more.back();
      if (ob.found) {
        edge_search s;
        s.j = step;
        s.lo = ob.below;
        s.hi = ob.at;
        searches.push_back(s);
      }
    }
    narrow_edges(searches);
    for (const auto& s : searches) {
      over_barrier& ob = more[static_cast<std::size_t>(s.j - known) - 1];
      ob.below = s.lo;
      ob.at = s.hi;
    }
    barriers_.insert(barriers_.end(), more.begin(), more.end());
  }
  return barriers_[static_cast<std::size_t>(j) - 1];
}

const std::vector<over_barrier>& charge_states::over_barrier_fields() {
  over_barrier_field(request_.n);
  return barriers_;
}

std::vector<std::vector<double>> charge_states::step_probabilities(const std::vector<double>& F) {
  std::vector<step_field> at;
  for (int j = 1; j <= request_.n; ++j) {
    for (double f : F) at.push_back({j, f});
  }
  const auto Q = values(at);
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
  over_barrier_field(steps);
  const auto& barriers = barriers_;
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(steps),
                                        std::vector<double>(F.size(), 0.0));
  // Per step, the fields below its over-barrier field, highest first.
  std::vector<std::vector<std::size_t>> pending(static_cast<std::size_t>(steps));
  for (int j = 1; j <= steps; ++j) {
    const auto& ob = barriers[static_cast<std::size_t>(j) - 1];
    auto& list = pending[static_cast<std::size_t>(j) - 1];
    for (std::size_t e = 0; e < F.size(); ++e) {
      if (!ob.everywhere && !(ob.found && F[e] >= ob.at)) list.push_back(e);
    }
    std::sort(list.begin(), list.end(), [&F](std::size_t x, std::size_t y) { return F[x] > F[y]; });
  }
  // Downward in batches over all steps at once. The ion's chance of further
  // ionisation only grows with the field, so once a step's probability is
  // exactly 1 at some field (the floor), it is exactly 1 at every lower field
  // as well: those fields need no model call. (At low fields the
  // transmissions underflow and each term of the flight integral rounds away;
  // the model gives exactly 1 there, but only after its whole integration.)
  // The rule is checked on one more batch below the floor; a value there
  // that is not exactly 1 means every field is evaluated. The batches are of
  // a fixed size, so the outcome does not depend on the number of threads.
  enum class phase { searching, checking, every_field, done };
  constexpr std::size_t none = std::numeric_limits<std::size_t>::max();
  const std::size_t count = pending.size();
  std::vector<std::size_t> next(count, 0), floor_at(count, none);
  std::vector<phase> state(count, phase::searching);
  for (;;) {
    std::vector<step_field> at;
    std::vector<std::pair<std::size_t, std::size_t>> where;  // (step, position in pending)
    for (std::size_t j = 0; j < count; ++j) {
      if (state[j] == phase::done) continue;
      for (std::size_t c = 0; c < certain_batch && next[j] < pending[j].size(); ++c) {
        at.push_back({static_cast<int>(j) + 1, F[pending[j][next[j]]]});
        where.emplace_back(j, next[j]++);
      }
    }
    if (at.empty()) break;
    const auto Q = values(at);
    for (std::size_t c = 0; c < at.size(); ++c) {
      const auto [j, position] = where[c];
      rows[j][pending[j][position]] = Q[c];
      if (state[j] == phase::searching && Q[c] == 1.0) {
        floor_at[j] = position;
        state[j] = phase::checking;
      } else if (state[j] == phase::checking && Q[c] != 1.0) {
        state[j] = phase::every_field;
      }
    }
    for (std::size_t j = 0; j < count; ++j) {
      if (state[j] == phase::checking && next[j] > floor_at[j] + certain_batch) {
        state[j] = phase::done;
      }
    }
  }
  for (std::size_t j = 0; j < count; ++j) {
    for (std::size_t i = next[j]; i < pending[j].size(); ++i) rows[j][pending[j][i]] = 1.0;
  }
  return rows;
}

std::vector<std::vector<double>> charge_states::fractions(
    const std::vector<std::vector<double>>& Q_tilde) {
  const std::size_t n = Q_tilde.size();
  const std::size_t count = n == 0 ? 0 : Q_tilde[0].size();
  std::vector<std::vector<double>> f(n + 1, std::vector<double>(count));
  for (std::size_t e = 0; e < count; ++e) {
    double survived = 1.0;  // prod_{i<k} (1 - Q~_i)
    for (std::size_t k = 0; k < n; ++k) {
      f[k][e] = Q_tilde[k][e] * survived;
      survived = survived * (1.0 - Q_tilde[k][e]);
    }
    f[n][e] = survived;
  }
  return f;
}

std::vector<double> charge_states::ratios_at(int k, const std::vector<double>& F) {
  const over_barrier ob_k = over_barrier_field(k);
  // The steps up to k + 1 (or n) decide f_k and f_(k+1).
  const auto f = fractions(certain_rows(std::min(k + 1, request_.n), F));
  const auto& f_k = f[static_cast<std::size_t>(k) - 1];
  const auto& f_next = f[static_cast<std::size_t>(k)];
  std::vector<double> ratios;
  ratios.reserve(F.size());
  for (std::size_t e = 0; e < F.size(); ++e) {
    if (ob_k.everywhere || (ob_k.found && F[e] >= ob_k.at)) {
      ratios.push_back(inf);
    } else {
      ratios.push_back(f_k[e] > 0.0 ? f_next[e] / f_k[e]
                                    : std::numeric_limits<double>::quiet_NaN());
    }
  }
  return ratios;
}

fraction_table fraction_table_at(charge_states& states, const std::vector<double>& E) {
  fraction_table t;
  t.E = E;
  std::vector<double> F;
  F.reserve(E.size());
  for (double e : E) F.push_back(e / vnm_per_au);
  t.barriers = states.over_barrier_fields();
  t.Q_tilde = states.certain_above_barrier(F);
  t.f = charge_states::fractions(t.Q_tilde);
  return t;
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

}  // namespace veltrane
