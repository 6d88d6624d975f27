#include "model/gauss_legendre.hpp"

#include <cmath>
#include <cstddef>

namespace veltrane {

namespace {

// P_n(x) and P_n'(x) by the three-term recurrence.
struct legendre_value {
  long double p;
  long double dp;
};

legendre_value legendre(int n, long double x) {
  long double p0 = 1.0L;
  long double p1 = x;
  for (int k = 2; k <= n; ++k) {
    const long double kd = static_cast<long double>(k);
    const long double p2 = ((2.0L * kd - 1.0L) * x * p1 - (kd - 1.0L) * p0) / kd;
    p0 = p1;
    p1 = p2;
  }
  const long double nd = static_cast<long double>(n);
  if (n == 0) return {1.0L, 0.0L};
  return {p1, nd * (x * p1 - p0) / (x * x - 1.0L)};
}

}  // namespace

gauss_legendre_rule gauss_legendre(int n) {
  gauss_legendre_rule rule;
  if (n < 1) return rule;
  const auto count = static_cast<std::size_t>(n);
  rule.x.resize(count);
  rule.w.resize(count);
  const long double pi = 3.141592653589793238462643383279502884L;
  const long double nd = static_cast<long double>(n);
  // The roots come in pairs +-x; the i-th largest starts from Tricomi's
  // estimate cos(pi (i - 1/4)/(n + 1/2)), from which Newton's method
  // converges to it and to no other root.
  for (int i = 1; i <= (n + 1) / 2; ++i) {
    long double x = std::cos(pi * (static_cast<long double>(i) - 0.25L) / (nd + 0.5L));
    for (int it = 0; it < 100; ++it) {
      const legendre_value v = legendre(n, x);
      const long double dx = v.p / v.dp;
      x -= dx;
      if (std::fabs(dx) <= 1e-19L) break;
    }
    const legendre_value v = legendre(n, x);
    const long double w = 2.0L / ((1.0L - x * x) * v.dp * v.dp);
    // On [0, 1]: t = (1 + x)/2, weight w/2.
    const auto hi = static_cast<std::size_t>(n - i);
    const auto lo = static_cast<std::size_t>(i - 1);
    rule.x[hi] = static_cast<double>(0.5L + 0.5L * x);
    rule.x[lo] = static_cast<double>(0.5L - 0.5L * x);
    rule.w[hi] = static_cast<double>(0.5L * w);
    rule.w[lo] = static_cast<double>(0.5L * w);
  }
  return rule;
}

}  // namespace veltrane
