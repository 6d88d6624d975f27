#pragma once

// Gauss-Legendre rules on [0, 1], for the direction integral of the rate.

#include <vector>

namespace veltrane {

/// The nodes (rising) and weights of the n-point Gauss-Legendre rule on
/// [0, 1]: exact for polynomials of degree up to 2n - 1.
struct gauss_legendre_rule {
  std::vector<double> x;
  std::vector<double> w;
};

/// Forms the n-point rule (n >= 1) by Newton's method on the Legendre
/// polynomial P_n, in long double, so that nodes and weights are correct to
/// the last bit or so for any order.
gauss_legendre_rule gauss_legendre(int n);

}  // namespace veltrane
