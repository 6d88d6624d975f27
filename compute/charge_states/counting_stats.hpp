#pragma once

#include <utility>

namespace veltrane {

/// What goes with every interval of a field from counts.
inline constexpr const char* counted_field_caveat =
    "The interval is counting statistics only (Wilson score interval of the share of the higher "
    "state); the model's own uncertainty is not in it.";

/// Wilson's score interval of a binomial proportion: successes of trials at
/// `confidence` (0 < confidence < 1). {low, high}.
std::pair<double, double> wilson_interval(double successes, double trials, double confidence);

}  // namespace veltrane
