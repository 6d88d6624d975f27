#pragma once

// Settings shared by every evaluation of the transmission and the rate.

#include <cmath>
#include <cstddef>
#include <limits>

namespace veltrane::detail {

inline constexpr double pi = 3.141592653589793;
inline constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Both integrations: a workspace of 1000 intervals, subdivision limit 1000,
// no absolute tolerance, relative tolerance 1e-7.
inline constexpr std::size_t workspace_intervals = 1000;
inline constexpr double epsabs = 0.0;
inline constexpr double epsrel = 1e-7;

// The cube of the double sqrt(2): one ulp above 2*sqrt(2.0), and it must be
// formed exactly so for the transmission to come out bit for bit.
inline const double c3 = std::pow(std::sqrt(2.0), 3.0);

}  // namespace veltrane::detail
