#include "cli/option_checks.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli.hpp"
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

// A run of 300 184W3+ and 500 184W2+ ions at (1, 1) mm and its ranges.
struct small_run {
  fs::path dir = fs::temp_directory_path() / ("veltrane-options-" + std::to_string(getpid()));
  fs::path data = dir / "run.epos", ranges = dir / "W.rrng";
  small_run() {
    fs::create_directories(dir);
    apt::ion_columns ions;
    for (const auto& [count, mass] : {std::pair{300, 61.32f}, std::pair{500, 91.97f}}) {
      for (int i = 0; i < count; ++i) {
        ions.mass.push_back(mass);
        ions.det_x.push_back(1.0f);
        ions.det_y.push_back(1.0f);
      }
    }
    const auto bytes = apt::encode_data(apt::data_format::epos, ions);
    std::ofstream(data, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::ofstream(ranges) << "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
                             "Range1=61.24 61.40 Vol:0.01585 W:1\n"
                             "Range2=91.86 92.10 Vol:0.01585 W:1\n";
  }
  ~small_run() { fs::remove_all(dir); }
};

// The extremes every numeric option is tried with.
const std::string zero = "0", minus_one = "-1", nan_text = "nan", denormal = "4.9e-324",
                  huge = "1e300", largest_double = "1.7976931348623157e308",
                  largest_whole = "18446744073709551615";

}  // namespace

TEST(OptionChecks, WholeNumbersAreDecimalDigitsWithinTheirRange) {
  std::string text = "12";
  EXPECT_EQ(whole_number_check(1, 1024)(text), "");
  for (const char* bad : {"-1", "0", "1025", "1e3", "010x", "0x10", " 5", "5 ", "+5", "1.0", ""}) {
    text = bad;
    EXPECT_NE(whole_number_check(1, 1024)(text), "") << bad;
  }
  // Octal and hexadecimal are not read: "010" is ten, as typed.
  text = "010";
  EXPECT_EQ(whole_number_check(10, 10)(text), "");
  text = largest_whole;
  EXPECT_EQ(whole_number_check(0)(text), "");
  text = "18446744073709551616";  // one beyond
  EXPECT_EQ(whole_number_check(0)(text),
            "must be a whole number of at least 0, not \"18446744073709551616\"");
  text = "-1";
  EXPECT_EQ(whole_number_check(1, 1024)(text), "must be a whole number from 1 to 1024, not \"-1\"");
  text = "abc";
  EXPECT_EQ(number_check([](double) { return std::string(); })(text), "\"abc\" is not a number");
}

