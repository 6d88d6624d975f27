#include "compute/figures/joint_figures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "compute/figures/map_figure.hpp"
#include "compute/figures/profile_figure.hpp"

using namespace veltrane;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Iron and chromium at 1+ and 2+: a run's setup whose elements the
// figures name (the models of both are tabulated).
std::shared_ptr<const joint_setup> iron_and_chromium() {
  static const apt::range_file file = apt::parse_range_text(
      "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=4\n"
      "Range1=25.90 26.05 Cr:1\nRange2=27.90 28.05 Fe:1\n"
      "Range3=51.85 52.05 Cr:1\nRange4=55.85 56.05 Fe:1\n",
      "alloy.rrng");
  range_tally run;
  run.counts = {100, 100, 100, 100};
  run.window = {0, 0, 0, 0};
  static const auto setup = std::make_shared<const joint_setup>(file, joint_request{}, run);
  return setup;
}

joint_answer with_field(double E, double low, double high, double p, int dof) {
  joint_answer a;
  a.field.found = true;
  a.field.E = E;
  a.field.low = low;
  a.field.high = high;
  a.test = {1.0, dof, p};
  for (const char* symbol : {"Cr", "Fe"}) {
    element_part part;
    part.symbol = symbol;
    part.used = true;
    part.own.found = true;
    part.own.E = part.own.low = part.own.high = E + 0.1;
    a.elements.push_back(part);
  }
  return a;
}

joint_map_bin bin_at(std::int64_t i, const joint_answer& a) {
  joint_map_bin b;
  b.i = i;
  b.j = 0;
  b.answer = a;
  return b;
}

}  // namespace

TEST(JointFigures, MapOfTheFieldBesideTheMapOfItsTest) {
  joint_field_map map;
  map.overall.setup = iron_and_chromium();
  map.bin = 4.0;
  joint_answer masked;
  masked.field.found = false;
  // 17.2 and 17.8 V/nm bounded on both sides; 2 V/nm bounded above only (a
  // few ions of one charge), whose colour is the bar's low end rather than
  // a span that washes out the others'. The 17.8 V/nm bin has no test.
  map.bins = {bin_at(0, with_field(17.2, 17.1, 17.3, 0.5, 3)),
              bin_at(1, with_field(17.8, 17.7, 17.9, std::nan(""), 0)), bin_at(2, masked),
              bin_at(3, with_field(2.0, -inf, 17.0, 0.5, 3))};
  const std::string title = joint_map_title(map, "steel.epos");
  EXPECT_EQ(title, "steel.epos: joint field of Cr, Fe; bins of 4 mm");
  const std::string svg = joint_map_figure(map, title).svg();
  EXPECT_NE(svg.find(">steel.epos: joint field of Cr, Fe; bins of 4 mm</text>"), std::string::npos);
  EXPECT_NE(svg.find(">Joint field of Cr, Fe</text>"), std::string::npos);
  EXPECT_NE(svg.find(">p-value of the elements' agreement on one field</text>"), std::string::npos);
  EXPECT_NE(svg.find(">1e-04 and below</text>"), std::string::npos);
  EXPECT_NE(svg.find(">E [V/nm]</text>"), std::string::npos);
  EXPECT_EQ(count_of(svg, ">x [mm]</text>"), 2u);
  EXPECT_EQ(count_of(svg, "fill=\"#440154\""), 2u);
  EXPECT_EQ(count_of(svg, "fill=\"#fde725\""), 1u);
  // p = 0.5 on the log scale from 1e-4 to 1: (log10 0.5 + 4) / 4 of the bar.
  EXPECT_EQ(count_of(svg, "fill=\"" + map_colour((std::log10(0.5) + 4.0) / 4.0) + "\""), 2u);
  // Grey: the masked bin in both maps, the bin without a test, the key.
  EXPECT_EQ(count_of(svg, "fill=\"#c8c8c8\""), 4u);

  map.over = map_plane::specimen;
  EXPECT_EQ(joint_map_title(map, "run.apt"),
            "run.apt: joint field of Cr, Fe; bins of 4 nm over "
            "the specimen");
  map.bins = {bin_at(0, masked)};
  const std::string none = joint_map_figure(map, "").svg();
  EXPECT_NE(none.find("no bin has a field"), std::string::npos);
  EXPECT_NE(none.find("no bin has a test"), std::string::npos);
  map.bins.clear();
  EXPECT_EQ(count_of(joint_map_figure(map, "").svg(), "no ion in the ranges"), 2u);
}

