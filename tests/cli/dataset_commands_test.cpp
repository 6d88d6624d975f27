#include "cli/dataset_commands.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "apt/data_file.hpp"
#include "cli/cli.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/figures/figure_file.hpp"
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

void write_bytes(const fs::path& p, const void* data, std::size_t size) {
  std::ofstream out(p, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::size_t lines_of(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// 184W at 3+ and 2+ in the ranges of 182W to 186W at 3+ and of all but
// 186W at 2+; an O2 range beside 186W3+.
constexpr const char* tungsten_ranges =
    "[Ions]\nNumber=2\nIon1=W\nIon2=O\n[Ranges]\nNumber=8\n"
    "Range1=60.57 60.73 Vol:0.01585 W:1 Color:FF0000\n"
    "Range2=60.90 61.06 Vol:0.01585 W:1 Color:FF0000\n"
    "Range3=61.24 61.40 Vol:0.01585 W:1 Color:FF0000\n"
    "Range4=61.90 62.06 Vol:0.01585 W:1 Color:FF0000\n"
    "Range5=61.76 61.86 Vol:0.02 O:2 Color:00FF00\n"
    "Range6=90.85 91.09 Vol:0.01585 W:1 Color:0000FF\n"
    "Range7=91.30 91.60 Vol:0.01585 W:1 Color:0000FF\n"
    "Range8=91.86 92.10 Vol:0.01585 W:1 Color:0000FF\n";

// A run of 1000 ions: on the detector at (1, 1) mm 300 of 184W3+ and 500 of
// 184W2+; at (-3, 1) mm 10 of each (a bin below 100 ions of the pair); at
// (5, 5) mm 180 ions of 50 Da, in no range. Written as .pos, .epos and .apt
// into a folder of its own.
struct tungsten_run {
  fs::path dir;
  fs::path ranges;

  tungsten_run() {
    dir = fs::temp_directory_path() / ("veltrane-datasets-" + std::to_string(getpid()));
    fs::create_directories(dir);
    apt::ion_columns ions;
    auto add = [&](int count, float mass, float x, float y) {
      for (int i = 0; i < count; ++i) {
        ions.mass.push_back(mass);
        ions.det_x.push_back(x);
        ions.det_y.push_back(y);
        ions.x.push_back(x * 0.4f);
        ions.y.push_back(y * 0.4f);
        ions.z.push_back(static_cast<float>(ions.mass.size()) * 0.01f);
        ions.multiplicity.push_back(1);
      }
    };
    add(300, 61.32f, 1.0f, 1.0f);
    add(500, 91.97f, 1.0f, 1.0f);
    add(10, 61.32f, -3.0f, 1.0f);
    add(10, 91.97f, -3.0f, 1.0f);
    add(180, 50.0f, 5.0f, 5.0f);
    for (const auto format :
         {apt::data_format::pos, apt::data_format::epos, apt::data_format::apt}) {
      const auto bytes = apt::encode_data(format, ions);
      write_bytes(file(format), bytes.data(), bytes.size());
    }
    ranges = dir / "W.rrng";
    std::ofstream(ranges) << tungsten_ranges;
  }
  ~tungsten_run() { fs::remove_all(dir); }

  fs::path file(apt::data_format format) const {
    return dir / ("run." + std::string(apt::format_name(format)));
  }
  std::vector<std::string> files(apt::data_format format = apt::data_format::epos) const {
    return {"--data", file(format).string(), "--ranges", ranges.string()};
  }
};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> tungsten_pair = {"--element", "Tungsten", "--ionisations",
                                                "4",         "--pair",   "3+/2+"};

}  // namespace

TEST(DatasetCommands, CountsAreExactAndTheSameInEveryFormat) {
  const tungsten_run data;
  const auto epos = run(with({"counts", "--csv"}, data.files()));
  ASSERT_EQ(epos.status, exit_ok) << epos.err;
  // The ranges cover 182W to 186W at 3+ (99.88 %) and all but 186W at 2+
  // (71.45 %).
  EXPECT_EQ(epos.out.substr(0, epos.out.find('\n')),
            "element,charge,ranges,counts,isotope_abundance_percent,corrected_counts,"
            "decomposed_counts,decomposed_sigma,range_miss_da");
  // Derived numbers to 3 decimals; no peak is shared, so the decomposition
  // is the isotope-corrected count, its sigma sqrt(N) / A.
  EXPECT_NE(epos.out.find("\nW,2+,90.85-91.09;91.3-91.6;91.86-92.1,510,71.45,713.786,713.786,"
                          "31.607,0;0;0\n"),
            std::string::npos)
      << epos.out;
  // The O2 range beside 186W3+ is counted under its own name.
  EXPECT_NE(epos.out.find("\nO2,,61.76-61.86,0,nan,nan,0,nan,\n"), std::string::npos) << epos.out;
  EXPECT_NE(epos.out.find("\nW,3+,60.57-60.73;60.9-61.06;61.24-61.4;61.9-62.06,310,99.88,"),
            std::string::npos)
      << epos.out;
  for (const auto format : {apt::data_format::pos, apt::data_format::apt}) {
    const auto other = run(with({"counts", "--csv"}, data.files(format)));
    EXPECT_EQ(other.status, exit_ok) << other.err;
    EXPECT_EQ(other.out, epos.out) << apt::format_name(format);
  }
  // In words, by symbol.
  const auto words = run(with({"counts", "--element", "W"}, data.files()));
  ASSERT_EQ(words.status, exit_ok) << words.err;
  EXPECT_EQ(words.out.substr(0, words.out.find('\n')), "run.epos: 1000 ions");
  EXPECT_NE(words.out.find("W 3+: 310 ions in 60.57-60.73, 60.9-61.06, 61.24-61.4, 61.9-62.06 Da; "
                           "isotopes 182W 183W 184W 186W (99.88 %); corrected 310.372; decomposed "
                           "310.372 \u00b1 17.628\n"),
            std::string::npos)
      << words.out;
}

TEST(DatasetCommands, MapWritesItsCsvAndFigureAndSaysTheOverallField) {
  const tungsten_run data;
  const fs::path csv = data.dir / "map.csv", svg = data.dir / "map.svg";
  const auto map =
      run(with(with({"map"}, data.files()),
               with(tungsten_pair, {"--output", csv.string(), "--image", svg.string()})));
  ASSERT_EQ(map.status, exit_ok) << map.err;
  EXPECT_EQ(map.out.rfind("W 3+/2+ = ", 0), 0u) << map.out;
  EXPECT_NE(map.out.find("(counts 310 and 510, isotope-corrected): E = "), std::string::npos);
  EXPECT_NE(map.out.find("Map: 2 bins of 2 mm with ions of the pair, 1 with a field, 1 masked"),
            std::string::npos)
      << map.out;
  EXPECT_NE(map.out.find("counting statistics only"), std::string::npos);
  const std::string table = read_file(csv);
  EXPECT_EQ(table.substr(0, table.find('\n')),
            "x_mm,y_mm,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm");
  EXPECT_EQ(lines_of(table), 3u);
  EXPECT_NE(table.find("\n-3,1,10,10,nan,nan,nan,nan\n"), std::string::npos) << table;
  EXPECT_NE(table.find("\n1,1,500,300,"), std::string::npos) << table;
  EXPECT_EQ(read_file(svg).rfind("<?xml", 0), 0u);

  // On standard output: the CSV alone, the words on the error stream.
  const auto piped = run(with(with({"map"}, data.files()), with(tungsten_pair, {"--output", "-"})));
  ASSERT_EQ(piped.status, exit_ok) << piped.err;
  EXPECT_EQ(piped.out, table);
  EXPECT_NE(piped.err.find("W 3+/2+ = "), std::string::npos);

  // Over the specimen, in nm.
  const auto specimen = run(with(with({"map", "--over", "specimen", "--bin", "1"}, data.files()),
                                 with(tungsten_pair, {"--output", "-"})));
  ASSERT_EQ(specimen.status, exit_ok) << specimen.err;
  EXPECT_EQ(specimen.out.rfind("x_nm,y_nm,", 0), 0u) << specimen.out;
}

TEST(DatasetCommands, ProfileOfBlocksOfIons) {
  const tungsten_run data;
  const auto profile = run(with(with({"profile", "--block", "400"}, data.files()),
                                {"--element", "W", "--ionisations", "4", "--pair", "2+/3+"}));
  ASSERT_EQ(profile.status, exit_ok) << profile.err;
  EXPECT_EQ(profile.out.substr(0, profile.out.find('\n')),
            "first_ion,last_ion,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,"
            "V_dc_V,kfR_nm");
  // Ions 0-399 (300 of 3+, 100 of 2+), 400-799 (400 of 2+), 800-999.
  EXPECT_EQ(lines_of(profile.out), 4u);
  EXPECT_NE(profile.out.find("\n0,399,100,300,"), std::string::npos) << profile.out;
  EXPECT_NE(profile.out.find("\n400,799,400,0,0,nan,"), std::string::npos) << profile.out;
  EXPECT_NE(profile.err.find("W 3+/2+ = "), std::string::npos);
}

// The figures of a map and a profile in every format: SVG and PDF drawn by
// the program itself, PNG by the rasteriser the program installs (here a
// stand-in), and a rasteriser's failure reported as a failed write.
TEST(DatasetCommands, FiguresInEveryFormat) {
  const tungsten_run data;
  const fs::path svg = data.dir / "profile.svg", pdf = data.dir / "profile.PDF";
  for (const fs::path& image : {svg, pdf}) {
    const auto r = run(with(with({"profile", "--block", "400", "--output", "-"}, data.files()),
                            with(tungsten_pair, {"--image", image.string()})));
    ASSERT_EQ(r.status, exit_ok) << r.err;
    EXPECT_NE(r.err.find("Wrote " + image.string()), std::string::npos) << r.err;
  }
  const std::string drawing = read_file(svg);
  EXPECT_NE(drawing.find("W 3+/2+, run.epos, blocks of 400 ions"), std::string::npos);
  EXPECT_NE(drawing.find("mean DC voltage of the block"), std::string::npos);
  EXPECT_EQ(read_file(pdf).rfind("%PDF-1.4", 0), 0u);

  struct uninstall {
    ~uninstall() { install_png_rasteriser(nullptr); }
  } guard;
  std::string drawn;
  install_png_rasteriser([&drawn](const std::string& source, std::string& png) {
    drawn = source;
    png = "\x89PNG stand-in";
    return std::optional<std::string>{};
  });
  const fs::path png = data.dir / "map.png";
  const auto map = run(with(with({"map", "--image", png.string()}, data.files()), tungsten_pair));
  ASSERT_EQ(map.status, exit_ok) << map.err;
  EXPECT_EQ(read_file(png), "\x89PNG stand-in");
  EXPECT_NE(drawn.find("E [V/nm]"), std::string::npos);

  install_png_rasteriser(
      [](const std::string&, std::string&) { return std::optional<std::string>{"no memory"}; });
  const auto failed =
      run(with(with({"map", "--image", png.string()}, data.files()), tungsten_pair));
  EXPECT_EQ(failed.status, exit_write_failed);
  EXPECT_NE(failed.err.find("Could not draw"), std::string::npos) << failed.err;
  EXPECT_NE(failed.err.find("no memory"), std::string::npos) << failed.err;
  EXPECT_EQ(read_file(png), "\x89PNG stand-in");  // the earlier file is kept
}

TEST(DatasetCommands, BadInputNamesTheFileAndWhatIsWrong) {
  const tungsten_run data;
  const std::string epos = data.file(apt::data_format::epos).string();
  const std::string rrng = data.ranges.string();
  // A .pos file that is not a whole number of records.
  const fs::path broken = data.dir / "broken.pos";
  const char seventeen[17] = {};
  write_bytes(broken, seventeen, sizeof seventeen);
  struct bad {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string missing = (data.dir / "missing.epos").string();
  const std::vector<bad> cases = {
      {{"counts", "--data", missing, "--ranges", rrng},
       exit_calculation_failed,
       missing + ": cannot be opened for reading: No such file or directory"},
      {{"counts", "--data", data.dir.string(), "--ranges", rrng},
       exit_calculation_failed,
       data.dir.string() + ": is not a regular file (a folder)"},
      {{"counts", "--data", broken.string(), "--ranges", rrng}, exit_bad_input, broken.string()},
      {{"counts", "--data", epos, "--ranges", epos}, exit_bad_input, epos},
      {{"counts", "--data", epos, "--ranges", rrng, "--element", "Wolfram"},
       exit_bad_input,
       "unknown element \"Wolfram\""},
      {with(with({"map"}, data.files()),
            {"--element", "W", "--ionisations", "4", "--pair", "4+/2+"}),
       exit_bad_input, "--pair: 4+ and 2+ are not neighbouring charge states"},
      {with(with({"map", "--image", "map.gif"}, data.files()), tungsten_pair), exit_bad_input,
       "--image: \"map.gif\": a figure is written as .svg, .pdf or .png"},
      {with(with({"map", "--image", "map.png"}, data.files()), tungsten_pair), exit_bad_input,
       "this build draws figures as .svg and .pdf only"},
      {with(with({"profile", "--image", "profile.txt"}, data.files()), tungsten_pair),
       exit_bad_input, "a figure is written as .svg, .pdf or .png"},
      {with(with({"map", "--bin", "0"}, data.files()), tungsten_pair), exit_bad_input,
       "--bin: the bin size must be a finite number above 0, not 0"},
      {with(with({"map", "--output", (data.dir / "no" / "map.csv").string()}, data.files()),
            tungsten_pair),
       exit_write_failed, "Could not write"},
      {with(with({"profile", "--block", "0"}, data.files()), tungsten_pair), exit_bad_input,
       "--block: must be a whole number of at least 1, not \"0\""},
      {{"map", "--data", epos}, exit_bad_input, "--ranges is required"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
    EXPECT_EQ(r.err.rfind("veltrane-curves: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(lines_of(r.err), 1u) << r.err;
  }
  EXPECT_FALSE(fs::exists(data.dir / "no"));
}

namespace {

struct ion {
  float mass, x = 0.0f, y = 0.0f;
  std::uint32_t multiplicity = 1;
};

// `count` ions alike.
std::vector<ion> many(int count, ion i) {
  return std::vector<ion>(static_cast<std::size_t>(count), i);
}

std::vector<ion> joined(std::vector<std::vector<ion>> parts) {
  std::vector<ion> all;
  for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// An .epos of `ions` and a range file of `ranges` in a folder of their own.
struct small_files {
  fs::path dir;
  fs::path data, ranges;
  small_files(const std::string& name, const std::vector<ion>& ions, const std::string& range_text,
              const std::string& range_name = "ranges.rrng") {
    dir = fs::temp_directory_path() / ("veltrane-" + name + "-" + std::to_string(getpid()));
    fs::create_directories(dir);
    apt::ion_columns c;
    for (const auto& i : ions) {
      c.mass.push_back(i.mass);
      c.det_x.push_back(i.x);
      c.det_y.push_back(i.y);
      c.multiplicity.push_back(i.multiplicity);
    }
    data = dir / "run.epos";
    const auto bytes = apt::encode_data(apt::data_format::epos, c);
    write_bytes(data, bytes.data(), bytes.size());
    ranges = dir / range_name;
    std::ofstream(ranges, std::ios::binary) << range_text;
  }
  ~small_files() { fs::remove_all(dir); }
  std::vector<std::string> files() const {
    return {"--data", data.string(), "--ranges", ranges.string()};
  }
};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

// A range a hair off the isotope's m/q (13.991-14.039 Da misses 28Si2+ at
// 13.9885 Da) takes the charge within the mass tolerance, and `counts` says
// so and by how much; the tolerance is the user's to set or switch off.
TEST(DatasetCommands, TheMassToleranceAssignsNearMissesAndCountsSaysSo) {
  const small_files f("tolerance",
                      joined({many(50, {27.977f}), many(30, {14.01f}), many(4, {7.0f})}),
                      "[Ions]\nNumber=1\nIon1=Si\n[Ranges]\nNumber=2\n"
                      "Range1=27.95 28.00 Vol:0.02 Si:1\n"
                      "Range2=13.991 14.039 Vol:0.02 Si:1\n");
  const auto words = run(with({"counts", "--element", "Silicon"}, f.files()));
  ASSERT_EQ(words.status, exit_ok) << words.err;
  EXPECT_TRUE(has(words.out, "\nSi 2+: 30 ions in 13.991-14.039 Da; isotopes 28Si (92.2297 %)"))
      << words.out;
  EXPECT_TRUE(has(words.out,
                  "\n  13.991-14.039 Da: assigned by the mass tolerance: 28Si2+ lies 0.00253673 Da "
                  "below it (tolerance 0.05 Da)\n"))
      << words.out;
  // The range's own note on the error stream, as for every range read so.
  EXPECT_TRUE(has(words.err, "ranges.rrng:7: no isotope of Si lies in the range")) << words.err;
  const auto csv = run(with({"counts", "--csv"}, f.files()));
  ASSERT_EQ(csv.status, exit_ok) << csv.err;
  EXPECT_TRUE(has(csv.out, "\nSi,2+,13.991-14.039,30,92.2297,32.527,32.527,5.939,-0.002537\n"))
      << csv.out;
  EXPECT_TRUE(has(csv.out, "\nSi,1+,27.95-28,50,92.2297,54.212,54.212,7.667,0\n")) << csv.out;

  // Switched off, or narrower than the miss: the range is left out, and said.
  // (0.001 alone keeps the per-cent term, 0.3 % of 14 Da: 0.042 Da.)
  for (const std::string tolerance : {"0", "0.001,0.01%", "0.002,0%"}) {
    const auto off = run(with({"counts", "--csv", "--mass-tolerance", tolerance}, f.files()));
    ASSERT_EQ(off.status, exit_ok) << tolerance << off.err;
    EXPECT_FALSE(has(off.out, "Si,2+,13.991")) << tolerance << off.out;
    EXPECT_TRUE(has(off.err, "no isotope of Si at charges 1\u20138 lies in 13.991\u201314.039 Da"))
        << tolerance << off.err;
  }
  // Wider in per cent: 0.3 % of 14 Da is 0.042 Da, 1 % is 0.14 Da.
  const auto wide = run(with({"counts", "--csv", "--mass-tolerance", "0.001,1%"}, f.files()));
  ASSERT_EQ(wide.status, exit_ok) << wide.err;
  EXPECT_TRUE(has(wide.out, "\nSi,2+,13.991-14.039,30,")) << wide.out;
  const auto bad = run(with({"counts", "--mass-tolerance", "0.05 Da"}, f.files()));
  EXPECT_EQ(bad.status, exit_bad_input);
  EXPECT_EQ(bad.err,
            "veltrane-curves: --mass-tolerance: a mass tolerance is a mass in Da (0.05), a share "
            "of m/q in per cent (0.3%) or both (0.05,0.3%), not \"0.05 Da\"\n");
}

// Ions that are no element (a user's label "Uo1", a molecule) are counted
// under their own names and in no element's count.
TEST(DatasetCommands, NamesThatAreNoElementAreCountedUnderTheirOwnName) {
  const small_files f("names", joined({many(12, {61.32f}), many(7, {40.0f}), many(3, {66.3f})}),
                      "[Ions]\nNumber=3\nIon1=W\nIon2=Uo1\nIon3=O\n[Ranges]\nNumber=3\n"
                      "Range1=61.24 61.40 Vol:0.01 W:1\n"
                      "Range2=39.9 40.1 Vol:0.01 Uo1:1\n"
                      "Range3=66.2 66.4 Vol:0.01 W:1 O:1\n");
  const auto words = run(with({"counts"}, f.files()));
  ASSERT_EQ(words.status, exit_ok) << words.err;
  EXPECT_TRUE(has(words.out, "\nW 3+: 12 ions in 61.24-61.4 Da;")) << words.out;
  EXPECT_TRUE(has(words.out,
                  "\nUo1: 7 ions in 39.9-40.1 Da, counted under its own name (no element's "
                  "count); decomposed 7 \u00b1 2.64575\n"))
      << words.out;
  EXPECT_TRUE(has(words.out, "\nWO: 3 ions in 66.2-66.4 Da, counted under its own name"))
      << words.out;
  // One note names them.
  EXPECT_TRUE(
      has(words.err, "the ion 'Uo1' is no element: its ranges are read as ions of that name"))
      << words.err;
  const auto csv = run(with({"counts", "--csv"}, f.files()));
  EXPECT_TRUE(has(csv.out, "\nUo1,,39.9-40.1,7,nan,nan,7,2.646,\n")) << csv.out;
  // Counting tungsten alone leaves them out.
  const auto w = run(with({"counts", "--element", "w"}, f.files()));
  EXPECT_FALSE(has(w.out, "Uo1")) << w.out;
}

// The elements by symbol, English name or the list's own text, in any case;
// counts takes every element of the isotope table (Oxygen too), the model's
// commands only the 44.
TEST(DatasetCommands, ElementsByAnyOfTheirNames) {
  const small_files f("names-elements",
                      joined({many(20, {15.995f}), many(6, {23.97f}), many(9, {20.0f})}),
                      "[Ions]\nNumber=3\nIon1=O\nIon2=Ti\nIon3=Ca\n[Ranges]\nNumber=3\n"
                      "Range1=15.98 16.01 Vol:0.01 O:1\n"
                      "Range2=23.9 24.05 Vol:0.01 Ti:1\n"     // 48Ti2+
                      "Range3=19.95 20.05 Vol:0.01 Ca:1\n");  // 40Ca2+
  for (const auto& [name, line] :
       std::vector<std::pair<std::string, std::string>>{{"Oxygen", "O 1+: 20 ions"},
                                                        {"o", "O 1+: 20 ions"},
                                                        {"Titanium", "Ti 2+: 6 ions"},
                                                        {"Titan", "Ti 2+: 6 ions"},
                                                        {"TI", "Ti 2+: 6 ions"},
                                                        {"Calcium", "Ca 2+: 9 ions"},
                                                        {"calicum", "Ca 2+: 9 ions"}}) {
    const auto r = run(with({"counts", "--element", name}, f.files()));
    EXPECT_EQ(r.status, exit_ok) << name << r.err;
    EXPECT_TRUE(has(r.out, "\n" + line)) << name << r.out;
  }
  const auto oxygen_map = run(with(
      with({"map"}, f.files()), {"--element", "Oxygen", "--ionisations", "2", "--pair", "2+/1+"}));
  EXPECT_EQ(oxygen_map.status, exit_bad_input);
  EXPECT_EQ(oxygen_map.err,
            "veltrane-curves: Oxygen (O) is not one of the 44 elements of the model's table "
            "(see --list-elements)\n");
}

// A charge state whose ranges hold a sliver of its isotopes is corrected by
// a large factor: every door warns, naming it, and the field's answer says
// it rests on it.
TEST(DatasetCommands, IsotopeCoverageBelowTenPerCentIsWarnedAndTheAnswerSaysSo) {
  // 184W3+ and, at 2+, only 180W (0.12 %).
  const small_files f("coverage", joined({many(300, {61.32f, 1, 1}), many(5, {89.97f, 1, 1})}),
                      "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
                      "Range1=61.24 61.40 Vol:0.01 W:1\n"
                      "Range2=89.90 90.05 Vol:0.01 W:1\n");
  const std::string warning =
      "veltrane-curves: warning: W2+: its ranges cover only 0.12 % of W's isotopes (180W), so its "
      "corrected count is 833.333 times the ions counted; a field read from it rests on that "
      "factor\n";
  const auto counts = run(with({"counts"}, f.files()));
  ASSERT_EQ(counts.status, exit_ok) << counts.err;
  EXPECT_TRUE(has(counts.err, warning)) << counts.err;
  const auto map = run(with(with({"map", "--min-counts", "1"}, f.files()),
                            {"--element", "W", "--ionisations", "4", "--pair", "3+/2+"}));
  ASSERT_EQ(map.status, exit_ok) << map.err;
  EXPECT_TRUE(has(map.err, warning)) << map.err;
  EXPECT_TRUE(has(map.out,
                  "; caution: the ranges of W2+ cover only 0.12 % of its isotopes (a factor of "
                  "833.333)\n"))
      << map.out;
  const auto profile =
      run(with(with({"profile", "--output", (f.dir / "p.csv").string()}, f.files()),
               {"--element", "W", "--ionisations", "4", "--pair", "3+/2+"}));
  ASSERT_EQ(profile.status, exit_ok) << profile.err;
  EXPECT_TRUE(has(profile.err, warning)) << profile.err;
  EXPECT_TRUE(has(profile.out, "; caution: the ranges of W2+")) << profile.out;
}

// One line per range another ion may share: the three most likely, then how
// many more; --all-warnings names every one.
TEST(DatasetCommands, InterferencesInOneLineEachAndAllOfThemOnRequest) {
  // 54Fe2+ at 27 Da shares its range with 27Al+, 54Cr2+, 81Br3+ and 135Ba5+.
  const small_files f("interference", joined({many(10, {26.98f}), many(20, {27.95f})}),
                      "[Ions]\nNumber=5\nIon1=Fe\nIon2=Al\nIon3=Cr\nIon4=Br\nIon5=Ba\n"
                      "[Ranges]\nNumber=2\n"
                      "Range1=26.94 27.02 Vol:0.01 Fe:1\n"
                      "Range2=27.85 28.05 Vol:0.01 Fe:1\n");
  const auto lines_with = [](const std::string& err, const std::string& part) {
    std::istringstream in(err);
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);) {
      if (has(line, part)) found.push_back(line);
    }
    return found;
  };
  const auto shown = run(with({"counts", "--element", "Fe"}, f.files()));
  ASSERT_EQ(shown.status, exit_ok) << shown.err;
  const auto three = lines_with(shown.err, "warning: ");
  ASSERT_EQ(three.size(), 1u) << shown.err;
  EXPECT_TRUE(has(three[0], "the range 26.94\u201327.02 Da of 54Fe2+ also holds ")) << three[0];
  EXPECT_TRUE(has(three[0], " and 1 less likely ion")) << three[0];
  const auto all = run(with({"counts", "--element", "Fe", "--all-warnings"}, f.files()));
  const auto every = lines_with(all.err, "warning: ");
  ASSERT_EQ(every.size(), 1u) << all.err;
  for (const char* ion : {"27Al+", "54Cr2+", "81Br3+", "135Ba5+"}) {
    EXPECT_TRUE(has(every[0], ion)) << every[0];
  }
  EXPECT_FALSE(has(every[0], "less likely")) << every[0];
}

// A map bin with exactly --min-counts ions of the pair is kept, one with one
// fewer masked; the option reaches the map (the default of 100 masks the bin
// of 20).
TEST(DatasetCommands, MinCountsKeepsABinOfExactlyThatManyIons) {
  const tungsten_run data;
  const auto map_with = [&](const std::string& least) {
    std::vector<std::string> args = with({"map", "--output", "-"}, data.files());
    if (!least.empty()) args.insert(args.end(), {"--min-counts", least});
    return run(with(args, tungsten_pair));
  };
  // The bin at (-3, 1) mm holds 10 + 10 ions of the pair.
  const auto kept = map_with("20");
  ASSERT_EQ(kept.status, exit_ok) << kept.err;
  EXPECT_TRUE(has(kept.out, "\n-3,1,10,10,0.")) << kept.out;
  const auto masked = map_with("21");
  EXPECT_TRUE(has(masked.out, "\n-3,1,10,10,nan,nan,nan,nan\n")) << masked.out;
  EXPECT_TRUE(has(map_with("").out, "\n-3,1,10,10,nan,nan,nan,nan\n"));
  EXPECT_TRUE(has(map_with("5").out, "\n-3,1,10,10,0.")) << map_with("5").out;
}

// --background subtracts the ions of the window beside each range from the
// net count (not from the raw one); --single-hits keeps the ions of pulses
// of one hit, raw counts included.
TEST(DatasetCommands, BackgroundAndSingleHitsEachChangeWhatTheyShould) {
  // 184W3+ of one hit (100) and of two (40); 7 ions at 61.15 Da lie in the
  // free window 61.08-61.24 Da just below the range.
  const small_files f("background",
                      joined({many(100, {61.32f}), many(40, {61.32f, 0, 0, 2}), many(7, {61.15f})}),
                      "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
                      "Range1=61.24 61.40 Vol:0.01 W:1\n"
                      "Range2=91.86 92.10 Vol:0.01 W:1\n");
  const auto line_of = [&](const std::vector<std::string>& extra) {
    const auto r = run(with(with({"counts", "--csv"}, f.files()), extra));
    EXPECT_EQ(r.status, exit_ok) << r.err;
    const std::size_t at = r.out.find("\nW,3+,");
    return at == std::string::npos ? std::string()
                                   : r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  };
  const double a3 = 30.64 / 100.0;  // 184W alone
  const auto corrected = [a3](double net) { return fixed_number(net / a3, 3); };
  EXPECT_TRUE(has(line_of({}), ",140,30.64," + corrected(140) + ",")) << line_of({});
  EXPECT_TRUE(has(line_of({"--background"}), ",140,30.64," + corrected(133) + ","))
      << line_of({"--background"});
  EXPECT_TRUE(has(line_of({"--single-hits"}), ",100,30.64," + corrected(100) + ","))
      << line_of({"--single-hits"});
  EXPECT_TRUE(has(line_of({"--single-hits", "--background"}), ",100,30.64," + corrected(93) + ","))
      << line_of({"--single-hits", "--background"});
}

// --output or --image naming the data or the range file, under its own path
// or another, is refused before anything is read or written.
TEST(DatasetCommands, AnOutputThatWouldReplaceTheDatasetIsRefused) {
  const tungsten_run data;
  const std::string epos = data.file(apt::data_format::epos).string();
  const std::string before = read_file(epos), ranges_before = read_file(data.ranges);
  fs::create_symlink(data.ranges, data.dir / "link.rrng");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"map", "--output", epos}, "--output: " + epos + " is the data file " + epos},
      {{"map", "--output", (data.dir / "." / "run.epos").string()}, "is the data file"},
      {{"map", "--image", (data.dir / "link.rrng").string()}, "--image: "},
      {{"profile", "--output", (data.dir / "link.rrng").string()}, "is the range file"},
  };
  for (const auto& [args, message] : cases) {
    auto full = with(with(args, data.files()), tungsten_pair);
    const auto r = run(full);
    EXPECT_EQ(r.status, exit_bad_input) << args[2] << r.err;
    EXPECT_TRUE(has(r.err, message)) << r.err;
    EXPECT_EQ(lines_of(r.err), 1u) << r.err;
  }
  EXPECT_EQ(read_file(epos), before);
  EXPECT_EQ(read_file(data.ranges), ranges_before);
}

namespace {

// Runs the command line on `args` in a child process: its status and error
// text. The test's answer never waits on time; the deadline is only a safety
// net that kills a child stuck for a minute (it would wait on a pipe for
// ever) so that the test fails instead of hanging.
run_result run_in_child(const std::vector<std::string>& args) {
  int text[2];
  if (pipe(text) != 0) return {-1, "", "no pipe"};
  const pid_t child = fork();
  if (child == 0) {
    close(text[0]);
    std::ostringstream out, err;
    const int status = run_cli(args, out, err);
    const std::string said = err.str();
    [[maybe_unused]] const auto written = write(text[1], said.data(), said.size());
    _exit(status);
  }
  close(text[1]);
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(text[0]);
      return {-1, "", "still waiting after a minute"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::string err;
  char buffer[4096];
  for (ssize_t n; (n = read(text[0], buffer, sizeof buffer)) > 0;) {
    err.append(buffer, static_cast<std::size_t>(n));
  }
  close(text[0]);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", err};
}

}  // namespace

// A named pipe (with no writer) or a socket as --data or --ranges is refused
// at once, as a file that cannot be opened (status 1), never waited on.
TEST(DatasetCommands, APipeOrASocketAsInputIsRefusedAtOnce) {
  const tungsten_run data;
  const fs::path fifo = data.dir / "fifo.epos", socket_path = data.dir / "socket.rrng";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.string().size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, socket_path.c_str());
  ASSERT_EQ(bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::string epos = data.file(apt::data_format::epos).string();
  const std::string rrng = data.ranges.string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"counts", "--data", fifo.string(), "--ranges", rrng},
       fifo.string() + ": is not a regular file (a named pipe)"},
      {{"counts", "--data", epos, "--ranges", fifo.string()},
       fifo.string() + ": is not a regular file (a named pipe)"},
      {with(with({"map"}, {"--data", epos, "--ranges", socket_path.string()}), tungsten_pair),
       socket_path.string() + ": is not a regular file (a socket)"},
      {with(with({"profile"}, {"--data", socket_path.string(), "--ranges", rrng}), tungsten_pair),
       socket_path.string() + ": is not a regular file (a socket)"},
  };
  for (const auto& [args, message] : cases) {
    const auto r = run_in_child(args);
    EXPECT_EQ(r.status, exit_calculation_failed) << r.err;
    EXPECT_EQ(r.err, "veltrane-curves: " + message + "\n");
  }
  close(s);
}

namespace {

// Standard output on a full disk (as /dev/full): what is written is held
// until a block is full or the stream is flushed, and then cannot be written.
struct full_disk_buffer : std::streambuf {
  std::array<char, 4096> block{};
  full_disk_buffer() { setp(block.data(), block.data() + block.size()); }
  int overflow(int) override { return traits_type::eof(); }
  int sync() override { return pbase() == pptr() ? 0 : -1; }
};

}  // namespace

// Every command that prints ends with status 1 and one line saying so when
// standard output cannot be written, never with 0 and nothing written.
TEST(DatasetCommands, EveryPrintingCommandReportsAFullStandardOutput) {
  const tungsten_run data;
  const std::string folder = data.dir.string();
  const std::vector<std::string> w1 = {"--element", "Tungsten", "--ionisations", "1"};
  const std::vector<std::vector<std::string>> commands = {
      with(w1, {"--output", "-"}),
      with(w1, {"--output", folder + "/data.txt"}),  // the summary
      {"--list-elements"},
      {"--help"},
      {"--version"},
      {"map", "--help"},
      with(with({"fractions"}, w1), {"--from", "20", "--to", "21"}),
      with(with({"fractions"}, w1), {"--from", "20", "--to", "21", "--output", folder + "/f.csv"}),
      with({"equal-abundance"}, w1),
      with({"field"}, with(w1, {"--ratio", "2+/1+=1"})),
      {"atlas", "--elements", "Tungsten", "--output", folder + "/atlas.pdf"},
      with({"counts"}, data.files()),
      with({"counts", "--csv"}, data.files()),
      with(with({"map"}, data.files()), tungsten_pair),
      with(with({"map", "--output", "-"}, data.files()), tungsten_pair),
      with(with({"profile"}, data.files()), tungsten_pair),
      with(with({"profile", "--output", folder + "/p.csv"}, data.files()), tungsten_pair),
  };
  for (const auto& args : commands) {
    full_disk_buffer full;
    std::ostream out(&full);
    std::ostringstream err;
    const int status = run_cli(args, out, err);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(status, exit_write_failed) << joined << err.str();
    const std::string said = err.str();
    EXPECT_GE(said.size(), 52u) << joined;
    EXPECT_EQ(said.substr(said.size() < 52 ? 0 : said.size() - 52),
              "veltrane-curves: could not write to standard output\n")
        << joined << said;
    // Said once.
    EXPECT_EQ(said.find("could not write to standard output"),
              said.rfind("could not write to standard output"))
        << joined << said;
  }
}
