#include "model/replica_rate.hpp"

#include <cmath>

#include "model/constants.hpp"
#include "model/integration_settings.hpp"
#include "model/kernel_target.hpp"
#include "model/model.hpp"
#include "model/qags_replica.hpp"

// Every expression below is the one of fast_model.cpp (S_fast, k_fast,
// fast_R), in the same order; tests/model/replica_rate_test.cpp compares the
// rates bit for bit.

namespace veltrane {

namespace {

using namespace detail;

struct k_record {
  double W, Zv, E, u;
};

double k_value(double r, const k_record& q) {
  return std::sqrt((q.W - q.Zv / r) - (q.E * r) * q.u);
}

// The barrier integrand at the 21 nodes of one rule; each value is
// correctly rounded whether it is formed alone or in a vector.
VELTRANE_VECTOR_KERNEL
void k_values(const double* r, double* y, int count, void* p) {
  const auto& q = *static_cast<const k_record*>(p);
  const double W = q.W;
  const double Zv = q.Zv;
  const double E = q.E;
  const double u = q.u;
  for (int i = 0; i < count; ++i) y[i] = std::sqrt((W - Zv / r[i]) - (E * r[i]) * u);
}

// The two integrations of one thread: the direction integral's and the
// barrier integral's inside it.
struct thread_workspaces {
  replica_workspace outer;
  replica_workspace inner;
};

thread_workspaces& workspaces() {
  thread_local thread_workspaces w;
  return w;
}

struct S_record {
  double z, E, W, Zv, zc;
  replica_workspace* inner;
};

double S_value(double u, const S_record& q) {
  const double D = q.W * q.W - ((q.Zv * 4.0) * q.E) * u;
  const double a_u = (q.W + std::sqrt(D)) / ((q.E * 2.0) * u);
  const double b_u = (q.W - std::sqrt(D)) / ((q.E * 2.0) * u);
  const double d = q.z / u;
  if (q.z < q.zc) return 0.0;
  const double upper = (d < a_u) ? d : a_u;
  if (std::isnan(b_u) || std::isnan(upper)) return nan;
  k_record kr{q.W, q.Zv, q.E, u};
  // The thick barrier whose transmission underflows (see S_fast).
  if (q.Zv > 0.0 && q.E * u > 0.0 && b_u < upper && std::isfinite(upper)) {
    const double middle = 0.5 * (b_u + upper);
    const double lower_bound = 0.5 * (upper - b_u) * k_value(middle, kr);
    if (c3 * lower_bound > 4.0 * 746.0) return 0.0;
  }
  const replica_integrand f{&k_values, nullptr, &kr};
  const double I =
      qags_replica(f, b_u, upper, epsrel, workspace_intervals, replica_goal::value, *q.inner).value;
  return std::exp(-(c3 * I));
}

void S_values(const double* u, double* y, int count, void* p) {
  const auto& q = *static_cast<const S_record*>(p);
  for (int i = 0; i < count; ++i) y[i] = S_value(u[i], q);
}

// Whether S is NaN at u and at every larger u: its discriminant, formed as
// S_value forms it, is negative already 1e-12 below u. For Z E > 0 that
// discriminant can only fall as u grows (each rounding is monotonic), so no
// direction from u - 1e-12 on has turning points. The margin covers the
// rounding of the nodes of the intervals bisected later, whose largest nodes
// lie above the one tested here only to within a few ulps.
bool S_nan_from(double u, void* p) {
  const auto& q = *static_cast<const S_record*>(p);
  if (q.z < q.zc || !(q.Zv * q.E > 0.0)) return false;
  const double below = u - 1e-12;
  const double D = q.W * q.W - ((q.Zv * 4.0) * q.E) * below;
  return D < 0.0;
}

// The direction integral as fast_R sets it up: NaN at once where fast_R's
// probe finds paths without turning points, the replica otherwise.
replica_result direction_integral(double z, double E, double B, double phi, int m, int n,
                                  replica_goal goal) {
  thread_workspaces& w = workspaces();
  S_record rec{z, E, B - E_stark(E, B, m), Z(z, n), zc(E, B, phi, m, n), &w.inner};
  if (!(rec.z < rec.zc)) {
    const double D = rec.W * rec.W - ((rec.Zv * 4.0) * rec.E) * discriminant_probe_u;
    if (D < 0.0) return {true, nan, 0};
  }
  const replica_integrand f{&S_values, &S_nan_from, &rec};
  return qags_replica(f, 0.0, 1.0, epsrel, workspace_intervals, goal, w.outer);
}

}  // namespace

double replica_R(double z, double E, double B, double phi, int m, int n) {
  const double J = direction_integral(z, E, B, phi, m, n, replica_goal::value).value;
  return ((B * 2.0) / static_cast<double>(m)) * (((J * 2.0) * pi) * A);
}

bool replica_R_is_nan(double z, double E, double B, double phi, int m, int n) {
  return direction_integral(z, E, B, phi, m, n, replica_goal::nan_ness).is_nan;
}

}  // namespace veltrane
