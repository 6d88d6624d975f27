#include "cli/joint_commands.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>

#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "cli/cli.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/field_profile.hpp"
#include "compute/datasets/joint_dataset.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/joint_output.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane;
namespace fs = std::filesystem;

namespace {

struct run_result {
  int status;
  std::string out, err;
};

run_result run(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = run_cli(args, out, err);
  return {status, out.str(), err.str()};
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::size_t lines_of(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string joined_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Iron and chromium at 1+ and 2+; the 27 Da peak (54Fe2+, 54Cr2+) named
// after iron, the 54 Da peak (54Fe+, 54Cr+) too.
constexpr const char* alloy_ranges =
    "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=10\n"
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

// Chromium ranged at 1+ only (its 2+ lies under iron's 27 Da peak, which
// aluminium's 27Al+ shares): Cr2+ and Al+ fill that range alike.
constexpr const char* singular_ranges =
    "[Ions]\nNumber=3\nIon1=Fe\nIon2=Cr\nIon3=Al\n[Ranges]\nNumber=7\n"
    "Range1=26.92 27.05 Fe:1\n"
    "Range2=27.90 28.05 Fe:1\n"
    "Range3=49.85 50.05 Cr:1\n"
    "Range4=51.85 52.05 Cr:1\n"
    "Range5=53.85 54.05 Fe:1\n"
    "Range6=55.85 56.05 Fe:1\n"
    "Range7=56.85 57.05 Fe:1\n";

// Chromium ranged at 2+ alone.
constexpr const char* one_charge_ranges =
    "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=3\n"
    "Range1=25.90 26.05 Cr:1\nRange2=27.90 28.05 Fe:1\nRange3=55.85 56.05 Fe:1\n";

// The alloy's ranges and a 52Cr4+ range at 13 Da.
std::string four_plus_ranges() {
  std::string text = alloy_ranges;
  text.replace(text.find("Number=10"), 9, "Number=11");
  return text + "Range11=12.90 13.05 Cr:1\n";
}

// A run of iron and chromium on two halves of the detector: at x = -10 mm
// at `E_left`, at x = +10 mm at `E_right`, each element's isotopes at 1+ and
// 2+ in the model's proportions as whole numbers of ions at their exact m/q;
// the left half's ions first in the file at 5 kV, the right half's at 6 kV.
// Written into a folder of its own with the range files above, and a
// chromium at 1+ and 4+ only, which no field of the model gives.
struct alloy_files {
  fs::path dir;
  std::size_t left_ions = 0;

  alloy_files(double E_left = 17.2, double E_right = 17.8, double iron = 2e4,
              double chromium = 6e3) {
    dir = fs::temp_directory_path() / ("veltrane-joint-" + std::to_string(getpid()));
    fs::create_directories(dir);
    apt::ion_columns ions;
    auto add = [&](double mass, long count, float x, float kv) {
      for (long c = 0; c < count; ++c) {
        ions.mass.push_back(static_cast<float>(mass));
        ions.det_x.push_back(x);
        ions.det_y.push_back(1.0f);
        ions.v_dc.push_back(kv);
      }
    };
    for (const auto& [E, x, kv] :
         {std::tuple{E_left, -10.0f, 5.0f}, std::tuple{E_right, 10.0f, 6.0f}}) {
      for (const auto& [name, symbol, N] :
           {std::tuple{"Iron", "Fe", iron}, std::tuple{"Chromium", "Cr", chromium}}) {
        charge_states states(*check_request({name, "2", std::nullopt, std::nullopt}).request,
                             model_for(evaluation::accurate).function, 2);
        const fraction_table t = fraction_table_at(states, {E});
        for (const auto& i : apt::isotope_table::builtin().of(symbol)) {
          for (int q = 1; q <= 2; ++q) {
            add(i.mass_u / q,
                std::lround(N * t.f[static_cast<std::size_t>(q) - 1][0] * i.abundance_percent /
                            100.0),
                x, kv);
          }
        }
      }
      if (x < 0.0f) left_ions = ions.mass.size();
    }
    write(ions, "alloy.epos");
    std::ofstream(dir / "alloy.rrng") << alloy_ranges;
    std::ofstream(dir / "singular.rrng") << singular_ranges;
    std::ofstream(dir / "one.rrng") << one_charge_ranges;
    std::ofstream(dir / "four.rrng") << four_plus_ranges();

    // Iron as above at 17.5 V/nm; chromium 1000 of 52Cr+ and 500 of 52Cr4+.
    apt::ion_columns odd;
    auto put = [&](double mass, int count) {
      for (int c = 0; c < count; ++c) {
        odd.mass.push_back(static_cast<float>(mass));
        odd.det_x.push_back(0.0f);
        odd.det_y.push_back(0.0f);
        odd.v_dc.push_back(5.0f);
      }
    };
    put(55.9349375, 4000);
    put(55.9349375 / 2, 1000);
    put(51.9405075, 1000);
    put(51.9405075 / 4, 500);
    write(odd, "four.epos");
  }
  ~alloy_files() { fs::remove_all(dir); }

  void write(apt::ion_columns& ions, const std::string& name) const {
    const std::size_t n = ions.mass.size();
    ions.x = ions.det_x;
    ions.y = ions.det_y;
    ions.z = ions.tof = ions.v_pulse = std::vector<float>(n, 0.0f);
    ions.pulse_delta = ions.multiplicity = std::vector<std::uint32_t>(n, 1);
    const auto bytes = apt::encode_data(apt::data_format::epos, ions);
    const void* raw = bytes.data();
    std::ofstream(dir / name, std::ios::binary)
        .write(static_cast<const char*>(raw), static_cast<std::streamsize>(bytes.size()));
  }

  std::string path(const std::string& name) const { return (dir / name).string(); }
  std::vector<std::string> files(const std::string& data = "alloy.epos",
                                 const std::string& ranges = "alloy.rrng") const {
    return {"--data", path(data), "--ranges", path(ranges)};
  }
  dataset_inputs inputs(const std::string& data = "alloy.epos",
                        const std::string& ranges = "alloy.rrng") const {
    return read_inputs(path(data), path(ranges));
  }
};

}  // namespace

TEST(JointCommands, FieldOfTheRunInWordsAndRows) {
  const alloy_files files;
  const auto words = run(with({"field"}, files.files()));
  ASSERT_EQ(words.status, exit_ok) << words.err;
  EXPECT_EQ(words.out.rfind("alloy.epos: ", 0), 0u) << words.out;
  EXPECT_NE(words.out.find("One field from Cr (n = 2, counted at 1+, 2+), Fe (n = 2"),
            std::string::npos)
      << words.out;
  EXPECT_NE(words.out.find("The ranges are taken as background-free"), std::string::npos);
  EXPECT_NE(words.out.find(" V/nm) from Cr, Fe\n"), std::string::npos) << words.out;
  EXPECT_NE(words.out.find("\nEach element alone:\n  Cr: E = "), std::string::npos) << words.out;
  EXPECT_NE(words.out.find("\nDecomposition of the range counts"), std::string::npos);
  EXPECT_NE(words.out.find("\n  Fe2+: "), std::string::npos);
  EXPECT_NE(words.out.find("counting statistics only"), std::string::npos);
  EXPECT_TRUE(words.err.empty()) << words.err;

  // The rows are the compute layer's for the same request, byte for byte.
  const auto in = files.inputs();
  const auto rows = run(with({"field", "--csv"}, files.files()));
  ASSERT_EQ(rows.status, exit_ok) << rows.err;
  EXPECT_EQ(rows.out, joined_lines(joint_field_csv_lines(
                          joint_field_of_run(in.data, in.ranges, joint_request{}).answer)));
  EXPECT_EQ(rows.out.substr(0, rows.out.find('\n')),
            "element,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,G2,dof,n,charges,counts,"
            "ions,used");
  EXPECT_EQ(lines_of(rows.out), 4u);  // header, all, Cr, Fe
  EXPECT_NE(rows.out.find("\nall,"), std::string::npos);
  EXPECT_NE(rows.out.find("\nCr,"), std::string::npos);
  // The words go to the error stream beside the rows.
  EXPECT_NE(rows.err.find(" V/nm) from Cr, Fe\n"), std::string::npos) << rows.err;

  // Named elements, n per element and for all, a level, the background.
  joint_request r;
  r.elements = {"Fe"};
  r.ionisations = {{"Fe", 3}};
  r.confidence = 0.9;
  r.counting.background = true;
  const auto named = run(with({"field", "--csv", "--elements", "iron", "--ionisations", "Fe:3",
                               "--confidence", "0.9", "--background"},
                              files.files()));
  ASSERT_EQ(named.status, exit_ok) << named.err;
  EXPECT_EQ(named.out,
            joined_lines(joint_field_csv_lines(joint_field_of_run(in.data, in.ranges, r).answer)));
  EXPECT_NE(named.err.find("One field from Fe (n = 3,"), std::string::npos) << named.err;
  EXPECT_NE(named.err.find("background window is subtracted"), std::string::npos);
  const auto all_three =
      run(with({"field", "--ionisations", "3", "--elements", "all"}, files.files()));
  ASSERT_EQ(all_three.status, exit_ok) << all_three.err;
  EXPECT_NE(all_three.out.find("Cr (n = 3, counted at 1+, 2+), Fe (n = 3,"), std::string::npos)
      << all_three.out;

  // The field of a ratio or of counts is as it always was.
  const auto counts =
      run({"field", "--element", "Tungsten", "--ionisations", "3", "--counts", "2+=1000,3+=500"});
  ASSERT_EQ(counts.status, exit_ok) << counts.err;
  EXPECT_EQ(counts.out.rfind("3+/2+ = 0.5 (counts 500 and 1000): E = 34.3576 V/nm", 0), 0u)
      << counts.out;
}

TEST(JointCommands, MapWritesTheComputeLayersCsvAndBothPanels) {
  const alloy_files files;
  const fs::path csv = files.dir / "map.csv", svg = files.dir / "map.svg";
  const auto map = run(with({"map", "--elements", "Fe,Cr", "--bin", "4", "--output", csv.string(),
                             "--image", svg.string()},
                            files.files()));
  ASSERT_EQ(map.status, exit_ok) << map.err;
  const auto in = files.inputs();
  joint_request r;
  r.elements = {"Fe", "Cr"};
  const joint_field_map expected = map_joint_field(in.data, in.ranges, r, map_plane::detector, 4.0);
  EXPECT_EQ(read_file(csv), joined_lines(joint_map_csv_lines(expected)));
  EXPECT_EQ(read_file(csv).rfind("x_mm,y_mm,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,"
                                 "p_value,E_Cr_V_per_nm,E_Fe_V_per_nm\n",
                                 0),
            0u);
  EXPECT_NE(map.out.find("Map: 2 bins of 4 mm with ions in the ranges, 2 with a joint field"),
            std::string::npos)
      << map.out;
  EXPECT_NE(map.out.find("Wrote " + csv.string()), std::string::npos);
  EXPECT_NE(map.out.find("Wrote " + svg.string()), std::string::npos);
  const std::string drawing = read_file(svg);
  EXPECT_NE(drawing.find("alloy.epos: joint field of Cr, Fe; bins of 4 mm"), std::string::npos);
  EXPECT_NE(drawing.find("p-value of the elements' agreement on one field"), std::string::npos);

  // On standard output: the CSV alone, the words on the error stream.
  const auto piped =
      run(with({"map", "--elements", "Fe,Cr", "--bin", "4", "--output", "-"}, files.files()));
  ASSERT_EQ(piped.status, exit_ok) << piped.err;
  EXPECT_EQ(piped.out, read_file(csv));
  EXPECT_NE(piped.err.find("Map: 2 bins"), std::string::npos);

  // Over the specimen, in nm, and with the pair's options still the pair's.
  const auto specimen =
      run(with({"map", "--elements", "all", "--over", "specimen", "--bin", "5", "--output", "-"},
               files.files()));
  ASSERT_EQ(specimen.status, exit_ok) << specimen.err;
  EXPECT_EQ(specimen.out.rfind("x_nm,y_nm,", 0), 0u) << specimen.out;
  const auto pair = run(with({"map", "--element", "Fe", "--ionisations", "2", "--pair", "2+/1+",
                              "--bin", "4", "--output", "-"},
                             files.files()));
  ASSERT_EQ(pair.status, exit_ok) << pair.err;
  EXPECT_EQ(pair.out.rfind("x_mm,y_mm,N_lower,N_upper,ratio,", 0), 0u) << pair.out;
}

TEST(JointCommands, ProfileWithTheTipRadiusForTheJointFieldAndThePair) {
  const alloy_files files;
  const std::string block = std::to_string(files.left_ions);
  const fs::path svg = files.dir / "profile.svg";
  const auto profile = run(with(
      {"profile", "--elements", "Fe,Cr", "--block", block, "--kf", "0.3", "--image", svg.string()},
      files.files()));
  ASSERT_EQ(profile.status, exit_ok) << profile.err;
  const auto in = files.inputs();
  joint_request r;
  r.elements = {"Fe", "Cr"};
  const joint_field_profile expected =
      profile_joint_field(in.data, in.ranges, r, files.left_ions, 0.3);
  EXPECT_EQ(profile.out, joined_lines(joint_profile_csv_lines(expected)));
  EXPECT_NE(profile.out.find(",V_dc_V,R_nm\n0," + std::to_string(files.left_ions - 1) + ","),
            std::string::npos)
      << profile.out;
  EXPECT_NE(profile.err.find("Profile: " + std::to_string(expected.blocks.size()) + " blocks of " +
                             block + " ions"),
            std::string::npos)
      << profile.err;
  const std::string drawing = read_file(svg);
  EXPECT_NE(drawing.find("alloy.epos: joint field of Cr, Fe; blocks of " + block + " ions"),
            std::string::npos);
  EXPECT_NE(drawing.find("log10 p"), std::string::npos);
  EXPECT_NE(drawing.find("R = V/(k_f E) [nm], k_f = 0.3"), std::string::npos);
  EXPECT_NE(drawing.find("Cr alone"), std::string::npos);

  // Without k_f: kfR_nm = V / E, and no radius drawn.
  const auto plain =
      run(with({"profile", "--elements", "Fe,Cr", "--block", block, "--image", svg.string()},
               files.files()));
  ASSERT_EQ(plain.status, exit_ok) << plain.err;
  EXPECT_NE(plain.out.find(",V_dc_V,kfR_nm\n"), std::string::npos);
  EXPECT_EQ(read_file(svg).find("R = V/(k_f E)"), std::string::npos);

  // The pair's profile takes --kf alike: its CSV and its figure.
  const auto pair = run(with({"profile", "--element", "Fe", "--ionisations", "2", "--pair", "2+/1+",
                              "--block", block, "--kf", "0.3", "--image", svg.string()},
                             files.files()));
  ASSERT_EQ(pair.status, exit_ok) << pair.err;
  profile_options o;
  o.block = files.left_ions;
  field_model model(*check_request({"Iron", "2", std::nullopt, std::nullopt}).request,
                    model_for(evaluation::accurate));
  EXPECT_EQ(pair.out, joined_lines(profile_csv_lines(
                          profile_field(in.data, in.ranges, model.inverter(1), o), 0.3)));
  EXPECT_NE(pair.out.find(",V_dc_V,R_nm\n"), std::string::npos);
  EXPECT_NE(read_file(svg).find("R = V/(k_f E) [nm], k_f = 0.3"), std::string::npos);
}

// Ranges that cannot tell two species apart, an element whose ions no field
// gives, and one ranged at a single charge: each said, naming it, and the
// rest of the answer given.
TEST(JointCommands, AwkwardRangesAndIonsAreNamed) {
  const alloy_files files;
  const auto singular = run(with({"field"}, files.files("alloy.epos", "singular.rrng")));
  ASSERT_EQ(singular.status, exit_ok) << singular.err;
  EXPECT_NE(singular.out.find("The ranges cannot tell Al+ and Cr2+ apart"), std::string::npos)
      << singular.out;
  EXPECT_NE(singular.out.find("  Cr2+: cannot be told apart from Al+"), std::string::npos);
  EXPECT_NE(singular.out.find("from Fe\n"), std::string::npos);

  const auto four = run(with({"field"}, files.files("four.epos", "four.rrng")));
  ASSERT_EQ(four.status, exit_ok) << four.err;
  EXPECT_NE(four.out.find(" V/nm) from Fe\n"), std::string::npos) << four.out;
  EXPECT_NE(four.out.find("Cr is left out here: no field of the model gives its ions (1+ 1000, "
                          "4+ 500) together"),
            std::string::npos)
      << four.out;
  EXPECT_EQ(four.out.find("nan"), std::string::npos);
  const auto only = run(with({"field", "--elements", "Cr"}, files.files("four.epos", "four.rrng")));
  EXPECT_EQ(only.status, exit_bad_input);
  EXPECT_NE(only.out.find("no field: no field of the model gives the ions of Cr\n"),
            std::string::npos)
      << only.out;
  const auto rows =
      run(with({"field", "--elements", "Cr", "--csv"}, files.files("four.epos", "four.rrng")));
  EXPECT_EQ(rows.status, exit_bad_input);
  EXPECT_NE(rows.out.find("\nall,nan,nan,nan,nan,nan,nan,nan,,,0,no\n"), std::string::npos)
      << rows.out;

  // Ranged at one charge: left out by default, refused when named.
  const auto one = run(with({"field"}, files.files("alloy.epos", "one.rrng")));
  ASSERT_EQ(one.status, exit_ok) << one.err;
  EXPECT_NE(one.out.find("One field from Fe (n = 2"), std::string::npos) << one.out;
}

TEST(JointCommands, BadInputIsNamedAndNothingIsWritten) {
  const alloy_files files;
  const std::string data = files.path("alloy.epos"), ranges = files.path("alloy.rrng");
  const fs::path out_csv = files.dir / "out.csv", out_svg = files.dir / "out.svg";
  const std::vector<std::string> outputs = {"--output", out_csv.string(), "--image",
                                            out_svg.string()};
  struct bad {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string missing = files.path("missing.epos");
  const std::vector<bad> cases = {
      {with({"field", "--elements", "Bi"}, files.files()), exit_bad_input,
       "alloy.rrng: the range file has no Bi ranges; it has Cr, Fe"},
      {with({"field", "--elements", "Unobtainium"}, files.files()), exit_bad_input,
       "unknown element \"Unobtainium\""},
      {with({"field", "--elements", "Fe,,Cr"}, files.files()), exit_bad_input,
       "--elements: an empty name in \"Fe,,Cr\""},
      {with({"field", "--elements", "Cr"}, files.files("alloy.epos", "one.rrng")), exit_bad_input,
       "one.rrng: Cr is ranged at 2+ only; a field needs ranges at two charges"},
      {with({"field", "--ionisations", "Fe:x"}, files.files()), exit_bad_input,
       "--ionisations: \"Fe:x\" is not an element and a whole number, e.g. Fe:2"},
      {with({"field", "--elements", "Fe", "--ionisations", "Cr:2"}, files.files()), exit_bad_input,
       "n is given for Cr, which is not among the elements of the field (Fe)"},
      {with({"field", "--ionisations", "Fe:7"}, files.files()), exit_bad_input,
       "Fe: --ionisations must be a whole number from 1 to 4"},
      {with({"field", "--confidence", "1.5"}, files.files()), exit_bad_input,
       "the confidence must lie between 0 and 1, not 1.5"},
      {with({"field", "--min-counts", "-1"}, files.files()), exit_bad_input,
       "the minimum counts must be a number of at least 0, not -1"},
      {{"field", "--data", data}, exit_bad_input, "--data requires --ranges"},
      {with({"field", "--ratio", "3+/2+=1"}, files.files()), exit_bad_input,
       "--ratio excludes --data"},
      {{"field", "--element", "Iron", "--ionisations", "2", "--elements", "Fe"},
       exit_bad_input,
       "--elements requires --data"},
      {{"field", "--element", "Iron", "--ionisations", "2", "--counts", "1+=5,2+=5", "--csv"},
       exit_bad_input,
       "--csv requires --data"},
      {{"field", "--data", missing, "--ranges", ranges},
       exit_calculation_failed,
       missing + ": cannot be opened for reading"},
      {with(with({"map", "--elements", "Fe,Cr", "--pair", "2+/1+"}, files.files()), outputs),
       exit_bad_input, "--pair excludes --elements"},
      {with(with({"map"}, files.files()), outputs), exit_bad_input,
       "--element is required (or --elements for the joint field of several elements)"},
      {with(with({"profile", "--element", "Fe", "--ionisations", "2"}, files.files()), outputs),
       exit_bad_input, "--pair is required"},
      {with(with({"map", "--elements", "Bi"}, files.files()), outputs), exit_bad_input,
       "the range file has no Bi ranges"},
      {with(with({"map", "--elements", "Fe", "--bin", "0"}, files.files()), outputs),
       exit_bad_input, "the bin size must be a finite number above 0, not 0"},
      {with({"map", "--elements", "Fe", "--image", out_csv.string()}, files.files()),
       exit_bad_input, "a figure is written as .svg, .pdf or .png"},
      {with({"map", "--elements", "Fe", "--output", (files.dir / "no" / "map.csv").string()},
            files.files()),
       exit_write_failed, "Could not write"},
      {with(with({"profile", "--elements", "Fe", "--kf", "-1"}, files.files()), outputs),
       exit_bad_input, "the field factor k_f must be a finite number above 0, not -1"},
      {with(with({"profile", "--element", "Fe", "--ionisations", "2", "--pair", "2+/1+", "--kf",
                  "0"},
                 files.files()),
            outputs),
       exit_bad_input, "the field factor k_f must be a finite number above 0, not 0"},
      {with(with({"profile", "--elements", "Fe", "--block", "0"}, files.files()), outputs),
       exit_bad_input, "--block: must be a whole number of at least 1, not \"0\""},
      {with(with({"profile", "--min-counts", "5", "--element", "Fe", "--ionisations", "2", "--pair",
                  "2+/1+"},
                 files.files()),
            outputs),
       exit_bad_input, "--min-counts requires --elements"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    std::string args;
    for (const auto& a : c.args) args += a + " ";
    EXPECT_EQ(r.status, c.status) << args << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("veltrane-curves: ", 0), 0u) << args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << args << "\n" << r.err;
    EXPECT_EQ(lines_of(r.err), 1u) << args << "\n" << r.err;
    EXPECT_FALSE(fs::exists(out_csv)) << args;
    EXPECT_FALSE(fs::exists(out_svg)) << args;
  }
  EXPECT_FALSE(fs::exists(files.dir / "no"));
}

TEST(JointCommands, TheMassToleranceReachesTheJointField) {
  const alloy_files files;
  // Iron's 56Fe2+ range placed 0.03 Da above the ion's m/q (27.967 Da), as a
  // calibration leaves it: read as Fe2+ within the default tolerance only.
  std::string shifted = alloy_ranges;
  const std::string range4 = "Range4=27.90 28.05";
  shifted.replace(shifted.find(range4), range4.size(), "Range4=27.997 28.05");
  std::ofstream(files.dir / "shifted.rrng") << shifted;
  const auto in = files.inputs("alloy.epos", "shifted.rrng");

  const auto by_default = run(with({"field", "--csv"}, files.files("alloy.epos", "shifted.rrng")));
  ASSERT_EQ(by_default.status, exit_ok) << by_default.err;
  EXPECT_EQ(by_default.out, joined_lines(joint_field_csv_lines(
                                joint_field_of_run(in.data, in.ranges, joint_request{}).answer)));

  joint_request strict;
  strict.charges = *parse_mass_tolerance("0", nullptr);
  const auto exact_masses = run(
      with({"field", "--csv", "--mass-tolerance", "0"}, files.files("alloy.epos", "shifted.rrng")));
  ASSERT_EQ(exact_masses.status, exit_ok) << exact_masses.err;
  EXPECT_EQ(
      exact_masses.out,
      joined_lines(joint_field_csv_lines(joint_field_of_run(in.data, in.ranges, strict).answer)));
  EXPECT_NE(exact_masses.out, by_default.out);

  const auto refused = run(with({"field", "--mass-tolerance", "2"}, files.files()));
  EXPECT_EQ(refused.status, exit_bad_input);
  EXPECT_NE(refused.err.find("mass tolerance"), std::string::npos) << refused.err;
  // Without a run there are no ranges to place.
  const auto without_data = run(
      {"field", "--element", "W", "--ionisations", "3", "--ratio", "1", "--mass-tolerance", "0.1"});
  EXPECT_NE(without_data.status, exit_ok);
}
