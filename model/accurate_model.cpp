#include "model/accurate_model.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>

#include "model/carlson.hpp"
#include "model/constants.hpp"
#include "model/fast_model.hpp"
#include "model/gauss_legendre.hpp"
#include "model/integration_settings.hpp"
#include "model/kernel_target.hpp"
#include "model/model.hpp"
#include "model/replica_rate.hpp"

namespace veltrane {

namespace {

using namespace detail;

// The largest node of the prescribed rate integrator's first rule, the
// 21-point Gauss-Kronrod rule mapped onto [0, 1]: always sampled.
constexpr double first_rule_top_node = 0.5 + 0.5 * 0.995657163025808;

// The direction u_nan above which no path from p has a transmission: above
// u* a path has no turning points; above u_x (when the surface meets the
// inner turning point there) it ends before its barrier begins.
double nan_direction(const flight_point& p) {
  return p.edge_is_outer ? p.u_top : std::min(p.u_top, p.u_edge);
}

// Relative margin around the decisive directions: within it the rounding of
// the prescribed integrator's samples decides, not the geometry.
constexpr double band_margin = 1e-12;

// The transmissions neglected below u_lo are e^-40 (4e-18) of the one at
// u = 1 and less; the exponent rises by 39 to 50 over [u_lo, 1].
constexpr double neglected_rise = 40.0;
constexpr double rise_low = 39.0;
constexpr double rise_high = 50.0;

constexpr int default_nodes = 18;

// x = 1/u_lo - 1 of a typical flight point, where a search starts.
constexpr double typical_x = 1.5;

// The Gauss-Legendre rules, formed once (and the 24-point one that checks
// the 18-point one); any other order is formed at each call.
const gauss_legendre_rule& rule_18() {
  static const gauss_legendre_rule r = gauss_legendre(18);
  return r;
}
const gauss_legendre_rule& rule_24() {
  static const gauss_legendre_rule r = gauss_legendre(24);
  return r;
}

// The arithmetic-geometric mean of (1, k') with k'^2 = b/a: the mean itself
// and the sum of 2^(n-1) c_n^2 over n >= 1, c_n = (a_(n-1) - g_(n-1))/2. The
// first is formed as c_1 = k^2/(2(1 + k')), free of cancellation when the
// barrier is thin (k' near 1); the later ones as differences, whose rounding
// (of the order of 1e-16 a_n) lies below that of c_1^2 in the sum. The c_n
// fall quadratically (c_(n+1) = c_n^2/(4 a_(n+1))): once |c_(N+1)| <= 1e-8
// a_N, the mean is a_(N+1) = (a_N + g_N)/2 to within c_(N+2) < 3e-17 a_N,
// and the sum ends with 2^N c_(N+1)^2.
struct agm_result {
  double mean;
  double sum;
};

// Five steps reach the check for k' >= 0.002 (b/a >= 4e-6, every path that
// matters), four for k' >= 0.08. The scalar routine takes at least five; a
// batch steps until all its barriers pass, and leaves any that has not after
// 12 steps to the scalar routine.
constexpr int agm_fixed_steps = 5;
constexpr int agm_batch_steps = 12;
constexpr double agm_check = 1e-8;

agm_result agm(double k_prime, double k2) {
  double an = 1.0;
  double gn = k_prime;
  double cn = k2 / (2.0 * (1.0 + k_prime));
  double power = 1.0;  // 2^(n-1)
  double sum = 0.0;
  for (int step = 1; step <= 64; ++step) {
    sum += power * (cn * cn);
    const double a_next = 0.5 * (an + gn);
    gn = std::sqrt(an * gn);
    an = a_next;
    cn = 0.5 * (an - gn);
    power *= 2.0;
    if (step >= agm_fixed_steps && std::fabs(cn) <= agm_check * an) break;
  }
  return {0.5 * (an + gn), sum + power * (cn * cn)};
}

// I of a cut path (or, with a = c, of a complete one) from its barrier and
// R_F, R_D of X/(a (a - b)), X = (b (a - c), b (a - b), c (a - b)):
// I = (2/3) sqrt(c - b) [a (a - b) R_F(X) - (1/3) a (a^2 - b^2)(c - b) R_D(X)
//     - (a + b - c) sqrt((a - c)/c)]. R_F and R_D are homogeneous of degrees
// -1/2 and -3/2; scaled so, their arguments stay near 1 even for the nearly
// grazing paths (u -> 0), whose barriers are long enough to overflow X.
struct scaled_arguments {
  double x, y, z;
};

scaled_arguments cut_arguments(double a, double b, double c, double w, double ac) {
  const double b_a = b / a;
  return {b_a * (ac / w), b_a, c / a};
}

// The reciprocals 1/a, 1/(a - b) and 1/c are passed in: a batch forms them
// with fewer divisions.
struct reciprocals {
  double a, w, c;
};

double cut_integral(double a, double b, double c, double w, double ac, const reciprocals& inv,
                    double rf, double rd) {
  const double cb = c - b;
  const double bracket =
      std::sqrt(a * w) * (rf - (1.0 + b * inv.a) * (cb * inv.w) * rd * (1.0 / 3.0)) -
      (a + b - c) * std::sqrt(ac * inv.c);
  return (2.0 / 3.0) * std::sqrt(cb) * bracket;
}

// I of a complete barrier from the mean and the sum of the AGM:
// I = (2/3) sqrt(a) K [(a - b)^2/(2a) - (a + b) sum 2^(n-1) c_n^2],
// K = pi/(2 AGM(1, k')).
double complete_integral(double a, double b, double w, const agm_result& r) {
  const double K = pi / (2.0 * r.mean);
  return (2.0 / 3.0) * std::sqrt(a) * K * ((w * w) / (2.0 * a) - (a + b) * r.sum);
}

// The lower end of the directions that matter, as x = 1/u_lo - 1. The
// exponent grows about as 1/u (for a thick complete barrier it is nearly
// proportional to 1/(E u)), so it is followed in x: from `x_start` (the value
// of a neighbouring flight point, or a typical one), x is rescaled by
// 40/rise until the rise of the exponent over [u_lo, 1] is between 39 and 50.
// Only the scale matters.
double lower_direction(const flight_point& p, double top, double x_start) {
  double x = x_start;
  double safe_x = -1.0;  // the smallest x seen whose rise is at least 39
  for (int it = 0; it < 16; ++it) {
    const double rise = accurate_tunnelling_exponent(1.0 / (1.0 + x), p) - top;
    if (rise >= rise_low) {
      if (safe_x < 0.0 || x < safe_x) safe_x = x;
      if (rise <= rise_high) return x;
    }
    const double factor = rise > 0.0 ? neglected_rise / rise : 1e3;
    x *= std::clamp(factor, 1e-3, 1e3);
    if (x > 1e12) break;  // the transmission hardly falls: all of [0, 1] counts
  }
  return safe_x > 0.0 ? safe_x : std::numeric_limits<double>::infinity();
}

// The tunnelling exponents phi(u[i]) and transmissions S(u[i]) of `count`
// (at most 64) paths from one flight point, formed together: the turning
// points of all, then the closed forms of the complete barriers (arithmetic-
// geometric mean) and of the cut ones (Carlson) each as one batch, whose
// steps overlap and vectorise. A barrier whose batch check fails is redone by
// the scalar routine. The same values as accurate_tunnelling_exponent and
// exp(-phi), to the rounding.
constexpr int batch_size = 64;

// exp(-phi) for 0 <= phi <= 708 in a form that vectorises (no comparisons):
// -phi = k ln 2 + r with |r| <= ln 2 / 2 (ln 2 in a high and a low half, after
// Cody and Waite, so that k ln 2 is exact for the k that occur), e^r by its
// Taylor series to r^13 (truncation below 4e-18), and 2^k, k in [-1022, 0],
// put into the exponent bits. Within 2 ulp of std::exp.
inline double exp_of_minus(double phi) {
  constexpr double log2e = 1.4426950408889634;
  constexpr double ln2_hi = 0.693147180369123816490;     // 0x3fe62e42fee00000
  constexpr double ln2_lo = 1.90821492927058770002e-10;  // 0x3dea39ef35793c76
  constexpr double round_shift = 6755399441055744.0;     // 1.5 * 2^52
  const double x = -phi;
  const double shifted = x * log2e + round_shift;  // round(x log2 e) in the low bits
  const double kd = shifted - round_shift;
  const double r = (x - kd * ln2_hi) - kd * ln2_lo;
  double e = 1.0 / 6227020800.0;  // 1/13!
  e = e * r + 1.0 / 479001600.0;
  e = e * r + 1.0 / 39916800.0;
  e = e * r + 1.0 / 3628800.0;
  e = e * r + 1.0 / 362880.0;
  e = e * r + 1.0 / 40320.0;
  e = e * r + 1.0 / 5040.0;
  e = e * r + 1.0 / 720.0;
  e = e * r + 1.0 / 120.0;
  e = e * r + 1.0 / 24.0;
  e = e * r + 1.0 / 6.0;
  e = e * r + 0.5;
  e = e * r + 1.0;
  e = e * r + 1.0;
  const std::uint64_t k_bits =
      std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(round_shift);
  return e * std::bit_cast<double>((k_bits + 1023u) << 52);
}

// The largest exponent whose transmission is formed: beyond it S is below
// the smallest normal number (2.2e-308) and no longer counts; it is 0.
constexpr double largest_exponent = 708.0;

// The integrals I of the cut barriers among them, by Carlson's R_F and R_D
// of X/(a (a - b)); the arrays hold the cut paths only, contiguously.
VELTRANE_VECTOR_KERNEL
void cut_batch(const double* a, const double* b, const double* c, const double* w,
               const double* inv_a, const double* inv_w, const double* inv_c, double* I,
               std::size_t n) {
  double x[batch_size] = {}, y[batch_size] = {}, z[batch_size] = {};
  double rf[batch_size], rd[batch_size];
  for (std::size_t j = 0; j < n; ++j) {
    const double b_a = b[j] * inv_a[j];
    x[j] = b_a * ((a[j] - c[j]) * inv_w[j]);
    y[j] = b_a;
    z[j] = c[j] * inv_a[j];
  }
  carlson_rf_rd_batch(x, y, z, rf, rd, static_cast<int>(n));
  for (std::size_t j = 0; j < n; ++j) {
    I[j] = cut_integral(a[j], b[j], c[j], w[j], a[j] - c[j], {inv_a[j], inv_w[j], inv_c[j]}, rf[j],
                        rd[j]);
  }
}

// The integrals I of complete barriers by the arithmetic-geometric mean, as
// in agm(), all barriers of the batch together.
VELTRANE_VECTOR_KERNEL
void complete_batch(const double* a, const double* b, const double* w, const double* inv_a,
                    double* I, std::size_t n) {
  double an[batch_size], gn[batch_size], cn[batch_size], sum[batch_size];
  for (std::size_t j = 0; j < n; ++j) {
    gn[j] = std::sqrt(b[j] * inv_a[j]);
    an[j] = 1.0;
    cn[j] = (w[j] * inv_a[j]) / (2.0 * (1.0 + gn[j]));
    sum[j] = 0.0;
  }
  // All barriers step together until each passes the check (a NaN never).
  double power = 1.0;
  for (int step = 1; step <= agm_batch_steps; ++step) {
    for (std::size_t j = 0; j < n; ++j) {
      sum[j] += power * (cn[j] * cn[j]);
      const double a_next = 0.5 * (an[j] + gn[j]);
      gn[j] = std::sqrt(an[j] * gn[j]);
      an[j] = a_next;
      cn[j] = 0.5 * (an[j] - gn[j]);
    }
    power *= 2.0;
    bool all_pass = true;
    for (std::size_t j = 0; j < n; ++j) all_pass &= std::fabs(cn[j]) <= agm_check * an[j];
    if (all_pass) break;
  }
  for (std::size_t j = 0; j < n; ++j) {
    const double K = pi / (an[j] + gn[j]);  // pi/(2 AGM)
    const double bracket =
        0.5 * (w[j] * w[j]) * inv_a[j] - (a[j] + b[j]) * (sum[j] + power * (cn[j] * cn[j]));
    I[j] = (2.0 / 3.0) * std::sqrt(a[j]) * K * bracket;
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!(std::fabs(cn[j]) <= agm_check * an[j])) {
      I[j] = accurate_complete_barrier_integral(a[j], b[j], w[j]);
    }
  }
}

VELTRANE_VECTOR_KERNEL
void transmission_chunk(const flight_point& p, const double* u, double* phi, double* S, int count) {
  const auto n = static_cast<std::size_t>(count);
  // The turning points as in path_barrier, a = (W + sqrt D)/(2 lambda) and
  // b = 2Z/(W + sqrt D), the end c of the path, and the reciprocals of a,
  // a - b and c, with two divisions per path.
  double a[batch_size], b[batch_size], w[batch_size], c[batch_size], inv_a[batch_size];
  double inv_w[batch_size], inv_c[batch_size];
  const double inv_E = 1.0 / p.E;
  const double inv_z = 1.0 / p.z;
  for (std::size_t i = 0; i < n; ++i) {
    const double lambda = p.E * u[i];
    const double inv_u = 1.0 / u[i];
    const double inv_lambda = inv_E * inv_u;
    const double sD = std::sqrt(p.W * p.W - 4.0 * p.Zv * lambda);
    const double sum = p.W + sD;
    const double q = 1.0 / (sD * sum);  // both 1/(W + sqrt D) and 1/sqrt D from it
    a[i] = 0.5 * sum * inv_lambda;
    b[i] = 2.0 * p.Zv * (sD * q);
    inv_a[i] = 2.0 * lambda * (sD * q);
    w[i] = sD * inv_lambda;
    inv_w[i] = lambda * (sum * q);
    c[i] = std::min(p.z * inv_u, a[i]);  // the surface, when nearer than a
    inv_c[i] = std::max(u[i] * inv_z, inv_a[i]);
  }

  // The cut paths first, then the complete ones, each contiguous.
  std::size_t order[batch_size];
  std::size_t n_cut = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (c[i] < a[i]) order[n_cut++] = i;
  }
  std::size_t n_all = n_cut;
  for (std::size_t i = 0; i < n; ++i) {
    if (!(c[i] < a[i])) order[n_all++] = i;
  }
  double ru[batch_size], ra[batch_size], rb[batch_size], rc[batch_size], rw[batch_size];
  double ri[batch_size], rwi[batch_size], rci[batch_size];
  double I[batch_size], rphi[batch_size], rS[batch_size];
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t i = order[j];
    ru[j] = u[i];
    ra[j] = a[i];
    rb[j] = b[i];
    rc[j] = c[i];
    rw[j] = w[i];
    ri[j] = inv_a[i];
    rwi[j] = inv_w[i];
    rci[j] = inv_c[i];
  }
  if (n_cut > 0) cut_batch(ra, rb, rc, rw, ri, rwi, rci, I, n_cut);
  if (n > n_cut) {
    complete_batch(ra + n_cut, rb + n_cut, rw + n_cut, ri + n_cut, I + n_cut, n - n_cut);
  }
  for (std::size_t j = 0; j < n; ++j) rphi[j] = c3 * (std::sqrt(p.E * ru[j]) * I[j]);
  for (std::size_t j = 0; j < n; ++j) rS[j] = exp_of_minus(rphi[j]);
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t i = order[j];
    // A grazing path (u = 0) never leaves its barrier.
    phi[i] = ru[j] > 0.0 ? rphi[j] : std::numeric_limits<double>::infinity();
    S[i] = phi[i] <= largest_exponent ? rS[j] : (std::isnan(phi[i]) ? phi[i] : 0.0);
  }
}

