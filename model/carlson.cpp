#include "model/carlson.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "model/kernel_target.hpp"

namespace veltrane {

namespace {

// Carlson's duplication: each step replaces (x, y, z) by ((x + l)/4, ...),
// l = sqrt(x y) + sqrt(x z) + sqrt(y z), which leaves R_F unchanged (and R_D
// up to a known term) and shrinks the spread of the arguments about their
// mean A by 4. Once the spread is small, a Taylor series in the relative
// deviations X, Y, Z = 1 - x/A, ... finishes the job.
//
// Carlson's stopping bound: with Q = C max |A0 - x_i|, the series after step
// m is used once 4^-m Q < |A_m|, that is once every relative deviation is
// below 1/C. The series below run to the seventh order (the terms of degree
// 7 in X, Y, Z; DLMF 19.36.1 and 19.36.2), so their error falls as (1/C)^8
// (with small coefficients): C = 45 puts it near 1e-15 at worst, below the
// rounding of the duplications themselves for most arguments.
constexpr double rf_bound = 45.0;
constexpr double rd_bound = 45.0;

// The spread of the arguments cannot fail to fall below the bound in 60
// steps (4^-60 = 7.5e-37); the limit only guards against a NaN loop.
constexpr int max_steps = 60;

double spread(double A, double x, double y, double z) {
  return std::max({std::fabs(A - x), std::fabs(A - y), std::fabs(A - z)});
}

// The series of R_F sqrt(A) in the relative deviations X, Y (Z = -X - Y),
// with E2 = XY - Z^2 and E3 = XYZ (DLMF 19.36.1); the coefficients as
// products, the divisions taken once at compile time.
inline double rf_series(double X, double Y) {
  const double Z = -(X + Y);
  const double E2 = X * Y - Z * Z;
  const double E3 = X * Y * Z;
  constexpr double c10 = -1.0 / 10.0, c01 = 1.0 / 14.0, c20 = 1.0 / 24.0, c11 = -3.0 / 44.0,
                   c30 = -5.0 / 208.0, c02 = 3.0 / 104.0, c21 = 1.0 / 16.0;
  return 1.0 + E2 * (c10 + E2 * (c20 + E2 * c30) + E3 * (c11 + E2 * c21)) + E3 * (c01 + E3 * c02);
}

// The series of R_D A^(3/2) (after the duplications) in X, Y (Z = -(X + Y)/3),
// with the elementary symmetric functions E2..E5 of (X, Y, Z, Z, Z)
// (DLMF 19.36.2).
inline double rd_series(double X, double Y) {
  const double Z = (X + Y) * (-1.0 / 3.0);
  const double XY = X * Y;
  const double Z2 = Z * Z;
  const double E2 = XY - 6.0 * Z2;
  const double E3 = (3.0 * XY - 8.0 * Z2) * Z;
  const double E4 = 3.0 * (XY - Z2) * Z2;
  const double E5 = XY * Z2 * Z;
  constexpr double c2 = -3.0 / 14.0, c3 = 1.0 / 6.0, c22 = 9.0 / 88.0, c4 = -3.0 / 22.0,
                   c23 = -9.0 / 52.0, c5 = 3.0 / 26.0, c222 = -1.0 / 16.0, c33 = 3.0 / 40.0,
                   c24 = 3.0 / 20.0, c223 = 45.0 / 272.0, c34 = -9.0 / 68.0;
  return 1.0 + E2 * (c2 + E2 * (c22 + E2 * c222 + E3 * c223) + E3 * c23 + E4 * c24 + E5 * c34) +
         E3 * (c3 + E3 * c33 + E4 * c34) + E4 * c4 + E5 * c5;
}

template <bool with_rd>
carlson_pair duplicate(double x, double y, double z) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  const double x0 = x;
  const double y0 = y;
  const double A0f = (x + y + z) * (1.0 / 3.0);
  const double A0d = (x + y + 3.0 * z) * 0.2;
  const double Qf = rf_bound * spread(A0f, x, y, z);
  const double Qd = rd_bound * spread(A0d, x, y, z);
  double Af = A0f;
  double Ad = A0d;
  double scale = 1.0;  // 4^-m
  double sum = 0.0;    // the terms that R_D gains in the duplications
  int m = 0;
  for (; m < max_steps; ++m) {
    if (scale * Qf < std::fabs(Af) && (!with_rd || scale * Qd < std::fabs(Ad))) break;
    const double sx = std::sqrt(x);
    const double sy = std::sqrt(y);
    const double sz = std::sqrt(z);
    const double l = sx * sy + sx * sz + sy * sz;
    if constexpr (with_rd) sum += scale / (sz * (z + l));
    x = (x + l) * 0.25;
    y = (y + l) * 0.25;
    z = (z + l) * 0.25;
    Af = (Af + l) * 0.25;
    Ad = (Ad + l) * 0.25;
    scale *= 0.25;
  }
  if (m == max_steps) return {nan, nan};

  carlson_pair r{nan, nan};
  const double sf = scale / Af;
  r.rf = rf_series((A0f - x0) * sf, (A0f - y0) * sf) / std::sqrt(Af);
  if constexpr (with_rd) {
    const double sd = scale / Ad;
    r.rd = sd * rd_series((A0d - x0) * sd, (A0d - y0) * sd) / std::sqrt(Ad) + 3.0 * sum;
  }
  return r;
}

}  // namespace

