#include "apt/range_file.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::temp_folder;

namespace {

std::string refusal(std::string_view text, std::optional<range_format> format = std::nullopt) {
  try {
    parse_range_text(text, "W.rrng", format);
  } catch (const read_error& e) {
    return e.what();
  }
  return "(read)";
}

range_file rrng(std::string_view text) { return parse_range_text(text, "W.rrng"); }

bool has_note(const range_file& f, std::string_view part) {
  for (const auto& n : f.notes) {
    if (n.find(part) != std::string::npos) return true;
  }
  return false;
}

constexpr std::string_view tungsten_rrng =
    "[Ions]\n"
    "Number=2\n"
    "Ion1=W\n"
    "Ion2=O\n"
    "[Ranges]\n"
    "Number=3\n"
    "Range1=61.25 61.40 Vol:0.01585 W:1 Color:FF0000\n"
    "Range2=60.55 60.75 Vol:0.01585 W:1 Color:ff00aa\n"
    "Range3=66.60 66.75 Vol:0.02 W:1 O:1 Color:00FF00\n";

}  // namespace

TEST(Rrng, ReadsIonsAndRangesSortedByTheirLowBound) {
  const range_file f = rrng(tungsten_rrng);
  EXPECT_EQ(f.format, range_format::rrng);
  EXPECT_EQ(f.path, "W.rrng");
  EXPECT_EQ(f.ions, (std::vector<std::string>{"W", "O"}));
  ASSERT_EQ(f.ranges.size(), 3u);
  EXPECT_TRUE(f.notes.empty());
  const mass_range& first = f.ranges[0];
  EXPECT_EQ(first.low, 60.55);
  EXPECT_EQ(first.high, 60.75);
  EXPECT_EQ(first.line, 8u);
  EXPECT_EQ(first.composition, (std::vector<ion_part>{{"W", 1}}));
  EXPECT_EQ(first.name, "W");
  EXPECT_EQ(first.colour, "FF00AA");
  EXPECT_EQ(first.volume, 0.01585);
  EXPECT_TRUE(first.single_atom());
  EXPECT_EQ(f.ranges[1].line, 7u);
  const mass_range& oxide = f.ranges[2];
  EXPECT_EQ(oxide.composition, (std::vector<ion_part>{{"W", 1}, {"O", 1}}));
  EXPECT_EQ(oxide.name, "WO");
  EXPECT_FALSE(oxide.single_atom());
  EXPECT_EQ(oxide.count_of("O"), 1);
  EXPECT_EQ(oxide.count_of("Fe"), 0);
}

TEST(Rrng, AcceptsTheWaysFilesAreWrittenByHandAndByOtherPrograms) {
  // CRLF, comments, spaces around '=', keys in any case, vol: in lower case,
  // no colour, decimal commas, custom names, a byte-order mark.
  const range_file f = rrng(
      "\xEF\xBB\xBF# made by hand\r\n"
      "[ions]\r\n"
      "  Number = 2\r\n"
      "ion1 = Al\r\n"
      "Ion2=O\r\n"
      "\r\n"
      "# the peaks\r\n"
      "[RANGES]\r\n"
      "NUMBER=3\r\n"
      "Range1 = 22,8615 23,0910 vol:0,01558 Al:1\r\n"
      "Range2=26.9 27.1 VOL:0.0166 al:1 COLOR:0000ff\r\n"
      "range3=43.4 43.6 Vol:0.05 Name:AlO Al:1 O:1 Colour:#00ff00\r\n");
  ASSERT_EQ(f.ranges.size(), 3u);
  EXPECT_EQ(f.ranges[0].low, 22.8615);
  EXPECT_EQ(f.ranges[0].high, 23.0910);
  EXPECT_EQ(f.ranges[0].volume, 0.01558);
  EXPECT_EQ(f.ranges[0].colour, "");
  EXPECT_EQ(f.ranges[0].line, 10u);
  EXPECT_EQ(f.ranges[1].colour, "0000FF");
  EXPECT_EQ(f.ranges[1].composition.front().element, "al");  // as written
  EXPECT_EQ(f.ranges[2].name, "AlO");
  EXPECT_EQ(f.ranges[2].colour, "00FF00");
  // "al" is not among the ions as written: a note, not an error.
  EXPECT_TRUE(has_note(f, "W.rrng:11: the element 'al' is not among the ions"));
  EXPECT_EQ(f.notes.size(), 1u);

  // CR alone ends lines too; a range without Vol; a count of 0 names nothing.
  const range_file old = rrng("[Ranges]\rNumber=1\rRange1=1 2 H:1 O:0\r");
  ASSERT_EQ(old.ranges.size(), 1u);
  EXPECT_EQ(old.ranges[0].composition, (std::vector<ion_part>{{"H", 1}}));
  EXPECT_EQ(old.ranges[0].volume, std::nullopt);
  EXPECT_TRUE(old.ions.empty());
}

