#include "compute/charge_states/sensitivity.hpp"

#include <cmath>
#include <limits>

#include "compute/charge_states/ratio_search.hpp"

namespace veltrane {

namespace {

constexpr double work_function_shift_ev = 0.1;
constexpr double energy_shift = 0.01;  // relative

// The answer field of the moved request; NaN when it does not reach the
// ratio (or is refused).
double solved_field(const calc_request& request, int k, double ratio,
                    const charge_state_model& model, unsigned threads,
                    evaluation_progress* progress) {
  charge_states states(request, model.function, threads, progress);
  states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
  try {
    const auto fields = field_from_ratio(states, k, ratio);
    return fields.field() ? *fields.field() : std::numeric_limits<double>::quiet_NaN();
  } catch (const input_refused&) {
    return std::numeric_limits<double>::quiet_NaN();
  }
}

}  // namespace

std::string input_shift::text(const answer_numbers& numbers) const {
  const auto shift = [&numbers](double v) {
    return std::isnan(v) ? std::string("not reached") : numbers.shift(v);
  };
  return input + ": " + shift(minus) + "/" + shift(plus) + " V/nm";
}

std::vector<input_shift> field_sensitivity(const calc_request& request, int k, double ratio,
                                           double field, const charge_state_model& model,
                                           unsigned threads, evaluation_progress* progress) {
  std::vector<input_shift> shifts;
  auto shifted = [&](std::string label, auto move) {
    calc_request lower = request, upper = request;
    move(lower, -1.0);
    move(upper, +1.0);
    shifts.push_back({std::move(label),
                      solved_field(lower, k, ratio, model, threads, progress) - field,
                      solved_field(upper, k, ratio, model, threads, progress) - field});
  };
  shifted("work function \u00b10.1 eV", [](calc_request& r, double sign) {
    r.work_function_ev += sign * work_function_shift_ev;
  });
  // r_k needs Q_k and Q_(k+1) only. Step j binds with I_(j+1); its energy
  // offset takes I_1 in the single step of n = 1 and I_2 .. I_j in the steps
  // of n >= 2, where I_1 enters nothing.
  const int last_step = std::min(k + 1, request.n);
  const int first = request.n == 1 ? 1 : 2;
  for (int i = first; i <= last_step + 1; ++i) {
    const std::size_t index = static_cast<std::size_t>(i) - 1;
    shifted("I" + std::to_string(i) + " \u00b11 %", [index](calc_request& r, double sign) {
      r.energies_ev[index] *= 1.0 + sign * energy_shift;
    });
  }
  return shifts;
}

}  // namespace veltrane
