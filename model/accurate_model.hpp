#pragma once

namespace veltrane {

/// The probability of `veltrane`, evaluated accurately (work in progress).
double accurate_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u);

}  // namespace veltrane
