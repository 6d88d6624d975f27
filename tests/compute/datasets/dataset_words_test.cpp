#include "compute/datasets/dataset_words.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <tuple>

#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane;

namespace {

calc_request builtIn(const char* name, int n) {
  return *check_request({name, std::to_string(n), std::nullopt, std::nullopt}).request;
}

// 787 W3+ and 1000 W2+ whose isotope factor makes the ratio 0.563, with the
// field and its interval of a large run.
pair_field tungstenPair() {
  pair_field f = counted_pair(2, 1000.0, 787.0, 0.0, 0.0, 0.563 / 0.787, 0.95);
  f.E = 34.5147;
  f.E_low = 34.5112;
  f.E_high = 34.5181;
  return f;
}

// Iron and chromium at 1+ and 2+ at 17.5 V/nm, the 27 Da peak shared by
// 54Fe2+, 54Cr2+ and 27Al+, every ion at the detector point (x, y).
const char* const alloyRanges =
    "[Ions]\nNumber=3\nIon1=Fe\nIon2=Cr\nIon3=Al\n[Ranges]\nNumber=8\n"
    "Range1=25.90 26.05 Cr:1\n"
    "Range2=26.92 27.05 Fe:1\n"
    "Range3=27.90 28.05 Fe:1\n"
    "Range4=28.42 28.55 Fe:1\n"
    "Range5=51.85 52.05 Cr:1\n"
    "Range6=53.85 54.05 Fe:1\n"
    "Range7=55.85 56.05 Fe:1\n"
    "Range8=56.85 57.05 Fe:1\n";

struct alloy {
  apt::range_file file = apt::parse_range_text(alloyRanges, "alloy.rrng");
  std::vector<std::byte> bytes;
  std::optional<apt::dataset> data;

  alloy(double x, double y) {
    apt::ion_columns ions;
    auto add = [&](double m, double count) {
      for (long i = 0; i < std::lround(count); ++i) ions.mass.push_back(static_cast<float>(m));
    };
    for (const auto& [name, symbol, N] :
         {std::tuple{"Iron", "Fe", 2e4}, std::tuple{"Chromium", "Cr", 6e3}}) {
      charge_states states(builtIn(name, 2), model_for(evaluation::accurate).function, 2);
      const fraction_table t = fraction_table_at(states, {17.5});
      for (const auto& i : apt::isotope_table::builtin().of(symbol)) {
        for (int q = 1; q <= 2; ++q) {
          add(i.mass_u / q,
              N * t.f[static_cast<std::size_t>(q) - 1][0] * i.abundance_percent / 100.0);
        }
      }
    }
    add(26.98153844, 300.0);
    const auto n = ions.mass.size();
    ions.x = ions.y = ions.z = ions.tof = ions.v_dc = ions.v_pulse = std::vector<float>(n, 0.0f);
    ions.det_x = std::vector<float>(n, static_cast<float>(x));
    ions.det_y = std::vector<float>(n, static_cast<float>(y));
    ions.pulse_delta = ions.multiplicity = std::vector<std::uint32_t>(n, 1);
    bytes = apt::encode_data(apt::data_format::epos, ions);
    data.emplace(apt::open_data(bytes, apt::data_format::epos, "alloy.epos"));
  }
};

dataset_view_inputs tungstenInputs() {
  dataset_view_inputs in;
  in.data_path = "/runs/w/tungsten.epos";
  in.range_path = "/runs/w/tungsten.rrng";
  in.symbol = "W";
  in.k = 2;
  in.models = {{builtIn("Tungsten", 2), true}};
  in.block = 4000;
  return in;
}

}  // namespace

TEST(DatasetWords, ModelInputsAsTheFractionCsvNamesThem) {
  EXPECT_EQ(model_inputs_text(builtIn("Tungsten", 2)),
            "Tungsten, n = 2, work function 4.55 eV, energies 7.86403, 16.37, 26 eV");
}

TEST(DatasetWords, HeadlineGivesRawAndCorrectedRatioSideBySide) {
  EXPECT_EQ(pair_headline(tungstenPair(), "W", plain_answer_numbers()),
            "W 3+/2+: raw 0.787; corrected for isotopes 0.563 (counts 787 and 1000): "
            "E = 34.5147 V/nm (95 %: 34.5112 to 34.5181 V/nm)");
  pair_field f = counted_pair(2, 1000.0, 787.0, 100.0, 87.0, 1.0, 0.95);
  f.E = 34.0;
  EXPECT_NE(pair_headline(f, "W", plain_answer_numbers())
                .find("raw 0.777778; corrected for isotopes 0.777778 (counts 787 and 1000, after "
                      "background 700 and 900): E = 34 V/nm"),
            std::string::npos);
  // No ion of the upper state: no field, and a raw ratio of 0.
  pair_field none = counted_pair(2, 1000.0, 0.0, 0.0, 0.0, 1.0, 0.95);
  none.E = std::numeric_limits<double>::quiet_NaN();
  EXPECT_NE(pair_headline(none, "W", plain_answer_numbers())
                .find("W 3+/2+: raw 0; corrected for isotopes 0 (counts 0 and 1000): no field "
                      "(no ion of 3+)"),
            std::string::npos);
  pair_field lowerless = counted_pair(2, 0.0, 10.0, 0.0, 0.0, 1.0, 0.95);
  EXPECT_NE(pair_headline(lowerless, "W", plain_answer_numbers()).find("raw inf"),
            std::string::npos);
}

