#include "compute/curves/sweep.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace veltrane;

namespace {

calc_request request(int n, std::vector<double> energies, double work_function = 4.55) {
  calc_request r;
  r.element = "Tungsten";
  r.n = n;
  r.period = 6;
  r.atomic_mass = 183.84;
  r.work_function_ev = work_function;
  r.energies_ev = std::move(energies);
  return r;
}

// A cheap stand-in for the model whose value depends on every argument.
double stand_in(double E, double B, double phi, int m, int n, double m_ion, double u) {
  return 0.5 + 0.4 * std::sin(E * 1000.0 + B + phi + m + n * 0.1 + m_ion * 1e-3 + u);
}

}  // namespace

TEST(SingleStepSweep, FiftyAccumulatedFieldsAndTheOffset) {
  const auto r = request(1, {7.864, 16.37});
  const auto plan = plan_sweeps(r);
  ASSERT_EQ(plan.curves.steps.size(), 1u);
  const auto& pts = plan.curves.steps[0].points;
  ASSERT_EQ(pts.size(), 50u);
  ASSERT_EQ(plan.calls.size(), 50u);

  const double phi = 4.55 / 27.211, I1 = 7.864 / 27.211, I2 = 16.37 / 27.211;
  const double F0 = I2 * I2 / 14.0, Fend = I2 * I2 / 8.8, s = (Fend - F0) / 50.0;
  EXPECT_EQ(pts[0].F, F0);
  EXPECT_EQ(pts[0].E, F0 * 514.2);
  for (std::size_t i = 1; i < pts.size(); ++i) {
    EXPECT_EQ(pts[i].F, pts[i - 1].F + s) << "one addition per point";
    EXPECT_EQ(pts[i].E, pts[i].F * 514.2);
  }
  EXPECT_LT(pts.back().F, Fend) << "Fend itself is never evaluated";
  for (std::size_t i = 0; i < pts.size(); ++i) {
    const auto& c = plan.calls[i];
    EXPECT_EQ(c.E, pts[i].F);
    EXPECT_EQ(c.B, I2);
    EXPECT_EQ(c.phi, phi);
    EXPECT_EQ(c.m, 6);
    EXPECT_EQ(c.n, 1);
    EXPECT_EQ(c.m_ion, 183.84);
    EXPECT_EQ(c.u, ((I1 - phi) / pts[i].F + 0.8) * pts[i].F);
  }
}

TEST(MultiStepSweep, RangesOffsetsAndCharges) {
  const auto r = request(4, {7.864, 16.37, 26.0, 38.2, 51.6});
  const auto plan = plan_sweeps(r);
  ASSERT_EQ(plan.curves.steps.size(), 4u);
  const double phi = 4.55 / 27.211;
  std::vector<double> I = {0.0};
  for (double e : r.energies_ev) I.push_back(e / 27.211);

  std::size_t call = 0;
  for (int j = 1; j <= 4; ++j) {
    const auto& step = plan.curves.steps[static_cast<std::size_t>(j) - 1];
    EXPECT_EQ(step.j, j);
    const double Fstart =
        I[static_cast<std::size_t>(j) + 1] * I[static_cast<std::size_t>(j) + 1] / ((j + 2.5) * 4.0);
    const double Fend =
        I[static_cast<std::size_t>(j) + 1] * I[static_cast<std::size_t>(j) + 1] / ((j + 1.0) * 4.0);
    ASSERT_GE(step.points.size(), 50u);
    ASSERT_LE(step.points.size(), 51u);
    EXPECT_EQ(step.points.front().F, Fstart);
    EXPECT_LE(step.points.back().F, Fend);
    for (const auto& p : step.points) {
      const auto& c = plan.calls[call++];
      EXPECT_EQ(c.E, p.F);
      EXPECT_EQ(c.B, I[static_cast<std::size_t>(j) + 1]);
      EXPECT_EQ(c.n, j);
      const double F = p.F;
      const double z2 = (I[2] - phi) / F + 0.8, z3 = (I[3] - phi) / F + 0.8,
                   z4 = (I[4] - phi) / F + 0.8;
      switch (j) {
        case 1:
          EXPECT_EQ(c.u, 0.0);
          break;
        case 2:
          EXPECT_EQ(c.u, z2 * F + 3.0 / (4.0 * z2));
          break;
        case 3:
          EXPECT_EQ(c.u, z2 * F + z3 * F + 3.0 / (4.0 * z2) + 5.0 / (4.0 * z3));
          break;
        case 4:
          EXPECT_EQ(c.u, z2 * F + z3 * F + z4 * F + 3.0 / (4.0 * z2) + 5.0 / (4.0 * z3) +
                             7.0 / (4.0 * z4));
          break;
      }
    }
  }
  EXPECT_EQ(call, plan.calls.size());

  // I1 enters no multi-step result; step 3 depends on I2 and I3 only.
  auto other = r;
  other.energies_ev[0] = 99.0;
  other.energies_ev[4] = 60.0;  // I5 moves step 4 only
  const auto plan2 = plan_sweeps(other);
  for (int j = 1; j <= 3; ++j) {
    const auto& a = plan.curves.steps[static_cast<std::size_t>(j) - 1].points;
    const auto& b = plan2.curves.steps[static_cast<std::size_t>(j) - 1].points;
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].F, b[i].F);
  }
  for (std::size_t i = 0; i < plan.calls.size() - 51; ++i) {
    if (plan.calls[i].n <= 3) {
      EXPECT_EQ(plan.calls[i].u, plan2.calls[i].u);
    }
  }
}

