#include "compute/charge_states/counting_stats.hpp"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>

namespace veltrane {

std::pair<double, double> wilson_interval(double successes, double trials, double confidence) {
  const double z = gsl_cdf_ugaussian_Pinv(1.0 - (1.0 - confidence) / 2.0);
  const double p = successes / trials;
  const double z2n = z * z / trials;
  const double centre = (p + z2n / 2.0) / (1.0 + z2n);
  const double half = z / (1.0 + z2n) * std::sqrt(p * (1.0 - p) / trials + z2n / (4.0 * trials));
  return {std::max(0.0, centre - half), std::min(1.0, centre + half)};
}

}  // namespace veltrane