// The weighted sum of S over the nodes of the direction integral's panels,
// evaluated in batches of up to 64 paths. The first node is u = 1 with
// weight 0: its exponent is the top one, against which the rise at the
// lowest node (the one nearest u_lo) is measured.
class node_sum {
 public:
  explicit node_sum(const flight_point& p) : p_(p) { add(1.0, 0.0); }

  void add(double u, double weight) {
    if (n_ == static_cast<std::size_t>(batch_size)) flush();
    if (count_ > 0 && u < low_u_) {
      low_u_ = u;
      low_index_ = n_;
    }
    u_[n_] = u;
    w_[n_] = weight;
    ++n_;
    ++count_;
  }

  // One Gauss-Legendre panel over [lo, hi].
  void plain_panel(const gauss_legendre_rule& rule, double lo, double hi) {
    const double h = hi - lo;
    for (std::size_t i = 0; i < rule.x.size(); ++i) add(lo + h * rule.x[i], rule.w[i] * h);
  }

  // A panel over the directions below a branch point u_e of the exponent, in
  // u = u_e - (u_e - u_lo) tau^2 for tau from t0 to t1: the (u_e - u)^(3/2)
  // of the exponent becomes tau^3, smooth.
  void squared_panel(const gauss_legendre_rule& rule, double u_e, double u_lo, double t0,
                     double t1) {
    const double span = u_e - u_lo;
    const double dt = t1 - t0;
    for (std::size_t i = 0; i < rule.x.size(); ++i) {
      const double tau = t0 + dt * rule.x[i];
      add(u_e - span * (tau * tau), rule.w[i] * (tau * (2.0 * span * dt)));
    }
  }

