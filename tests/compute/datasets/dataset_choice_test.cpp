#include "compute/datasets/dataset_choice.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"

using namespace veltrane;

namespace {

// Iron at 1+ and 2+, chromium at 2+ only, oxygen (no model data) at 1+ and
// 2+, and a molecule; listed out of the order of Z.
const char* const mixed =
    "[Ions]\nNumber=4\nIon1=Fe\nIon2=O\nIon3=Cr\nIon4=FeO\n[Ranges]\nNumber=7\n"
    "Range1=7.95 8.05 O:1\n"
    "Range2=15.95 16.05 O:1\n"
    "Range3=25.95 26.05 Cr:1\n"
    "Range4=27.90 28.05 Fe:1\n"
    "Range5=55.85 56.05 Fe:1\n"
    "Range6=71.85 72.05 Fe:1 O:1\n"
    "Range7=53.85 54.05 Fe:1\n";

apt::range_file mixedFile() { return apt::parse_range_text(mixed, "mixed.rrng"); }

calc_request builtIn(const char* name, int n) {
  return *check_request({name, std::to_string(n), std::nullopt, std::nullopt}).request;
}

}  // namespace

TEST(DatasetChoice, ElementsOfRangesByZWithWhatStopsAField) {
  const auto elements = elements_of_ranges(mixedFile());
  ASSERT_EQ(elements.size(), 3u);
  EXPECT_EQ(elements[0].symbol, "O");
  EXPECT_EQ(elements[0].name, "");
  EXPECT_EQ(elements[0].charges, (std::vector<int>{1, 2}));
  EXPECT_EQ(elements[0].problem, "O has no model data (it is not in the element table)");
  EXPECT_EQ(elements[1].symbol, "Cr");
  EXPECT_EQ(elements[1].name, "Chromium");
  EXPECT_EQ(elements[1].problem, "Cr is ranged at 2+ only; a field needs ranges at two charges");
  EXPECT_EQ(elements[2].symbol, "Fe");
  EXPECT_EQ(elements[2].name, "Iron");
  EXPECT_EQ(elements[2].charges, (std::vector<int>{1, 2}));
  EXPECT_EQ(elements[2].problem, "");
}

TEST(DatasetChoice, TheMassToleranceDecidesWhichRangesCount) {
  // 56Fe+ lies at 55.935 Da: this range misses it by 0.025 Da.
  const auto file = apt::parse_range_text(
      "[Ions]\nNumber=1\nIon1=Fe\n[Ranges]\nNumber=2\n"
      "Range1=27.90 28.05 Fe:1\nRange2=55.96 56.10 Fe:1\n",
      "off.rrng");
  EXPECT_EQ(elements_of_ranges(file).front().charges, (std::vector<int>{1, 2}));
  apt::charge_options strict;
  strict.tolerance_da = 0.0;
  strict.tolerance_percent = 0.0;
  EXPECT_EQ(elements_of_ranges(file, strict).front().charges, (std::vector<int>{2}));
  EXPECT_EQ(element_range_problem(file, "Fe", strict),
            "off.rrng: Fe is ranged at 2+ only; a field needs ranges at two charges");
  strict.tolerance_da = -1.0;
  EXPECT_THROW(elements_of_ranges(file, strict), std::invalid_argument);
}

TEST(DatasetChoice, AnElementTheFileLacksIsNamedWithWhatItHas) {
  const auto file = mixedFile();
  EXPECT_EQ(element_range_problem(file, "Tungsten"),
            "mixed.rrng: the range file has no W ranges; it has Cr, Fe, O");
  EXPECT_EQ(element_range_problem(file, "Cr"),
            "mixed.rrng: Cr is ranged at 2+ only; a field needs ranges at two charges");
  EXPECT_EQ(element_range_problem(file, "o"),
            "mixed.rrng: O has no model data (it is not in the element table)");
  EXPECT_EQ(element_range_problem(file, "iron"), "");
  EXPECT_EQ(element_range_problem(file, "FE"), "");
  EXPECT_NE(element_range_problem(file, "Unobtainium").find("unknown element \"Unobtainium\""),
            std::string::npos);
  const auto empty = apt::parse_range_text("[Ions]\nNumber=0\n[Ranges]\nNumber=0\n", "e.rrng");
  EXPECT_EQ(element_range_problem(empty, "W"),
            "e.rrng: the range file has no W ranges; it has none of any element");
}

TEST(DatasetChoice, PairsNeedBothStatesRanged) {
  EXPECT_EQ(ranged_pairs({"W", "Tungsten", {1, 2, 4}, ""}), (std::vector<int>{1}));
  EXPECT_EQ(ranged_pairs({"W", "Tungsten", {2, 3, 4}, ""}), (std::vector<int>{2, 3}));
  EXPECT_TRUE(ranged_pairs({"W", "Tungsten", {2}, ""}).empty());
}

TEST(DatasetChoice, PairModelIsTheTypedOneOnlyForItsElementAndReach) {
  const range_file_element w{"W", "Tungsten", {2, 3}, ""};
  calc_request typed = builtIn("Tungsten", 2);
  typed.work_function_ev = 4.4;
  const pair_model mine = pair_model_for(w, 2, typed);
  EXPECT_TRUE(mine.typed);
  EXPECT_EQ(mine.request, typed);
  // n = 1 cannot give 3+/2+: the built-in values with n = 3, the highest
  // ranged charge.
  typed.n = 1;
  const pair_model built = pair_model_for(w, 2, typed);
  EXPECT_FALSE(built.typed);
  EXPECT_EQ(built.request, builtIn("Tungsten", 3));
  EXPECT_EQ(pair_model_for(w, 2, builtIn("Iron", 4)).request, builtIn("Tungsten", 3));
  EXPECT_EQ(pair_model_for(w, 2, std::nullopt).request, builtIn("Tungsten", 3));
  // Ranged up to 6+: n as far as the data reach (4).
  EXPECT_EQ(pair_model_for({"W", "Tungsten", {5, 6}, ""}, 2, std::nullopt).request.n, 4);

  EXPECT_THROW(pair_model_for({"O", "", {1, 2}, "no data"}, 1, std::nullopt), input_refused);
  try {
    pair_model_for({"Be", "Beryllium", {4, 5}, ""}, 4, std::nullopt);
    FAIL() << "accepted";
  } catch (const input_refused& e) {
    EXPECT_STREQ(e.what(), "Be 5+/4+: the element's data reach 4+ only");
  }
}

TEST(DatasetChoice, IntervalDecimalsShowTheWidth) {
  EXPECT_EQ(interval_decimals(34.511, 34.518), 3);
  EXPECT_EQ(interval_decimals(34.21, 34.50), 2);
  EXPECT_EQ(interval_decimals(34.50, 34.52), 2);
  EXPECT_EQ(interval_decimals(34.50, 34.519), 3);
  EXPECT_EQ(interval_decimals(1.0, 1.0015), 4);
  EXPECT_EQ(interval_decimals(1.0, 1.0 + 1e-12), 6);
  constexpr double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(interval_decimals(34.5, inf), 2);
  EXPECT_EQ(interval_decimals(-inf, 34.5), 2);
  EXPECT_EQ(interval_decimals(34.5, 34.5), 2);
  EXPECT_EQ(interval_decimals(34.6, 34.5), 2);
  EXPECT_EQ(interval_decimals(std::numeric_limits<double>::quiet_NaN(), 1.0), 2);
}