TEST(Rrng, SkipsUnknownSectionsKeysAndColoursWithANote) {
  const range_file f = rrng(
      "stray text\n"
      "[Ions]\nIon1=W\nCharge=3\n"
      "[Colors]\nW=FF0000\nanything goes here\n"
      "[Ranges]\nRange1=60.55 60.75 W:1 Color:red\n");
  ASSERT_EQ(f.ranges.size(), 1u);
  EXPECT_TRUE(has_note(f, "W.rrng:1: the line 'stray text' before the first section is skipped"));
  EXPECT_TRUE(has_note(f, "W.rrng:4: the key 'Charge' is not known"));
  EXPECT_TRUE(has_note(f, "W.rrng:5: the section '[Colors]' is skipped"));
  EXPECT_TRUE(has_note(f, "W.rrng:9: the colour 'red' is not six hex digits"));
  EXPECT_EQ(f.notes.size(), 4u);
}

TEST(Rrng, IdenticalRangesCountOnceAndOverlapsAreRefusedNamingBothLines) {
  const range_file twice = rrng(
      "[Ranges]\nNumber=3\n"
      "Range1=60.55 60.75 W:1 Color:FF0000\n"
      "Range2=61.2 61.4 W:1\n"
      "Range3=60.55 60.75 Vol:0.3 W:1 Color:00FF00\n");
  ASSERT_EQ(twice.ranges.size(), 2u);
  EXPECT_EQ(twice.ranges[0].line, 3u);  // the first one is kept, with its colour
  EXPECT_EQ(twice.ranges[0].colour, "FF0000");
  EXPECT_EQ(twice.ranges[0].volume, std::nullopt);
  ASSERT_EQ(twice.notes.size(), 1u);
  EXPECT_EQ(twice.notes[0],
            "W.rrng: 1 duplicate range merged: a range given again with the same bounds and ion "
            "is counted once (line 5 repeats line 3)");

  // Different ions overlapping are refused with both lines.
  EXPECT_EQ(refusal("[Ranges]\nRange1=60.7 60.9 Mo:1\nRange2=60.55 60.75 W:1\n"),
            "W.rrng:3: the range 60.55\u201360.75 Da overlaps the range 60.7\u201360.9 Da of "
            "line 2");
  // The same bounds for other ions, and a range within another, overlap.
  EXPECT_EQ(refusal("[Ranges]\nRange1=60.55 60.75 W:1\nRange2=60.55 60.75 W:1 O:1\n"),
            "W.rrng:3: the range 60.55\u201360.75 Da overlaps the range 60.55\u201360.75 Da of "
            "line 2");
  EXPECT_EQ(refusal("[Ranges]\nRange1=10 20 H:1\nRange2=30 31 O:1\nRange3=12 13 O:1\n"),
            "W.rrng:4: the range 12\u201313 Da overlaps the range 10\u201320 Da of line 2");
  // A long range that covers the next two, past a range that fits between.
  EXPECT_EQ(refusal("[Ranges]\nRange1=1 2 H:1\nRange2=3 9 O:1\nRange3=4 5 N:1\nRange4=6 7 C:1\n"),
            "W.rrng:4: the range 4\u20135 Da overlaps the range 3\u20139 Da of line 3");

  // Ranges that only touch are kept; an ion at the shared bound is in the upper one.
  const range_file touching = rrng("[Ranges]\nRange1=2 3 O:1\nRange2=1 2 H:1\n");
  ASSERT_EQ(touching.ranges.size(), 2u);
  EXPECT_TRUE(has_note(
      touching, "W.rrng:2: the range 2\u20133 Da shares the bound 2 Da with the range of line 3"));
  EXPECT_EQ(touching.find(2.0), 1u);
  EXPECT_EQ(touching.find(1.0), 0u);
  EXPECT_EQ(touching.find(3.0), 1u);
  EXPECT_EQ(touching.find(0.999), std::nullopt);
  EXPECT_EQ(touching.find(3.001), std::nullopt);
}

TEST(Rrng, FindsTheRangeOfAMassByItsBounds) {
  const range_file f = rrng(tungsten_rrng);
  EXPECT_EQ(f.find(60.55), 0u);
  EXPECT_EQ(f.find(60.75), 0u);
  EXPECT_EQ(f.find(std::nextafter(60.75, 61.0)), std::nullopt);
  EXPECT_EQ(f.find(61.3), 1u);
  EXPECT_EQ(f.find(66.7), 2u);
  EXPECT_EQ(f.find(10.0), std::nullopt);
  EXPECT_EQ(f.find(100.0), std::nullopt);
  // A float32 mass is compared as its double: 60.55f lies below 60.55.
  EXPECT_EQ(f.find(static_cast<double>(60.55f)), std::nullopt);
}