TEST(JointFigures, ProfileWithEachElementThePValuesTheVoltageAndTheRadius) {
  joint_field_profile profile;
  profile.overall.setup = iron_and_chromium();
  profile.block = 1000;
  profile.kf = 0.3;
  joint_profile_block first, second, third;
  first.first_ion = 0;
  first.last_ion = 999;
  first.answer = with_field(17.5, 17.4, 17.6, 0.3, 2);
  first.mean_v_dc = 5000.0;
  second.first_ion = 1000;
  second.last_ion = 1999;
  third.first_ion = 2000;
  third.last_ion = 2999;
  third.answer = with_field(17.5, 17.4, 17.6, 1e-20, 2);
  third.mean_v_dc = 5000.0;
  profile.blocks = {first, second, third};
  const std::string title = joint_profile_title(profile, "steel.epos");
  EXPECT_EQ(title, "steel.epos: joint field of Cr, Fe; blocks of 1000 ions");
  const std::string svg = joint_profile_figure(profile, title, 0.95).svg();
  for (const char* part :
       {">steel.epos: joint field of Cr, Fe; blocks of 1000 ions</text>",
        ">joint field (bar: interval)</text>", ">Cr alone</text>", ">Fe alone</text>",
        ">log10 p (below -10 at -10)</text>", ">mean DC voltage of the block [kV]</text>",
        ">R = V/(k_f E) [nm], k_f = 0.3</text>",
        // R = 5000 V / (0.3 x 17.5 V/nm) = 952.4 nm, on its axis.
        ">952</text>",
        // p = 1e-20 drawn at the floor of the axis.
        ">-10</text>"}) {
    EXPECT_NE(svg.find(part), std::string::npos) << part;
  }

  // Without k_f no radius; without voltages no panel of them.
  profile.kf.reset();
  EXPECT_EQ(joint_profile_figure(profile, title, 0.95).svg().find("R = V/(k_f E)"),
            std::string::npos);
  profile.kf = 0.3;
  for (auto& b : profile.blocks) b.mean_v_dc.reset();
  const std::string without = joint_profile_figure(profile, title, 0.95).svg();
  EXPECT_EQ(without.find("mean DC voltage"), std::string::npos);
  EXPECT_EQ(without.find("R = V/(k_f E)"), std::string::npos);
  profile.blocks = {second};
  const std::string empty = joint_profile_figure(profile, title, 0.95).svg();
  EXPECT_NE(empty.find("no block has a field"), std::string::npos);
  EXPECT_NE(empty.find("no block has a test of agreement"), std::string::npos);
}

TEST(JointFigures, PairProfileDrawsTheRadiusWithTheFieldFactor) {
  field_profile profile;
  profile.block = 1000;
  profile.voltages = apt::voltage_unit::kilovolts;
  profile_block b;
  b.last_ion = 999;
  b.field.E = 17.5;
  b.field.E_low = 17.4;
  b.field.E_high = 17.6;
  b.mean_v_dc = 5.0;  // kV
  profile.blocks = {b};
  const std::string plain = profile_figure(profile, "W 3+/2+").svg();
  EXPECT_EQ(plain.find("R = V/(k_f E)"), std::string::npos);
  const std::string with_kf = profile_figure(profile, "W 3+/2+", 0.3).svg();
  EXPECT_NE(with_kf.find(">R = V/(k_f E) [nm], k_f = 0.3</text>"), std::string::npos);
  EXPECT_NE(with_kf.find(">952</text>"), std::string::npos);
  EXPECT_GT(profile_figure(profile, "W 3+/2+", 0.3).height(),
            profile_figure(profile, "W 3+/2+").height());
}
