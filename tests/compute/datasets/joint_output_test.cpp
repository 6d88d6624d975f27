#include "compute/datasets/joint_output.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace veltrane;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

element_part part(const char* symbol, bool used, std::vector<double> counts) {
  element_part p;
  p.symbol = symbol;
  p.n = 2;
  p.used = used;
  p.charges = {1, 2};
  p.counts = std::move(counts);
  for (double c : p.counts) p.total += c;
  return p;
}

// A joint field from iron and nickel (nickel bounded above only), with
// chromium left out.
joint_answer answer() {
  joint_answer a;
  a.field.found = true;
  a.field.E = 17.5;
  a.field.low = 17.25;
  a.field.high = 17.75;
  a.test = {7.5, 5, 0.25};
  element_part fe = part("Fe", true, {100, 50});
  fe.own.found = true;
  fe.own.E = 17.125;
  fe.own.low = 17.0;
  fe.own.high = 17.5;
  element_part cr = part("Cr", false, {3, 1});
  cr.note = "Cr is left out here: 4 ions in its ranges, fewer than 100.";
  element_part ni = part("Ni", true, {80, 0});
  ni.own.found = true;
  ni.own.E = std::nan("");
  ni.own.low = -inf;
  ni.own.high = 17.5;
  a.elements = {fe, cr, ni};
  return a;
}

}  // namespace

TEST(JointOutput, FieldRowsOfTheJointFieldAndEachElement) {
  const auto lines = joint_field_csv_lines(answer());
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0],
            "element,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,G2,dof,n,charges,counts,"
            "ions,used");
  // The ions of the elements used: 150 of iron, 80 of nickel.
  EXPECT_EQ(lines[1], "all,17.5,17.25,17.75,0.25,7.5,5,nan,,,230,yes");
  EXPECT_EQ(lines[2], "Fe,17.125,17,17.5,nan,nan,nan,2,1+;2+,100;50,150,yes");
  EXPECT_EQ(lines[3], "Cr,nan,nan,nan,nan,nan,nan,2,1+;2+,3;1,4,no");
  EXPECT_EQ(lines[4], "Ni,nan,-inf,17.5,nan,nan,nan,2,1+;2+,80;0,80,yes");

  // Without a test (no degree of freedom) and without a field.
  joint_answer untested = answer();
  untested.test = {0.0, 0, std::nan("")};
  EXPECT_EQ(joint_field_csv_lines(untested)[1], "all,17.5,17.25,17.75,nan,nan,nan,nan,,,230,yes");
  joint_answer none = answer();
  none.field.found = false;
  EXPECT_EQ(joint_field_csv_lines(none)[1], "all,nan,nan,nan,nan,nan,nan,nan,,,230,no");
  for (const auto& line : joint_field_csv_lines(answer())) {
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 11) << line;
  }
}

TEST(JointOutput, SummaryOfAMapAndOfAProfile) {
  joint_field_map map;
  map.bin = 4.0;
  joint_map_bin agreeing, disagreeing, empty;
  agreeing.answer = answer();
  disagreeing.answer = answer();
  disagreeing.answer.test.p_value = 0.01;
  disagreeing.answer.at_edge = true;
  map.bins = {agreeing, disagreeing, empty};
  EXPECT_EQ(joint_map_summary(map, 100.0, 0.95),
            "Map: 3 bins of 4 mm with ions in the ranges, 2 with a joint field, 1 without (no "
            "element with 100 ions in its own ranges); the elements disagree (p < 0.05) in 1 of "
            "them; 1 lies at an over-barrier field, where the field varies within it.");
  map.over = map_plane::specimen;
  map.bins = {agreeing};
  EXPECT_EQ(joint_map_summary(map, 10.0, 0.99),
            "Map: 1 bins of 4 nm with ions in the ranges, 1 with a joint field, 0 without (no "
            "element with 10 ions in its own ranges); the elements disagree (p < 0.01) in 0 of "
            "them.");
  joint_field_profile profile;
  profile.block = 1000;
  joint_profile_block block;
  block.answer = answer();
  profile.blocks = {block, block};
  EXPECT_EQ(joint_profile_summary(profile, 100.0, 0.95),
            "Profile: 2 blocks of 1000 ions, 2 with a joint field, 0 without (no element with 100 "
            "ions in its own ranges); the elements disagree (p < 0.05) in 0 of them.");
}

TEST(JointOutput, VoltsOfAFilesVoltages) {
  EXPECT_EQ(volts_of(5.5, apt::voltage_unit::kilovolts), 5500.0);
  EXPECT_EQ(volts_of(5500.0, apt::voltage_unit::volts), 5500.0);
  EXPECT_FALSE(volts_of(5.5, apt::voltage_unit::unknown));
  EXPECT_FALSE(volts_of(5.5, apt::voltage_unit::none));
  EXPECT_FALSE(volts_of(std::nullopt, apt::voltage_unit::volts));
}
