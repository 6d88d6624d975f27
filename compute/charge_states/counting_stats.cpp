#include "compute/charge_states/counting_stats.hpp"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>

#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

std::string confidence_fault(double confidence) {
  if (confidence > 0.0 && confidence < 1.0) return {};
  return "the confidence must lie between 0 and 1, not " + format_number(confidence);
}

void check_confidence(double confidence) {
  if (const std::string fault = confidence_fault(confidence); !fault.empty()) {
    throw input_refused(fault);
  }
}

std::pair<double, double> wilson_interval(double successes, double trials, double confidence) {
  const double z = gsl_cdf_ugaussian_Pinv(1.0 - (1.0 - confidence) / 2.0);
  const double p = successes / trials;
  const double z2n = z * z / trials;
  const double centre = (p + z2n / 2.0) / (1.0 + z2n);
  const double half = z / (1.0 + z2n) * std::sqrt(p * (1.0 - p) / trials + z2n / (4.0 * trials));
  return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

}  // namespace veltrane