TEST(Rrng, ARangeLineThatDoesNotReadIsRefusedNamingTheLine) {
  const std::string head = "[Ranges]\n";
  const auto bad = [&](const std::string& range) {
    return refusal(head + "Range1=" + range + "\n");
  };
  EXPECT_EQ(bad("60.55"), "W.rrng:2: a range needs its low and high bound: '60.55'");
  EXPECT_EQ(bad("60.55 abc W:1"), "W.rrng:2: the high bound 'abc' is not a number");
  EXPECT_EQ(bad("60,5.5 61 W:1"), "W.rrng:2: the low bound '60,5.5' is not a number");
  EXPECT_EQ(bad("nan 61 W:1"),
            "W.rrng:2: the low bound 'nan' is not a finite mass-to-charge of at least 0");
  EXPECT_EQ(bad("-1 61 W:1"),
            "W.rrng:2: the low bound '-1' is not a finite mass-to-charge of at least 0");
  EXPECT_EQ(bad("61 60 W:1"),
            "W.rrng:2: the range 61\u201360 Da is empty: its low bound is not below its high "
            "bound");
  EXPECT_NE(bad("61 61 W:1").find("is empty"), std::string::npos);
  EXPECT_EQ(bad("60 61 W"), "W.rrng:2: the token 'W' is not key:value");
  EXPECT_EQ(bad("60 61 W:"), "W.rrng:2: the token 'W:' is not key:value");
  EXPECT_EQ(bad("60 61 W:1.5"),
            "W.rrng:2: the count '1.5' of 'W' is not a whole number from 0 to 99");
  EXPECT_EQ(bad("60 61 W:-1"),
            "W.rrng:2: the count '-1' of 'W' is not a whole number from 0 to 99");
  EXPECT_EQ(bad("60 61 W:1 W:1"), "W.rrng:2: the element 'W' is given twice");
  EXPECT_EQ(bad("60 61 Vol:x W:1"), "W.rrng:2: the volume 'x' is not a number of at least 0");
  EXPECT_EQ(bad("60 61 Vol:-1 W:1"), "W.rrng:2: the volume '-1' is not a number of at least 0");
  EXPECT_EQ(bad("60 61 W:100"),
            "W.rrng:2: the count '100' of 'W' is not a whole number from 0 to 99");
  EXPECT_EQ(refusal(head + "Range1 60 61 W:1\n"), "W.rrng:2: 'Range1 60 61 W:1' is not key=value");
  EXPECT_EQ(refusal("[Ranges\nRange1=1 2 H:1\n"),
            "W.rrng:1: the section header '[Ranges' has no ']'");
  EXPECT_EQ(refusal("[Ions]\nIon1=W\n"),
            "W.rrng: has no [Ranges] section: this is no .rrng range file");
  EXPECT_EQ(refusal("[Ranges]\n[Ranges]\n"), "W.rrng:2: a second [Ranges] section");
}

TEST(Rrng, FewerRangesOrIonsThanDeclaredMeanACutFile) {
  EXPECT_EQ(refusal("[Ranges]\nNumber=3\nRange1=1 2 H:1\nRange2=3 4 H:1\n"),
            "W.rrng:2: declares 3 ranges, but 2 are given: the file may be cut off");
  EXPECT_EQ(refusal("[Ions]\nNumber=2\nIon1=H\n[Ranges]\nRange1=1 2 H:1\n"),
            "W.rrng:2: declares 2 ions, but 1 are given: the file may be cut off");
  EXPECT_EQ(refusal("[Ranges]\nNumber=two\n"), "W.rrng:2: the number 'two' is not a whole number");
  // More than declared: a range added by hand without counting it.
  const range_file more = rrng("[Ranges]\nNumber=1\nRange1=1 2 H:1\nRange2=3 4 H:1\n");
  EXPECT_EQ(more.ranges.size(), 2u);
  EXPECT_TRUE(has_note(more, "W.rrng:2: declares 1 ranges, but 2 are given"));
}

TEST(Rng, ReadsElementsColoursAndRangeLines) {
  const range_file f = parse_range_text(
      "3 4\n"
      "Fe\n"
      "1.0 0.0 0.0\n"
      "Al\n"
      "0 0,5 1\n"
      "O\n"
      "O 0.2 0.2 0.2\n"
      "------------------- Fe Al O\n"
      ". 27.9 28.1 1 0 0\n"
      ". 26,9 27,05 0 1 0\n"
      ". 43.9 44.1 0 1 1\n"
      ". 13.45 13.55 0 1 0\n",
      "FeAl.rng");
  EXPECT_EQ(f.format, range_format::rng);
  EXPECT_EQ(f.ions, (std::vector<std::string>{"Fe", "Al", "O"}));
  ASSERT_EQ(f.ranges.size(), 4u);
  EXPECT_TRUE(f.notes.empty());
  EXPECT_EQ(f.ranges[0].low, 13.45);
  EXPECT_EQ(f.ranges[0].line, 12u);
  EXPECT_EQ(f.ranges[1].low, 26.9);
  EXPECT_EQ(f.ranges[1].high, 27.05);
  EXPECT_EQ(f.ranges[1].composition, (std::vector<ion_part>{{"Al", 1}}));
  EXPECT_EQ(f.ranges[1].colour, "0080FF");
  EXPECT_EQ(f.ranges[2].colour, "FF0000");
  EXPECT_EQ(f.ranges[3].composition, (std::vector<ion_part>{{"Al", 1}, {"O", 1}}));
  EXPECT_EQ(f.ranges[3].name, "AlO");
  EXPECT_EQ(f.ranges[3].colour, "");
}

