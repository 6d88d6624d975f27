#pragma once

#include <string>
#include <vector>

#include "compute/curves/evaluation.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/request.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

/// How far the field of a ratio moves when one input of the model moves: the
/// work function by 0.1 eV, an ionisation energy by 1 %, each way.
struct input_shift {
  std::string input;   ///< "work function ±0.1 eV", "I3 ±1 %"
  double minus = 0.0;  ///< change of the field (V/nm) with the input lowered; NaN: not reached
  double plus = 0.0;   ///< change of the field (V/nm) with the input raised; NaN: not reached
  /// "work function ±0.1 eV: -0.420/+0.410 V/nm", each shift written by
  /// numbers.shift ("not reached" where the moved model has no answer).
  std::string text(const answer_numbers& numbers = plain_answer_numbers()) const;
};

/// The inputs' shifts of the field at which r_k = f(k+1)/f(k) reaches
/// `ratio` (the answer field `field`, V/nm, already found): the work function
/// and each ionisation energy that enters Q_k or Q_(k+1) (their binding
/// energies and the energy offsets of their sweeps: I1 only for n = 1), each
/// by solving again.
/// This is the sensitivity of the model to its inputs, not a confidence
/// interval.
std::vector<input_shift> field_sensitivity(const calc_request& request, int k, double ratio,
                                           double field, const charge_state_model& model,
                                           unsigned threads, evaluation_progress* progress);

/// The line that says what the shifts are (and are not).
inline constexpr const char* sensitivity_caveat =
    "This is the model's sensitivity to its inputs (each solved again), not a confidence "
    "interval.";

}  // namespace veltrane
