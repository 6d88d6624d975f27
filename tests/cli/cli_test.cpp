#include "cli/cli.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "compute/curves/elements.hpp"
#include "compute/curves/inputs.hpp"
#include "model/constants.hpp"
#include "model/fast_model.hpp"

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

TEST(CommandLine, BadInputExitsWithTwoAndItsMessage) {
  struct bad {
    std::vector<std::string> args;
    std::string message;
  };
  const std::string wf = "--work-function", en = "--energies", el = "--element",
                    io = "--ionisations";
  const std::vector<bad> cases = {
      {{el, "Tungstn", io, "1"},
       "unknown element \"Tungstn\"; closest: Tungsten, Titan, Tin (see --list-elements)"},
      // Refused by the command line's own check, never by the window's text.
      {{el, "Tungsten", io, "5"}, "--ionisations must be a whole number from 1 to 4, not \"5\""},
      {{el, "Tungsten", io, "1.5"},
       "--ionisations must be a whole number from 1 to 4, not \"1.5\""},
      {{el, "Tungsten"}, "--ionisations is required"},
      {{io, "2"}, "--element is required (or use --example)"},
      {{el, "Tungsten", io, "2", en, "7,16"}, "--energies needs 3 values for 2 ionisations, got 2"},
      {{el, "Tungsten", io, "1", wf, "4,55"}, "--work-function is not a number: \"4,55\""},
      {{el, "Tungsten", io, "1", en, "7,x"}, "ionisation energy 2 is not a number: \"x\""},
      {{el, "Tungsten", io, "1", en, "7,1e400"}, "ionisation energy 2 is not a number: \"1e400\""},
      {{el, "Beryllium", io, "4"}, "Beryllium has no 5th ionisation energy; give --energies"},
      {{"--bogus"}, "The following argument was not expected: --bogus"},
      {{"--threads", "0", "--example"},
       "--threads: must be a whole number from 1 to 1024, not \"0\""},
      {{}, "--element is required (or use --example)"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.status, exit_bad_input) << joined;
    EXPECT_EQ(r.err, "veltrane-curves: " + c.message + "\n") << joined;
    EXPECT_TRUE(r.out.empty()) << joined;
  }
}

TEST(CommandLine, InformationalFlags) {
  auto r = run({"--version"});
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_EQ(r.out.rfind("veltrane-curves 1.1.0\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("License GPL-3.0-or-later"), std::string::npos) << r.out;
  r = run({"--help"});
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_NE(r.out.find("--energies"), std::string::npos);
  r = run({"--list-elements"});
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 45);
  EXPECT_NE(
      r.out.find("\nCalicum     Ca      4       40.078    2.87      6.11315547     11.871719"),
      std::string::npos)
      << r.out;
  EXPECT_NE(
      r.out.find("\nBeryllium   Be      2       9.012     4.98      9.322699       18.21115   "
                 "153.896205  217.71858459  -\n"),
      std::string::npos)
      << r.out;
  // Every column starts where its header does, whatever the widths of its
  // values (Caesium's I1 has eleven decimals).
  EXPECT_NE(r.out.find("\nCaesium     Cs      6       132.905   1.95      3.89390572743  23.15745"),
            std::string::npos)
      << r.out;
  std::istringstream lines(r.out);
  std::string header, line;
  std::getline(lines, header);
  while (std::getline(lines, line)) {
    // A column starts after the two spaces that end the one before it.
    for (std::size_t c = 2; c < header.size(); ++c) {
      if (header[c - 2] == ' ' && header[c - 1] == ' ' && header[c] != ' ' && c < line.size()) {
        EXPECT_EQ(line[c - 1], ' ') << line;
        EXPECT_NE(line[c], ' ') << line;
      }
    }
  }
  r = run({"--list-elements", "--sources"});
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 45 + 88);
  EXPECT_NE(r.out.find("    ionisation energies: NIST ASD"), std::string::npos);
  EXPECT_NE(r.out.find("; NIST semi-empirical: I2,I3,I4,I5\n"), std::string::npos);
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
}

