#include "compute/charge_states/measured_field.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>

#include "stand_in_model.hpp"

// The measured field every door asks for: the model kept between questions,
// the answers equal to those of the searches they are made of, the checks of
// a measurement, and the words of an answer in any number format.

using namespace veltrane;
using namespace stand_in_model;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

charge_state_model stand_in_evaluation() { return {stand_in, tolerance::ratio}; }

// A model of Tungsten whose search tolerance is the stand-in's.
charge_states fresh_states(int n) {
  charge_states states(tungsten(n), stand_in, 2);
  states.set_ratio_tolerance(tolerance::ratio);
  return states;
}

pair_measurement ratio_of(int k, double ratio) { return {k, ratio, 0.0, 0.0, 0.95}; }
pair_measurement counts_of(int k, double lower, double upper, double confidence = 0.95) {
  return {k, std::nullopt, lower, upper, confidence};
}

// Marks every number with the formatter that wrote it.
answer_numbers marked_numbers() {
  answer_numbers n;
  n.field = [](double v) { return "<E " + format_number(v) + ">"; };
  n.number = [](double v) { return "<r " + format_number(v) + ">"; };
  n.count = [](double v) { return "<N " + format_number(v) + ">"; };
  n.shift = [](double v) { return "<d " + format_number(v) + ">"; };
  return n;
}

}  // namespace

TEST(MeasuredField, AnswersAreThoseOfTheSearchesBitForBit) {
  field_model model(tungsten(3), stand_in_evaluation(), 2);
  auto states = fresh_states(3);
  const measured_field by_ratio = measure_field(model, ratio_of(2, 0.8));
  const ratio_fields searched = field_from_ratio(states, 2, 0.8);
  ASSERT_TRUE(by_ratio.field());
  EXPECT_EQ(*by_ratio.field(), *searched.field());
  EXPECT_EQ(by_ratio.ratio(), 0.8);
  EXPECT_FALSE(by_ratio.counted);
  EXPECT_TRUE(std::isnan(by_ratio.low()) && std::isnan(by_ratio.high()));

  const measured_field by_counts = measure_field(model, counts_of(2, 1000, 500, 0.9));
  const counted_field counted = field_from_counts(states, 2, 1000, 500, 0.9);
  ASSERT_TRUE(by_counts.counted && by_counts.field());
  EXPECT_EQ(by_counts.ratio(), 0.5);
  EXPECT_EQ(*by_counts.field(), *counted.estimate.field());
  EXPECT_EQ(by_counts.low(), *counted.low.field());
  EXPECT_EQ(by_counts.high(), *counted.high.field());
  EXPECT_LT(by_counts.low(), *by_counts.field());
  EXPECT_GT(by_counts.high(), *by_counts.field());

  // Many ratios and many counts at once: the pair's inverter, to the
  // evaluation's tolerance, as the doors built it by hand before.
  const std::vector<double> ratios{0.01, 0.5, 2.0, 1e9};
  ratio_inverter inverter(states, 2, tolerance::ratio);
  const auto E = fields_of_ratios(model, 2, ratios);
  const auto expected = inverter.fields_of(ratios);
  ASSERT_EQ(E.size(), expected.size());
  for (std::size_t i = 0; i < E.size(); ++i) EXPECT_EQ(E[i], expected[i]) << ratios[i];

  const std::vector<double> lower{1000, 0, 0, 5}, upper{500, 0, 40, 0};
  const auto fields = fields_of_counts(model, 2, lower, upper, 0.95);
  ASSERT_EQ(fields.size(), 4u);
  for (std::size_t i = 0; i < lower.size(); ++i) {
    pair_field by_hand = counted_pair(2, lower[i], upper[i], 0.0, 0.0, 1.0, 0.95);
    set_fields({&by_hand}, inverter);
    const pair_field& f = fields[i];
    EXPECT_EQ(f.net_lower, lower[i]);
    EXPECT_EQ(f.net_upper, upper[i]);
    for (const auto& [got, want] : {std::pair{f.E, by_hand.E}, std::pair{f.E_low, by_hand.E_low},
                                    std::pair{f.E_high, by_hand.E_high}}) {
      EXPECT_TRUE(got == want || (std::isnan(got) && std::isnan(want))) << i;
    }
  }
  // No ion of either state: no ratio, no interval.
  EXPECT_TRUE(std::isnan(fields[1].ratio) && std::isnan(fields[1].E_low));
  // No ion of 2+: an infinite ratio, whose upper end lies above every field.
  EXPECT_EQ(fields[2].E_high, inf);
}

