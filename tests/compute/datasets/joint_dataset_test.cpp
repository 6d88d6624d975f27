#include "compute/datasets/joint_dataset.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <tuple>

#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane;

namespace {

// Iron and chromium ranged at 1+ and 2+ (every isotope above 2 %), the 27 Da
// peak shared by 54Fe2+, 54Cr2+ and 27Al+ and named after iron, the 54 Da
// peak by 54Fe+ and 54Cr+.
const char* ranges =
    "[Ions]\nNumber=3\nIon1=Fe\nIon2=Cr\nIon3=Al\n[Ranges]\nNumber=10\n"
    "Range1=25.90 26.05 Cr:1\n"
    "Range2=26.40 26.55 Cr:1\n"
    "Range3=26.92 27.05 Fe:1\n"
    "Range4=27.90 28.05 Fe:1\n"
    "Range5=28.42 28.55 Fe:1\n"
    "Range6=51.85 52.05 Cr:1\n"
    "Range7=52.85 53.05 Cr:1\n"
    "Range8=53.85 54.05 Fe:1\n"
    "Range9=55.85 56.05 Fe:1\n"
    "Range10=56.85 57.05 Fe:1\n";

// A run at one field: every isotope of each element at 1+ and 2+ in the
// model's proportions at E, as whole numbers of ions at their exact m/q,
// and `aluminium` 27Al+ ions.
struct alloy_run {
  apt::range_file file = apt::parse_range_text(ranges, "alloy.rrng");
  std::vector<std::byte> bytes;
  std::optional<apt::dataset> data;
  double planted_fe2 = 0.0;

  alloy_run(double E, double iron, double chromium, double aluminium) {
    apt::ion_columns ions;
    auto add = [&](double m, double count) {
      for (long i = 0; i < std::lround(count); ++i) ions.mass.push_back(static_cast<float>(m));
    };
    for (const auto& [name, symbol, N] :
         {std::tuple{"Iron", "Fe", iron}, std::tuple{"Chromium", "Cr", chromium}}) {
      charge_states states(*check_request({name, "2", std::nullopt, std::nullopt}).request,
                           model_for(evaluation::accurate).function, 2);
      const fraction_table t = fraction_table_at(states, {E});
      for (const auto& i : apt::isotope_table::builtin().of(symbol)) {
        for (int q = 1; q <= 2; ++q) {
          const double count =
              N * t.f[static_cast<std::size_t>(q) - 1][0] * i.abundance_percent / 100.0;
          add(i.mass_u / q, count);
          if (std::string(symbol) == "Fe" && q == 2) planted_fe2 += std::round(count);
        }
      }
    }
    add(26.98153844, aluminium);
    ions.x = ions.y = ions.z = ions.det_x = ions.det_y = ions.tof = ions.v_dc = ions.v_pulse =
        std::vector<float>(ions.mass.size(), 0.0f);
    ions.pulse_delta = ions.multiplicity = std::vector<std::uint32_t>(ions.mass.size(), 1);
    bytes = apt::encode_data(apt::data_format::epos, ions);
    data.emplace(apt::open_data(bytes, apt::data_format::epos, "alloy.epos"));
  }
};

}  // namespace

