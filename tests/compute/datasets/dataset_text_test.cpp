#include "compute/datasets/dataset_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

pair_field tungsten_pair(double E, double low, double high) {
  pair_field f;
  f.k = 2;
  f.count_lower = f.net_lower = 1200;
  f.count_upper = f.net_upper = 1000;
  f.ratio = 0.8125;
  f.E = E;
  f.E_low = low;
  f.E_high = high;
  return f;
}

}  // namespace

TEST(DatasetText, FieldsOfPairsInWords) {
  EXPECT_EQ(pair_field_text(tungsten_pair(36.21, 36.1, 36.32), "W"),
            "W 3+/2+ = 0.8125 (counts 1000 and 1200, isotope-corrected): E = 36.21 V/nm "
            "(95 %: 36.1 to 36.32 V/nm)");
  EXPECT_EQ(pair_field_text(tungsten_pair(36.21, -inf, inf), "W"),
            "W 3+/2+ = 0.8125 (counts 1000 and 1200, isotope-corrected): E = 36.21 V/nm "
            "(95 %: below every field of the model to above every field of the model V/nm)");
  pair_field none = tungsten_pair(std::nan(""), -inf, 20.0);
  none.ratio = 0.0;
  none.count_upper = none.net_upper = 0;
  EXPECT_EQ(pair_field_text(none, "W"),
            "W 3+/2+ = 0 (counts 0 and 1200, isotope-corrected): no field (no ion of 3+) "
            "(95 %: below every field of the model to 20 V/nm)");
  pair_field background = tungsten_pair(36.0, 35.9, 36.1);
  background.net_lower = 1100;
  background.net_upper = 950.5;
  EXPECT_NE(pair_field_text(background, "W").find("after background 950.5 and 1100"),
            std::string::npos);
  // A state whose ranges hold few of its isotopes: the answer says so.
  pair_field rare = tungsten_pair(36.21, 36.1, 36.32);
  rare.covered_lower_percent = 0.205;
  EXPECT_EQ(pair_field_text(rare, "O"),
            "O 3+/2+ = 0.8125 (counts 1000 and 1200, isotope-corrected): E = 36.21 V/nm "
            "(95 %: 36.1 to 36.32 V/nm); caution: the ranges of O2+ cover only 0.205 % of its "
            "isotopes (a factor of 487.805)");
  rare.covered_lower_percent = least_isotope_coverage_percent;  // enough
  EXPECT_EQ(pair_field_text(rare, "O").find("caution"), std::string::npos);
}

TEST(DatasetText, CountsInWordsAndTheMapInALine) {
  dataset_counts counts;
  counts.symbol = "W";
  charge_count q;
  q.symbol = "W";
  q.charge = 3;
  q.counts = 310;
  q.abundance_percent = 99.88;
  q.corrected = 310.372;
  q.isotopes = {{"W", 74, 184, 183.95, 30.64}, {"W", 74, 186, 185.95, 28.43}};
  counts.charges = {q};
  counted_range r;
  r.low = 61.24;
  r.high = 61.4;
  r.symbol = "W";
  r.charge = 3;
  counts.ranges = {r, r};
  counts.ranges[1].low = 61.9;
  counts.ranges[1].high = 62.06;
  EXPECT_EQ(counts_text_lines(counts),
            std::vector<std::string>{"W 3+: 310 ions in 61.24-61.4, 61.9-62.06 Da; isotopes 184W "
                                     "186W (99.88 %); corrected 310.372"});
  counts.background = true;
  counts.charges[0].background = 12;
  EXPECT_NE(counts_text_lines(counts)[0].find("; background 12 subtracted; corrected"),
            std::string::npos);
  counts.background = false;

  // The decomposition, a range read by the mass tolerance, a state of the
  // decomposition alone, one it cannot tell apart and a name of its own.
  counts.charges[0].decomposed = 309.5;
  counts.charges[0].decomposed_sigma = 17.25;
  counts.ranges[1].isotopes = {{"W", 74, 186, 185.954, 28.43}};
  counts.ranges[1].miss_da = -0.0025;
  counts.ranges[1].tolerance_da = 0.185;
  charge_count seven;
  seven.symbol = "W";
  seven.charge = 7;
  seven.inseparable_from = "W8+";
  charge_count al;
  al.symbol = "Al";
  al.charge = 1;
  al.decomposed = 8.5;
  al.decomposed_sigma = 3.25;
  counts.charges.push_back(seven);
  counts.charges.push_back(al);
  named_count wo;
  wo.name = "WO";
  wo.counts = 12;
  wo.bounds = {{66.2, 66.4}};
  wo.decomposed = 12;
  wo.decomposed_sigma = 3.5;
  counts.named = {wo};
  EXPECT_EQ(counts_text_lines(counts),
            (std::vector<std::string>{
                "W 3+: 310 ions in 61.24-61.4, 61.9-62.06 Da; isotopes 184W 186W (99.88 %); "
                "corrected 310.372; decomposed 309.5 \u00b1 17.25",
                "  61.9-62.06 Da: assigned by the mass tolerance: 186W3+ lies 0.0025 Da below it "
                "(tolerance 0.185 Da)",
                "W 7+: no range of its own; decomposed: cannot be told apart from W8+",
                "Al 1+: no range of its own; decomposed 8.5 \u00b1 3.25",
                "WO: 12 ions in 66.2-66.4 Da, counted under its own name (no element's count); "
                "decomposed 12 \u00b1 3.5"}));

  field_map map;
  map.bin = 2;
  map_bin masked, shown, without;
  masked.masked = true;
  shown.field.E = 35.0;
  without.field.E = std::nan("");
  map.bins = {masked, shown, without};
  EXPECT_EQ(map_summary(map, 100),
            "Map: 3 bins of 2 mm with ions of the pair, 1 with a field, 1 masked (fewer than 100 "
            "ions of the pair)");
}
