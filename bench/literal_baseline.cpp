#include "bench/literal_baseline.hpp"

#include <cmath>

#include "model/model.hpp"

namespace veltrane::bench {

double literal_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u) {
  double P = 1.0;
  double g[50];
  flight_grid(E, B, phi, m, n, g);
  for (int i = 1; i <= 48; ++i) {
    const double delta = g[i] - g[i - 1];
    const double tau = t(g[i], E, B, phi, m, n, m_ion, u);
    const double w = delta / (-6.0);
    P = std::exp(t(g[49], E, B, phi, m, n, m_ion, u) * w) * (std::exp(w * tau) * P);
  }
  for (int i = 1; i <= 49; ++i) {
    const double lo = g[i - 1];
    const double hi = g[i];
    P = std::exp(t((lo + hi) * 0.5, E, B, phi, m, n, m_ion, u) * ((hi - lo) * 0.0)) * P;
  }
  return P;
}

}  // namespace veltrane::bench