TEST(CommandLine, FullDiskExitsWithOne) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full: a full disk is not tried here";
  auto args = tungsten2;
  args.insert(args.end(), {"--output", "/dev/full"});
  const auto r = run(args);
  EXPECT_EQ(r.status, exit_write_failed);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
}

TEST(CommandLine, FailingStandardOutputExitsWithOne) {
  std::ostringstream out, err;
  out.setstate(std::ios::badbit);  // as a full disk behind "> file" leaves it
  auto args = tungsten2;
  args.insert(args.end(), {"--output", "-"});
  EXPECT_EQ(run_cli(args, out, err), exit_write_failed);
  EXPECT_NE(err.str().find("could not write to standard output"), std::string::npos);
}

namespace {

// A stream whose every write throws, as a failing library below it might.
struct throwing_buffer : std::streambuf {
  int overflow(int) override { throw std::runtime_error("the stand-in stream broke"); }
};

}  // namespace

TEST(CommandLine, AnyFailureEndsWithItsTextAndOne) {
  throwing_buffer buffer;
  std::ostream out(&buffer);
  out.exceptions(std::ios::badbit);
  std::ostringstream err;
  auto args = tungsten2;
  args.insert(args.end(), {"--output", "-"});
  EXPECT_EQ(run_cli(args, out, err), exit_calculation_failed);
  EXPECT_EQ(err.str(), "veltrane-curves: the stand-in stream broke\n");
}

TEST(CommandLine, HalfCrossingInterpolates) {
  step_curve s{1, {{0, 10.0, 0.9}, {0, 20.0, NAN}, {0, 30.0, 0.7}, {0, 40.0, 0.3}, {0, 50.0, 0.1}}};
  EXPECT_DOUBLE_EQ(half_crossing_field(s), 35.0);
  step_curve never{1, {{0, 10.0, 0.9}, {0, 20.0, 0.8}}};
  EXPECT_TRUE(std::isnan(half_crossing_field(never)));
  step_curve exact{1, {{0, 10.0, 0.9}, {0, 20.0, 0.5}}};
  EXPECT_EQ(half_crossing_field(exact), 20.0);
}

TEST(CommandLine, BuiltInValuesWriteTheBytesOfTheTypedOnes) {
  // n = 1 keeps it quick; the bytes of the two runs must be identical.
  const auto built_in = run({"--element", "Tungsten", "--ionisations", "1", "--output", "-"});
  const auto typed = run({"--element", "Tungsten", "--ionisations", "1", "--work-function", "4.55",
                          "--energies", "7.86403,16.37", "--output", "-"});
  ASSERT_EQ(built_in.status, exit_ok) << built_in.err;
  EXPECT_EQ(built_in.out, typed.out);
  EXPECT_EQ(std::count(built_in.out.begin(), built_in.out.end(), '\n'), 51);
  // A given value wins over the built-in one.
  const auto other = run(
      {"--element", "Tungsten", "--ionisations", "1", "--work-function", "4.5", "--output", "-"});
  EXPECT_NE(other.out, built_in.out);
}

TEST(CommandLine, NoteOnStandardErrorForAStepWithoutCurve) {
  // 7864 eV (a point read as a thousands separator): no value at any field.
  const fs::path dir = scratch_dir();
  const auto args = std::vector<std::string>{"--element", "Tungsten",   "--ionisations",
                                             "1",         "--energies", "7864,16.37"};
  auto to_file = args;
  to_file.insert(to_file.end(), {"--output", (dir / "nan.txt").string()});
  const auto r = run(to_file);
  EXPECT_EQ(r.status, exit_ok);
  EXPECT_EQ(r.err,
            "veltrane-curves: No curve for 1+ \u2192 2+: the model has no value at any field of "
            "this sweep. Read: work function 4.55 eV, energies 7864, 16.37 eV.\n");
  auto to_stdout = args;
  to_stdout.insert(to_stdout.end(), {"--output", "-"});
  const auto piped = run(to_stdout);
  EXPECT_EQ(piped.out, read_file(dir / "nan.txt")) << "the note leaves the bytes alone";
  EXPECT_EQ(piped.err, r.err);
  EXPECT_TRUE(run(tungsten2).err.empty()) << "no note when every step has a curve";
}

