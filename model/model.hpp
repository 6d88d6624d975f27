#pragma once

// Post-field-ionisation model after Kingham: the probability that a
// field-evaporated ion of charge n+ leaves the surface without losing a
// further electron to the field.
//
// Everything is in atomic units: energies in hartree, lengths in bohr, the
// field in atomic units of field (514.2 V/nm), masses in u (converted to
// electron masses inside `t`). The functions check nothing: a negative square
// root gives NaN, a division by zero an infinity, and such values travel on to
// the caller unchanged.
//
// Every formula is evaluated in the order in which the theory's reference
// implementation writes it; the results are compared to the last bit, so the
// parentheses below are not to be "simplified".

namespace veltrane {

/// 1/(12 pi), written as 1.0 / (exp(0.0) * 37.69911184307752) in double
/// arithmetic (= 0.026525823848649224).
extern const double A;

/// Parameter record of the tunnelling integrand `k`, handed through GSL's
/// untyped parameter pointer.
struct k_params {
  double u;  ///< direction cosine of the tunnelling path
  double z;  ///< distance of the ion from the surface (bohr)
  double E;  ///< field strength (atomic units)
  double B;  ///< binding energy (hartree)
  int m;     ///< principal quantum number
  int n;     ///< charge of the ion
};

/// Parameter record of the transmission `S`, the integrand of the rate `R`.
struct R_params {
  double z;    ///< distance of the ion from the surface (bohr)
  double E;    ///< field strength (atomic units)
  double B;    ///< binding energy (hartree)
  double phi;  ///< work function (hartree)
  int m;       ///< principal quantum number
  int n;       ///< charge of the ion
};

/// Quadratic Stark shift of a hydrogen-like level of principal quantum number
/// m: -(17 m^2 + 10)/64 (E/B)^2. Never positive; a negative zero at E = 0.
double E_stark(double E, double B, int m);

/// Effective charge seen by the tunnelling electron at ion distance z:
/// (n + 1) + 4.5/z. Infinite at z = 0.
double Z(double z, int n);

/// Tunnelling (WKB) integrand sqrt(W - Z/r - E r u) at distance r along the
/// path, W the Stark-shifted binding energy; `p` points to a `k_params`.
/// NaN outside the classically forbidden stretch [b, a].
double k(double r, void* p);

/// Outer turning point (bohr): the larger root of E u r^2 - W r + Z = 0.
/// NaN when the level lies above the barrier top; +inf when E u = 0.
double a(double u, double z, double E, double B, int m, int n);

/// Inner turning point (bohr): the smaller root of E u r^2 - W r + Z = 0.
/// NaN when the level lies above the barrier top or when E u = 0.
double b(double u, double z, double E, double B, int m, int n);

/// Critical distance (bohr), about (W - phi)/E - 0.8; about -0.8 when W < phi,
/// not finite at E = 0. `n` is accepted and not used.
double zc(double E, double B, double phi, int m, int n);

/// WKB transmission exp(-2^(3/2) * integral of k) of the path with direction
/// cosine u; `p` points to an `R_params`. 0.0 nearer than zc, NaN when the
/// path has no turning points or is cut by the surface before the inner one,
/// NaN when no integration workspace can be had.
double S(double u, void* p);

/// Field-ionisation rate at ion distance z, per atomic unit of time: the
/// transmission averaged over the half space of directions times the attempt
/// frequency 2B/m. 0.0 nearer than zc; NaN when any sampled path has no
/// turning points, or when no integration workspace can be had.
double R(double z, double E, double B, double phi, int m, int n);

/// Integrand of the flight integral over the reciprocal distance z = 1/d
/// (1/bohr): rate / speed / z^2. The ion's kinetic energy is reduced by the
/// offset u (hartree); m_ion in u.
double t(double z, double E, double B, double phi, int m, int n, double m_ion, double u);

/// The grid of the flight integral in s = 1/d (1/bohr): g[0] = 0, a step of
/// (1/zc)/50, each point the previous one plus the step, so that the last
/// point is about 0.98/zc (not 1/zc, and not 49 times the step exactly).
void flight_grid(double E, double B, double phi, int m, int n, double (&g)[50]);

/// Probability that an ion of charge n flying off the surface is not ionised
/// further: exp(-integral of R dt') over a fixed 50-point grid in 1/d from 0 to
/// about 0.98/zc. Between 0 and 1, or NaN (no turning points near zc,
/// W < phi, a negative kinetic energy, E = 0).
double veltrane(double E, double B, double phi, int m, int n, double m_ion, double u);

}  // namespace veltrane