TEST(Rng, ColumnsFollowTheDashedLineAndThePolyatomicBlockIsSkipped) {
  const range_file f = parse_range_text(
      "2 2\r\n"
      "W\r\n1 0 0\r\n"
      "O\r\n0 1 0\r\n"
      "---------- O W\r\n"
      ". 60.55 60.75 0 1\r\n"
      ". 66.6 66.75 1 1\r\n"
      "\r\n"
      "polyatomic 1\r\n"
      "------ W O WO\r\n"
      ". 66.6 66.75 1 1 1\r\n",
      "W.rng");
  ASSERT_EQ(f.ranges.size(), 2u);
  EXPECT_EQ(f.ranges[0].composition, (std::vector<ion_part>{{"W", 1}}));
  EXPECT_EQ(f.ranges[1].composition, (std::vector<ion_part>{{"W", 1}, {"O", 1}}));
  ASSERT_EQ(f.notes.size(), 1u);
  EXPECT_EQ(f.notes[0], "W.rng:10: the block from this line on (polyatomic ions) is skipped");
}

TEST(Rng, ALineThatDoesNotReadIsRefusedNamingTheLine) {
  const auto bad = [](std::string_view text) {
    try {
      parse_range_text(text, "W.rng", range_format::rng);
    } catch (const read_error& e) {
      return std::string(e.what());
    }
    return std::string("(read)");
  };
  const std::string head = "1 1\nW\n1 0 0\n------ W\n";
  EXPECT_EQ(bad(head + ". 60.55 60.75 1\n"), "(read)");
  EXPECT_EQ(bad(head + ". 60.55 60.75\n"),
            "W.rng:5: a range line holds '.' (or its number), the low and high bound and 1 "
            "counts; '. 60.55 60.75' does not");
  EXPECT_EQ(bad(head + ". 60.55 60.75 1.5\n"),
            "W.rng:5: the count '1.5' of 'W' is not a whole number from 0 to 99");
  EXPECT_EQ(bad(head + "1x 60.55 60.75 1\n"),
            "W.rng:5: '1x 60.55 60.75 1' is not a range line; the file declares 1 ranges and "
            "gives 0 before it");
  EXPECT_EQ(bad(head + ". 60.55 x 1\n"), "W.rng:5: the high bound 'x' is not a number");
  EXPECT_EQ(bad(head + ". 60.75 60.55 1\n").substr(0, 20), "W.rng:5: the range 6");
  EXPECT_EQ(bad(head + ".60.55 60.75 1\n"), "W.rng:5: '.60.55 60.75 1' is not a range line");
  EXPECT_EQ(bad(head), "W.rng:1: declares 1 ranges, but 0 are given: the file may be cut off");
  EXPECT_EQ(bad("one two\n"),
            "W.rng:1: the first line 'one two' is not the numbers of elements and of ranges of an "
            ".rng file");
  EXPECT_EQ(bad("1 1\nW\n1 0 0\n------ W O\n"),
            "W.rng:4: the dashed line names 2 columns for 1 elements");
  EXPECT_EQ(bad("1 1\nW\n1 0 0\n. 1 2 1\n"),
            "W.rng:4: the dashed line of the element columns was expected");
  EXPECT_EQ(bad("2 0\nW\n1 0 0\n"), "W.rng: ends before its 2 elements");
  EXPECT_EQ(bad("2 0\nTungsten\n"), "W.rng: ends before the colour line of the element 'Tungsten'");
  EXPECT_EQ(bad("2 0\nTungsten\nW 1 0 0\nOxygen\n------ W O\n"),
            "W.rng:5: the colour line of the element 'Oxygen' was expected, not the dashed line: "
            "fewer elements than the 2 declared");
  EXPECT_EQ(bad("2 0\nW\n1 0 0\n------ W\n"),
            "W.rng:4: an element's name was expected, not '------ W'");
  EXPECT_EQ(bad("1001 0\n"),
            "W.rng:1: the first line '1001 0' is not the numbers of elements and of ranges of an "
            ".rng file");
  EXPECT_EQ(bad(""), "W.rng: is empty: no .rng header line");
  EXPECT_EQ(bad("2 2\nW\n1 0 0\nO\n0 1 0\n---- W O\n. 1 2 1 0\n. 1.5 3 0 1\n"),
            "W.rng:8: the range 1.5\u20133 Da overlaps the range 1\u20132 Da of line 7");
}

TEST(RangeFile, TheFormatComesFromTheExtensionOrTheFirstLine) {
  EXPECT_EQ(range_format_of_extension("a.RRNG"), range_format::rrng);
  EXPECT_EQ(range_format_of_extension("a.rng"), range_format::rng);
  EXPECT_EQ(range_format_of_extension("a.txt"), std::nullopt);
  EXPECT_EQ(parse_range_text("# c\n\n[Ranges]\n", "x").format, range_format::rrng);
  EXPECT_EQ(parse_range_text("0 0\n----\n", "x").format, range_format::rng);
  EXPECT_EQ(refusal("hello world\n"),
            "W.rrng: is neither an .rrng (sections in brackets) nor an .rng range file (first "
            "line: the numbers of elements and ranges)");
  EXPECT_EQ(refusal(std::string_view("[Ranges]\n\0\0", 11)),
            "W.rrng: holds NUL bytes: this is no range file (a data file?)");
}

