#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <vector>

#include "compute/request.hpp"

namespace veltrane {

inline constexpr double ev_per_hartree = 27.211;  ///< eV per hartree, as the model's inputs use it
inline constexpr double vnm_per_au = 514.2;       ///< V/nm per atomic unit of field
inline constexpr int max_points_per_step = 51;    ///< a multi-step sweep never evaluates more

/// The model's entry point, with the arguments of `veltrane` in its order:
/// field (au), binding energy (hartree), work function (hartree), period,
/// charge, atomic mass (u), energy offset (hartree). Returns Q.
using model_function = std::function<double(double, double, double, int, int, double, double)>;

/// One field value of a sweep and the model's result there.
struct sweep_point {
  double F = 0.0;  ///< field, atomic units
  double E = 0.0;  ///< field strength, V/nm (F * 514.2)
  double Q = 0.0;  ///< probability that the ion of charge j+ keeps its charge
};

/// The sweep of ionisation step j (charge j+ to (j+1)+), in rising field.
struct step_curve {
  int j = 1;
  std::vector<sweep_point> points;
};

/// Every step of one calculation, j = 1..n in order.
struct curve_set {
  int n = 1;
  std::vector<step_curve> steps;
};

/// The arguments of one model call.
struct model_call {
  double E, B, phi;
  int m, n;
  double m_ion, u;
};

/// The sweeps of a calculation laid out before anything is evaluated: the
/// curves with their fields (Q not yet set), and one model call per point, in
/// sweep order, step after step.
struct sweep_plan {
  curve_set curves;
  std::vector<model_call> calls;
};

/// Lays out the sweeps of an accepted request:
///  n = 1: 50 fields from I2^2/14 in accumulated steps of (I2^2/8.8 - I2^2/14)/50,
///         offset (I1 - phi)/F + 0.8, times F;
///  n >= 2: step j from I(j+1)^2/((j+2.5)*4) while F <= I(j+1)^2/((j+1)*4), by
///         accumulated steps of a fiftieth of the range, offset 0 for j = 1 and
///         the sum over m = 2..j of z_m F + (2m-1)/(4 z_m), z_m = (Im - phi)/F + 0.8.
/// A step ends after 51 points, or as soon as the field no longer increases (a
/// zero or vanishing step), so it never runs away.
sweep_plan plan_sweeps(const calc_request& request);

/// Shared between a running evaluation and whoever watches it.
struct evaluation_progress {
  std::atomic<std::size_t> done{0};
  std::atomic<bool> cancel{false};
};

/// Evaluates every call of the plan with `model` on `threads` threads (0: all
/// cores) and stores each Q at its point. The points are independent, so the
/// order of evaluation does not change any result. Returns false when
/// cancelled through `progress`; the plan's Q values are then incomplete.
bool evaluate_plan(sweep_plan& plan, const model_function& model, unsigned threads = 1,
                   evaluation_progress* progress = nullptr);

/// plan_sweeps followed by evaluate_plan: the curves of one calculation.
curve_set compute_curves(const calc_request& request, const model_function& model,
                         unsigned threads = 1);

/// The number of worker threads that "all cores" means here.
unsigned default_thread_count();

}  // namespace veltrane