TEST(MultiStepSweep, FiftyOrFiftyOneByTheAccumulatedSum) {
  int with50 = 0, with51 = 0;
  for (int k = 0; k < 400; ++k) {
    const double energy = 10.0 + k * 0.137;
    const auto plan = plan_sweeps(request(2, {5.0, energy, 20.0}));
    const auto& pts = plan.curves.steps[0].points;
    const double I = energy / 27.211;
    const double Fstart = I * I / 14.0, Fend = I * I / 8.0, s = (Fend - Fstart) / 50.0;
    double F = Fstart;
    for (int i = 0; i < 50; ++i) F = s + F;
    EXPECT_EQ(pts.size(), F <= Fend ? 51u : 50u) << "energy " << energy;
    (pts.size() == 50 ? with50 : with51)++;
  }
  EXPECT_GT(with50, 0);
  EXPECT_GT(with51, 0);
}

TEST(MultiStepSweep, DegenerateEnergiesStayBounded) {
  // An energy of 0: the field never advances; one point, not a hang.
  auto plan = plan_sweeps(request(2, {5.0, 0.0, 20.0}));
  EXPECT_EQ(plan.curves.steps[0].points.size(), 1u);
  // A step too small to move the field from its start.
  plan = plan_sweeps(request(2, {5.0, 1e-300, 20.0}));
  EXPECT_LE(plan.curves.steps[0].points.size(), 51u);
  // NaN: no point at all; infinity: one point at infinite field.
  plan = plan_sweeps(request(2, {5.0, NAN, 20.0}));
  EXPECT_EQ(plan.curves.steps[0].points.size(), 0u);
  plan = plan_sweeps(request(2, {5.0, INFINITY, 20.0}));
  ASSERT_EQ(plan.curves.steps[0].points.size(), 1u);
  EXPECT_EQ(plan.curves.steps[0].points[0].F, INFINITY);
  // Huge and negative energies.
  for (double e : {1e300, -16.37, 1e-300, 1e200}) {
    plan = plan_sweeps(request(4, {e, e, e, e, e}, e));
    for (const auto& step : plan.curves.steps) EXPECT_LE(step.points.size(), 51u) << e;
  }
}

TEST(Evaluation, ThreadsKeepTheOrderAndCancelStops) {
  const auto r = request(4, {7.864, 16.37, 26.0, 38.2, 51.6});
  const auto plan = plan_sweeps(r);
  const auto serial = compute_curves(r, stand_in, 1);
  const auto parallel = compute_curves(r, stand_in, 4);
  ASSERT_EQ(serial.steps.size(), parallel.steps.size());
  std::size_t call = 0;
  for (std::size_t j = 0; j < serial.steps.size(); ++j) {
    ASSERT_EQ(serial.steps[j].points.size(), parallel.steps[j].points.size());
    for (std::size_t i = 0; i < serial.steps[j].points.size(); ++i) {
      const auto& c = plan.calls[call++];
      const double expected = stand_in(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u);
      EXPECT_EQ(serial.steps[j].points[i].Q, expected);
      EXPECT_EQ(parallel.steps[j].points[i].Q, expected);
    }
  }

  evaluation_progress progress;
  progress.cancel = true;
  auto cancelled = plan_sweeps(r);
  EXPECT_FALSE(evaluate_plan(cancelled, stand_in, 2, &progress));
  EXPECT_EQ(progress.done.load(), 0u);

  evaluation_progress counted;
  auto counted_plan = plan_sweeps(r);
  EXPECT_TRUE(evaluate_plan(counted_plan, stand_in, 2, &counted));
  EXPECT_EQ(counted.done.load(), counted_plan.calls.size());
}

