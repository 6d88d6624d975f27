#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <stdexcept>
#include <vector>

#include "compute/curves/request.hpp"
#include "model/constants.hpp"

namespace veltrane {

inline constexpr int max_points_per_step = 51;  ///< a multi-step sweep never evaluates more

/// The model's entry point, with the arguments of `veltrane` in its order:
/// field (au), binding energy (hartree), work function (hartree), period,
/// charge, atomic mass (u), energy offset (hartree). Returns Q.
using model_function = std::function<double(double, double, double, int, int, double, double)>;

/// Whether a model function is NaN at these arguments (the same arguments),
/// decided by a cheaper route than its value.
using nan_test_function = std::function<bool(double, double, double, int, int, double, double)>;

/// One field value of a sweep and the model's result there.
struct sweep_point {
  double F = 0.0;  ///< field, atomic units
  double E = 0.0;  ///< field strength, V/nm (F * 514.2)
  double Q = 0.0;  ///< probability that the ion of charge j+ keeps its charge
};

/// The sweep of ionisation step j (charge j+ to (j+1)+), in rising field.
struct step_curve {
  int j = 1;
  std::vector<sweep_point> points;
};

/// Every step of one calculation, j = 1..n in order.
struct curve_set {
  int n = 1;
  std::vector<step_curve> steps;
};

/// The arguments of one model call.
struct model_call {
  double E, B, phi;
  int m, n;
  double m_ion, u;
};

/// The sweeps of a calculation laid out before anything is evaluated: the
/// curves with their fields (Q not yet set), and one model call per point, in
/// sweep order, step after step.
struct sweep_plan {
  curve_set curves;
  std::vector<model_call> calls;
};

/// The field range of step j's sweep, in atomic units: its first field, the
/// end it never passes, and the step between neighbouring fields.
struct step_range {
  double start, end, step;
};
step_range sweep_range(const calc_request& request, int j);

/// The model call that step j's sweep makes at field F (au): the binding
/// energy I(j+1), the work function, the period, the charge j, the mass, and
/// the energy offset of the step (single-step for n = 1; none in step 1 and
/// the multi-step sum in later steps for n >= 2). At a field of the sweep it
/// is exactly the sweep's call, so it gives the chart's value bit for bit.
model_call step_model_call(const calc_request& request, int j, double F);

/// Lays out the sweeps of an accepted request:
///  n = 1: 50 fields from I2^2/14 in accumulated steps of (I2^2/8.8 - I2^2/14)/50,
///         offset (I1 - phi)/F + 0.8, times F;
///  n >= 2: step j from I(j+1)^2/((j+2.5)*4) while F <= I(j+1)^2/((j+1)*4), by
///         accumulated steps of a fiftieth of the range, offset 0 for j = 1 and
///         the sum over m = 2..j of z_m F + (2m-1)/(4 z_m), z_m = (Im - phi)/F + 0.8.
/// A step ends after 51 points, or as soon as the field no longer increases (a
/// zero or vanishing step), so it never runs away.
sweep_plan plan_sweeps(const calc_request& request);

/// Shared between a running evaluation and whoever watches it.
/// `total` counts the model calls handed to evaluate_calls so far and `done`
/// those that have returned, so done never exceeds total.
struct evaluation_progress {
  std::atomic<std::size_t> done{0};
  std::atomic<std::size_t> total{0};
  std::atomic<bool> cancel{false};
};

/// A calculation that could not go on: the model or its cache failed (for
/// example out of memory). The text is the message for the user.
class calculation_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A calculation stopped through its progress's cancel flag.
class calculation_cancelled : public std::runtime_error {
 public:
  calculation_cancelled() : std::runtime_error("cancelled") {}
};

/// A request the calculation cannot take on (for example one whose search
/// would run over millions of fields): bad input, said in the text.
class input_refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Evaluates the calls with `model` on `threads` threads (0: all cores), the
/// results in the order of the calls. The calls are independent, so the order
/// of evaluation does not change any result. Returns nothing when cancelled
/// through `progress`. When the model throws on any thread, the other
/// threads stop, all are joined, and calculation_error is thrown with
/// "Out of memory while calculating" or the exception's text.
std::optional<std::vector<double>> evaluate_calls(const std::vector<model_call>& calls,
                                                  const model_function& model, unsigned threads = 1,
                                                  evaluation_progress* progress = nullptr);

/// Evaluates every call of the plan (see evaluate_calls) and stores each Q at
/// its point. Returns false when cancelled through `progress`; the plan's Q
/// values are then incomplete. Throws calculation_error as evaluate_calls.
bool evaluate_plan(sweep_plan& plan, const model_function& model, unsigned threads = 1,
                   evaluation_progress* progress = nullptr);

/// plan_sweeps followed by evaluate_plan: the curves of one calculation.
curve_set compute_curves(const calc_request& request, const model_function& model,
                         unsigned threads = 1);

/// The number of worker threads that "all cores" means here.
unsigned default_thread_count();

/// Independent jobs 0 .. count - 1 side by side, their results in order:
/// make(i) runs on up to `threads` threads (0: all cores), each job on one;
/// take(i, result) runs on the calling thread for i = 0, 1, ... as soon as
/// job i is done. A job's exception is rethrown in place of its take, after
/// every thread has ended (the later jobs still run).
template <class Make, class Take>
void in_order(std::size_t count, unsigned threads, const Make& make, const Take& take) {
  using result = decltype(make(std::size_t{0}));
  std::vector<std::optional<result>> results(count);
  std::vector<std::promise<void>> made(count);
  std::vector<std::future<void>> ready;
  ready.reserve(count);
  for (auto& p : made) ready.push_back(p.get_future());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < count; i = next++) {
      try {
        results[i].emplace(make(i));
        made[i].set_value();
      } catch (...) {
        made[i].set_exception(std::current_exception());
      }
    }
  };
  const std::size_t workers =
      std::min<std::size_t>(threads == 0 ? default_thread_count() : threads, count);
  std::vector<std::future<void>> running;  // joined before what they use ends
  for (std::size_t t = 0; t < workers; ++t) running.push_back(std::async(std::launch::async, work));
  for (std::size_t i = 0; i < count; ++i) {
    ready[i].get();
    take(i, std::move(*results[i]));
  }
}

}  // namespace veltrane