  // The cut paths below a branch point u_e (the kink u_x), over tau from t0
  // to 1 in u = u_e - (u_e - u_lo) tau^2. Two more singularities of S lie
  // near this range in some flight points, and the range is split where they
  // would spoil the rule's convergence:
  //  - u = 0 (an essential singularity of exp(-exponent), the exponent
  //    growing as 1/u) at tau_0 = sqrt(u_e/span) > 1: a last panel of
  //    3 (tau_0 - 1) when tau_0 - 1 is less than `split_below` of the range
  //    (0.3 where these paths carry all of J; none below a kink, where the
  //    complete paths above it carry most of J and the error of this panel
  //    stays below 1e-13 of it);
  //  - u* (where the turning points meet: a (D log D)-type point of the cut
  //    barrier integral) at tau = i h, h = sqrt((u* - u_e)/span): panels
  //    growing geometrically from 3 h above t0 when h is small.
  void squared_panels(const gauss_legendre_rule& rule, double u_e, double u_lo, double t0,
                      double split_below) {
    const double span = u_e - u_lo;
    const double delta = std::sqrt(u_e / span) - 1.0;
    const double end = delta < split_below * (1.0 - t0) ? 1.0 - 3.0 * delta : 1.0;
    double lo = t0;
    const double h = std::sqrt((p_.u_top - u_e) / span);  // NaN (no split) if u* < u_e
    if (h < 0.3 * (end - t0)) {
      for (double step = 3.0 * h; lo + step < t0 + 0.7 * (end - t0); step *= 3.0) {
        squared_panel(rule, u_e, u_lo, lo, t0 + step);
        lo = t0 + step;
      }
    }
    squared_panel(rule, u_e, u_lo, lo, end);
    if (end < 1.0) squared_panel(rule, u_e, u_lo, end, 1.0);
  }

