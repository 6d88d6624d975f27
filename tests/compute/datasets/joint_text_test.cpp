#include "compute/datasets/joint_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

namespace {

joint_answer agreeing() {
  joint_answer a;
  a.field.found = true;
  a.field.E = 17.5019;
  a.field.low = 17.4974;
  a.field.high = 17.5063;
  a.test = {7.642, 5, 0.1771};
  element_part fe;
  fe.symbol = "Fe";
  fe.used = true;
  fe.charges = {1, 2};
  fe.counts = {575259, 123423};
  fe.own.found = true;
  fe.own.E = 17.4974;
  fe.own.low = 17.4896;
  fe.own.high = 17.5057;
  element_part ni = fe;
  ni.symbol = "Ni";
  ni.own.E = std::numeric_limits<double>::quiet_NaN();
  ni.own.low = -std::numeric_limits<double>::infinity();
  ni.own.high = 17.5517;
  element_part al;
  al.symbol = "Al";
  al.note = "Al is left out: no range is named after it (its ions lie under other ions' peaks).";
  a.elements = {fe, ni, al};
  return a;
}

}  // namespace

TEST(JointText, AnswerTestAndEveryElementInWords) {
  const joint_words w = joint_answer_words(agreeing(), 0.95, plain_answer_numbers());
  EXPECT_EQ(w.answer, "E = 17.5019 V/nm (95 %: 17.4974 to 17.5063 V/nm) from Fe, Ni");
  EXPECT_EQ(w.test,
            "The elements agree on one field: p = 0.1771 (G² = 7.642, 5 degrees of freedom).");
  ASSERT_EQ(w.elements.size(), 3u);
  EXPECT_EQ(w.elements[0],
            "Fe: E = 17.4974 V/nm (95 %: 17.4896 to 17.5057 V/nm); ions in its ranges: 1+ "
            "575259, 2+ 123423");
  EXPECT_EQ(w.elements[1].substr(0, 31), "Ni: E below 17.5517 V/nm (95 %)");
  EXPECT_EQ(w.elements[2], "Al: " + agreeing().elements[2].note);

  joint_answer a = agreeing();
  a.test = {80.0, 5, 2e-15};
  EXPECT_EQ(
      joint_answer_words(a, 0.95, plain_answer_numbers()).test,
      "The elements disagree: p = 2e-15 (G² = 80, 5 degrees of freedom): no one field fits these "
      "counts. The field may vary over the run or the detector (see the map and the profile), or "
      "Kingham's model, its inputs or the ranging do not hold here.");
  a.field.found = false;
  EXPECT_EQ(joint_answer_words(a, 0.95, plain_answer_numbers()).answer,
            "no field: no element has enough ions");
}

TEST(JointText, DecompositionLinesSayWhatCannotBeSeparated) {
  species_amount fe{"Fe2+", 123422.8, 717.0, true, ""};
  species_amount cr{"Cr+", std::nan(""), std::nan(""), false, "Fe+"};
  const auto lines = decomposition_lines({fe, cr}, plain_answer_numbers());
  EXPECT_EQ(lines[0], "Fe2+: 123423 \u00b1 717 ions");
  EXPECT_EQ(lines[1],
            "Cr+: cannot be told apart from Fe+ (all its isotopes share ranges with them in the "
            "same proportions)");
}
