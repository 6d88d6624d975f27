#include "compute/charge_states.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "compute/inputs.hpp"
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

TEST(ChargeStates, ExactlyOneBelowNeedsNoModelCall) {
  std::atomic<int> low_calls{0};
  const model_function counting = [&](double F, double B, double phi, int m, int j, double mass,
                                      double u) {
    if (F * vnm_per_au < 5.0) ++low_calls;
    return stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(tungsten(4), counting, 2);
  std::string message;
  const auto t = fraction_table_at(states, *field_grid(1.0, 100.0, 0.5, &message));
  EXPECT_EQ(low_calls.load(), 0);
  EXPECT_EQ(t.Qt[3][0], 1.0);
  // Where the model is below 1 the values are its own.
  EXPECT_EQ(t.Qt[0][38], stand_in(20.0 / vnm_per_au, 0, 0, 0, 1, 0, 0));
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

TEST(ChargeStates, TypedRatiosCountsAndRanges) {
  std::string message;
  auto r = parse_ratio_spec("3+/2+=0.8", 3, &message);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->k, 2);
  EXPECT_EQ(r->ratio, 0.8);
  r = parse_ratio_spec("2+/3+=1.25", 3, &message);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->k, 2);
  EXPECT_EQ(r->ratio, 0.8);
  const std::pair<const char*, const char*> bad_ratios[] = {
      {"3+/2+=0", "a ratio must be a finite number above 0, not \"0\""},
      {"3+/2+=-1", "a ratio must be a finite number above 0, not \"-1\""},
      {"3+/2+=NaN", "a ratio must be a finite number above 0, not \"NaN\""},
      {"3+/2+=Infinity", "a ratio must be a finite number above 0, not \"Infinity\""},
      {"3+/1+=2", "3+ and 1+ are not neighbouring charge states"},
      {"5+/4+=2", "5+ is not a charge state of 3 ionisations (1+ to 4+)"},
      {"3/2=0.8", "a ratio is written as 3+/2+=0.8, not \"3/2=0.8\""},
      {"", "a ratio is written as 3+/2+=0.8, not \"\""},
  };
  for (const auto& [text, expected] : bad_ratios) {
    EXPECT_FALSE(parse_ratio_spec(text, 3, &message)) << text;
    EXPECT_EQ(message, expected);
  }

  auto counts = parse_counts_spec("2+=1200,3+=960", 3, &message);
  ASSERT_TRUE(counts);
  EXPECT_EQ((*counts)[2], 1200.0);
  EXPECT_EQ(counted_pairs(*counts, &message), std::vector<int>{2});
  counts = parse_counts_spec("1+=5,2+=1200,3+=960", 3, &message);
  EXPECT_EQ(counted_pairs(*counts, &message), (std::vector<int>{1, 2}));
  const std::pair<const char*, const char*> bad_counts[] = {
      {"2+=-3,3+=1", "a count must be a whole number of at least 0, not \"-3\""},
      {"2+=1.5,3+=1", "a count must be a whole number of at least 0, not \"1.5\""},
      {"2+=1,2+=3", "2+ is counted twice"},
      {"2+=1,6+=3", "6+ is not a charge state of 3 ionisations (1+ to 4+)"},
      {"2+1200", "counts are written as 2+=1200,3+=960, not \"2+1200\""},
  };
  for (const auto& [text, expected] : bad_counts) {
    EXPECT_FALSE(parse_counts_spec(text, 3, &message)) << text;
    EXPECT_EQ(message, expected);
  }
  EXPECT_FALSE(counted_pairs(*parse_counts_spec("2+=0,3+=0", 3, &message), &message));
  EXPECT_EQ(message, "the counts of 2+ and 3+ are both zero");
  EXPECT_FALSE(counted_pairs(*parse_counts_spec("1+=5,3+=7", 3, &message), &message));
  EXPECT_EQ(message, "counts of two neighbouring charge states are needed, such as 2+=1200,3+=960");

  EXPECT_FALSE(field_grid(10, 10, 0.5, &message));
  EXPECT_EQ(message, "the field range must rise: 10 is not below 10 V/nm");
  EXPECT_FALSE(field_grid(1, 10, 0, &message));
  EXPECT_EQ(message, "the field step must be above 0, not 0");
  EXPECT_FALSE(field_grid(0, 1e6, 0.5, &message));
  EXPECT_EQ(message, "the range from 0 to 1e+06 V/nm in steps of 0.5 has more than 100000 fields");
  EXPECT_FALSE(field_grid(0, NAN, 0.5, &message));
  const auto grid = field_grid(1, 2, 0.25, &message);
  EXPECT_EQ(*grid, (std::vector<double>{1, 1.25, 1.5, 1.75, 2}));
}