TEST(DatasetWords, DecompositionRowsNameTheSpeciesSharingEachRange) {
  const alloy run(1.0, 1.0);
  const joint_run j = joint_field_of_run(*run.data, run.file, {});
  const auto rows = species_rows(j, run.file);
  ASSERT_EQ(rows.size(), j.decomposition.size());
  const species_row* al = nullptr;
  const species_row* fe2 = nullptr;
  for (const auto& r : rows) {
    if (r.label == "Al+") al = &r;
    if (r.label == "Fe2+") fe2 = &r;
  }
  ASSERT_NE(al, nullptr);
  ASSERT_NE(fe2, nullptr);
  // Aluminium has no range of its own: its ions lie under iron's 27 Da peak.
  EXPECT_EQ(al->counts, 0.0);
  EXPECT_EQ(al->charge, 1);
  EXPECT_EQ(al->ranges, "26.92\u201327.05 Da (with Cr2+, Fe2+)");
  EXPECT_NEAR(al->amount.amount, 300.0, 3.0 * al->amount.sigma + 3.0);
  // Iron's 2+ ranges: every ion in them, the shared one included.
  EXPECT_EQ(fe2->counts,
            static_cast<double>(j.counts.counts[1] + j.counts.counts[2] + j.counts.counts[3]));
  EXPECT_EQ(fe2->ranges.substr(0, fe2->ranges.find(';')), "26.92\u201327.05 Da (with Al+, Cr2+)");
  EXPECT_NE(fe2->ranges.find("; 27.9\u201328.05 Da; 28.42\u201328.55 Da"), std::string::npos)
      << fe2->ranges;
}

TEST(DatasetWords, JointBinUnderTheMouse) {
  const alloy run(1.0, 1.0);
  const joint_field_map map = map_joint_field(*run.data, run.file, {}, map_plane::detector, 2.0);
  ASSERT_EQ(map.bins.size(), 1u);
  const std::string text = joint_bin_text(map, map.bins[0], 0.95, plain_answer_numbers());
  const std::string ions = std::to_string(map.bins[0].ions);
  const std::string start = "x = 1 mm, y = 1 mm: " + ions + " ions; E = ";
  EXPECT_EQ(text.substr(0, start.size()), start) << text;
  EXPECT_NE(text.find(" from Cr, Fe, p = "), std::string::npos) << text;
  EXPECT_NE(text.find("; own fields: Cr "), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 5), " V/nm") << text;

  joint_request few;
  few.min_counts = 1e9;
  const joint_field_map masked =
      map_joint_field(*run.data, run.file, few, map_plane::detector, 2.0);
  EXPECT_EQ(joint_bin_text(masked, masked.bins[0], 0.95, plain_answer_numbers()),
            "x = 1 mm, y = 1 mm: " + ions + " ions; no element has enough ions here");
}

