#include "compute/charge_states.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <sstream>

#include "compute/fraction_csv.hpp"
#include "compute/inputs.hpp"
#include "compute/sweep.hpp"
#include "model/fast_model.hpp"

using namespace veltrane;

namespace {

// Tolerances of the searches, and of sums of probabilities.
struct tolerance {
  static constexpr double barrier = 1e-4;  // V/nm
  static constexpr double ratio = 1e-3;    // V/nm
  static constexpr double sum = 1e-12;
};

calc_request tungsten(int n) {
  return *check_request({"Tungsten", std::to_string(n), std::nullopt, std::nullopt}).request;
}

// A stand-in for the model with Kingham-like steps: Q_j falls from 1 to 0
// around a field of its own, is NaN from an over-barrier field on, and is a
// number again far above it (as the model is); exactly 1 at low fields.
constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
constexpr double barrier[] = {22.6, 38.8, 63.25, 92.5};

double stand_in(double F, double, double, int, int j, double, double) {
  const double E = F * vnm_per_au;
  const std::size_t i = static_cast<std::size_t>(j) - 1;
  if (E >= 3.0 * barrier[i]) return 0.7;
  if (E >= barrier[i]) return std::nan("");
  const double x = (E - half[i]) * 2.0;
  if (x < -20.0) return 1.0;
  return 1.0 / (1.0 + std::exp(x));
}

}  // namespace

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
        EXPECT_EQ(t.Qt[j][e], 0.0) << "E = " << (*grid)[e];
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
  EXPECT_EQ(t.Qt[3][0], 1.0);
  // Where the model is below 1 the values are its own.
  EXPECT_EQ(t.Qt[0][38], stand_in(20.0 / vnm_per_au, 0, 0, 0, 1, 0, 0));
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
    expect_same_bits(one.Qt, many.Qt);
    expect_same_bits(one.f, many.f);
    for (std::size_t j = 0; j < 4; ++j) {
      EXPECT_EQ(one.barriers[j].at, many.barriers[j].at) << threads << " threads, step " << j + 1;
      EXPECT_EQ(one.barriers[j].below, many.barriers[j].below);
    }
  }
  EXPECT_EQ(one.Qt[0][0], 0.9);   // 1 V/nm: the model's own value
  EXPECT_EQ(one.Qt[0][60], 1.0);  // 31 V/nm
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

