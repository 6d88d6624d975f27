#include "model/fast_model.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>

#include <cmath>
#include <limits>

#include "model/constants.hpp"
#include "model/integration_settings.hpp"
#include "model/model.hpp"

namespace veltrane {

namespace {

using namespace detail;

// GSL's default handler would abort the process on a failed integration; it
// is switched off once, by the first call on any thread (a thread-safe
// initialisation, so that threads do not race on GSL's global setting).
void ensure_handler_off() {
  static const bool once = (gsl_set_error_handler_off(), true);
  (void)once;
}

// The two workspaces of one thread: the rate's and the transmission's.
struct thread_workspaces {
  gsl_integration_workspace* outer = gsl_integration_workspace_alloc(workspace_intervals);
  gsl_integration_workspace* inner = gsl_integration_workspace_alloc(workspace_intervals);
  thread_workspaces() = default;
  thread_workspaces(const thread_workspaces&) = delete;
  thread_workspaces& operator=(const thread_workspaces&) = delete;
  ~thread_workspaces() {
    if (outer != nullptr) gsl_integration_workspace_free(outer);
    if (inner != nullptr) gsl_integration_workspace_free(inner);
  }
};

thread_workspaces& workspaces() {
  thread_local thread_workspaces w;
  return w;
}

// The integrand k with W and Z already formed (the same expressions, so the
// same bits).
struct k_record {
  double W, Zv, E, u;
};

double k_fast(double r, void* p) {
  const auto& q = *static_cast<const k_record*>(p);
  return std::sqrt((q.W - q.Zv / r) - (q.E * r) * q.u);
}

struct S_record {
  double z, E, W, Zv, zc;
  gsl_integration_workspace* inner;
};

double S_fast(double u, void* p) {
  const auto& q = *static_cast<const S_record*>(p);
  const double D = q.W * q.W - ((q.Zv * 4.0) * q.E) * u;
  const double a_u = (q.W + std::sqrt(D)) / ((q.E * 2.0) * u);
  const double b_u = (q.W - std::sqrt(D)) / ((q.E * 2.0) * u);
  const double d = q.z / u;
  if (q.z < q.zc) return 0.0;
  const double upper = (d < a_u) ? d : a_u;
  // Between limits that are not numbers every sample is NaN, and so is the
  // integral.
  if (std::isnan(b_u) || std::isnan(upper)) return nan;
  k_record kr{q.W, q.Zv, q.E, u};

  // A barrier so thick that the transmission underflows to exactly 0.0.
  // Between the turning points k is the square root of a concave function and
  // so concave itself: its integral is at least the triangle under its value
  // at the middle of the path. When c3 times that bound exceeds four times the
  // underflow threshold of exp (745.13), the integrator's result, accurate to
  // 1e-7, certainly gives exp(-(c3 * I)) = 0.0, and it need not run.
  //
  // The inner turning point needs no test of its own. For W < 0 both turning
  // points are negative and k is not real between them, so the bound is NaN
  // (or 0) and never taken; W = 0 has no turning points. For W > 0 the inner
  // point is 2Z/(W + sqrt(D)) > 0, and b_u comes out as 0 only by rounding,
  // when 4 Z E u is below W^2 times 2^-52: the path is then longer than 1e16
  // bohr and the transmission underflows to 0.0 in the integrated form too.
  if (q.Zv > 0.0 && q.E * u > 0.0 && b_u < upper && std::isfinite(upper)) {
    const double middle = 0.5 * (b_u + upper);
    const double lower_bound = 0.5 * (upper - b_u) * k_fast(middle, &kr);
    if (c3 * lower_bound > 4.0 * 746.0) return 0.0;
  }
  gsl_function f{&k_fast, &kr};
  double I = 0.0;
  double abserr = 0.0;
  gsl_integration_qags(&f, b_u, upper, epsabs, epsrel, workspace_intervals, q.inner, &I, &abserr);
  return std::exp(-(c3 * I));
}

// t with the speed formed first: a speed that is not a number makes t NaN
// whatever the rate.
double t_fast(double s, double E, double B, double phi, int m, int n, double m_ion, double u) {
  const double v = ion_speed(s, E, n, m_ion, u);
  if (std::isnan(v)) return nan;
  const double rate = fast_R(1.0 / s, E, B, phi, m, n);
  return (rate / v) / (s * s);
}

}  // namespace

double fast_R(double z, double E, double B, double phi, int m, int n) {
  ensure_handler_off();
  thread_workspaces& w = workspaces();
  if (w.outer == nullptr || w.inner == nullptr) return nan;
  S_record rec{z, E, B - E_stark(E, B, m), Z(z, n), zc(E, B, phi, m, n), w.inner};

  // Paths towards the surface without turning points. The discriminant
  // W^2 - 4 Z E u falls with u (for Z E > 0), so once it is negative at some u
  // it stays negative up to u = 1. If it is negative below the largest
  // abscissa of the first 21-point rule on [0, 1] (0.99783), the rate
  // integration starts with a NaN sample; its running sum then stays NaN, no
  // extrapolated value is ever accepted, and the interval ending at u = 1
  // keeps a NaN sample through every bisection: the rate is NaN whatever else
  // it samples. (For Z E < 0 the discriminant is W^2 + 4 |Z E| u, never
  // negative, so the probe never takes this branch there.)
  if (!(rec.z < rec.zc)) {
    const double D = rec.W * rec.W - ((rec.Zv * 4.0) * rec.E) * discriminant_probe_u;
    if (D < 0.0) return nan;
  }

  gsl_function f{&S_fast, &rec};
  double J = 0.0;
  double abserr = 0.0;
  gsl_integration_qags(&f, 0.0, 1.0, epsabs, epsrel, workspace_intervals, w.outer, &J, &abserr);
  return ((B * 2.0) / static_cast<double>(m)) * (((J * 2.0) * pi) * A);
}

double fast_veltrane(double E, double B, double phi, int m, int n, double m_ion, double u) {
  double g[50];
  flight_grid(E, B, phi, m, n, g);

  // All 145 values of t are needed for a number, and any NaN among them makes
  // the result NaN. The rate turns NaN first near zc, so the values nearest
  // the surface (largest s) are formed first.
  double t_grid[50];
  double t_mid[50];
  for (int i = 49; i >= 1; --i) {
    const double lo = g[i - 1];
    const double hi = g[i];
    t_grid[i] = t_fast(hi, E, B, phi, m, n, m_ion, u);
    if (std::isnan(t_grid[i])) return nan;
    t_mid[i] = t_fast((lo + hi) * 0.5, E, B, phi, m, n, m_ion, u);
    if (std::isnan(t_mid[i])) return nan;
  }

  double P = 1.0;
  const double t_last = t_grid[49];
  for (int i = 1; i <= 48; ++i) {
    const double w = (g[i] - g[i - 1]) / (-6.0);
    P = std::exp(t_last * w) * (std::exp(w * t_grid[i]) * P);
  }
  for (int i = 1; i <= 49; ++i) {
    const double lo = g[i - 1];
    const double hi = g[i];
    P = std::exp(t_mid[i] * ((hi - lo) * 0.0)) * P;
  }
  return P;
}

}  // namespace veltrane