TEST(DatasetWords, FigureTitlesAndCsvCommentsNameEveryInput) {
  const dataset_view_inputs w = tungstenInputs();
  EXPECT_EQ(dataset_title_lines(w, dataset_view::field_map),
            (std::vector<std::string>{
                "Field map of W 3+/2+: tungsten.epos, ranges tungsten.rrng",
                "Bins of 2 mm over the detector, at least 100 ions of the pair per bin; 95 % "
                "intervals",
                "All hits; no background subtracted; mass tolerance 0.05 Da or 0.3 % of m/q",
                "Model: Tungsten, n = 2, work function 4.55 eV, energies 7.86403, 16.37, 26 eV "
                "(as typed)"}));
  EXPECT_EQ(dataset_title_lines(w, dataset_view::mass_spectrum),
            (std::vector<std::string>{"Mass spectrum: tungsten.epos, ranges tungsten.rrng",
                                      "Ions per 0.05 Da"}));
  EXPECT_EQ(dataset_title_lines(w, dataset_view::field_profile)[1],
            "Blocks of 4000 ions in file order; 95 % intervals");
  EXPECT_EQ(dataset_comment_lines(w, dataset_view::field_map),
            (std::vector<std::string>{
                "# Field map of W 3+/2+, after Kingham's post-field-ionisation theory",
                "# data file: /runs/w/tungsten.epos", "# range file: /runs/w/tungsten.rrng",
                "# Bins of 2 mm over the detector, at least 100 ions of the pair per bin; 95 % "
                "intervals",
                "# All hits; no background subtracted; mass tolerance 0.05 Da or 0.3 % of m/q",
                "# model: Tungsten, n = 2, work function 4.55 eV, energies 7.86403, 16.37, 26 eV "
                "(as typed)"}));

  dataset_view_inputs steel;
  steel.data_path = "steel.epos";
  steel.range_path = "steel.rrng";
  steel.elements = {"Cr", "Fe"};
  steel.models = {{builtIn("Chromium", 2), false}, {builtIn("Iron", 2), false}};
  steel.over = map_plane::specimen;
  steel.bin = 4.0;
  steel.single_hits = steel.background = true;
  steel.charges.tolerance_da = 0.02;
  steel.charges.tolerance_percent = 0.0;
  steel.block = 100;
  const auto joint = dataset_title_lines(steel, dataset_view::field_map);
  EXPECT_EQ(joint[0],
            "Field map of the joint field of Cr, Fe (all charges): steel.epos, ranges steel.rrng");
  EXPECT_EQ(joint[1],
            "Bins of 4 nm over the specimen, an element entering a bin's fit with at least 100 "
            "ions of its own; 95 % intervals");
  EXPECT_EQ(joint[2],
            "Single hits only; background subtracted; mass tolerance 0.02 Da or 0 % of m/q");
  EXPECT_EQ(joint[3], "Models: built-in values of Cr (n = 2), Fe (n = 2)");
  EXPECT_EQ(dataset_title_lines(steel, dataset_view::p_value_map)[0],
            "Agreement of Cr, Fe on one field (p-value of each bin): steel.epos, ranges "
            "steel.rrng");
  EXPECT_EQ(dataset_title_lines(steel, dataset_view::p_value_map)[1],
            "Bins of 4 nm over the specimen, an element entering a bin's fit with at least 100 "
            "ions of its own");
  EXPECT_EQ(dataset_title_lines(steel, dataset_view::element_field_map, "Cr")[0],
            "Field map of Cr alone (its own field, beside the joint one of Cr, Fe): steel.epos, "
            "ranges steel.rrng");
  EXPECT_EQ(dataset_title_lines(steel, dataset_view::field_profile)[0],
            "Field along the run, the joint field of Cr, Fe (all charges): steel.epos, ranges "
            "steel.rrng");
  const auto comments = dataset_comment_lines(steel, dataset_view::field_profile);
  ASSERT_EQ(comments.size(), 7u);
  EXPECT_EQ(comments[3],
            "# Blocks of 100 ions in file order, an element entering a block's fit with at least "
            "100 ions of its own; 95 % intervals");
  EXPECT_EQ(comments[5],
            "# model: Chromium, n = 2, work function 4.5 eV, energies 6.76651, 16.4863, 30.959 eV "
            "(built-in values)");
}

TEST(DatasetWords, BlocksAndSpectrumBinsUnderTheMouse) {
  field_profile profile;
  profile_block block;
  block.first_ion = 6000;
  block.last_ion = 11999;
  block.field = counted_pair(2, 100.0, 150.0, 0.0, 0.0, 1.0, 0.95);
  block.field.E = 35.1234;
  block.field.E_low = 34.9;
  block.field.E_high = 35.3;
  profile.blocks = {block};
  EXPECT_EQ(profile_block_text(profile, 0, plain_answer_numbers()),
            "ions 6000 to 11999: N_lower = 100, N_upper = 150, E = 35.1234 V/nm (95 %: 34.9 to "
            "35.3 V/nm)");
  profile.blocks[0].field.E = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(profile_block_text(profile, 0, plain_answer_numbers()),
            "ions 6000 to 11999: N_lower = 100, N_upper = 150: no field of the model gives this "
            "ratio");

  const alloy run(1.0, 1.0);
  const std::uint64_t ions = run.data->ion_count();
  const joint_field_profile joint = profile_joint_field(*run.data, run.file, {}, ions);
  ASSERT_EQ(joint.blocks.size(), 1u);
  const std::string text = joint_block_text(joint, 0, 0.95, plain_answer_numbers());
  const std::string start = "ions 0 to " + std::to_string(ions - 1) + ": " +
                            std::to_string(joint.blocks[0].ions) + " ions; E = ";
  EXPECT_EQ(text.substr(0, start.size()), start) << text;
  EXPECT_NE(text.find("; own fields: Cr "), std::string::npos) << text;

  const std::vector<std::uint64_t> spectrum{0, 3, 1234};
  EXPECT_EQ(spectrum_bin_text(spectrum, 0.05, 0.12, &run.file, plain_answer_numbers()),
            "m/n = 0.12 Da: 1234 ions in 0.1 to 0.15 Da");
  EXPECT_EQ(spectrum_bin_text(spectrum, 0.05, 0.06, nullptr, plain_answer_numbers()),
            "m/n = 0.06 Da: 3 ions in 0.05 to 0.1 Da");
  EXPECT_EQ(spectrum_bin_text(spectrum, 0.05, 27.0, &run.file, plain_answer_numbers()),
            "m/n = 27 Da: no ions; range 26.92\u201327.05 Da (Fe)");
  EXPECT_EQ(spectrum_bin_text(spectrum, 0.05, -1.0, nullptr, plain_answer_numbers()),
            "m/n = -1 Da: no ions");
}
