#include "compute/charge_states/charge_states.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <sstream>

#include "compute/charge_states/fraction_csv.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"
#include "model/fast_model.hpp"
#include "stand_in_model.hpp"

using namespace veltrane;

using namespace stand_in_model;

TEST(ChargeStates, OverBarrierFieldsAreBracketed) {
  charge_states states(tungsten(4), stand_in, 2);
  const auto& ob = states.over_barrier_fields();
  ASSERT_EQ(ob.size(), 4u);
  for (std::size_t j = 0; j < 4; ++j) {
    ASSERT_TRUE(ob[j].found);
    EXPECT_NEAR(ob[j].at_v_per_nm(), barrier[j], tolerance::barrier) << "step " << j + 1;
    EXPECT_LE((ob[j].at - ob[j].below) * vnm_per_au, tolerance::barrier);
    // NaN at the field found, a number just below it.
    const int step = static_cast<int>(j) + 1;
    EXPECT_TRUE(std::isnan(stand_in(ob[j].at, 0, 0, 0, step, 0, 0)));
    EXPECT_FALSE(std::isnan(stand_in(ob[j].below, 0, 0, 0, step, 0, 0)));
  }
}

TEST(ChargeStates, FractionsSumToOneAndNeverUseTheArtefacts) {
  charge_states states(tungsten(4), stand_in, 2);
  std::string message;
  // A grid that misses the barriers, where the located field may lie up to
  // 1e-4 V/nm above the stand-in's.
  const auto grid = field_grid(1.05, 300.05, 0.5, &message);
  ASSERT_TRUE(grid) << message;
  const auto t = fraction_table_at(states, *grid);
  ASSERT_EQ(t.f.size(), 5u);
  for (std::size_t e = 0; e < grid->size(); ++e) {
    double sum = 0.0;
    for (const auto& row : t.f) sum += row[e];
    EXPECT_NEAR(sum, 1.0, tolerance::sum) << "E = " << (*grid)[e];
    for (std::size_t j = 0; j < 4; ++j) {
      // Far above the over-barrier field the stand-in gives 0.7: never used.
      if ((*grid)[e] >= barrier[j] + tolerance::barrier) {
        EXPECT_EQ(t.Q_tilde[j][e], 0.0) << "E = " << (*grid)[e];
      }
    }
  }
  // Above every over-barrier field, all ions end as 5+.
  EXPECT_EQ(t.f[4].back(), 1.0);
  EXPECT_EQ(t.f[0].front(), 1.0);
}

TEST(ChargeStates, ExactlyOneBelowTheFloorNeedsOnlyOneCheckBatch) {
  std::atomic<int> low_calls{0};
  const model_function counting = [&](double F, double B, double phi, int m, int j, double mass,
                                      double u) {
    if (F * vnm_per_au < 5.0) ++low_calls;
    return stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(tungsten(4), counting, 2);
  std::string message;
  const auto t = fraction_table_at(states, *field_grid(1.0, 100.0, 0.5, &message));
  // The floor of step 1 lies near 10 V/nm: past the batch of 8 fields where
  // it is met, one more batch is checked, and the fields below are not
  // evaluated.
  EXPECT_LE(low_calls.load(), 8);
  EXPECT_EQ(t.Q_tilde[3][0], 1.0);
  // Where the model is below 1 the values are its own.
  EXPECT_EQ(t.Q_tilde[0][38], stand_in(20.0 / vnm_per_au, 0, 0, 0, 1, 0, 0));
}

namespace {

// Bitwise equality of two tables, NaN included.
void expect_same_bits(const std::vector<std::vector<double>>& a,
                      const std::vector<std::vector<double>>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t r = 0; r < a.size(); ++r) {
    ASSERT_EQ(a[r].size(), b[r].size());
    for (std::size_t e = 0; e < a[r].size(); ++e) {
      EXPECT_EQ(std::memcmp(&a[r][e], &b[r][e], sizeof(double)), 0) << "row " << r << " at " << e;
    }
  }
}

fraction_table table_with_threads(const model_function& model, unsigned threads, double from,
                                  double to, double step) {
  charge_states states(tungsten(4), model, threads);
  std::string message;
  return fraction_table_at(states, *field_grid(from, to, step, &message));
}

}  // namespace

TEST(ChargeStates, ResultsDoNotDependOnTheNumberOfThreads) {
  // Step 1 is exactly 1 on a short stretch (30 to 32 V/nm) and 0.9 below it:
  // the check below the floor must see the 0.9 and evaluate every field.
  const model_function stretch = [](double F, double B, double phi, int m, int j, double mass,
                                    double u) {
    const double E = F * vnm_per_au;
    if (j == 1 && E <= 32.0) return E >= 30.0 ? 1.0 : 0.9;
    if (j == 1) return 1.0 / (1.0 + std::exp((E - 36.0) * 2.0));
    return stand_in(F, B, phi, m, j, mass, u);
  };
  const auto one = table_with_threads(stretch, 1, 1.0, 100.0, 0.5);
  for (unsigned threads : {2u, 4u}) {
    const auto many = table_with_threads(stretch, threads, 1.0, 100.0, 0.5);
    expect_same_bits(one.Q_tilde, many.Q_tilde);
    expect_same_bits(one.f, many.f);
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_EQ(one.barriers[j].at, many.barriers[j].at) << threads << " threads, step " << j + 1;
      EXPECT_EQ(one.barriers[j].below, many.barriers[j].below);
    }
  }
  EXPECT_EQ(one.Q_tilde[0][0], 0.9);   // 1 V/nm: the model's own value
  EXPECT_EQ(one.Q_tilde[0][60], 1.0);  // 31 V/nm
}

