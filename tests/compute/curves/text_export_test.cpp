#include "compute/curves/text_export.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scratch.hpp"

using namespace veltrane;
namespace fs = std::filesystem;

namespace {

curve_set two_steps() {
  curve_set c;
  c.n = 2;
  c.steps.push_back({1, {{0.1, 51.42, 0.999937}, {0.2, 102.84, 1.0}}});
  c.steps.push_back({2, {{0.3, 154.26, 0.5}, {0.4, 205.68, NAN}}});
  return c;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(TextExportNumbers, GeneralNotationWithSixDigits) {
  EXPECT_EQ(format_number(0.5), "0.5");
  EXPECT_EQ(format_number(1.0), "1");
  EXPECT_EQ(format_number(0.0), "0");
  EXPECT_EQ(format_number(-0.0), "-0");
  EXPECT_EQ(format_number(1e-7), "1e-07");
  EXPECT_EQ(format_number(0.0001), "0.0001");
  EXPECT_EQ(format_number(0.00001234), "1.234e-05");
  EXPECT_EQ(format_number(123456.4), "123456");
  EXPECT_EQ(format_number(1234567.0), "1.23457e+06");
  EXPECT_EQ(format_number(13.29274999), "13.2927");
  EXPECT_EQ(format_number(-2.5), "-2.5");
  EXPECT_EQ(format_number(1e300), "1e+300");
  EXPECT_EQ(format_number(INFINITY), "inf");
  EXPECT_EQ(format_number(-INFINITY), "-inf");
  EXPECT_EQ(format_number(NAN), "nan");
  EXPECT_EQ(format_number(-std::nan("")), "nan");
}

TEST(TextExportNumbers, PointWhateverTheLocale) {
  const char* comma_locales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE"};
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  bool switched = false;
  for (const char* name : comma_locales) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      switched = true;
      break;
    }
  }
  if (!switched) {
    // In continuous integration the locale is installed by scripts/test; its
    // absence there is a failure, not a reason to skip.
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << "no locale with a decimal comma";
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  const auto lines = text_export_lines(two_steps());
  std::setlocale(LC_ALL, previous.c_str());
  for (const auto& line : lines) {
    if (line[0] == '#') continue;
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 2) << line;
  }
}

TEST(TextExportLines, HeadersAndDataLines) {
  const auto lines = text_export_lines(two_steps());
  const std::vector<std::string> expected = {
      "#2. ionisation", "#E-field [V/nm],probability 1-P,probability P", "51.42,0.999937,6.3e-05",
      "102.84,1,0",  // Q exactly 1
      "#3. ionisation", "#E-field [V/nm],probability 1-P,probability P", "154.26,0.5,0.5",
      "205.68,nan,nan",
  };
  EXPECT_EQ(lines, expected);

  curve_set single;
  single.n = 1;
  single.steps.push_back({1, {{0.1, 51.42, 0.25}}});
  const auto one = text_export_lines(single);
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0],
            "#E-field [V/nm],probability 1-P for 1. ionisation,probability P for 2. ionisation");
  EXPECT_EQ(one[1], "51.42,0.25,0.75");
}

TEST(TextExportFile, WritesReplacesAndReportsFailures) {
  scratch s("export-file");
  const fs::path file = s.dir / "data.txt";
  {
    std::ofstream old(file);
    old << "an earlier, longer file that must disappear completely\n";
  }
  EXPECT_EQ(save_text_export(two_steps(), file), std::nullopt);
  std::string expected;
  for (const auto& line : text_export_lines(two_steps())) expected += line + "\n";
  EXPECT_EQ(read_file(file), expected);

  // A folder of that name.
  const fs::path folder = s.dir / "folder";
  fs::create_directories(folder / "data.txt");
  auto error = save_text_export(two_steps(), folder / "data.txt");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find((folder / "data.txt").string()), std::string::npos) << *error;
  EXPECT_NE(error->find("Is a directory"), std::string::npos) << *error;

  // A missing folder.
  error = save_text_export(two_steps(), s.dir / "missing" / "data.txt");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("No such file or directory"), std::string::npos) << *error;
}

TEST(TextExportFile, FullDiskAndReadOnlyFolderKeepTheOldFile) {
  scratch s("export-full");
  // A full disk: a file system of one page, which stops root too; without
  // the right to mount, /dev/full.
  small_file_system full(s.dir / "full", "size=4k");
  if (full.mounted) {
    const fs::path file = full.dir / "data.txt";
    std::ofstream(file) << "old\n";
    curve_set big = two_steps();
    big.steps[0].points.resize(2000, {0.1, 51.42, 0.5});
    const auto error = save_text_export(big, file);
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("No space left on device"), std::string::npos) << *error;
    EXPECT_EQ(read_file(file), "old\n");
  } else if (fs::exists("/dev/full")) {
    const auto error = save_text_export(two_steps(), "/dev/full");
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("No space left on device"), std::string::npos) << *error;
  } else {
    GTEST_SKIP() << "no right to mount and no /dev/full: a full disk cannot be had";
  }

  // A folder nobody may write to: read-only for root as well, or without
  // write permission for others.
  small_file_system readonly(s.dir / "readonly", "ro");
  std::optional<std::string> error;
  if (readonly.mounted) {
    error = save_text_export(two_steps(), readonly.dir / "data.txt");
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("Read-only file system"), std::string::npos) << *error;
  } else if (geteuid() != 0) {
    const fs::path locked = s.dir / "locked";
    fs::create_directories(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    error = save_text_export(two_steps(), locked / "data.txt");
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("Permission denied"), std::string::npos) << *error;
  } else {
    GTEST_SKIP() << "root without the right to mount: a read-only folder cannot be had";
  }
}
