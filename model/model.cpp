#include "model/model.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>

#include <cmath>
#include <limits>

#include "model/constants.hpp"
#include "model/integration_settings.hpp"

namespace veltrane {

// exp(0.0) is 1; the factor is kept because the constant is defined this way.
const double A = 1.0 / (std::exp(0.0) * 37.69911184307752);

namespace {

using namespace detail;

// GSL's default error handler aborts the process on a failed integration.
// The model reports nothing and uses whatever result the integrator leaves,
// so the handler is switched off before any integration runs.
void error_handler_off() { gsl_set_error_handler_off(); }

// Owns one GSL workspace for the duration of one integration.
class workspace {
 public:
  workspace() : w_(gsl_integration_workspace_alloc(workspace_intervals)) {}
  ~workspace() {
    if (w_ != nullptr) gsl_integration_workspace_free(w_);
  }
  workspace(const workspace&) = delete;
  workspace& operator=(const workspace&) = delete;
  gsl_integration_workspace* get() const { return w_; }

 private:
  gsl_integration_workspace* w_;
};

}  // namespace

double E_stark(double E, double B, int m) {
  const double q = E / B;
  const double m2 = static_cast<double>(m) * static_cast<double>(m);
  return ((m2 * 17.0 + 10.0) * (-0.015625)) * (q * q);
}

double Z(double z, int n) { return static_cast<double>(n + 1) + 4.5 / z; }

double k(double r, void* p) {
  const auto& kp = *static_cast<const k_params*>(p);
  const double W = kp.B - E_stark(kp.E, kp.B, kp.m);
  const double Zv = Z(kp.z, kp.n);
  return std::sqrt((W - Zv / r) - (kp.E * r) * kp.u);
}

double a(double u, double z, double E, double B, int m, int n) {
  const double W = B - E_stark(E, B, m);
  const double Zv = Z(z, n);
  const double D = W * W - ((Zv * 4.0) * E) * u;
  return (W + std::sqrt(D)) / ((E * 2.0) * u);
}

double b(double u, double z, double E, double B, int m, int n) {
  const double W = B - E_stark(E, B, m);
  const double Zv = Z(z, n);
  const double D = W * W - ((Zv * 4.0) * E) * u;
  return (W - std::sqrt(D)) / ((E * 2.0) * u);
}

double zc(double E, double B, double phi, int m, int /*n*/) {
  const double c = E * critical_distance_offset_bohr;
  const double W = B - E_stark(E, B, m);
  const double U = (W - phi) - c;
  const double V = ((U * 2.0) * E) * critical_distance_offset_bohr + U * U;
  // 0.6400000000000001 is the double product 0.8 * 0.8; (E * 4.0) * 0.0 is
  // zero for a finite field and part of the formula all the same.
  return ((U - c) + std::sqrt(((E * E) * 0.6400000000000001 + V) - (E * 4.0) * 0.0)) / (E * 2.0);
}

double S(double u, void* p) {
  const auto& rp = *static_cast<const R_params*>(p);
  error_handler_off();
  const workspace w;
  if (w.get() == nullptr) return nan;  // no integration without a workspace

  k_params kp{u, rp.z, rp.E, rp.B, rp.m, rp.n};
  gsl_function f{&k, &kp};

  const double a_u = a(u, rp.z, rp.E, rp.B, rp.m, rp.n);
  const double b_u = b(u, rp.z, rp.E, rp.B, rp.m, rp.n);
  const double d = rp.z / u;  // path length from the ion to the surface plane

  // Nearer than the critical distance the level lies below the Fermi level:
  // no transmission. An ordered less-than: NaN does not take this branch.
  if (rp.z < zc(rp.E, rp.B, rp.phi, rp.m, rp.n)) return 0.0;

  // The path ends at the outer turning point or at the surface, whichever is
  // nearer; a NaN comparison takes the turning point.
  const double upper = (d < a_u) ? d : a_u;
  double I = 0.0;
  double abserr = 0.0;
  gsl_integration_qags(&f, b_u, upper, epsabs, epsrel, workspace_intervals, w.get(), &I, &abserr);
  return std::exp(-(c3 * I));
}

double R(double z, double E, double B, double phi, int m, int n) {
  // Off before the workspace is allocated: a failed allocation reports
  // through the handler, and the default one would abort the process.
  error_handler_off();
  R_params rp{z, E, B, phi, m, n};
  const workspace w;
  if (w.get() == nullptr) return nan;
  gsl_function f{&S, &rp};
  double J = 0.0;
  double abserr = 0.0;
  gsl_integration_qags(&f, 0.0, 1.0, epsabs, epsrel, workspace_intervals, w.get(), &J, &abserr);
  // Attempt frequency 2B/m times the direction-averaged transmission; the
  // second factor is J/6 up to rounding, since A = 1/(12 pi).
  return ((B * 2.0) / static_cast<double>(m)) * (((J * 2.0) * pi) * A);
}

double t(double z, double E, double B, double phi, int m, int n, double m_ion, double u) {
  const double rate = R(1.0 / z, E, B, phi, m, n);
  const double v = ion_speed(z, E, n, m_ion, u);
  return (rate / v) / (z * z);
}

void flight_grid(double E, double B, double phi, int m, int n, double (&g)[50]) {
  // The step is (1/zc)/50, and the points are accumulated one addition at a
  // time, so g[49] (first set to 1/zc) is overwritten by the 49-step sum.
  g[0] = 0.0;
  g[49] = 1.0 / zc(E, B, phi, m, n);
  const double h = g[49] / 50.0;
  for (int i = 1; i <= 49; ++i) g[i] = g[i - 1] + h;
}

double veltrane(double E, double B, double phi, int m, int n, double m_ion, double u) {
  double P = 1.0;
  double g[50];
  flight_grid(E, B, phi, m, n, g);

  // First pass: every step is weighted with t at its own upper end and with t
  // at the last grid point. That value is the same in all 48 steps and is
  // evaluated once.
  const double t_last = t(g[49], E, B, phi, m, n, m_ion, u);
  for (int i = 1; i <= 48; ++i) {
    const double delta = g[i] - g[i - 1];
    const double tau = t(g[i], E, B, phi, m, n, m_ion, u);
    const double w = delta / (-6.0);
    P = std::exp(t_last * w) * (std::exp(w * tau) * P);
  }

  // Second pass: the weight is zero, so a finite midpoint value leaves P as
  // it is, while a NaN or infinite one makes P NaN.
  for (int i = 1; i <= 49; ++i) {
    const double lo = g[i - 1];
    const double hi = g[i];
    P = std::exp(t((lo + hi) * 0.5, E, B, phi, m, n, m_ion, u) * ((hi - lo) * 0.0)) * P;
  }
  return P;
}

}  // namespace veltrane