TEST(ChargeStates, OverBarrierSearchNeedsNoPartAboveARoundsFirstNaN) {
  // Below step 2's edge at 38.8 V/nm, a stretch where some fields are NaN
  // and others not, as the prescribed integration's chance samples make them.
  const auto chancy = [](double E) {
    return E >= 38.8 || (E >= 38.6 && static_cast<long>(std::floor(E * 997.0)) % 5 == 0);
  };
  std::atomic<int> calls_of_step_2{0};
  const model_function model = [&](double F, double B, double phi, int m, int j, double mass,
                                   double u) {
    if (j != 2) return stand_in(F, B, phi, m, j, mass, u);
    ++calls_of_step_2;
    return chancy(F * vnm_per_au) ? std::nan("") : stand_in(F, B, phi, m, j, mass, u);
  };
  // The bisection that tries every part of every round: the sweep's last
  // number and first NaN, then eight parts a round, keeping the first NaN.
  const auto request = tungsten(4);
  const auto plan = plan_sweeps(request);
  double lo = 0, hi = 0;
  int first_nan = 0;
  for (const auto& p : plan.curves.steps[1].points) {
    if (chancy(p.F * vnm_per_au)) {
      hi = p.F;
      break;
    }
    lo = p.F;
    ++first_nan;
  }
  ASSERT_GT(hi, lo);
  int reference_calls = 0;
  while ((hi - lo) * vnm_per_au > 1e-4) {
    double new_lo = lo, new_hi = hi;
    for (int i = 1; i <= 7; ++i) {
      const double f = lo + (hi - lo) * i / 8.0;
      ++reference_calls;
      if (chancy(f * vnm_per_au)) {
        new_hi = f;
        break;
      }
      new_lo = f;
    }
    lo = new_lo;
    hi = new_hi;
  }
  for (unsigned threads : {1u, 2u, 8u}) {
    charge_states states(request, model, threads);
    calls_of_step_2 = 0;
    const auto& ob = states.over_barrier_fields();
    EXPECT_EQ(ob[1].below, lo) << threads << " threads";
    EXPECT_EQ(ob[1].at, hi) << threads << " threads";
    if (threads == 1) {
      // The sweep's start, its fields in batches of eight up to the batch of
      // its first NaN, then only the parts up to each round's first NaN.
      const int batches = (first_nan + 7) / 8;
      EXPECT_EQ(calls_of_step_2.load(), 1 + 8 * batches + reference_calls);
    }
  }
}

TEST(ChargeStates, OverBarrierFieldBelowTheSweepStart) {
  const calc_request r = tungsten(4);
  const double start2 = sweep_range(r, 2).start * vnm_per_au;
  const double edge = start2 - 7.3;  // step 2 has no value from here on
  const model_function early = [edge](double F, double B, double phi, int m, int j, double mass,
                                      double u) {
    if (j == 2) {
      const double E = F * vnm_per_au;
      return E >= edge ? std::nan("") : 1.0 / (1.0 + std::exp((E - edge + 3.0) * 2.0));
    }
    return stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(r, early, 2);
  const auto& ob = states.over_barrier_fields();
  ASSERT_TRUE(ob[1].found);
  EXPECT_FALSE(ob[1].everywhere);
  EXPECT_NEAR(ob[1].at_v_per_nm(), edge, tolerance::barrier);
  EXPECT_LE((ob[1].at - ob[1].below) * vnm_per_au, tolerance::barrier);
  // No NaN in any fraction across the edge (on a grid that does not meet the
  // edge within the search's tolerance).
  std::string message;
  const auto t = fraction_table_at(states, *field_grid(edge - 3.05, start2 + 5.0, 0.5, &message));
  for (std::size_t k = 0; k < t.f.size(); ++k) {
    for (std::size_t e = 0; e < t.E.size(); ++e) {
      EXPECT_FALSE(std::isnan(t.f[k][e])) << "f" << k + 1 << " at " << t.E[e] << " edge " << edge
                                          << " found " << ob[1].at_v_per_nm();
    }
  }
}

TEST(ChargeStates, StepWithoutAValueAnywhere) {
  const model_function never = [](double F, double B, double phi, int m, int j, double mass,
                                  double u) {
    return j == 2 ? std::nan("") : stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(tungsten(4), never, 2);
  const auto& ob = states.over_barrier_fields();
  EXPECT_TRUE(ob[1].everywhere);
  EXPECT_EQ(ob[1].text(), "no value at any field from 1 V/nm");
  EXPECT_EQ(ob[1].at_v_per_nm(), 0.0);
  const auto t = fraction_table_at(states, {5.0, 30.0});
  // 2+ is ionised further at every field: none is left as 2+ or above 2+
  // by way of step 3.
  EXPECT_EQ(t.f[1][0], 0.0);
  for (const auto& row : t.f) {
    for (double v : row) EXPECT_FALSE(std::isnan(v));
  }
  EXPECT_FALSE(equal_abundance(states, 2).field());
}

TEST(ChargeStates, StepProbabilityIsTheSweepsValueBitForBit) {
  // The real model at three fields of step 2's sweep (n = 4): the sweep's
  // own field values, and so the chart's values, to the last bit.
  const calc_request r = tungsten(4);
  const sweep_plan plan = plan_sweeps(r);
  const auto& step2 = plan.curves.steps[1].points;
  std::vector<double> F = {step2[0].F, step2[20].F, step2[40].F};
  charge_states states(r, fast_veltrane, 2);
  const auto Q = states.step_probabilities(F);
  std::size_t first = plan.curves.steps[0].points.size();
  for (std::size_t i = 0; i < F.size(); ++i) {
    const model_call& c = plan.calls[first + std::size_t{20} * i];
    EXPECT_EQ(Q[1][i], fast_veltrane(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u));
  }
}