TEST(JointDataset, RunAtOneFieldGivesItFromEveryElement) {
  const alloy_run run(17.5, 2e5, 6e4, 3000.0);
  const joint_run j = joint_field_of_run(*run.data, run.file, {});
  EXPECT_EQ(j.setup->symbols(), (std::vector<std::string>{"Cr", "Fe"}));
  ASSERT_TRUE(j.answer.field.found);
  // Whole numbers of ions move the field by far less than its interval.
  EXPECT_NEAR(j.answer.field.E, 17.5, 0.2 * (j.answer.field.high - j.answer.field.low));
  EXPECT_LT(j.answer.field.low, 17.5);
  EXPECT_GT(j.answer.field.high, 17.5);
  EXPECT_GT(j.answer.test.p_value, 0.5);
  for (const auto& part : j.answer.elements) {
    EXPECT_LT(part.own.low, 17.5) << part.symbol;
    EXPECT_GT(part.own.high, 17.5) << part.symbol;
  }
  // 27Al+ under 54Fe2+ and 54Cr2+ is decomposed to what was planted.
  bool found = false;
  for (const auto& s : j.decomposition) {
    if (s.label == "Al+") {
      found = true;
      EXPECT_NEAR(s.amount, 3000.0, 3.0);
    }
    if (s.label == "Fe2+") {
      EXPECT_NEAR(s.amount, run.planted_fe2, 3.0);
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(j.counts.ions, run.data->ion_count());
}

TEST(JointDataset, BadElementsAreNamedWithWhatTheFileHas) {
  const alloy_run run(17.5, 2e4, 6e3, 300.0);
  auto refused = [&](std::vector<std::string> elements) {
    joint_request r;
    r.elements = std::move(elements);
    try {
      joint_field_of_run(*run.data, run.file, r);
    } catch (const input_refused& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_NE(refused({"Unobtainium"}).find("unknown element \"Unobtainium\""), std::string::npos);
  EXPECT_EQ(refused({"Bi"}), "alloy.rrng: the range file has no Bi ranges; it has Cr, Fe");
  EXPECT_EQ(refused({"Aluminium"}), "alloy.rrng: the range file has no Al ranges; it has Cr, Fe");
  // Names and symbols in any case.
  EXPECT_EQ(refused({"iron", "CR"}), "accepted");
}

TEST(JointDataset, ElementRangedAtOneChargeCannotGiveAField) {
  alloy_run run(17.5, 2e4, 6e3, 300.0);
  run.file = apt::parse_range_text(
      "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=3\n"
      "Range1=25.90 26.05 Cr:1\nRange2=27.90 28.05 Fe:1\nRange3=55.85 56.05 Fe:1\n",
      "one.rrng");
  joint_request r;
  r.elements = {"Cr"};
  try {
    joint_field_of_run(*run.data, run.file, r);
    FAIL() << "accepted";
  } catch (const input_refused& e) {
    EXPECT_STREQ(e.what(),
                 "one.rrng: Cr is ranged at 2+ only; a field needs ranges at two charges");
  }
  // By default such an element is left out, and iron alone gives the field.
  const joint_run j = joint_field_of_run(*run.data, run.file, {});
  EXPECT_EQ(j.setup->symbols(), (std::vector<std::string>{"Fe"}));
}

namespace {

// What a request is refused with, or "accepted".
std::string refusal(const alloy_run& run, const joint_request& r) {
  try {
    joint_field_of_run(*run.data, run.file, r);
  } catch (const input_refused& e) {
    return e.what();
  }
  return "accepted";
}

bool says(const joint_run& j, const std::string& part) {
  for (const auto& m : j.setup->messages()) {
    if (m.find(part) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

TEST(JointDataset, NOfEveryElementOrOfEachByNameOrSymbol) {
  const alloy_run run(17.5, 2e4, 6e3, 300.0);
  joint_request r;
  r.ionisations_all = 3;
  EXPECT_TRUE(says(joint_field_of_run(*run.data, run.file, r),
                   "Cr (n = 3, counted at 1+, 2+), "
                   "Fe (n = 3, counted at 1+, 2+)"));
  r.ionisations = {{"iron", 2}};
  EXPECT_TRUE(says(joint_field_of_run(*run.data, run.file, r),
                   "Cr (n = 3, counted at 1+, 2+), "
                   "Fe (n = 2, counted at 1+, 2+)"));

  joint_request twice;
  twice.ionisations = {{"Fe", 2}, {"Iron", 3}};
  EXPECT_EQ(refusal(run, twice), "n of Fe is given twice");
  joint_request other;
  other.ionisations = {{"Ni", 2}};
  EXPECT_EQ(refusal(run, other),
            "n is given for Ni, which is not among the elements of the field (Cr, Fe)");
  joint_request unknown;
  unknown.ionisations = {{"Unobtainium", 2}};
  EXPECT_NE(refusal(run, unknown).find("unknown element \"Unobtainium\""), std::string::npos);
  joint_request too_many;
  too_many.ionisations_all = 5;
  EXPECT_NE(refusal(run, too_many).find("Cr: --ionisations must be a whole number from 1 to 4"),
            std::string::npos)
      << refusal(run, too_many);
}

TEST(JointDataset, RequestIsCheckedBeforeAnyFileIsRead) {
  const auto refused = [](const joint_request& r) {
    try {
      check_joint_request(r);
    } catch (const input_refused& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(refused({}), "accepted");
  for (double level : {0.0, 1.0, -0.5, std::nan("")}) {
    joint_request r;
    r.confidence = level;
    EXPECT_EQ(refused(r).rfind("the confidence must lie between 0 and 1", 0), 0u) << level;
  }
  for (double least : {-1.0, std::nan(""), HUGE_VAL}) {
    joint_request r;
    r.min_counts = least;
    EXPECT_EQ(refused(r).rfind("the minimum counts must be a number of at least 0", 0), 0u)
        << least;
  }
  joint_request named;
  named.elements = {"Fe", "Kryptonite"};
  EXPECT_EQ(refused(named).rfind("unknown element \"Kryptonite\"", 0), 0u);
  // The maps and profiles check it too, before they count the file.
  const alloy_run run(17.5, 2e3, 6e2, 30.0);
  EXPECT_THROW(map_joint_field(*run.data, run.file, named, map_plane::detector, 4.0),
               input_refused);
  EXPECT_THROW(profile_joint_field(*run.data, run.file, named, 100), input_refused);
}

TEST(JointDataset, SpeciesTheRangesCannotTellApartAreSaid) {
  // Chromium ranged at 1+ only: its 2+ lies wholly in the 27 Da range with
  // 27Al+, in the same proportions.
  alloy_run run(17.5, 2e4, 6e3, 300.0);
  run.file = apt::parse_range_text(
      "[Ions]\nNumber=3\nIon1=Fe\nIon2=Cr\nIon3=Al\n[Ranges]\nNumber=6\n"
      "Range1=26.92 27.05 Fe:1\nRange2=27.90 28.05 Fe:1\nRange3=51.85 52.05 Cr:1\n"
      "Range4=53.85 54.05 Fe:1\nRange5=55.85 56.05 Fe:1\nRange6=56.85 57.05 Fe:1\n",
      "singular.rrng");
  const joint_run j = joint_field_of_run(*run.data, run.file, {});
  EXPECT_TRUE(says(j, "The ranges cannot tell Al+ and Cr2+ apart")) << j.setup->messages().back();
  ASSERT_TRUE(j.answer.field.found);
  for (const auto& s : j.decomposition) {
    if (s.label == "Cr2+" || s.label == "Al+") {
      EXPECT_FALSE(s.separable) << s.label;
    }
  }
}