  // The sum, the top exponent phi(1) and the rise phi(u_min) - phi(1) at the
  // lowest node.
  struct result {
    double J;
    double top;
    double rise;
  };
  result finish() {
    flush();
    return {sum_, top_, low_phi_ - top_};
  }

 private:
  void flush() {
    double phi[batch_size];
    double S[batch_size];
    transmission_chunk(p_, u_, phi, S, static_cast<int>(n_));
    if (first_chunk_) {
      top_ = phi[0];
      first_chunk_ = false;
    }
    if (low_index_ < n_) low_phi_ = phi[low_index_];
    low_index_ = batch_size;
    for (std::size_t i = 0; i < n_; ++i) sum_ += w_[i] * S[i];
    n_ = 0;
  }

  const flight_point& p_;
  double u_[batch_size];
  double w_[batch_size];
  std::size_t n_ = 0;                   // nodes waiting in u_, w_
  std::size_t count_ = 0;               // nodes added in all
  std::size_t low_index_ = batch_size;  // where the lowest node waits, if it does
  bool first_chunk_ = true;
  double sum_ = 0.0;
  double top_ = 0.0;
  double low_u_ = std::numeric_limits<double>::infinity();
  double low_phi_ = std::numeric_limits<double>::quiet_NaN();
};

double direction_integral(const flight_point& p, const gauss_legendre_rule& rule, double& x_hint);

