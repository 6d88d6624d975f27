#include "compute/charge_states/ratio_search.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/fraction_csv.hpp"
#include "compute/curves/sweep.hpp"
#include "stand_in_model.hpp"

// The field of a charge-state ratio, or of counts of two states: the scan,
// its bisection, the unreachable and the non-monotonic cases.

using namespace veltrane;
using namespace stand_in_model;

TEST(RatioSearch, ARatioSearchesNoStepAboveItsPair) {
  std::atomic<int> calls[5] = {};
  const model_function counting = [&](double F, double B, double phi, int m, int j, double mass,
                                      double u) {
    ++calls[j];
    return stand_in(F, B, phi, m, j, mass, u);
  };
  charge_states states(tungsten(4), counting, 2);
  const auto fields = field_from_ratio(states, 1, 0.5);
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

TEST(RatioSearch, RatioSearchNeverReportsAWideBracket) {
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
  const auto found = field_from_ratio(states, 1, (1.0 - Q) * (1.0 - 0.0) / Q);
  for (const auto& c : found.crossings) {
    EXPECT_GE(c.E, 10.0 - tolerance::ratio);
  }
  ASSERT_TRUE(found.field());
  EXPECT_NEAR(*found.field(), E_true, tolerance::ratio);
}

TEST(RatioSearch, ScanFarBeyondAnyRealFieldIsRefused) {
  // Energies of a typing slip: the sweep's end, and so the scan, lies
  // millions of V/nm away.
  const auto r =
      check_request({"Tungsten", "1", std::nullopt, std::vector<std::string>{"7.86", "1786000"}});
  ASSERT_TRUE(r.request) << r.message;
  const model_function flat = [](double, double, double, int, int, double, double) { return 0.5; };
  charge_states states(*r.request, flat, 2);
  try {
    (void)field_from_ratio(states, 1, 1.0);
    ADD_FAILURE() << "no refusal";
  } catch (const input_refused& e) {
    EXPECT_NE(std::string(e.what()).find("has more than 100000 fields"), std::string::npos)
        << e.what();
  }
}

TEST(RatioSearch, RatioRoundTripAndEqualAbundance) {
  charge_states states(tungsten(4), stand_in, 2);
  for (int k = 1; k <= 4; ++k) {
    for (double E : {half[k - 1] - 1.3, half[k - 1] + 0.77}) {
      const auto t = fraction_table_at(states, {E});
      const double r =
          t.f[static_cast<std::size_t>(k)][0] / t.f[static_cast<std::size_t>(k) - 1][0];
      const auto back = field_from_ratio(states, k, r);
      ASSERT_TRUE(back.field()) << back.unreachable_message();
      EXPECT_NEAR(*back.field(), E, tolerance::ratio) << "k = " << k;
      EXPECT_TRUE(back.monotonic);
    }
  }
  // r_4 = 1 where Q_4 = 1/2: at the stand-in's half field of step 4.
  EXPECT_NEAR(*equal_abundance(states, 4).field(), half[3], tolerance::ratio);
}

TEST(RatioSearch, UnreachableAndNonMonotonicRatios) {
  charge_states states(tungsten(1), stand_in, 2);
  // Q between 0.2 and 0.8 below the barrier: ratios from 1/4 to 4 only.
  const model_function bounded = [](double F, double, double, int, int, double, double) {
    const double E = F * vnm_per_au;
    if (E >= 30.0) return std::nan("");
    return 0.8 - 0.6 * E / 30.0;
  };
  charge_states bounded_states(tungsten(1), bounded, 2);
  const auto tiny = field_from_ratio(bounded_states, 1, 0.1);
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
  const auto crossings = field_from_ratio(wavy_states, 1, 1.0);
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

TEST(RatioSearch, CountsIntervalContainsTheEstimateAndNarrows) {
  // Wilson's interval of 50 in 100 at 95 %: 0.4038 to 0.5962 (a textbook value).
  const auto [low, high] = wilson_interval(50, 100, 0.95);
  EXPECT_NEAR(low, 0.4038, 1e-4);
  EXPECT_NEAR(high, 0.5962, 1e-4);

  charge_states states(tungsten(2), stand_in, 2);
  const auto few = field_from_counts(states, 2, 100, 80);
  const auto many = field_from_counts(states, 2, 10000, 8000);
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