TEST(MeasuredField, TheModelKeepsWhatItFoundBetweenQuestions) {
  std::atomic<int> calls{0};
  const model_function counting = [&calls](double F, double B, double phi, int m, int j,
                                           double mass, double u) {
    ++calls;
    return stand_in(F, B, phi, m, j, mass, u);
  };
  field_model model(tungsten(3), {counting, tolerance::ratio}, 2);
  const auto first = measure_field(model, ratio_of(2, 0.8));
  const int after_first = calls.load();
  // The same question again costs only its scan: the over-barrier fields
  // are known.
  const auto again = measure_field(model, ratio_of(2, 0.8));
  EXPECT_EQ(*again.field(), *first.field());
  EXPECT_LT(calls.load() - after_first, after_first);

  // A cancelled question throws and leaves what was known: the next one,
  // with a new progress, gives the answer a fresh model gives.
  evaluation_progress cancelled;
  cancelled.cancel = true;
  model.set_progress(&cancelled);
  EXPECT_THROW((void)measure_field(model, counts_of(1, 100, 30)), calculation_cancelled);
  evaluation_progress progress;
  model.set_progress(&progress);
  const auto after = measure_field(model, counts_of(1, 100, 30));
  field_model fresh(tungsten(3), stand_in_evaluation(), 2);
  EXPECT_EQ(*after.field(), *measure_field(fresh, counts_of(1, 100, 30)).field());
  EXPECT_GT(progress.done.load(), 0u);
  model.set_progress(nullptr);

  // A pair that is not one of the request's is refused, and nothing is kept
  // of it.
  EXPECT_THROW((void)model.inverter(4), input_refused);
  EXPECT_THROW((void)model.inverter(4), input_refused);
  EXPECT_NO_THROW((void)fields_of_ratios(model, 3, {0.5}));
}

TEST(MeasuredField, SensitivityOnlyForAnAnswer) {
  field_model model(tungsten(2), stand_in_evaluation(), 2);
  const auto with = measure_field(model, ratio_of(1, 0.5), true);
  ASSERT_TRUE(with.field());
  const auto expected =
      field_sensitivity(tungsten(2), 1, 0.5, *with.field(), stand_in_evaluation(), 2, nullptr);
  ASSERT_EQ(with.shifts.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(with.shifts[i].input, expected[i].input);
    EXPECT_TRUE(with.shifts[i].minus == expected[i].minus ||
                (std::isnan(with.shifts[i].minus) && std::isnan(expected[i].minus)));
  }
  // No ion of the higher state: a ratio of 0, which no field has, so no
  // answer and no shifts.
  const auto none = measure_field(model, counts_of(1, 1000, 0), true);
  EXPECT_FALSE(none.field());
  EXPECT_TRUE(none.shifts.empty());
}

TEST(MeasuredField, EveryFaultOfAMeasurementIsNamed) {
  const auto fault = [](const pair_measurement& m) {
    return measurement_fault(m, 3, "typed", "lower typed", "upper typed");
  };
  EXPECT_EQ(fault(ratio_of(2, 0.8)), "");
  EXPECT_EQ(fault(counts_of(3, 10, 0)), "");
  EXPECT_EQ(fault(counts_of(2, 10, 5, 1.5)), "the confidence must lie between 0 and 1, not 1.5");
  EXPECT_EQ(fault(counts_of(2, 10, 5, 0.0)), "the confidence must lie between 0 and 1, not 0");
  EXPECT_EQ(fault(ratio_of(4, 0.8)), "5+ is not a charge state of 3 ionisations (1+ to 4+)");
  EXPECT_EQ(fault(ratio_of(2, -1.0)), "a ratio must be a finite number above 0, not \"typed\"");
  EXPECT_EQ(fault(ratio_of(2, inf)), "a ratio must be a finite number above 0, not \"typed\"");
  EXPECT_EQ(fault(counts_of(2, 1.5, 3)),
            "a count must be a whole number of at least 0, not \"lower typed\"");
  EXPECT_EQ(fault(counts_of(2, 3, -1)),
            "a count must be a whole number of at least 0, not \"upper typed\"");
  EXPECT_EQ(fault(counts_of(2, 0, 0)), "the counts of 2+ and 3+ are both zero");
  EXPECT_EQ(confidence_fault(std::nan("")), "the confidence must lie between 0 and 1, not nan");
  EXPECT_THROW(check_confidence(1.0), input_refused);
}

