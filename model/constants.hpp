#pragma once

// The physical constants of the model, named once. Each is the double the
// model's formulas have always used; the results are compared to the last
// bit, so none of them may be "improved".

#include <cmath>

namespace veltrane {

/// Electron masses per unified atomic mass unit: turns the ion's mass in u
/// into atomic units.
inline constexpr double electron_masses_per_u = 1822.0;

/// Electronvolts per hartree: the user's energies in eV become atomic units.
inline constexpr double ev_per_hartree = 27.211;

/// V/nm per atomic unit of field: fields are shown and written in V/nm.
inline constexpr double vnm_per_au = 514.2;

/// The 0.8 bohr of the critical distance: an ion is field-ionised only beyond
/// the distance zc at which E (zc + 0.8) = W - phi, the electron's level then
/// lying above the metal's Fermi level. The same 0.8 enters the energy offsets
/// of the sweeps, (I - phi)/F + 0.8.
inline constexpr double critical_distance_offset_bohr = 0.8;

/// The direction cosine at which the fast rate tests for paths without
/// turning points: just below the largest node (0.99783) of GSL's first
/// 21-point Gauss-Kronrod rule on [0, 1].
inline constexpr double discriminant_probe_u = 0.997;

namespace detail {

/// The ion's speed on its flight at reciprocal distance s = 1/d (1/bohr), in
/// atomic units: from the kinetic energy n^2/(4d) + n E d - sqrt(E) - u (image
/// term, the field's work, less sqrt(E) and the offset u) and the mass m_ion
/// in u. NaN where that energy is negative. Shared by every evaluation of the
/// flight integrand, so that all give the same bits.
inline double ion_speed(double s, double E, int n, double m_ion, double u) {
  const double nd = static_cast<double>(n);
  const double K = ((nd * nd / (4.0 / s)) + ((nd * E) / s)) - std::sqrt(E) - u;
  return std::sqrt(K * (2.0 / (m_ion * electron_masses_per_u)));
}

}  // namespace detail

}  // namespace veltrane
