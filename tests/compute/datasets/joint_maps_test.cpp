#include "compute/datasets/joint_maps.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane;

namespace {

const char* ranges =
    "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=9\n"
    "Range1=25.90 26.05 Cr:1\n"
    "Range2=26.40 26.55 Cr:1\n"
    "Range3=26.92 27.05 Fe:1\n"
    "Range4=27.90 28.05 Fe:1\n"
    "Range5=28.42 28.55 Fe:1\n"
    "Range6=51.85 52.05 Cr:1\n"
    "Range7=52.85 53.05 Cr:1\n"
    "Range8=53.85 54.05 Fe:1\n"
    "Range9=55.85 56.05 Fe:1\n";

// Iron and chromium on the left half of the detector (x < 0) at one field,
// on the right half at another, each in the model's proportions at 1+ and
// 2+ as whole numbers of ions; the left half's ions first in the file, at
// 5 kV, the right half's at 6 kV.
struct two_halves {
  apt::range_file file = apt::parse_range_text(ranges, "halves.rrng");
  std::vector<std::byte> bytes;
  std::optional<apt::dataset> data;
  std::size_t left_ions = 0;

  two_halves(double E_left, double E_right, double iron, double chromium) {
    apt::ion_columns ions;
    for (const auto& [E, x, kv] :
         {std::tuple{E_left, -10.0f, 5.0f}, std::tuple{E_right, 10.0f, 6.0f}}) {
      for (const auto& [name, symbol, N] :
           {std::tuple{"Iron", "Fe", iron}, std::tuple{"Chromium", "Cr", chromium}}) {
        charge_states states(*check_request({name, "2", std::nullopt, std::nullopt}).request,
                             model_for(evaluation::accurate).function, 2);
        const fraction_table t = fraction_table_at(states, {E});
        for (const auto& i : apt::isotope_table::builtin().of(symbol)) {
          for (int q = 1; q <= 2; ++q) {
            const long count = std::lround(N * t.f[static_cast<std::size_t>(q) - 1][0] *
                                           i.abundance_percent / 100.0);
            for (long c = 0; c < count; ++c) {
              ions.mass.push_back(static_cast<float>(i.mass_u / q));
              ions.det_x.push_back(x);
              ions.det_y.push_back(1.0f);
              ions.v_dc.push_back(kv);
            }
          }
        }
      }
      if (x < 0.0f) left_ions = ions.mass.size();
    }
    const std::size_t n = ions.mass.size();
    ions.x = ions.y = ions.z = ions.tof = ions.v_pulse = std::vector<float>(n, 0.0f);
    ions.pulse_delta = ions.multiplicity = std::vector<std::uint32_t>(n, 1);
    bytes = apt::encode_data(apt::data_format::epos, ions);
    data.emplace(apt::open_data(bytes, apt::data_format::epos, "halves.epos"));
  }
};

}  // namespace

TEST(JointMaps, EachHalfOfTheDetectorHasItsOwnField) {
  const two_halves run(17.2, 17.8, 1e5, 3e4);
  const joint_field_map map = map_joint_field(*run.data, run.file, {}, map_plane::detector, 4.0);
  ASSERT_EQ(map.bins.size(), 2u);
  EXPECT_EQ(map.bins[0].i, -3);  // -10 mm in 4 mm bins
  EXPECT_EQ(map.bins[1].i, 2);
  for (const auto& [b, E] : {std::pair{0, 17.2}, std::pair{1, 17.8}}) {
    const auto& f = map.bins[static_cast<std::size_t>(b)].answer.field;
    ASSERT_TRUE(f.found);
    EXPECT_LT(f.low, E);
    EXPECT_GT(f.high, E);
    EXPECT_GT(map.bins[static_cast<std::size_t>(b)].answer.test.p_value, 0.5);
  }
  // The whole run lies between its halves.
  EXPECT_GT(map.overall.answer.field.E, 17.2);
  EXPECT_LT(map.overall.answer.field.E, 17.8);
  const auto lines = joint_map_csv_lines(map);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0],
            "x_mm,y_mm,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,E_Cr_V_per_nm,"
            "E_Fe_V_per_nm");
  EXPECT_EQ(lines[1].substr(0, 6), "-10,2,");
}

TEST(JointMaps, BinsWithTooFewIonsAreMaskedAndEveryBadOptionNamed) {
  const two_halves run(17.2, 17.8, 1e3, 300.0);
  joint_request r;
  r.min_counts = 2e9;
  const joint_field_map map = map_joint_field(*run.data, run.file, r, map_plane::detector, 4.0);
  for (const auto& b : map.bins) EXPECT_FALSE(b.answer.field.found);
  EXPECT_NE(joint_map_csv_lines(map)[1].find(",nan,nan,nan,nan,nan,nan"), std::string::npos);
  for (double bad : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(map_joint_field(*run.data, run.file, {}, map_plane::detector, bad), input_refused);
  }
  try {
    map_joint_field(*run.data, run.file, {}, map_plane::detector, 1e-300);
    FAIL();
  } catch (const input_refused& e) {
    EXPECT_NE(std::string(e.what()).find("is too small for the coordinates"), std::string::npos);
  }
}

TEST(JointMaps, ProfileGivesEachBlockItsFieldAndTheTipRadius) {
  const two_halves run(17.2, 17.8, 1e5, 3e4);
  const auto block = static_cast<std::uint64_t>(run.left_ions);
  const joint_field_profile p = profile_joint_field(*run.data, run.file, {}, block, 0.3);
  ASSERT_GE(p.blocks.size(), 2u);
  const auto& first = p.blocks[0];
  EXPECT_LT(first.answer.field.low, 17.2);
  EXPECT_GT(first.answer.field.high, 17.2);
  ASSERT_TRUE(first.mean_v_dc.has_value());
  EXPECT_DOUBLE_EQ(*first.mean_v_dc, 5000.0);  // 5 kV, stored as kilovolts
  const auto lines = joint_profile_csv_lines(p);
  EXPECT_EQ(lines[0],
            "first_ion,last_ion,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,"
            "E_Cr_V_per_nm,E_Fe_V_per_nm,V_dc_V,R_nm");
  // R = V / (k_f F): 5000 V / (0.3 x 17.2 V/nm), about 969 nm.
  EXPECT_NEAR(tip_radius_nm(first.mean_v_dc, first.answer.field.E, 0.3), 969.0, 10.0);
  EXPECT_NE(joint_profile_csv_lines(profile_joint_field(*run.data, run.file, {}, block))[0].find(
                ",kfR_nm"),
            std::string::npos);
  EXPECT_THROW(profile_joint_field(*run.data, run.file, {}, 0), input_refused);
  EXPECT_THROW(profile_joint_field(*run.data, run.file, {}, block, -1.0), input_refused);
  EXPECT_THROW(profile_joint_field(*run.data, run.file, {}, block, 0.0), input_refused);
}
