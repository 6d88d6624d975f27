#pragma once

#include <utility>

namespace veltrane {

/// Wilson's score interval of a binomial proportion: successes of trials at
/// `confidence` (0 < confidence < 1). {low, high}.
std::pair<double, double> wilson_interval(double successes, double trials, double confidence);

}  // namespace veltrane
