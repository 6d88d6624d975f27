#include "cli/cli.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

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

fs::path scratch_dir() {
  const fs::path dir = fs::temp_directory_path() / ("veltrane-cli-" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir;
}

// Tungsten, n = 2: fast with the real model.
const std::vector<std::string> tungsten2 = {"--element",  "Tungsten",        "--ionisations",
                                            "2",          "--work-function", "4.55",
                                            "--energies", "7.864,16.37,26.0"};

}  // namespace

TEST(CommandLine, BadInputExitsWithTwoAndOneLine) {
  const std::vector<std::vector<std::string>> bad = {
      {"--element", "Tungstn", "--ionisations", "1", "--work-function", "4.55", "--energies",
       "7,16"},
      {"--element", "Tungsten", "--ionisations", "5", "--work-function", "4.55", "--energies",
       "1,2"},
      {"--element", "Tungsten", "--ionisations", "1.5", "--work-function", "4.55", "--energies",
       "1,2"},
      {"--element", "Tungsten", "--ionisations", "2", "--work-function", "4.55", "--energies",
       "7,16"},
      {"--element", "Tungsten", "--ionisations", "1", "--work-function", "4,55", "--energies",
       "7,16"},
      {"--element", "Tungsten", "--ionisations", "1", "--work-function", "4.55", "--energies",
       "7,x"},
      {"--element", "Tungsten", "--ionisations", "1", "--work-function", "4.55", "--energies",
       "7,1e400"},
      {"--element", "Tungsten", "--ionisations", "1", "--work-function", "4.55"},
      {"--bogus"},
      {"--threads", "0", "--example"},
      {},
  };
  for (const auto& args : bad) {
    const auto r = run(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.status, exit_bad_input) << joined;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << joined << "\n" << r.err;
    EXPECT_EQ(r.err.rfind("veltrane-curves: ", 0), 0u) << r.err;
    EXPECT_TRUE(r.out.empty()) << joined;
  }
  const auto unknown = run(bad[0]);
  EXPECT_NE(unknown.err.find("Tungsten"), std::string::npos) << "suggests the closest name";
  EXPECT_EQ(closest_element_names("Calcium").front(), "Calicum");
  EXPECT_EQ(closest_element_names("titanium").front(), "Titan");
}

TEST(CommandLine, InformationalFlags) {
  auto r = run({"--version"});
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_EQ(r.out, "veltrane-curves 1.0.0\n");
  r = run({"--help"});
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_NE(r.out.find("--energies"), std::string::npos);
  r = run({"--list-elements"});
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 44);
  EXPECT_NE(r.out.find("Calicum  period 4  mass 40.078 u"), std::string::npos);
}

TEST(CommandLine, WritesTheWindowsBytesAndATable) {
  const fs::path dir = scratch_dir();
  const fs::path file = dir / "w2.txt";
  auto args = tungsten2;
  args.insert(args.end(), {"--output", file.string()});
  auto r = run(args);
  ASSERT_EQ(r.status, exit_ok) << r.err;
  // Golden bytes, made by this program with the real model and checked by
  // reading: Tungsten, n = 2, work function 4.55 eV.
  EXPECT_EQ(read_file(file), read_file(fs::path(VELTRANE_TEST_DATA) / "tungsten_n2.txt"));
  EXPECT_NE(r.out.find("1     1+ -> 2+"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2     2+ -> 3+"), std::string::npos) << r.out;

  // "-" writes the same bytes to standard output, and no table.
  args = tungsten2;
  args.insert(args.end(), {"--output", "-", "--threads", "1"});
  r = run(args);
  ASSERT_EQ(r.status, exit_ok) << r.err;
  EXPECT_EQ(r.out, read_file(file));

  // Case-insensitive element names resolve to the table's key.
  args = tungsten2;
  args[1] = "tungsten";
  args.insert(args.end(), {"--output", "-"});
  EXPECT_EQ(run(args).out, read_file(file));
}

TEST(CommandLine, UnwritableOutputExitsWithOne) {
  const fs::path dir = scratch_dir() / "a-folder";
  fs::create_directories(dir);
  auto args = tungsten2;
  args.insert(args.end(), {"--output", dir.string()});
  auto r = run(args);
  EXPECT_EQ(r.status, exit_write_failed);
  EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("2+ -> 3+"), std::string::npos) << "the table is still printed";
  // A folder where nothing can be created, not even by root.
  args = tungsten2;
  args.insert(args.end(), {"--output", "/proc/data.txt"});
  r = run(args);
  EXPECT_EQ(r.status, exit_write_failed);
  EXPECT_NE(r.err.find("Could not write /proc/data.txt"), std::string::npos) << r.err;
  if (fs::exists("/dev/full")) {
    args = tungsten2;
    args.insert(args.end(), {"--output", "/dev/full"});
    r = run(args);
    EXPECT_EQ(r.status, exit_write_failed);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  }
}

TEST(CommandLine, FailingStandardOutputExitsWithOne) {
  std::ostringstream out, err;
  out.setstate(std::ios::badbit);  // as a full disk behind "> file" leaves it
  auto args = tungsten2;
  args.insert(args.end(), {"--output", "-"});
  EXPECT_EQ(run_cli(args, out, err), exit_write_failed);
  EXPECT_NE(err.str().find("could not write to standard output"), std::string::npos);
}

TEST(CommandLine, HalfCrossingInterpolates) {
  step_curve s{1, {{0, 10.0, 0.9}, {0, 20.0, NAN}, {0, 30.0, 0.7}, {0, 40.0, 0.3}, {0, 50.0, 0.1}}};
  EXPECT_DOUBLE_EQ(half_crossing_field(s), 35.0);
  step_curve never{1, {{0, 10.0, 0.9}, {0, 20.0, 0.8}}};
  EXPECT_TRUE(std::isnan(half_crossing_field(never)));
  step_curve exact{1, {{0, 10.0, 0.9}, {0, 20.0, 0.5}}};
  EXPECT_EQ(half_crossing_field(exact), 20.0);
}