TEST(Evaluation, AFailingModelStopsTheOthersAndIsReported) {
  const auto r = request(4, {7.864, 16.37, 26.0, 38.2, 51.6});
  for (unsigned threads : {1u, 2u, 4u}) {
    std::atomic<int> calls{0};
    const model_function out_of_memory = [&](double, double, double, int, int, double, double) {
      if (++calls == 5) throw std::bad_alloc();
      return 0.5;
    };
    auto plan = plan_sweeps(r);
    try {
      evaluate_plan(plan, out_of_memory, threads);
      ADD_FAILURE() << "no error reported";
    } catch (const calculation_error& e) {
      EXPECT_STREQ(e.what(), "Out of memory while calculating");
    }
    // On one thread no call follows the failing one. With more, how many
    // calls the others start before they learn of it depends on the
    // machine's scheduling, so only the report is checked there.
    if (threads == 1) {
      EXPECT_EQ(calls.load(), 5) << "the calls stopped";
    }

    const model_function failing = [](double, double, double, int, int, double, double) -> double {
      throw std::runtime_error("the cache failed");
    };
    EXPECT_THROW(
        {
          try {
            evaluate_plan(plan, failing, threads);
          } catch (const calculation_error& e) {
            EXPECT_STREQ(e.what(), "the cache failed");
            throw;
          }
        },
        calculation_error);
  }
}

TEST(SweepCalls, StepCallsAreTheSweepsOwn) {
  // At every field of a sweep, the call for that step and field is the
  // sweep's call, for n = 1 and for every step of n = 4.
  for (int n : {1, 4}) {
    const auto r =
        n == 1 ? request(1, {7.864, 16.37}) : request(4, {7.864, 16.37, 26.0, 38.2, 51.6});
    const auto plan = plan_sweeps(r);
    std::size_t i = 0;
    for (const auto& step : plan.curves.steps) {
      EXPECT_EQ(sweep_range(r, step.j).start, step.points.front().F);
      for (const auto& p : step.points) {
        const model_call a = step_model_call(r, step.j, p.F);
        const model_call& b = plan.calls[i++];
        EXPECT_EQ(a.E, b.E);
        EXPECT_EQ(a.B, b.B);
        EXPECT_EQ(a.phi, b.phi);
        EXPECT_EQ(a.n, b.n);
        EXPECT_EQ(a.u, b.u);
      }
    }
  }
}

TEST(InOrder, TakesEveryResultInOrderOnTheCallingThread) {
  for (const unsigned threads : {0u, 1u, 3u, 64u}) {
    std::vector<std::size_t> taken;
    bool elsewhere = false;
    const auto caller = std::this_thread::get_id();
    in_order(
        50, threads, [](std::size_t i) { return i * i; },
        [&](std::size_t i, std::size_t square) {
          EXPECT_EQ(square, i * i);
          elsewhere = elsewhere || std::this_thread::get_id() != caller;
          taken.push_back(i);
        });
    ASSERT_EQ(taken.size(), 50u) << threads << " threads";
    for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], i);
    EXPECT_FALSE(elsewhere);
  }
  bool any = false;
  in_order(
      0, 2, [](std::size_t i) { return i; }, [&](std::size_t, std::size_t) { any = true; });
  EXPECT_FALSE(any) << "no jobs, nothing taken";
}

TEST(InOrder, AFailureIsRethrownInPlaceOfItsResult) {
  std::vector<std::size_t> taken;
  std::atomic<int> made{0};
  EXPECT_THROW(in_order(
                   20, 3,
                   [&made](std::size_t i) {
                     ++made;
                     if (i == 7) throw std::runtime_error("job 7");
                     return i;
                   },
                   [&taken](std::size_t i, std::size_t) { taken.push_back(i); }),
               std::runtime_error);
  EXPECT_EQ(taken.size(), 7u) << "the jobs before it are taken";
  EXPECT_EQ(made, 20) << "every thread ended before the throw";
}
