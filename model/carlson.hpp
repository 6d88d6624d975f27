#pragma once

// Carlson's symmetric elliptic integrals, the building blocks of the barrier
// integral in closed form.

namespace veltrane {

/// R_F(x, y, z) = 1/2 integral_0^inf dt / sqrt((t + x)(t + y)(t + z)), for
/// x, y, z >= 0 with at most one of them zero. NaN for arguments outside that
/// range.
double carlson_rf(double x, double y, double z);

/// R_D(x, y, z) = 3/2 integral_0^inf dt / (sqrt((t + x)(t + y)) (t + z)^(3/2)),
/// for x, y >= 0 (not both zero) and z > 0. NaN for arguments outside that
/// range.
double carlson_rd(double x, double y, double z);

/// R_F(x, y, z) and R_D(x, y, z) of the same arguments, which share one
/// sequence of duplications.
struct carlson_pair {
  double rf;
  double rd;
};
carlson_pair carlson_rf_rd(double x, double y, double z);

}  // namespace veltrane

namespace veltrane {

/// R_F and R_D of `count` argument triples at once (x[i], y[i], z[i]), for
/// the many paths of one direction integral: the duplications of all triples
/// go together (so that their steps overlap and vectorise) until each is
/// within Carlson's bound; a triple that is not within it after 12 steps, or
/// is outside the range, is redone by carlson_rf_rd. Agrees with
/// carlson_rf_rd to the rounding.
void carlson_rf_rd_batch(const double* x, const double* y, const double* z, double* rf, double* rd,
                         int count);

}  // namespace veltrane
