#include "model/accurate_model.hpp"

#include "model/fast_model.hpp"

namespace veltrane {

double accurate_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u) {
  return fast_veltrane(E, B, phi, m, n, m_ion, u);
}

}  // namespace veltrane
