#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "compute/curves/sweep.hpp"

namespace veltrane {

class model_cache;

/// The two evaluations of one model behind the charge-state numbers.
///  - accurate: the barrier integral in closed form and the direction
///    integral by Gauss-Legendre panels; about a thousand times faster than
///    the adaptive integration and closer to the model's exact value. The
///    default for fractions, over-barrier and equal-abundance fields and the
///    field from a ratio or counts.
///  - exact: the adaptive integration at a relative tolerance of 1e-7, the
///    evaluation behind data.txt and the main chart, bit for bit.
enum class evaluation { accurate, exact };

/// The evaluation of a name ("accurate", "exact"); nothing for any other.
std::optional<evaluation> evaluation_named(std::string_view name);

/// A model function of one evaluation for charge-state work, with the
/// tolerance its ratio searches are run to: 1e-6 V/nm for the accurate one,
/// 1e-3 V/nm for the exact one (each of its values costs a whole adaptive
/// integration). The exact one remembers its values for as long as the
/// function (or a copy) lives.
///
/// `has_no_value`, when set, says whether `function` is NaN at the same
/// arguments, exactly as std::isnan of its value would, but without forming
/// the value: the over-barrier searches ask nothing else. Unset, they take
/// the value.
struct charge_state_model {
  model_function function;
  double ratio_tolerance_v_per_nm = 1e-3;
  nan_test_function has_no_value = {};
};
charge_state_model model_for(evaluation e);
/// The same, remembering the values of either evaluation: for a window that
/// computes again as its inputs change, where a step whose inputs stayed
/// (its over-barrier search above all) costs nothing the second time.
charge_state_model remembering_model_for(evaluation e);

/// The evaluation behind data.txt, the main chart and the curves of the
/// Python module: the fast twin of the adaptive integration, bit for bit.
model_function prescribed_model();

}  // namespace veltrane
