#pragma once

// The model's probability Q evaluated accurately and some 500 to 1,000 times
// faster than by nested adaptive integration: the same model, the same flight
// grid and flight sum, with
//  - the barrier integral of every path in closed form (Carlson's symmetric
//    elliptic integrals for a path cut by the surface, the arithmetic-geometric
//    mean for a complete barrier);
//  - the direction integral by 18-point Gauss-Legendre panels over the
//    directions whose transmission is not negligible, and, for the flight
//    points from which no path reaches the surface, interpolated in Z from
//    ten such points;
//  - whether the rate at a flight point is a number decided as the adaptive
//    integration decides it: from the geometry of the paths, and by the
//    prescribed rate itself in the narrow band where only the directions its
//    integrator happens to sample can tell.
//
// Atomic units throughout, as in model/model.hpp.

namespace veltrane {

/// The probability of `veltrane` (same arguments and units), to about 1e-13
/// relative where the prescribed evaluation is accurate to its 1e-7 tolerance,
/// and NaN where that one is NaN. Where the flight grid or the speeds
/// are not usable (zc not a positive number, a speed not positive, a field or
/// binding energy not positive) it returns the prescribed evaluation's result.
/// Safe to call from several threads at once.
double accurate_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u);

/// Whether accurate_veltrane(E, B, phi, m, n, m_ion, u) is NaN, decided
/// without its value: from the geometry of the flight points, and in the
/// narrow band by the prescribed rate's NaN-ness alone (the replica of its
/// integration stops once that is certain). No direction integral is formed,
/// so away from the band it costs a few hundredths of the value's time;
/// over-barrier searches need nothing more.
bool accurate_veltrane_is_nan(double E, double B, double phi, int m, int n, double m_ion, double u);

/// 1 - Q of the same evaluation, formed from the flight sum without the
/// cancellation of 1 - Q where Q is close to 1. NaN where Q is NaN.
double accurate_veltrane_complement(double E, double B, double phi, int m, int n, double m_ion,
                                    double u);

/// The rate R at ion distance z (bohr), per atomic unit of time, NaN where
/// the prescribed rate is NaN; 0.0 nearer than the critical distance, as
/// there. Within the narrow band (see rate_kind) it is the prescribed rate.
double accurate_R(double z, double E, double B, double phi, int m, int n);

/// What every path from one position of the ion depends on.
struct flight_point {
  double z;       ///< distance of the ion from the surface (bohr)
  double E;       ///< field (atomic units)
  double W;       ///< Stark-shifted binding energy B - E_stark (hartree)
  double Zv;      ///< effective charge (n + 1) + 4.5/z
  double u_top;   ///< direction cosine u* above which the level clears the barrier top
  double u_edge;  ///< direction cosine u_x at which the surface z/u is a turning point
  /// 2 E z >= W: at u_x the surface meets the outer turning point (the path
  /// is cut below u_x, complete above); otherwise it meets the inner one and
  /// every path above u_x ends before its barrier begins.
  bool edge_is_outer;
};

/// W and Z formed exactly as the model forms them, and the two critical
/// directions u* = W^2/(4 Z E) and u_x = z (W - E z)/Z.
flight_point make_flight_point(double z, double E, double B, int m, int n);

/// Whether the prescribed rate at a flight point is a number. It is NaN when
/// its direction integral samples a path without turning points or one that
/// the surface cuts before its inner turning point: that happens for every u
/// above u_nan (u* or u_x), and the integrator always samples
/// u = 0.99783, the largest node of its first 21-point rule.
enum class rate_kind {
  number,        ///< u_nan >= 1 (by a margin of 1e-12): no sampled path fails
  not_a_number,  ///< u_nan below 0.99783 (by the same margin): a sampled path fails
  narrow_band,   ///< in between: only the prescribed rate itself can tell
};
rate_kind classify_rate(const flight_point& p);

/// The turning points of one tunnelling path and where it ends.
struct barrier {
  double a;      ///< outer turning point (bohr)
  double b;      ///< inner turning point (bohr)
  double width;  ///< a - b, formed without cancellation as sqrt(D)/(E u)
  double c;      ///< the end of the path: a, or the surface z/u when nearer
  bool cut;      ///< the surface ends the path before its outer turning point
};

/// The barrier of the path with direction cosine u (0 < u <= 1, below u*)
/// from the flight point p: the roots of E u r^2 - W r + Z = 0 in their stable
/// forms a = (W + sqrt D)/(2 E u), b = 2Z/(W + sqrt D).
barrier path_barrier(double u, const flight_point& p);

/// I = integral from b to c of sqrt((a - r)(r - b)/r) dr by Carlson's R_F and
/// R_D; valid for a cut path (b < c < a) and for a complete one (c = a).
double accurate_cut_barrier_integral(const barrier& br);

/// I of a complete barrier (from b to a) by the arithmetic-geometric mean;
/// width = a - b.
double accurate_complete_barrier_integral(double a, double b, double width);

/// I of the path, by the form that suits it.
double accurate_barrier_integral(const barrier& br);

/// The tunnelling exponent 2^(3/2) integral of k dr = c3 sqrt(E u) I of the
/// path with direction cosine u; the transmission is exp(-exponent).
double accurate_tunnelling_exponent(double u, const flight_point& p);

/// The transmission S(u) = exp(-c3 integral of k dr) of the path with
/// direction cosine u.
double accurate_transmission(double u, const flight_point& p);

/// The lower end u_lo of the directions that matter: the tunnelling exponent
/// rises by 39 to 50 from u = 1 down to u_lo, so the transmission below it is
/// less than e^-39 of its value at u = 1.
double accurate_lower_direction(const flight_point& p);

/// J = integral from 0 to 1 of S(u) du, for a flight point whose rate is a
/// number (classify_rate gives rate_kind::number). Gauss-Legendre panels of
/// `nodes` points (18 by default) over [u_lo, 1], split at the kink u_x and
/// mapped u = u_x - (u_x - u_lo) tau^2 where the exponent has a (u_x - u)^(3/2)
/// branch point; 0 where S(1) underflows.
double accurate_direction_integral(const flight_point& p, int nodes = 18);

}  // namespace veltrane