// The rate of the model from its direction integral: the prescribed
// prefactor, in its order.
double rate_from(double J, double B, int m) {
  return ((B * 2.0) / static_cast<double>(m)) * (((J * 2.0) * pi) * A);
}

// Arguments for which the geometry below does not hold: the field, the
// binding energy or the period not positive, or not numbers.
bool unusual_arguments(double E, double B, int m) { return !(E > 0.0 && B > 0.0 && m >= 1); }

bool usable_point(const flight_point& p) { return p.W > 0.0 && p.Zv > 0.0; }

// A flight point of the sum: its reciprocal distance s, the ion's speed
// there, the point and whether its rate is a number.
struct point {
  double s;
  double v;
  flight_point fp;
  rate_kind kind;
};

// The flight points from which no path reaches the surface (E z >= W, so
// u_x <= 0) see the surface only through Z: their barriers are complete, and
// J depends on z through Z = (n + 1) + 4.5/z alone. When there are at least
// 14 of them, log J is interpolated in Z from 10 Chebyshev points spanning
// their range (barycentric form); unless one of those has J <= 1e-300, where
// log J would lose its accuracy, and then every point is integrated.
constexpr int min_far_points = 14;
constexpr int chebyshev_points = 10;

void interpolate_far_points(const point (&grid)[50], double (&J)[50], bool (&done)[50], double E,
                            int n, double& x_hint) {
  int count = 0;
  double Z_lo = std::numeric_limits<double>::infinity();
  double Z_hi = -Z_lo;
  for (int i = 1; i <= 49; ++i) {
    const point& q = grid[static_cast<std::size_t>(i)];
    if (q.kind != rate_kind::number || q.fp.u_edge > 0.0) continue;
    ++count;
    Z_lo = std::min(Z_lo, q.fp.Zv);
    Z_hi = std::max(Z_hi, q.fp.Zv);
  }
  if (count < min_far_points || !(Z_hi > Z_lo)) return;

  // A node is a far point too: the distance z with Z(z) = Z_j lies within
  // the range of the far points' distances.
  const flight_point& any = grid[49].fp;
  double node_Z[chebyshev_points];
  double node_logJ[chebyshev_points];
  double node_w[chebyshev_points];
  for (int j = 0; j < chebyshev_points; ++j) {
    const auto jj = static_cast<std::size_t>(j);
    const double angle = pi * (2.0 * j + 1.0) / (2.0 * chebyshev_points);
    const double Zj = 0.5 * (Z_hi + Z_lo) + 0.5 * (Z_hi - Z_lo) * std::cos(angle);
    flight_point p = any;
    p.Zv = Zj;
    p.z = 4.5 / (Zj - static_cast<double>(n + 1));
    p.u_top = (p.W * p.W) / (4.0 * Zj * E);
    p.u_edge = p.z * (p.W - E * p.z) / Zj;
    p.edge_is_outer = true;
    const double Jj = direction_integral(p, rule_18(), x_hint);
    if (!(Jj > 1e-300)) return;
    node_Z[jj] = Zj;
    node_logJ[jj] = std::log(Jj);
    node_w[jj] = ((j % 2 == 0) ? 1.0 : -1.0) * std::sin(angle);
  }
  for (int i = 1; i <= 49; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const point& q = grid[k];
    if (q.kind != rate_kind::number || q.fp.u_edge > 0.0) continue;
    double num = 0.0;
    double den = 0.0;
    bool at_node = false;
    for (std::size_t j = 0; j < static_cast<std::size_t>(chebyshev_points); ++j) {
      const double d = q.fp.Zv - node_Z[j];
      if (d == 0.0) {
        num = node_logJ[j];
        den = 1.0;
        at_node = true;
        break;
      }
      num += node_w[j] / d * node_logJ[j];
      den += node_w[j] / d;
    }
    J[k] = std::exp(at_node ? num : num / den);
    done[k] = true;
  }
}