TEST(CommandLine, APipeWithoutReaderEndsAtOnce) {
  const fs::path fifo = scratch_dir() / "fifo.txt";
  fs::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Without a reader an open for writing would wait for ever: the run must
  // return at all, and refuse before calculating.
  auto args = tungsten2;
  args.insert(args.end(), {"--output", fifo.string()});
  const auto r = run(args);
  EXPECT_EQ(r.status, exit_write_failed);
  EXPECT_NE(r.err.find("Could not write " + fifo.string() + ": nothing is reading from this pipe"),
            std::string::npos)
      << r.err;
  fs::remove(fifo);
}

TEST(CommandLine, ChargeStateCommandsRefuseBadInput) {
  struct bad {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<std::string> w3 = {"--element", "Tungsten", "--ionisations", "3"};
  auto with = [&](std::string command, std::vector<std::string> more) {
    std::vector<std::string> args = {std::move(command)};
    args.insert(args.end(), w3.begin(), w3.end());
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::vector<bad> cases = {
      {with("field", {"--ratio", "3+/2+=0"}),
       "--ratio: a ratio must be a finite number above 0, not \"0\""},
      {with("field", {"--ratio", "3+/2+=nan"}),
       "--ratio: a ratio must be a finite number above 0, not \"nan\""},
      {with("field", {"--ratio", "3+/2+=inf"}),
       "--ratio: a ratio must be a finite number above 0, not \"inf\""},
      {with("field", {"--ratio", "4+/2+=1"}),
       "--ratio: 4+ and 2+ are not neighbouring charge states"},
      {with("field", {"--ratio", "1+/3+=2"}),
       "--ratio: 1+ and 3+ are not neighbouring charge states"},
      {with("field", {"--ratio", "5+/4+=1"}),
       "--ratio: 5+ is not a charge state of 3 ionisations (1+ to 4+)"},
      {with("field", {"--counts", "2+=-1,3+=5"}),
       "--counts: a count must be a whole number of at least 0, not \"-1\""},
      {with("field", {"--counts", "2+=1.5,3+=5"}),
       "--counts: a count must be a whole number of at least 0, not \"1.5\""},
      {with("field", {"--counts", "2+=0,3+=0"}), "--counts: the counts of 2+ and 3+ are both zero"},
      {with("field", {}), "give either --ratio or --counts"},
      {with("field", {"--ratio", "3+/2+=1", "--confidence", "1.5"}),
       "--confidence: the confidence must lie between 0 and 1, not 1.5"},
      {with("fractions", {"--from", "30", "--to", "20"}),
       "--from, --to, --step: the field range must rise: 30 is not below 20 V/nm"},
      {with("fractions", {"--from", "1", "--to", "20", "--step", "0"}),
       "--step: the field step must be a finite number above 0, not 0"},
      {with("fractions", {"--from", "1", "--to", "100", "--step", "1e-4"}),
       "--from, --to, --step: the range from 1 to 100 V/nm in steps of 0.0001 has more than "
       "100000 fields"},
      // No field of the model is 0 or below: one rule with Python's fractions.
      {with("fractions", {"--from", "-5"}), "--from: -5 V/nm is not above 0 V/nm"},
      {with("fractions", {"--from", "0", "--to", "100"}), "--from: 0 V/nm is not above 0 V/nm"},
      {{"equal-abundance", "--element", "Gold", "--all-elements"},
       "give either --element or --all-elements"},
      {{"equal-abundance", "--element", "Beryllium", "--ionisations", "4"},
       "Beryllium has no 5th ionisation energy; give --energies"},
  };
  for (const auto& c : cases) {
    const auto r = run(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.status, exit_bad_input) << joined;
    EXPECT_EQ(r.err, "veltrane-curves: " + c.message + "\n") << joined;
  }
}

TEST(CommandLine, CountsInEitherOrderAndAStepWithoutValue) {
  const std::vector<std::string> w1 = {"field", "--element", "Tungsten", "--ionisations", "1"};
  auto with = [&](std::string counts) {
    auto args = w1;
    args.insert(args.end(), {"--counts", std::move(counts)});
    return run(args);
  };
  const auto upper_first = with("2+=960,1+=1200");
  ASSERT_EQ(upper_first.status, exit_ok) << upper_first.err;
  EXPECT_EQ(upper_first.out.rfind("2+/1+ = 0.8 (counts 960 and 1200): E = ", 0), 0u)
      << upper_first.out;
  EXPECT_EQ(with("1+=1200,2+=960").out, upper_first.out);
  // Counts whose ratio the model never reaches: the same rule as a ratio.
  const auto unreachable = with("1+=5,2+=0");
  EXPECT_EQ(unreachable.status, exit_bad_input);
  EXPECT_TRUE(unreachable.out.empty()) << unreachable.out;
  EXPECT_EQ(unreachable.err.rfind("veltrane-curves: 2+/1+ = 0 is not reached between 1 and ", 0),
            0u)
      << unreachable.err;

  // An ionisation energy so high that step 1 has no value at any field.
  auto args = w1;
  args.insert(args.end(), {"--energies", "7.86,1786000", "--ratio", "2+/1+=1"});
  const auto none = run(args);
  EXPECT_EQ(none.status, exit_bad_input);
  EXPECT_NE(none.err.find("not reached"), std::string::npos) << none.err;
}

TEST(CommandLine, ExactAndAccurateEvaluations) {
  // Beryllium's step 2 has no value already at 880 V/nm: its over-barrier
  // field lies below the range, and no fraction is NaN. Both evaluations
  // agree on it to the search's tolerance.
  const std::vector<std::string> be = {"fractions", "--element", "Beryllium", "--ionisations",
                                       "3",         "--from",    "880",       "--to",
                                       "900",       "--step",    "0.5"};
  auto exact_args = be;
  exact_args.push_back("--exact");
  for (const auto& args : {be, exact_args}) {
    const auto r = run(args);
    ASSERT_EQ(r.status, exit_ok) << r.err;
    EXPECT_NE(r.out.find("# over the barrier from E_ob [V/nm]: step 1 23.9147, step 2 889.114, "
                         "step 3 1402.02\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("nan"), std::string::npos) << r.out;
  }
  // --exact is the adaptive integration: the step probability is the
  // sweep's own value, bit for bit (written in the shortest exact text).
  const auto exact = run({"fractions", "--element", "Tungsten", "--ionisations", "1", "--from",
                          "20", "--to", "20.5", "--step", "0.5", "--exact"});
  ASSERT_EQ(exact.status, exit_ok) << exact.err;
  const auto request = *check_request({"Tungsten", "1", std::nullopt, std::nullopt}).request;
  const model_call c = step_model_call(request, 1, 20.0 / vnm_per_au);
  char expected[64];
  const double Q = fast_veltrane(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u);
  const auto end = std::to_chars(expected, expected + sizeof expected, Q).ptr;
  EXPECT_NE(exact.out.find("\n20," + std::string(expected, end) + ","), std::string::npos)
      << exact.out;
}

TEST(CommandLine, FieldFromARatioAndFractions) {
  // n = 1 keeps the real model quick: step 1 only.
  auto r = run({"field", "--element", "Tungsten", "--ionisations", "1", "--ratio", "2+/1+=1"});
  ASSERT_EQ(r.status, exit_ok) << r.err;
  EXPECT_EQ(r.out.rfind("2+/1+ = 1: E = ", 0), 0u) << r.out;
  const double E = std::stod(r.out.substr(15));
  // The n = 1 sweep's own offset shifts the equal-abundance field a little
  // from that of n >= 2 (20.2725 V/nm).
  EXPECT_GT(E, 19.0);
  EXPECT_LT(E, 22.6);

  r = run({"field", "--element", "Tungsten", "--ionisations", "1", "--ratio", "2+/1+=1",
           "--sensitivity"});
  ASSERT_EQ(r.status, exit_ok) << r.err;
  EXPECT_NE(r.out.find("\n  work function \u00b10.1 eV: "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n  I2 \u00b11 %: -"), std::string::npos) << "a lower I2, a lower field";
  EXPECT_NE(r.out.find("not a confidence interval"), std::string::npos) << r.out;

  r = run({"fractions", "--element", "Tungsten", "--ionisations", "1", "--from", "20", "--to", "23",
           "--step", "1"});
  ASSERT_EQ(r.status, exit_ok) << r.err;
  EXPECT_NE(r.out.find("\nE_V_per_nm,Q1,f1,f2\n20,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\n23,0,0,1\n"), std::string::npos) << "above E_ob all are 2+";
  EXPECT_NE(r.out.find("# over the barrier from E_ob [V/nm]: step 1 22.5"), std::string::npos)
      << r.out;
}

TEST(CommandLine, AtlasOfEveryElement) {
  const fs::path dir = scratch_dir() / "atlas";
  fs::create_directories(dir);
  // A folder that cannot be made is said before anything is computed.
  std::ofstream(dir / "taken") << "x";
  auto r = run({"atlas", "--format", "svg", "--output", (dir / "taken").string()});
  EXPECT_EQ(r.status, exit_write_failed);
  EXPECT_NE(r.err.find("Could not write"), std::string::npos) << r.err;
  r = run({"atlas", "--format", "png"});
  EXPECT_EQ(r.status, exit_bad_input);

  r = run({"atlas", "--elements", "Tungsten,Wolfram"});
  EXPECT_EQ(r.status, exit_bad_input);
  EXPECT_NE(r.err.find("unknown element \"Wolfram\""), std::string::npos) << r.err;

  // Pages in the order of the element list, whatever the order asked.
  const fs::path pdf = dir / "atlas.pdf";
  r = run({"atlas", "--elements", "Tungsten,calicum", "--output", pdf.string()});
  ASSERT_EQ(r.status, exit_ok) << r.err;
  EXPECT_EQ(r.out, "Wrote " + pdf.string() + " (2 pages)\n");
  const std::string document = read_file(pdf);
  EXPECT_EQ(document.rfind("%PDF-1.4\n", 0), 0u);
  EXPECT_NE(document.find("/Count 2"), std::string::npos);
  const auto position = [](std::string_view name) {
    return std::find_if(element_table.begin(), element_table.end(),
                        [&](const auto& row) { return row.name == name; }) -
           element_table.begin();
  };
  ASSERT_NE(document.find("(Calicum, n = 4) Tj"), std::string::npos);
  ASSERT_NE(document.find("(Tungsten, n = 4) Tj"), std::string::npos);
  EXPECT_EQ(document.find("(Calicum, n = 4) Tj") < document.find("(Tungsten, n = 4) Tj"),
            position("Calicum") < position("Tungsten"));
  r = run(
      {"atlas", "--elements", "Beryllium", "--format", "svg", "--output", (dir / "svg").string()});
  ASSERT_EQ(r.status, exit_ok) << r.err;
  EXPECT_NE(read_file(dir / "svg" / "Beryllium.svg").find(">Beryllium, n = 3</text>"),
            std::string::npos);
  fs::remove_all(dir);
}
