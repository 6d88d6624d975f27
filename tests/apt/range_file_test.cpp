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
  EXPECT_EQ(twice.ranges[0].line, 3u);  // the first one is kept
  ASSERT_EQ(twice.notes.size(), 1u);
  EXPECT_EQ(twice.notes[0],
            "W.rrng:5: the range 60.55\u201360.75 Da of W is the same as that of line 3 and is "
            "counted once");

  EXPECT_EQ(refusal("[Ranges]\nRange1=60.7 60.9 W:1\nRange2=60.55 60.75 W:1\n"),
            "W.rrng:3: the range 60.55\u201360.75 Da overlaps the range 60.7\u201360.9 Da of "
            "line 2");
  // The same bounds for other ions, and a range within another, overlap.
  EXPECT_EQ(refusal("[Ranges]\nRange1=60.55 60.75 W:1\nRange2=60.55 60.75 W:1 O:1\n"),
            "W.rrng:3: the range 60.55\u201360.75 Da overlaps the range 60.55\u201360.75 Da of "
            "line 2");
  EXPECT_EQ(refusal("[Ranges]\nRange1=10 20 H:1\nRange2=30 31 O:1\nRange3=12 13 O:1\n"),
            "W.rrng:4: the range 12\u201313 Da overlaps the range 10\u201320 Da of line 2");
  // A long range that covers the next two, past a range that fits between.
  EXPECT_NE(refusal("[Ranges]\nRange1=1 2 H:1\nRange2=3 9 O:1\nRange3=4 5 O:1\nRange4=6 7 C:1\n")
                .find("W.rrng:4: "),
            std::string::npos);

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
  EXPECT_EQ(bad("60 61 Name:a Name:b"), "W.rrng:2: the name is given twice");
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
            "W.rng:5: a range line holds '.', the low and high bound and 1 counts; '. 60.55 "
            "60.75' does not");
  EXPECT_EQ(bad(head + ". 60.55 x 1\n"), "W.rng:5: the high bound 'x' is not a number");
  EXPECT_EQ(bad(head + ". 60.75 60.55 1\n").substr(0, 20), "W.rng:5: the range 6");
  EXPECT_EQ(bad(head + ".60.55 60.75 1\n"), "W.rng:5: '.60.55 60.75 1' is not a range line");
  EXPECT_EQ(bad(head), "W.rng:1: declares 1 ranges, but 0 are given: the file may be cut off");
  EXPECT_EQ(bad("one two\n"),
            "W.rng:1: the first line 'one two' is not the numbers of elements and of ranges of an "
            ".rng file");
  EXPECT_EQ(bad("1 1\nW\n2 0 0\n------ W\n. 1 2 1\n"),
            "W.rng:3: the colour of 'W' is not three numbers from 0 to 1 (red, green, blue)");
  EXPECT_EQ(bad("1 1\nW\n1 0 0\n------ W O\n"),
            "W.rng:4: the dashed line names 2 columns for 1 elements");
  EXPECT_EQ(bad("1 1\nW\n1 0 0\n------ O\n"), "W.rng:4: the column 'O' is none of the elements");
  EXPECT_EQ(bad("1 1\nW\n1 0 0\n. 1 2 1\n"),
            "W.rng:4: the dashed line of the element columns was expected");
  EXPECT_EQ(bad("2 0\nW\n1 0 0\n"), "W.rng: ends before its 2 elements");
  EXPECT_EQ(bad("2 0\nW\n1 0 0\nW\n0 0 1\n"), "W.rng:4: the element 'W' is given twice");
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
