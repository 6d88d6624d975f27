#include "compute/charge_states/plausibility.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/inputs.hpp"

// Fields a measurement cannot give: beyond every real specimen's, or pinned
// to the over-barrier field of the lower state.

using namespace veltrane;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

calc_request built_in(const char* element, int n) {
  return *check_request({element, std::to_string(n), std::nullopt, std::nullopt}).request;
}

}  // namespace

TEST(Plausibility, DoubtsAboutAField) {
  // E_ob of Tungsten's step 2 (equal-abundance --element Tungsten).
  const double ob = 38.8317;
  EXPECT_FALSE(doubts_about_field(35.26, ob).any());
  EXPECT_FALSE(doubts_about_field(100.0, inf).any());
  EXPECT_TRUE(doubts_about_field(100.01, inf).beyond_real_fields);
  EXPECT_FALSE(doubts_about_field(100.01, inf).at_over_barrier_edge);
  // Within a hundredth of a V/nm below E_ob (or above it) is the edge.
  EXPECT_TRUE(doubts_about_field(ob, ob).at_over_barrier_edge);
  EXPECT_TRUE(doubts_about_field(ob - 0.009, ob).at_over_barrier_edge);
  EXPECT_FALSE(doubts_about_field(ob - 0.011, ob).at_over_barrier_edge);
  EXPECT_FALSE(doubts_about_field(ob - 0.011, ob).beyond_real_fields);
  // Both at once, and none for a field that is not a number.
  EXPECT_TRUE(doubts_about_field(1402.02, 1402.02).beyond_real_fields);
  EXPECT_TRUE(doubts_about_field(1402.02, 1402.02).at_over_barrier_edge);
  EXPECT_FALSE(doubts_about_field(std::nan(""), 38.0).any());
}

TEST(Plausibility, WordsOfTheWarning) {
  EXPECT_EQ(field_warning(2, 1.0, 35.26, 38.8317, plain_answer_numbers()), "");
  EXPECT_EQ(field_warning(2, 0.5, 844.19, 889.114, plain_answer_numbers()),
            "Not a real field: no specimen withstands more than about 100 V/nm (every element "
            "evaporates far below), so the pair, n or an energy does not describe this "
            "measurement.");
  EXPECT_EQ(field_warning(2, 1e9, 38.8317, 38.8317, plain_answer_numbers()),
            "At the over-barrier edge: 3+/2+ = 1e+09 lies above every ratio the model gives "
            "below E_ob = 38.8317 V/nm, where 2+ is ionised further with certainty; every larger "
            "ratio gives this same field, so it is not read from the ratio.");
  const std::string both = field_warning(3, 1e9, 1402.02, 1402.02, plain_answer_numbers());
  EXPECT_EQ(both.rfind("Not a real field: ", 0), 0u) << both;
  EXPECT_NE(both.find(" At the over-barrier edge: 4+/3+ = 1e+09"), std::string::npos) << both;
}

// The answers of the model itself (the accurate evaluation) carry the
// warning where they cannot be real and only there.
TEST(Plausibility, MeasuredFieldsOfTheModel) {
  const charge_state_model accurate = model_for(evaluation::accurate);
  field_model beryllium(built_in("Beryllium", 3), accurate, 2);
  // 2+ -> 3+ of beryllium takes its K-shell electron (I3 = 153.9 eV).
  const measured_field be = measure_field(beryllium, {2, 0.5, 0.0, 0.0, 0.95});
  ASSERT_TRUE(be.field());
  EXPECT_GT(*be.field(), 700.0);
  const answer_words be_words = measured_field_words(be, plain_answer_numbers());
  EXPECT_EQ(be_words.warning.rfind("Not a real field", 0), 0u) << be_words.warning;

  field_model tungsten(built_in("Tungsten", 3), accurate, 2);
  const measured_field edge = measure_field(tungsten, {2, 1e9, 0.0, 0.0, 0.95});
  ASSERT_TRUE(edge.field());
  EXPECT_NEAR(*edge.field(), edge.over_barrier_v_per_nm, over_barrier_edge_v_per_nm);
  EXPECT_NEAR(edge.over_barrier_v_per_nm, 38.8317, 1e-3);
  const answer_words edge_words = measured_field_words(edge, plain_answer_numbers());
  EXPECT_EQ(edge_words.warning.rfind("At the over-barrier edge: 3+/2+ = 1e+09", 0), 0u)
      << edge_words.warning;

  // Equal abundance and a ratio of 20 (0.77 V/nm below E_ob) are read.
  for (const double ratio : {1.0, 20.0}) {
    const measured_field fine = measure_field(tungsten, {2, ratio, 0.0, 0.0, 0.95});
    ASSERT_TRUE(fine.field());
    EXPECT_EQ(measured_field_words(fine, plain_answer_numbers()).warning, "") << ratio;
  }
  // Counts whose ratio is at the edge: the estimate is warned about.
  const measured_field counted = measure_field(tungsten, {2, std::nullopt, 1.0, 5000.0, 0.95});
  EXPECT_NE(measured_field_words(counted, plain_answer_numbers()).warning, "");
}