// Every numeric option of every subcommand at 0, -1, the largest value, NaN,
// a denormal and 1e300: each either does what it says or is refused with
// status 2 and one line that names the option. Nothing crashes (profile
// --block=-1 once made zero blocks and a segmentation fault) and nothing is
// taken silently as something else (--min-counts=-1 once masked every bin).
TEST(OptionChecks, EveryNumericOptionOfEverySubcommandAtItsExtremes) {
  const small_run files;
  const std::vector<std::string> data = {"--data", files.data.string(), "--ranges",
                                         files.ranges.string()};
  const std::vector<std::string> w = {"--element", "W", "--ionisations", "2"};
  const std::vector<std::string> pair = {"--pair", "3+/2+"};
  const auto join = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const std::vector<std::string> main_command = join({w, {"--output", "-"}});
  const std::vector<std::string> fractions =
      join({{"fractions"}, w, {"--from", "20", "--to", "21"}});
  const std::vector<std::string> equal = join({{"equal-abundance"}, w});
  const std::vector<std::string> field = join({{"field"}, w, {"--ratio", "3+/2+=1"}});
  const std::vector<std::string> field_of_counts = join({{"field"}, w});
  const std::vector<std::string> atlas = {"atlas", "--elements", "Tungsten", "--output",
                                          (files.dir / "atlas.pdf").string()};
  const std::vector<std::string> counts = join({{"counts"}, data});
  const std::vector<std::string> map = join({{"map"}, data, w, pair, {"--min-counts", "1"}});
  const std::vector<std::string> profile = join({{"profile"}, data, w, pair});

  // accepted: the extremes the option takes (the rest are refused).
  struct option_case {
    const std::vector<std::string>* command;
    std::string option;
    std::vector<std::string> accepted;
    // How a value is written into the option ("3+/2+=" before a ratio).
    std::string before = "", after = "";
  };
  const std::vector<std::string> none;
  const std::vector<option_case> cases = {
      // Whole numbers: the ionisations and the threads of every command.
      {&main_command, "--ionisations", none},
      {&main_command, "--threads", none},
      {&fractions, "--ionisations", none},
      {&fractions, "--threads", none},
      {&equal, "--ionisations", none},
      {&equal, "--threads", none},
      {&field, "--ionisations", none},
      {&field, "--threads", none},
      {&atlas, "--threads", none},
      {&counts, "--threads", none},
      {&map, "--threads", none},
      {&map, "--ionisations", none},
      {&profile, "--threads", none},
      {&profile, "--ionisations", none},
      // Fields above 0 V/nm; a step that leaves at most 100,000 fields.
      {&fractions, "--from", {denormal}},
      {&fractions, "--to", none},
      {&fractions, "--step", {largest_whole, huge, largest_double}},
      // The model's own inputs follow the window's rules (any number): the
      // answer says where the model has no value.
      {&fractions,
       "--work-function",
       {zero, minus_one, largest_whole, nan_text, denormal, huge, largest_double}},
      {&fractions,
       "--energies",
       {zero, minus_one, largest_whole, nan_text, denormal, huge, largest_double},
       "",
       ",16.37,26"},
      // Levels strictly between 0 and 1.
      {&field, "--confidence", {denormal}},
      {&map, "--confidence", {denormal}},
      {&profile, "--confidence", {denormal}},
      // A ratio above 0 (beyond every ratio of the model: the over-barrier
      // field); counts whole numbers.
      {&field, "--ratio", {largest_whole, denormal, huge, largest_double}, "3+/2+="},
      {&field_of_counts, "--counts", {zero}, "2+=", ",3+=10"},
      // The map's bins: any finite size above 0 (one bin for a huge one); too
      // small for where the ions lie is said as such.
      {&map, "--bin", {largest_whole, huge, largest_double}},
      {&map, "--min-counts", {zero, largest_whole}},
      {&profile, "--block", {largest_whole}},
      // The mass tolerance: 0 switches it off; at most 1 Da.
      {&counts, "--mass-tolerance", {zero, denormal}},
      {&map, "--mass-tolerance", {zero, denormal}},
      {&profile, "--mass-tolerance", {zero, denormal}},
  };
  for (const auto& c : cases) {
    for (const std::string& value :
         {zero, minus_one, largest_whole, largest_double, nan_text, denormal, huge}) {
      auto args = *c.command;
      // "--option=value" keeps CLI11 from reading "-1" as an option.
      const auto given =
          std::find(args.begin(), args.end(), c.option);  // replaced when the command has it
      const std::string typed = c.before + value + c.after;
      if (given != args.end()) {
        args.erase(given, given + 2);
      }
      args.push_back(c.option + "=" + typed);
      const auto r = run(args);
      const bool accepted =
          std::find(c.accepted.begin(), c.accepted.end(), value) != c.accepted.end();
      std::string joined;
      for (const auto& a : args) joined += a + " ";
      if (accepted) {
        EXPECT_EQ(r.status, exit_ok) << joined << "\n" << r.err;
      } else {
        EXPECT_EQ(r.status, exit_bad_input) << joined << "\n" << r.err;
        EXPECT_EQ(r.err.rfind("veltrane-curves: ", 0), 0u) << joined << "\n" << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << joined << "\n" << r.err;
        EXPECT_NE(r.err.find(c.option), std::string::npos) << joined << "\n" << r.err;
      }
    }
  }
}
