#include "cli/dataset_commands.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "apt/data_file.hpp"
#include "cli/cli.hpp"
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
            "element,charge,ranges,counts,isotope_abundance_percent,corrected_counts");
  EXPECT_NE(epos.out.find("\nW,2+,90.85-91.09;91.3-91.6;91.86-92.1,510,71.45,"), std::string::npos)
      << epos.out;
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
                           "isotopes 182W 183W 184W 186W (99.88 %); corrected 310.372\n"),
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
       "the bin size must be a finite number above 0, not 0"},
      {with(with({"map", "--output", (data.dir / "no" / "map.csv").string()}, data.files()),
            tungsten_pair),
       exit_write_failed, "Could not write"},
      {with(with({"profile", "--block", "0"}, data.files()), tungsten_pair), exit_bad_input,
       "a block must hold at least 1 ion"},
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
