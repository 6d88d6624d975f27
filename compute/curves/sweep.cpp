#include "compute/curves/sweep.hpp"

#include <algorithm>
#include <mutex>
#include <new>
#include <thread>

namespace veltrane {

namespace {

struct converted_inputs {
  double phi;             // hartree
  std::vector<double> I;  // I[1]..I[n+1] in hartree; I[0] unused
};

converted_inputs convert(const calc_request& r) {
  converted_inputs c;
  c.phi = r.work_function_ev / ev_per_hartree;
  c.I.push_back(0.0);
  for (double e : r.energies_ev) c.I.push_back(e / ev_per_hartree);
  return c;
}

// Offset of a point of multi-step sweep j >= 2: the terms z_m F first, then
// the terms (2m-1)/(4 z_m), each group in rising m, added left to right.
double multi_step_offset(const converted_inputs& c, int j, double F) {
  double z[5] = {};
  for (int m = 2; m <= j; ++m)
    z[m] = (c.I[static_cast<std::size_t>(m)] - c.phi) / F + critical_distance_offset_bohr;
  double E0 = z[2] * F;
  for (int m = 3; m <= j; ++m) E0 = E0 + z[m] * F;
  for (int m = 2; m <= j; ++m) E0 = E0 + static_cast<double>(2 * m - 1) / (4.0 * z[m]);
  return E0;
}

// The call of step j at field F: for n = 1 the single-step offset
// (I1 - phi)/F + 0.8, times F; for n >= 2 no offset in step 1 and the
// multi-step sum in the later steps.
model_call call_at(const calc_request& r, const converted_inputs& c, int j, double F) {
  double E0 = 0.0;
  if (r.n == 1) {
    E0 = ((c.I[1] - c.phi) / F + critical_distance_offset_bohr) * F;
  } else if (j >= 2) {
    E0 = multi_step_offset(c, j, F);
  }
  return {F, c.I[static_cast<std::size_t>(j) + 1], c.phi, r.period, j, r.atomic_mass, E0};
}

void add_point(sweep_plan& plan, step_curve& curve, const model_call& call) {
  curve.points.push_back({call.E, call.E * vnm_per_au, 0.0});
  plan.calls.push_back(call);
}

void plan_single_step(const calc_request& r, const converted_inputs& c, sweep_plan& plan) {
  const double I2 = c.I[2];
  const double F0 = I2 * I2 / 14.0;
  const double Fend = I2 * I2 / 8.8;
  const double s = (Fend - F0) / 50.0;

  step_curve curve{1, {}};
  double F = F0;
  for (int i = 0; i < 50; ++i) {
    if (i > 0) F = F + s;
    add_point(plan, curve, call_at(r, c, 1, F));
  }
  plan.curves.steps.push_back(std::move(curve));
}

step_range multi_step_range(const converted_inputs& c, int j) {
  const double I = c.I[static_cast<std::size_t>(j) + 1];
  const double Fstart = I * I / ((static_cast<double>(j) + 2.5) * 4.0);
  const double Fend = I * I / ((static_cast<double>(j) + 1.0) * 4.0);
  return {Fstart, Fend, (Fend - Fstart) / 50.0};
}

void plan_multi_step(const calc_request& r, const converted_inputs& c, int j, sweep_plan& plan) {
  const auto [Fstart, Fend, s] = multi_step_range(c, j);
  step_curve curve{j, {}};
  double F = Fstart;
  while (F <= Fend) {
    add_point(plan, curve, call_at(r, c, j, F));
    const double next = s + F;
    // A step too small to move the field would evaluate the same point
    // forever; ordinary energies give 50 or 51 points and never reach either end.
    if (!(next > F) || static_cast<int>(curve.points.size()) >= max_points_per_step) break;
    F = next;
  }
  plan.curves.steps.push_back(std::move(curve));
}

}  // namespace

model_call step_model_call(const calc_request& request, int j, double F) {
  return call_at(request, convert(request), j, F);
}

step_range sweep_range(const calc_request& request, int j) {
  const converted_inputs c = convert(request);
  if (request.n == 1) {
    const double I2 = c.I[2];
    const double F0 = I2 * I2 / 14.0;
    const double Fend = I2 * I2 / 8.8;
    return {F0, Fend, (Fend - F0) / 50.0};
  }
  return multi_step_range(c, j);
}

sweep_plan plan_sweeps(const calc_request& request) {
  sweep_plan plan;
  plan.curves.n = request.n;
  const converted_inputs c = convert(request);
  if (request.n == 1) {
    plan_single_step(request, c, plan);
  } else {
    for (int j = 1; j <= request.n; ++j) plan_multi_step(request, c, j, plan);
  }
  return plan;
}

unsigned default_thread_count() { return std::max(1u, std::thread::hardware_concurrency()); }

std::optional<std::vector<double>> evaluate_calls(const std::vector<model_call>& calls,
                                                  const model_function& model, unsigned threads,
                                                  evaluation_progress* progress) {
  const std::size_t count = calls.size();
  if (progress != nullptr) progress->total.fetch_add(count);
  std::vector<double> results(count, 0.0);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex failure_mutex;
  std::string failure;

  auto work = [&] {
    try {
      for (;;) {
        if (stop.load() || (progress != nullptr && progress->cancel.load())) return;
        const std::size_t i = next.fetch_add(1);
        if (i >= count) return;
        const model_call& c = calls[i];
        results[i] = model(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u);
        if (progress != nullptr) progress->done.fetch_add(1);
      }
    } catch (const std::bad_alloc&) {
      const std::lock_guard lock(failure_mutex);
      if (failure.empty()) failure = "Out of memory while calculating";
      stop = true;
    } catch (const std::exception& e) {
      const std::lock_guard lock(failure_mutex);
      if (failure.empty()) failure = e.what();
      stop = true;
    }
  };

  if (threads == 0) threads = default_thread_count();
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(count, 1)));
  if (threads <= 1) {
    work();
  } else {
    std::vector<std::jthread> pool;
    pool.reserve(threads - 1);
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
  }  // every worker has been joined here, also when one of them failed
  if (stop.load()) throw calculation_error(failure);
  if (progress != nullptr && progress->cancel.load()) return std::nullopt;
  return results;
}

bool evaluate_plan(sweep_plan& plan, const model_function& model, unsigned threads,
                   evaluation_progress* progress) {
  const auto results = evaluate_calls(plan.calls, model, threads, progress);
  if (!results) return false;
  std::size_t i = 0;
  for (auto& step : plan.curves.steps) {
    for (auto& p : step.points) p.Q = (*results)[i++];
  }
  return true;
}

curve_set compute_curves(const calc_request& request, const model_function& model,
                         unsigned threads) {
  sweep_plan plan = plan_sweeps(request);
  evaluate_plan(plan, model, threads);
  return std::move(plan.curves);
}

}  // namespace veltrane