TEST(ChargeStates, ARatioSearchesNoStepAboveItsPair) {
  std::atomic<int> calls[5] = {};
  const model_function counting = [&](double F, double B, double phi, int m, int j, double mass,
                                      double u) {
    ++calls[j];
    return stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(tungsten(4), counting, 2);
  const auto fields = states.field_from_ratio(1, 0.5);
  ASSERT_TRUE(fields.field());
  EXPECT_GT(calls[2].load(), 0);
  EXPECT_EQ(calls[3].load(), 0);
  EXPECT_EQ(calls[4].load(), 0);
  // Asked for later, the steps above give what a search of all gives.
  const over_barrier second = states.over_barrier_field(2);
  const auto all = charge_states(tungsten(4), stand_in, 2).over_barrier_fields();
  EXPECT_EQ(second.at, all[1].at);
  const auto& later = states.over_barrier_fields();
  for (std::size_t j = 0; j < 4; ++j) {
    EXPECT_EQ(later[j].at, all[j].at) << "step " << j + 1;
    EXPECT_EQ(later[j].below, all[j].below) << "step " << j + 1;
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
  EXPECT_FALSE(states.equal_abundance(2).field());
}

TEST(ChargeStates, RatioSearchNeverReportsAWideBracket) {
  // r_1 has no value below 10 V/nm: a NaN point inside a bracket lies above
  // the answer, and no bracket wider than the tolerance is ever reported.
  const model_function nan_below = [](double F, double B, double phi, int m, int j, double mass,
                                      double u) {
    if (j == 1 && F * vnm_per_au < 10.0) return std::nan("");
    return stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(tungsten(4), nan_below, 2);
  const double E_true = half[0] + 0.77;
  const double x = (E_true - half[0]) * 2.0;
  const double Q = 1.0 / (1.0 + std::exp(x));
  const auto found = states.field_from_ratio(1, (1.0 - Q) * (1.0 - 0.0) / Q);
  for (const auto& c : found.crossings) {
    EXPECT_GE(c.E, 10.0 - tolerance::ratio);
  }
  ASSERT_TRUE(found.field());
  EXPECT_NEAR(*found.field(), E_true, tolerance::ratio);
}

TEST(ChargeStates, ScanFarBeyondAnyRealFieldIsRefused) {
  // Energies of a typing slip: the sweep's end, and so the scan, lies
  // millions of V/nm away.
  const auto r =
      check_request({"Tungsten", "1", std::nullopt, std::vector<std::string>{"7.86", "1786000"}});
  ASSERT_TRUE(r.request) << r.message;
  const model_function flat = [](double, double, double, int, int, double, double) { return 0.5; };
  charge_states states(*r.request, flat, 2);
  try {
    (void)states.field_from_ratio(1, 1.0);
    ADD_FAILURE() << "no refusal";
  } catch (const input_refused& e) {
    EXPECT_NE(std::string(e.what()).find("has more than 100000 fields"), std::string::npos)
        << e.what();
  }
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

TEST(ChargeStates, RatioRoundTripAndEqualAbundance) {
  charge_states states(tungsten(4), stand_in, 2);
  for (int k = 1; k <= 4; ++k) {
    for (double E : {half[k - 1] - 1.3, half[k - 1] + 0.77}) {
      const auto t = fraction_table_at(states, {E});
      const double r =
          t.f[static_cast<std::size_t>(k)][0] / t.f[static_cast<std::size_t>(k) - 1][0];
      const auto back = states.field_from_ratio(k, r);
      ASSERT_TRUE(back.field()) << back.unreachable_message();
      EXPECT_NEAR(*back.field(), E, tolerance::ratio) << "k = " << k;
      EXPECT_TRUE(back.monotonic);
    }
  }
  // r_4 = 1 where Q_4 = 1/2: at the stand-in's half field of step 4.
  EXPECT_NEAR(*states.equal_abundance(4).field(), half[3], tolerance::ratio);
}

TEST(ChargeStates, UnreachableAndNonMonotonicRatios) {
  charge_states states(tungsten(1), stand_in, 2);
  // Q between 0.2 and 0.8 below the barrier: ratios from 1/4 to 4 only.
  const model_function bounded = [](double F, double, double, int, int, double, double) {
    const double E = F * vnm_per_au;
    if (E >= 30.0) return std::nan("");
    return 0.8 - 0.6 * E / 30.0;
  };
  charge_states bounded_states(tungsten(1), bounded, 2);
  const auto tiny = bounded_states.field_from_ratio(1, 0.1);
  EXPECT_FALSE(tiny.field());
  EXPECT_EQ(tiny.unreachable_message(),
            // (1 - Q)/Q at the scan's ends: Q = 0.78 at 1 V/nm, 0.21 at 29.5 V/nm.
            "2+/1+ = 0.1 is not reached between 1 and 30 V/nm: the model's ratios there run "
            "from 0.282051 to 3.7619 (and are infinite from 30 V/nm on).")
      << tiny.unreachable_message();

  // A step whose probability dips and recovers: Q = 0.6 + 0.3 sin((E - 10)/3)
  // from 10 V/nm up to the barrier at 40. r = 1 where Q = 1/2, sin = -1/3:
  // rising at 10 + 3 (pi + asin 1/3), falling at 10 + 3 (2 pi - asin 1/3),
  // rising again at 10 + 3 (3 pi + asin 1/3).
  const model_function wavy = [](double F, double, double, int, int, double, double) {
    const double E = F * vnm_per_au;
    if (E >= 40.0) return std::nan("");
    if (E < 10.0) return 1.0;
    return 0.6 + 0.3 * std::sin((E - 10.0) / 3.0);
  };
  charge_states wavy_states(tungsten(1), wavy, 2);
  const auto crossings = wavy_states.field_from_ratio(1, 1.0);
  EXPECT_FALSE(crossings.monotonic);
  ASSERT_EQ(crossings.crossings.size(), 3u);
  const double a = std::asin(1.0 / 3.0);
  EXPECT_NEAR(crossings.crossings[0].E, 10.0 + 3.0 * (M_PI + a), tolerance::ratio);
  EXPECT_NEAR(crossings.crossings[1].E, 10.0 + 3.0 * (2.0 * M_PI - a), tolerance::ratio);
  EXPECT_NEAR(crossings.crossings[2].E, 10.0 + 3.0 * (3.0 * M_PI + a), tolerance::ratio);
  EXPECT_TRUE(crossings.crossings[0].rising);
  EXPECT_FALSE(crossings.crossings[1].rising);
  EXPECT_TRUE(crossings.crossings[2].rising);
  EXPECT_EQ(crossings.field(), crossings.crossings[0].E);
}

TEST(ChargeStates, CountsIntervalContainsTheEstimateAndNarrows) {
  // Wilson's interval of 50 in 100 at 95 %: 0.4038 to 0.5962 (a textbook value).
  const auto [low, high] = wilson_interval(50, 100, 0.95);
  EXPECT_NEAR(low, 0.4038, 1e-4);
  EXPECT_NEAR(high, 0.5962, 1e-4);

  charge_states states(tungsten(2), stand_in, 2);
  const auto few = states.field_from_counts(2, 100, 80);
  const auto many = states.field_from_counts(2, 10000, 8000);
  for (const auto* c : {&few, &many}) {
    ASSERT_TRUE(c->estimate.field() && c->low.field() && c->high.field());
    EXPECT_LT(*c->low.field(), *c->estimate.field());
    EXPECT_GT(*c->high.field(), *c->estimate.field());
    EXPECT_LT(c->ratio_low, 0.8);
    EXPECT_GT(c->ratio_high, 0.8);
  }
  const double width_few = *few.high.field() - *few.low.field();
  const double width_many = *many.high.field() - *many.low.field();
  EXPECT_NEAR(width_few / width_many, 10.0, 1.5) << "about 1/sqrt(N)";
}