// The flight sum L = log Q, NaN where Q is NaN; `fallback` where the
// prescribed evaluation has to answer.
struct flight_sum {
  bool fallback;
  double L;
};

// With `nan_only` only whether L is NaN is decided: the band's grid points
// ask the replica for their NaN-ness alone, and no direction integral is
// formed; L is then 0 where it would be a number. (With every rate a number,
// L is a finite sum: each rate is the prescribed one or a finite multiple of
// a J between 0 and 1.)
flight_sum accurate_flight_sum(double E, double B, double phi, int m, int n, double m_ion,
                               double u_offset, bool nan_only = false) {
  constexpr flight_sum prescribed{true, nan};
  constexpr flight_sum no_number{false, nan};
  if (unusual_arguments(E, B, m)) return prescribed;
  const double zc_value = zc(E, B, phi, m, n);
  if (!(std::isfinite(zc_value) && zc_value > 0.0)) return prescribed;

  double g[50];
  flight_grid(E, B, phi, m, n, g);

  // Index i = 1..49: the grid point g[i] and the midpoint of [g[i-1], g[i]],
  // at the same reciprocal distances as the prescribed flight integrand.
  point grid[50];
  point mid[50];
  for (int i = 1; i <= 49; ++i) {
    const auto k = static_cast<std::size_t>(i);
    const double lo = g[i - 1];
    const double hi = g[i];
    grid[k].s = hi;
    mid[k].s = (lo + hi) * 0.5;
    for (point* q : {&grid[k], &mid[k]}) {
      q->v = ion_speed(q->s, E, n, m_ion, u_offset);
      if (!(q->v > 0.0)) return prescribed;
      q->fp = make_flight_point(1.0 / q->s, E, B, m, n);
      if (!usable_point(q->fp)) return prescribed;
      q->kind = classify_rate(q->fp);
      if (q->kind == rate_kind::not_a_number) return no_number;
    }
  }

  // Every point is a number or in the band; the band's rates are the
  // prescribed ones (by the replica of their integration, which stops at
  // the first NaN), and a NaN among them makes Q NaN. The midpoints need
  // only whether theirs are numbers. The most likely NaN is tried first: the
  // lowest u_nan.
  std::size_t band[98];
  std::size_t band_size = 0;
  for (std::size_t k = 1; k <= 49; ++k) {
    if (grid[k].kind == rate_kind::narrow_band) band[band_size++] = k;
    if (mid[k].kind == rate_kind::narrow_band) band[band_size++] = 50 + k;
  }
  const auto band_point = [&grid, &mid](std::size_t b) -> const point& {
    return b < 50 ? grid[b] : mid[b - 50];
  };
  std::sort(band, band + band_size, [&band_point](std::size_t x, std::size_t y) {
    return nan_direction(band_point(x).fp) < nan_direction(band_point(y).fp);
  });
  double rate[50] = {};
  for (std::size_t j = 0; j < band_size; ++j) {
    const std::size_t b = band[j];
    const double z = band_point(b).fp.z;
    if (b >= 50 || nan_only) {
      if (replica_R_is_nan(z, E, B, phi, m, n)) return no_number;
    } else {
      rate[b] = replica_R(z, E, B, phi, m, n);
      if (std::isnan(rate[b])) return no_number;
    }
  }
  if (nan_only) return {false, 0.0};
  // The direction integrals, from the farthest flight point inwards (the
  // lower end of the directions changes little from one to the next).
  double J[50] = {};
  bool done[50] = {};
  double x_hint = typical_x;
  interpolate_far_points(grid, J, done, E, n, x_hint);
  for (int i = 1; i <= 49; ++i) {
    const auto k = static_cast<std::size_t>(i);
    if (grid[k].kind == rate_kind::number) {
      if (!done[k]) J[k] = direction_integral(grid[k].fp, rule_18(), x_hint);
      rate[k] = rate_from(J[k], B, m);
    }
  }

  // The flight integrand t = (R/v)/s^2 and the prescribed sum of 48 steps,
  // each weighted with t at its upper end and at the last grid point.
  double t[50] = {};
  for (int i = 1; i <= 49; ++i) {
    const auto k = static_cast<std::size_t>(i);
    t[k] = (rate[k] / grid[k].v) / (grid[k].s * grid[k].s);
  }
  const double t_last = t[49];
  double L = 0.0;
  for (int i = 1; i <= 48; ++i) {
    const double w = (g[i] - g[i - 1]) / (-6.0);
    L += t_last * w + w * t[static_cast<std::size_t>(i)];
  }
  return {false, L};
}

}  // namespace