TEST(RangeFile, ReadsFromAPathAndRefusesWhatIsNoRangeFile) {
  temp_folder folder;
  const auto path = folder.write("W.rrng", tungsten_rrng);
  const range_file f = read_range_file(path);
  EXPECT_EQ(f.path, path.string());
  EXPECT_EQ(f.ranges.size(), 3u);
  // The extension wins over the content: this .rng is read as one.
  const auto rng = folder.write("W.rng", tungsten_rrng);
  try {
    read_range_file(rng);
    FAIL() << "an .rrng read as .rng";
  } catch (const read_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind(rng.string() + ":1: the first line", 0), 0u) << e.what();
  }
  const auto message = [](const std::filesystem::path& p) {
    try {
      read_range_file(p);
    } catch (const read_error& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(message(folder.path() / "none.rrng"),
            (folder.path() / "none.rrng").string() +
                ": cannot be opened for reading: No such file or directory");
  EXPECT_EQ(message(folder.path()), folder.path().string() + ": is not a regular file (a folder)");
  const auto big = folder.write("big.rrng", std::string((16 << 20) + 1, '#'));
  EXPECT_NE(message(big).find("too large for a range file"), std::string::npos);
}

TEST(RangeFile, MassTextIsTheShortestThatReadsBack) {
  EXPECT_EQ(mass_text(60.55), "60.55");
  EXPECT_EQ(mass_text(2.0), "2");
  EXPECT_EQ(mass_text(0.1 + 0.2), "0.30000000000000004");
}

// ---- Range files as instruments and analysis programs write them

namespace {

range_file rng(std::string_view text) { return parse_range_text(text, "run.rng"); }

std::vector<std::string> elements_of(const range_file& f) {
  std::vector<std::string> result;
  for (const mass_range& r : f.ranges) result.push_back(r.name);
  return result;
}

}  // namespace

TEST(RangeFileVariants, RngRangeLinesWithARunningNumberInPlaceOfTheDot) {
  // As a LEAP export writes them: CRLF, numbered lines, spaces of any width.
  const range_file f =
      rng("4 8\r\n"
          "Hydrogen\r\nH 1.0 1.0 1.0\r\n"
          "Silicon\r\nSi 0.5 0.5 0.5\r\n"
          "Antimony\r\nSb 0.0 0.0 1.0\r\n"
          "Oxygen\r\nO 0.0 1.0 0.0\r\n"
          "-------------------  H Si Sb O\r\n"
          "1  0.8967  1.3235 1  0  0   0\r\n"
          "2  1.9 2.2 2  0  0   0\r\n"
          "3  13.95 14.1 0  1  0   0\r\n"
          "4\t14.4\t14.55\t0\t1\t0\t0\r\n"
          "5  27.9 28.1 0  1  0   0\r\n"
          ". 60.4 60.6 0  0  1   0\r\n"
          "7  61.4 61.6 0  0  1   0\r\n"
          "8  120.8 121.0 0  0  1   0\r\n");
  ASSERT_EQ(f.ranges.size(), 8u);
  EXPECT_TRUE(f.notes.empty()) << f.notes.front();
  EXPECT_EQ(f.ions, (std::vector<std::string>{"H", "Si", "Sb", "O"}));
  EXPECT_EQ(elements_of(f),
            (std::vector<std::string>{"H", "H2", "Si", "Si", "Si", "Sb", "Sb", "Sb"}));
  EXPECT_EQ(f.ranges[0].low, 0.8967);
  EXPECT_EQ(f.ranges[0].high, 1.3235);
  EXPECT_EQ(f.ranges[0].line, 11u);
  EXPECT_EQ(f.ranges[1].composition, (std::vector<ion_part>{{"H", 2}}));
  EXPECT_EQ(f.ranges[3].line, 14u);  // the tab-separated line
  EXPECT_EQ(f.ranges[0].colour, "FFFFFF");

  // A running number holds the place of the dot only: the counts still
  // have to be there. Blank lines and comments may lie between range lines.
  EXPECT_EQ(refusal("1 2\nW\nW 1 0 0\n---- W\n1 60.5 60.7\n", range_format::rng),
            "W.rrng:5: a range line holds '.' (or its number), the low and high bound and 1 "
            "counts; '1 60.5 60.7' does not");
  const range_file gaps = rng("1 2\nW\nW 1 0 0\n---- W\n1 60.5 60.7 1\n\n# next\n2 61.2 61.4 1\n");
  EXPECT_EQ(gaps.ranges.size(), 2u);
}

TEST(RangeFileVariants, RngElementsAreTheShortNamesTheColumnsUse) {
  // Long names that are no element symbol, or several words, and short
  // names, some of which are no element either.
  const range_file f =
      rng("4 4\n"
          "Aluminium\nAl 0.5 0.5 0.5\n"
          "Solvent\nA 1 0 0\n"
          "Solute\nB 0 1 0\n"
          "Iron in the matrix\nFe 0 0 1\n"
          "------------------- Al A B Fe\n"
          ". 26.9 27.1 1 0 0 0\n"
          ". 13.4 13.6 1 0 0 0\n"
          ". 30 31 0 1 0 0\n"
          ". 27.9 28.05 0 0 0 1\n");
  EXPECT_EQ(f.ions, (std::vector<std::string>{"Al", "A", "B", "Fe"}));
  EXPECT_EQ(elements_of(f), (std::vector<std::string>{"Al", "Al", "Fe", "A"}));
  EXPECT_EQ(f.ranges[0].colour, "808080");
  EXPECT_EQ(f.ranges[3].colour, "FF0000");
  // Only 'A' names a range; 'B' is listed but never used.
  ASSERT_EQ(f.notes.size(), 1u);
  EXPECT_EQ(f.notes[0],
            "run.rng: the ion 'A' is no element: its ranges are read as ions of that name, with "
            "no charge and in no element's counts");

  // The column headers may be in another order, and in another case.
  const range_file swapped =
      rng("2 1\nTungsten\nW 1 0 0\nOxygen\nO 0 1 0\n---- o w\n. 66.6 66.75 2 1\n");
  EXPECT_EQ(swapped.ranges[0].composition, (std::vector<ion_part>{{"W", 1}, {"O", 2}}));

  // An element listed twice: its columns are one element's.
  const range_file twice =
      rng("2 1\nIron\nFe 1 0 0\nIron again\nFe 0 1 0\n------ Fe Fe\n. 27.9 28.05 1 1\n");
  EXPECT_EQ(twice.ions, (std::vector<std::string>{"Fe", "Fe"}));
  EXPECT_EQ(twice.ranges[0].composition, (std::vector<ion_part>{{"Fe", 2}}));
  EXPECT_TRUE(has_note(twice, "run.rng:4: the element 'Fe' is given twice (also on line 2)"));
  // Its first line, also after other repeats.
  const range_file thrice = rng(
      "4 1\nW\nW 1 0 0\nW\nW 1 0 0\nO\nO 0 1 0\nO\nO 0 1 0\n---- W W O O\n. 66.6 66.75 1 0 1 0\n");
  EXPECT_EQ(thrice.ranges[0].name, "WO");
  EXPECT_TRUE(has_note(thrice, "run.rng:8: the element 'O' is given twice (also on line 6)"));
}

TEST(RangeFileVariants, RngPlaceholderColumnNamesAreTakenInTheOrderOfTheElements) {
  const std::string ions = "3 3\nIron\nFe 1 0 0\nAluminium\nAl 0 1 0\nOxygen\nO 0 0 1\n";
  const std::string ranges = ". 27.9 28.05 1 0 0\n. 26.9 27.1 0 1 0\n. 43.9 44.1 0 1 1\n";
  const range_file f = rng(ions + "------------ Element1 Element2 Element3\n" + ranges);
  EXPECT_EQ(elements_of(f), (std::vector<std::string>{"Al", "Fe", "AlO"}));
  ASSERT_EQ(f.notes.size(), 1u);
  EXPECT_EQ(f.notes[0],
            "run.rng:8: the column names 'Element1', 'Element2', 'Element3' are none of the "
            "elements; the columns are taken in the order of the element list");

  // The names on the line after the dashes; a placeholder among real names.
  const range_file next_line = rng(ions + "------------\nFe Al O\n" + ranges);
  EXPECT_EQ(elements_of(next_line), elements_of(f));
  EXPECT_TRUE(next_line.notes.empty());
  const range_file one = rng(ions + "------------ Fe Al Element3\n" + ranges);
  EXPECT_EQ(elements_of(one), elements_of(f));
  EXPECT_TRUE(has_note(one, "run.rng:8: the column names 'Element3' are none of the elements"));

  // A name that says another order than the list, beside placeholders,
  // cannot be matched: refused, naming the line.
  EXPECT_EQ(refusal(ions + "------------ Al Element2 Element3\n" + ranges, range_format::rng),
            "W.rrng:8: the column 'Al' names an element that is not in this place of the "
            "element list, and other columns name none: the columns cannot be matched to the "
            "elements");
  // A different number of names than elements stays refused.
  EXPECT_EQ(refusal(ions + "------------ Element1 Element2\n" + ranges, range_format::rng),
            "W.rrng:8: the dashed line names 2 columns for 3 elements");
}

TEST(RangeFileVariants, IonsThatAreNoElementAreKeptAndNamedInOneNote) {
  const range_file f = rrng(
      "[Ions]\nNumber=4\nIon1=Fe\nIon2=Uo1\nIon3=A\nIon4=All\n"
      "[Ranges]\nNumber=5\n"
      "Range1=27.9 28.05 Fe:1\n"
      "Range2=30 31 Uo1:1\n"
      "Range3=40 41 A:1\n"
      "Range4=50 51 Uo1:1\n"
      "Range5=60 61 All:2 Fe:1\n");
  ASSERT_EQ(f.ranges.size(), 5u);
  EXPECT_EQ(f.ranges[1].composition, (std::vector<ion_part>{{"Uo1", 1}}));
  EXPECT_EQ(f.ranges[4].name, "All2Fe");
  ASSERT_EQ(f.notes.size(), 1u);
  EXPECT_EQ(f.notes[0],
            "W.rrng: the ions 'Uo1', 'A', 'All' are no elements: their ranges are read as ions "
            "of those names, with no charge and in no element's counts");
  // Element symbols in another case are elements.
  EXPECT_TRUE(rrng("[Ranges]\nRange1=27.9 28.05 FE:1\nRange2=30 31 si:1\n").notes.empty());

  // Many names: a dozen listed, the rest counted.
  std::string many = "[Ranges]\n";
  for (int i = 0; i < 15; ++i) {
    many += "Range1=" + std::to_string(10 + i) + " " + std::to_string(10 + i) + ".5 Q" +
            std::to_string(i) + ":1\n";
  }
  const range_file labels = rrng(many);
  ASSERT_EQ(labels.notes.size(), 1u);
  EXPECT_NE(labels.notes[0].find("'Q11' and 3 more are no elements"), std::string::npos)
      << labels.notes[0];
}

TEST(RangeFileVariants, ABadColourIsNotedAndLeftOutNotRefused) {
  const range_file f =
      rng("4 4\n"
          "Tungsten\nW 1.2 0 0\n"         // above 1
          "Oxygen\nO 0 1\n"               // two numbers
          "Carbon\nC\n"                   // none
          "Nitrogen\nN red green blue\n"  // no numbers
          "---- W O C N\n"
          ". 60.5 60.7 1 0 0 0\n. 15.9 16.1 0 1 0 0\n. 11.9 12.1 0 0 1 0\n. 13.9 14.1 0 0 0 1\n");
  EXPECT_EQ(elements_of(f), (std::vector<std::string>{"C", "N", "O", "W"}));
  for (const mass_range& r : f.ranges) EXPECT_EQ(r.colour, "");
  EXPECT_EQ(f.notes.size(), 4u);
  EXPECT_TRUE(has_note(
      f,
      "run.rng:3: the colour of 'W' is not three numbers from 0 to 1 (red, green, blue) and "
      "is left out"));
  EXPECT_TRUE(has_note(f, "run.rng:9: the colour of 'N' is not three numbers"));

  // .rrng: a colour that is not six hex digits, or given twice, and a
  // volume or name given twice: the first holds, with a note.
  const range_file r = rrng(
      "[Ranges]\nRange1=60.5 60.7 W:1 Color:red\n"
      "Range2=61.2 61.4 W:1 Color:00FF00 Color:FF0000 Vol:1 Vol:2 Name:a Name:b\n");
  EXPECT_EQ(r.ranges[0].colour, "");
  EXPECT_EQ(r.ranges[1].colour, "00FF00");
  EXPECT_EQ(r.ranges[1].volume, 1.0);
  EXPECT_EQ(r.ranges[1].name, "a");
  EXPECT_TRUE(has_note(r, "W.rrng:2: the colour 'red' is not six hex digits and is left out"));
  EXPECT_TRUE(has_note(r, "W.rrng:3: the colour is given twice; the first is kept"));
  EXPECT_TRUE(has_note(r, "W.rrng:3: the volume is given twice; the first is kept"));
  EXPECT_TRUE(has_note(r, "W.rrng:3: the name is given twice; the first is kept"));
}

TEST(RangeFileVariants, DuplicateRangesAreMergedWithOneNote) {
  // 48 ranges, each given 30 times in turn: 1,440 lines, as a real file does.
  std::string text = "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=1440\n";
  for (int copy = 0; copy < 30; ++copy) {
    for (int r = 0; r < 48; ++r) {
      text += "Range" + std::to_string(r + 1) + "=" + std::to_string(10 + r) + ".25 " +
              std::to_string(10 + r) + ".75 Vol:0.01585 W:1 Color:FF0000\n";
    }
  }
  const range_file f = rrng(text);
  ASSERT_EQ(f.ranges.size(), 48u);
  for (std::size_t r = 0; r < 48; ++r) EXPECT_EQ(f.ranges[r].line, r + 6);  // the first copies
  ASSERT_EQ(f.notes.size(), 1u);
  EXPECT_EQ(f.notes[0],
            "W.rrng: 1,392 duplicate ranges merged: a range given again with the same bounds and "
            "ion is counted once (line 54 repeats line 6)");
  // The same ion written otherwise (element order, case) is the same.
  EXPECT_EQ(rrng("[Ranges]\nRange1=66.6 66.75 W:1 O:1\nRange2=66.6 66.75 o:1 w:1\n").ranges.size(),
            1u);
}

TEST(RangeFileVariants, OverlappingRangesOfOneIonAreMergedIntoTheirUnion) {
  const range_file f = rrng(
      "[Ranges]\n"
      "Range1=60.5 60.8 W:1\n"
      "Range2=60.6 60.7 W:1\n"   // within the first
      "Range3=60.75 60.9 W:1\n"  // overlapping the union
      "Range4=61.2 61.4 W:1\n"
      "Range5=61.4 61.5 W:1\n");  // touching: kept apart
  ASSERT_EQ(f.ranges.size(), 3u);
  EXPECT_EQ(f.ranges[0].low, 60.5);
  EXPECT_EQ(f.ranges[0].high, 60.9);
  EXPECT_EQ(f.ranges[0].line, 2u);
  EXPECT_EQ(f.notes[0],
            "W.rrng:3: the range 60.6\u201360.7 Da lies within the range 60.5\u201360.8 Da of line "
            "2, of the same ion W: read as one range 60.5\u201360.8 Da");
  EXPECT_EQ(
      f.notes[1],
      "W.rrng:4: the range 60.75\u201360.9 Da overlaps the range 60.5\u201360.8 Da of line 2, "
      "of the same ion W: read as one range 60.5\u201360.9 Da");
  EXPECT_TRUE(has_note(f, "W.rrng:6: the range 61.4\u201361.5 Da shares the bound 61.4 Da"));
  EXPECT_EQ(f.find(60.85), 0u);

  // A union that reaches a range of another ion is refused with both lines.
  EXPECT_EQ(refusal("[Ranges]\nRange1=60.5 60.8 W:1\nRange2=60.9 61 Mo:1\nRange3=60.7 60.95 W:1\n"),
            "W.rrng:3: the range 60.9\u201361 Da overlaps the range 60.5\u201360.95 Da of line 2");
  // So is a nested range of another ion (.rng as well).
  EXPECT_EQ(refusal("2 2\nW\nW 1 0 0\nO\nO 0 1 0\n---- W O\n. 60 61 1 0\n. 60.2 60.3 1 1\n",
                    range_format::rng),
            "W.rrng:8: the range 60.2\u201360.3 Da overlaps the range 60\u201361 Da of line 7");
}

TEST(RangeFileVariants, RepeatedRangeKeysAreReadInFileOrder) {
  // A file that numbers every range 1, unsorted.
  const range_file f = rrng(
      "[Ions]\nIon1=W\nIon1=O\n[Ranges]\nNumber=3\n"
      "Range1=61.2 61.4 W:1\nRange1=15.9 16.1 O:1\nRange1=60.5 60.7 W:1\n");
  EXPECT_EQ(f.ions, (std::vector<std::string>{"W", "O"}));
  ASSERT_EQ(f.ranges.size(), 3u);
  EXPECT_EQ(f.ranges[0].line, 7u);
  EXPECT_EQ(f.ranges[1].line, 8u);
  EXPECT_EQ(f.ranges[2].line, 6u);
  EXPECT_TRUE(f.notes.empty());
}

TEST(RangeFileVariants, NotesOfOneKindAreListedTenTimesThenCounted) {
  std::string text = "[Ranges]\n";
  for (int i = 0; i < 25; ++i) text += "Key" + std::to_string(i) + "=1\n";
  text += "Range1=1 2 H:1\n";
  const range_file f = rrng(text);
  ASSERT_EQ(f.notes.size(), 11u);
  EXPECT_EQ(f.notes[9], "W.rrng:11: the key 'Key9' is not known and is skipped");
  EXPECT_EQ(f.notes[10], "W.rrng: and 15 more lines skipped, not listed one by one");
}

TEST(RangeFileVariants, AnIonOfMoreElementsThanAnyIonHasIsRefused) {
  std::string parts;
  for (std::size_t i = 0; i <= most_elements_per_ion; ++i) parts += " Q" + std::to_string(i) + ":1";
  EXPECT_EQ(refusal("[Ranges]\nRange1=1 2" + parts + "\n"),
            "W.rrng:2: the ion has more than 32 elements: no ion is made of so many");
  // Counts of 0 name nothing and cost nothing.
  std::string zeros;
  for (int i = 0; i < 1000; ++i) zeros += " Q" + std::to_string(i) + ":0";
  EXPECT_TRUE(rrng("[Ranges]\nRange1=1 2 H:1" + zeros + "\n").ranges[0].single_atom());
}

// A caller's cancel flag (Ctrl-C in Python) stops the reading of a range file
// within a few thousand lines; lowered, it changes nothing.
TEST(RangeFile, ReadingStopsWhenTheCancelFlagIsRaised) {
  std::string text = "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=20000\n";
  for (int i = 0; i < 20000; ++i) {
    text += "Range" + std::to_string(i + 1) + "=" + std::to_string(1000 + i) + ".1 " +
            std::to_string(1000 + i) + ".2 W:1\n";
  }
  std::atomic<bool> cancel{false};
  EXPECT_EQ(parse_range_text(text, "W.rrng", std::nullopt, &cancel).ranges.size(), 20000u);
  cancel = true;
  EXPECT_THROW(parse_range_text(text, "W.rrng", std::nullopt, &cancel), cancelled);
  std::string rng = "1 20000\nTungsten\nW 1 0 0\n---- W\n";
  for (int i = 0; i < 20000; ++i) {
    rng += ". " + std::to_string(1000 + i) + ".1 " + std::to_string(1000 + i) + ".2 1\n";
  }
  EXPECT_THROW(parse_range_text(rng, "W.rng", std::nullopt, &cancel), cancelled);
  const temp_folder folder;
  const auto path = folder.write("W.rrng", text);
  EXPECT_THROW(read_range_file(path, &cancel), cancelled);
  cancel = false;
  EXPECT_EQ(read_range_file(path, &cancel).ranges.size(), 20000u);
}