TEST(MeasuredField, WordsWriteEveryNumberWithTheDoorsFormatter) {
  field_model model(tungsten(3), stand_in_evaluation(), 2);
  const auto counted = measure_field(model, counts_of(2, 1000, 500), true);
  ASSERT_TRUE(counted.field() && counted.shifts.size() == 4u);  // φ, I2, I3, I4
  const answer_words plain = measured_field_words(counted, plain_answer_numbers());
  EXPECT_EQ(plain.question, "3+/2+ = 0.5 (counts 500 and 1000): ");
  EXPECT_EQ(plain.answer, "E = " + format_number(*counted.field()) +
                              " V/nm (95 %: " + format_number(counted.low()) + " to " +
                              format_number(counted.high()) + " V/nm)");
  ASSERT_EQ(plain.details.size(), 5u);
  EXPECT_EQ(plain.warning, "");
  EXPECT_EQ(plain.details[0], counted.shifts[0].text());
  EXPECT_EQ(plain.details.back(), sensitivity_caveat);

  // Every number goes through the formatter given: nothing is left to
  // rewrite in a locale afterwards.
  const answer_words marked = measured_field_words(counted, marked_numbers());
  EXPECT_EQ(marked.question, "3+/2+ = <r 0.5> (counts <N 500> and <N 1000>): ");
  EXPECT_EQ(marked.answer.find("E = <E "), 0u) << marked.answer;
  EXPECT_NE(marked.answer.find("(<r 95> %: <E "), std::string::npos) << marked.answer;
  EXPECT_NE(marked.details[1].find(": <d "), std::string::npos) << marked.details[1];

  // A ratio that is not monotonic names every crossing.
  field_model wavy(tungsten(1),
                   {[](double F, double, double, int, int, double, double) {
                      const double E = F * vnm_per_au;
                      return E > 40.0 ? std::nan("") : 0.5 + 0.3 * std::sin(E / 2.0);
                    },
                    tolerance::ratio},
                   2);
  const auto crossing = measure_field(wavy, ratio_of(1, 1.0));
  ASSERT_TRUE(crossing.fields.ambiguous());
  const answer_words w = measured_field_words(crossing, plain_answer_numbers());
  EXPECT_EQ(w.question, "2+/1+ = 1: ");
  ASSERT_EQ(w.details.size(), 1u);
  EXPECT_EQ(w.details[0], "The ratio is not monotonic in this range; it crosses 1 at " +
                              crossings_text(crossing.fields, plain_answer_numbers()) + " V/nm.");
  EXPECT_NE(w.details[0].find(" (falling), "), std::string::npos) << w.details[0];

  // Without an answer the words say what the model reaches.
  const auto unreached = measure_field(model, counts_of(2, 1000, 0));
  EXPECT_EQ(measured_field_words(unreached, plain_answer_numbers()).answer,
            unreached.fields.unreachable_message());
}

TEST(MeasuredField, IntervalEndsInWords) {
  const answer_numbers plain = plain_answer_numbers();
  EXPECT_EQ(interval_end_text(34.5, true, plain), "34.5");
  EXPECT_EQ(interval_end_text(-inf, true, plain), "below every field of the model");
  EXPECT_EQ(interval_end_text(inf, false, plain), "above every field of the model");
  EXPECT_EQ(interval_end_text(std::nan(""), true, plain), "no lower end");
  EXPECT_EQ(interval_end_text(std::nan(""), false, plain), "no upper end");
  EXPECT_EQ(plain.shift(-0.7044), "-0.704");
  EXPECT_EQ(plain.shift(0.0), "+0.000");
}