flight_point make_flight_point(double z, double E, double B, int m, int n) {
  flight_point p{};
  p.z = z;
  p.E = E;
  p.W = B - E_stark(E, B, m);
  p.Zv = Z(z, n);
  p.u_top = (p.W * p.W) / (4.0 * p.Zv * E);
  p.u_edge = z * (p.W - E * z) / p.Zv;
  p.edge_is_outer = 2.0 * E * z >= p.W;
  return p;
}

rate_kind classify_rate(const flight_point& p) {
  const double u_nan = nan_direction(p);
  if (u_nan < first_rule_top_node * (1.0 - band_margin)) return rate_kind::not_a_number;
  if (u_nan >= 1.0 + band_margin) return rate_kind::number;
  return rate_kind::narrow_band;
}

barrier path_barrier(double u, const flight_point& p) {
  const double lambda = p.E * u;
  const double sD = std::sqrt(p.W * p.W - 4.0 * p.Zv * lambda);
  const double sum = p.W + sD;
  barrier br{};
  br.a = sum / (2.0 * lambda);
  br.b = (2.0 * p.Zv) / sum;
  br.width = sD / lambda;
  const double surface = p.z / u;
  br.cut = surface < br.a;
  br.c = br.cut ? surface : br.a;
  return br;
}

double accurate_cut_barrier_integral(const barrier& br) {
  const double ac = br.cut ? br.a - br.c : 0.0;
  const scaled_arguments X = cut_arguments(br.a, br.b, br.c, br.width, ac);
  const carlson_pair f = carlson_rf_rd(X.x, X.y, X.z);
  const reciprocals inv{1.0 / br.a, 1.0 / br.width, 1.0 / br.c};
  return cut_integral(br.a, br.b, br.c, br.width, ac, inv, f.rf, f.rd);
}

double accurate_complete_barrier_integral(double a, double b, double width) {
  return complete_integral(a, b, width, agm(std::sqrt(b / a), width / a));
}

double accurate_barrier_integral(const barrier& br) {
  return br.cut ? accurate_cut_barrier_integral(br)
                : accurate_complete_barrier_integral(br.a, br.b, br.width);
}

