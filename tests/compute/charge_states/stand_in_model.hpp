#pragma once

// A stand-in for the model with Kingham-like steps, for the tests of the
// charge-state searches.

#include <cmath>
#include <cstddef>
#include <string>

#include "compute/curves/inputs.hpp"
#include "compute/curves/request.hpp"
#include "model/constants.hpp"

namespace stand_in_model {

using veltrane::calc_request;
using veltrane::vnm_per_au;

// Tolerances of the searches, and of sums of probabilities.
struct tolerance {
  static constexpr double barrier = 1e-4;  // V/nm
  static constexpr double ratio = 1e-3;    // V/nm
  static constexpr double sum = 1e-12;
};

inline calc_request tungsten(int n) {
  return *veltrane::check_request({"Tungsten", std::to_string(n), std::nullopt, std::nullopt})
              .request;
}

// A stand-in for the model with Kingham-like steps: Q_j falls from 1 to 0
// around a field of its own, is NaN from an over-barrier field on, and is a
// number again far above it (as the model is); exactly 1 at low fields.
inline constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
inline constexpr double barrier[] = {22.6, 38.8, 63.25, 92.5};

inline double stand_in(double F, double, double, int, int j, double, double) {
  const double E = F * vnm_per_au;
  const std::size_t i = static_cast<std::size_t>(j) - 1;
  if (E >= 3.0 * barrier[i]) return 0.7;
  if (E >= barrier[i]) return std::nan("");
  const double x = (E - half[i]) * 2.0;
  if (x < -20.0) return 1.0;
  return 1.0 / (1.0 + std::exp(x));
}

}  // namespace stand_in_model
