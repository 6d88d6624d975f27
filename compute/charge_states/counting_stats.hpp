#pragma once

#include <string>
#include <utility>

namespace veltrane {

/// The level of a counting interval unless one is given.
inline constexpr double default_confidence = 0.95;

/// What goes with every interval of a field from counts.
inline constexpr const char* counted_field_caveat =
    "The interval is counting statistics only (Wilson score interval of the share of the higher "
    "state); the model's own uncertainty is not in it.";

/// Why a number cannot be the level of an interval: "the confidence must
/// lie between 0 and 1, not 1.5"; empty when it can (0 < confidence < 1).
std::string confidence_fault(double confidence);

/// Refuses, with input_refused and confidence_fault's message, a level that
/// cannot be one.
void check_confidence(double confidence);

/// Wilson's score interval of a binomial proportion: successes of trials at
/// `confidence` (0 < confidence < 1). {low, high}.
std::pair<double, double> wilson_interval(double successes, double trials, double confidence);

}  // namespace veltrane