double accurate_tunnelling_exponent(double u, const flight_point& p) {
  // A grazing path (u = 0) never leaves the barrier.
  if (!(u > 0.0)) return std::numeric_limits<double>::infinity();
  const barrier br = path_barrier(u, p);
  return c3 * (std::sqrt(p.E * u) * accurate_barrier_integral(br));
}

double accurate_transmission(double u, const flight_point& p) {
  return std::exp(-accurate_tunnelling_exponent(u, p));
}

double accurate_lower_direction(const flight_point& p) {
  return 1.0 / (1.0 + lower_direction(p, accurate_tunnelling_exponent(1.0, p), typical_x));
}

namespace {

// J by the panels of accurate_direction_integral; `x_hint` carries x =
// 1/u_lo - 1 from one flight point to the next.
double direction_integral(const flight_point& p, const gauss_legendre_rule& rule, double& x_hint) {
  // The panels for u_lo from the neighbouring flight point's x = 1/u_lo - 1
  // (rescaled there towards a rise of 40);
  // if the rise of the exponent at the lowest node is not between 38.5 and
  // 50 (as it is between 39 and 50 at u_lo itself, up to the last node's
  // small distance from u_lo), the search sets x and the panels are redone.
  double x = x_hint;
  for (int attempt = 0;; ++attempt) {
    const double u_lo = 1.0 / (1.0 + x);
    const double ux = p.u_edge;
    node_sum nodes(p);
    if (p.edge_is_outer && ux > 0.0 && ux < 1.0 && u_lo < ux) {
      // Complete barriers above the kink, cut ones below it.
      nodes.plain_panel(rule, ux, 1.0);
      nodes.squared_panels(rule, ux, u_lo, 0.0, 0.0);
    } else if (ux >= 1.0) {
      // Every path is cut; the branch point lies at or beyond u = 1.
      nodes.squared_panels(rule, ux, u_lo, std::sqrt((ux - 1.0) / (ux - u_lo)), 0.3);
    } else {
      nodes.plain_panel(rule, u_lo, 1.0);
    }
    const node_sum::result r = nodes.finish();
    // S rises with u, so J is at most S(1); when that underflows, so does J.
    if (std::exp(-r.top) == 0.0) return 0.0;
    if ((r.rise >= rise_low - 0.5 && r.rise <= rise_high) || attempt > 0) {
      // The next flight point starts from x re-centred on a rise of 40.
      if (std::isfinite(x)) x_hint = x * std::clamp(neglected_rise / r.rise, 0.8, 1.25);
      return r.J;
    }
    x = lower_direction(p, r.top, x);
  }
}

}  // namespace

double accurate_direction_integral(const flight_point& p, int nodes) {
  double x = typical_x;
  if (nodes == default_nodes) return direction_integral(p, rule_18(), x);
  if (nodes == 24) return direction_integral(p, rule_24(), x);
  return direction_integral(p, gauss_legendre(nodes), x);
}

double accurate_R(double z, double E, double B, double phi, int m, int n) {
  if (unusual_arguments(E, B, m)) return fast_R(z, E, B, phi, m, n);
  if (z < zc(E, B, phi, m, n)) return 0.0;
  const flight_point p = make_flight_point(z, E, B, m, n);
  if (!usable_point(p)) return fast_R(z, E, B, phi, m, n);
  switch (classify_rate(p)) {
    case rate_kind::number:
      return rate_from(accurate_direction_integral(p), B, m);
    case rate_kind::not_a_number:
      return nan;
    case rate_kind::narrow_band:
      break;
  }
  return replica_R(z, E, B, phi, m, n);
}

double accurate_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u) {
  const flight_sum f = accurate_flight_sum(E, B, phi, m, n, m_ion, u);
  if (f.fallback) return fast_veltrane(E, B, phi, m, n, m_ion, u);
  return std::exp(f.L);
}

bool accurate_veltrane_is_nan(double E, double B, double phi, int m, int n, double m_ion,
                              double u) {
  const flight_sum f = accurate_flight_sum(E, B, phi, m, n, m_ion, u, true);
  if (f.fallback) return std::isnan(fast_veltrane(E, B, phi, m, n, m_ion, u));
  return std::isnan(f.L);
}

double accurate_veltrane_complement(double E, double B, double phi, int m, int n, double m_ion,
                                    double u) {
  const flight_sum f = accurate_flight_sum(E, B, phi, m, n, m_ion, u);
  if (f.fallback) return 1.0 - fast_veltrane(E, B, phi, m, n, m_ion, u);
  return -std::expm1(f.L);
}

}  // namespace veltrane