double carlson_rf(double x, double y, double z) {
  // At most one argument may vanish; a NaN argument fails the test as well.
  if (!(x >= 0.0 && y >= 0.0 && z >= 0.0 && x + y > 0.0 && x + z > 0.0 && y + z > 0.0)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return duplicate<false>(x, y, z).rf;
}

double carlson_rd(double x, double y, double z) { return carlson_rf_rd(x, y, z).rd; }

carlson_pair carlson_rf_rd(double x, double y, double z) {
  if (!(x >= 0.0 && y >= 0.0 && z > 0.0 && x + y > 0.0)) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  return duplicate<true>(x, y, z);
}

namespace {

// The triples of one direction integral need about as many duplications
// each (four or five); beyond 12 steps a triple is far from the others and
// is left to the scalar routine.
constexpr int max_batch_steps = 12;
constexpr int batch_size = 32;

VELTRANE_VECTOR_KERNEL
void batch_chunk(const double* x_in, const double* y_in, const double* z_in, double* rf, double* rd,
                 int count) {
  const auto n = static_cast<std::size_t>(count);
  double x[batch_size], y[batch_size], z[batch_size];
  double A0f[batch_size], A0d[batch_size], Af[batch_size], Ad[batch_size];
  double Qf[batch_size], Qd[batch_size];
  // The terms that R_D gains, summed as one fraction num/den: no division
  // in the steps.
  double num[batch_size], den[batch_size];
  for (std::size_t i = 0; i < n; ++i) {
    x[i] = x_in[i];
    y[i] = y_in[i];
    z[i] = z_in[i];
    A0f[i] = (x[i] + y[i] + z[i]) * (1.0 / 3.0);
    A0d[i] = (x[i] + y[i] + 3.0 * z[i]) * 0.2;
    Qf[i] = rf_bound * std::max(std::max(std::fabs(A0f[i] - x[i]), std::fabs(A0f[i] - y[i])),
                                std::fabs(A0f[i] - z[i]));
    Qd[i] = rd_bound * std::max(std::max(std::fabs(A0d[i] - x[i]), std::fabs(A0d[i] - y[i])),
                                std::fabs(A0d[i] - z[i]));
    Af[i] = A0f[i];
    Ad[i] = A0d[i];
    num[i] = 0.0;
    den[i] = 1.0;
  }
  // Duplicate all triples together until every one (a NaN never) is within
  // Carlson's bound; a triple that is not after max_batch_steps is redone.
  double scale = 1.0;
  for (int m = 0; m < max_batch_steps; ++m) {
    bool all_within = true;
    for (std::size_t i = 0; i < n; ++i) {
      all_within =
          all_within && scale * Qf[i] < std::fabs(Af[i]) && scale * Qd[i] < std::fabs(Ad[i]);
    }
    if (all_within) break;
    for (std::size_t i = 0; i < n; ++i) {
      const double sx = std::sqrt(x[i]);
      const double sy = std::sqrt(y[i]);
      const double sz = std::sqrt(z[i]);
      const double l = sx * sy + sx * sz + sy * sz;
      const double d = sz * (z[i] + l);
      num[i] = num[i] * d + scale * den[i];
      den[i] = den[i] * d;
      x[i] = (x[i] + l) * 0.25;
      y[i] = (y[i] + l) * 0.25;
      z[i] = (z[i] + l) * 0.25;
      Af[i] = (Af[i] + l) * 0.25;
      Ad[i] = (Ad[i] + l) * 0.25;
    }
    scale *= 0.25;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const double X0 = x_in[i];
    const double Y0 = y_in[i];
    const double sf = scale / Af[i];
    const double sd = scale / Ad[i];
    rf[i] = rf_series((A0f[i] - X0) * sf, (A0f[i] - Y0) * sf) / std::sqrt(Af[i]);
    rd[i] = sd * rd_series((A0d[i] - X0) * sd, (A0d[i] - Y0) * sd) / std::sqrt(Ad[i]) +
            3.0 * (num[i] / den[i]);
  }
  // The check, the arguments outside the range (a NaN fails it too), and a
  // denominator that left the normal range (arguments far from 1).
  for (std::size_t i = 0; i < n; ++i) {
    const bool in_range =
        x_in[i] >= 0.0 && y_in[i] >= 0.0 && z_in[i] > 0.0 && x_in[i] + y_in[i] > 0.0;
    if (!(in_range && scale * Qf[i] < std::fabs(Af[i]) && scale * Qd[i] < std::fabs(Ad[i]) &&
          den[i] > 1e-290 && den[i] < 1e290)) {
      const carlson_pair r = carlson_rf_rd(x_in[i], y_in[i], z_in[i]);
      rf[i] = r.rf;
      rd[i] = r.rd;
    }
  }
}

}  // namespace

void carlson_rf_rd_batch(const double* x, const double* y, const double* z, double* rf, double* rd,
                         int count) {
  for (int start = 0; start < count; start += batch_size) {
    const int chunk = std::min(batch_size, count - start);
    const auto o = static_cast<std::size_t>(start);
    batch_chunk(x + o, y + o, z + o, rf + o, rd + o, chunk);
  }
}

}  // namespace veltrane
