#pragma once

namespace veltrane::bench {

/// The probability evaluated exactly as the model is written, with no
/// shortcut at all: t at the last grid point is formed anew in each of the 48
/// steps (145 evaluations of t), and every transmission and rate allocates and
/// frees its own workspace. The yardstick of the speed measurements.
double literal_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u);

}  // namespace veltrane::bench
