#include "compute/curves/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

using veltrane::fixed_number;
using veltrane::format_number;
using veltrane::number_format;
using veltrane::parse_number;
using veltrane::parse_whole_number;
using veltrane::shortest_number;
using veltrane::shortest_text;
using veltrane::whole_number_fault;

namespace {

number_format english() { return {}; }  // "." decimal, "," groups
number_format german() { return {",", ".", "NaN", "Infinity", "-Infinity"}; }
number_format french() { return {",", "\u202f", "NaN", "\u221e", "-\u221e"}; }

}  // namespace

TEST(NumberParser, AcceptsTheFloatSyntax) {
  const auto f = english();
  EXPECT_EQ(parse_number("4.55", f), 4.55);
  EXPECT_EQ(parse_number(" 7.5 ", f), 7.5);
  EXPECT_EQ(parse_number("\t7.5\r\n", f), 7.5);
  EXPECT_EQ(parse_number("1e1", f), 10.0);
  EXPECT_EQ(parse_number("-2.5E-3", f), -2.5e-3);
  EXPECT_EQ(parse_number("+3", f), 3.0);
  EXPECT_EQ(parse_number(".5", f), 0.5);
  EXPECT_EQ(parse_number("5.", f), 5.0);
  EXPECT_EQ(parse_number("1,000.25", f), 1000.25);
  EXPECT_EQ(parse_number("1,0,0", f), 100.0) << "groups of any size";
  EXPECT_EQ(parse_number("7.864", f), 7.864) << "correctly rounded";
  EXPECT_EQ(parse_number("0.1", f), 0.1);
  const auto negative_zero = parse_number("-0", f);
  ASSERT_TRUE(negative_zero);
  EXPECT_TRUE(std::signbit(*negative_zero));
}

TEST(NumberParser, RejectsWhatIsNotANumber) {
  const auto f = english();
  for (const char* text : {"", " ", "abc", "4.5.5", ",5", "1e", "1e+", "e5", "--1", "+-1", "1 2",
                           "4.5x", ".", "-", "1,000,.5e", "0x10", "1d", "١٢"}) {
    EXPECT_FALSE(parse_number(text, f)) << '"' << text << '"';
  }
  EXPECT_FALSE(parse_number(std::string("1\0", 2), f)) << "an embedded NUL";
}

TEST(NumberParser, FollowsTheLocale) {
  EXPECT_EQ(parse_number("4,5", german()), 4.5);
  EXPECT_EQ(parse_number("4.5", german()), 45.0) << "the point groups digits there";
  EXPECT_EQ(parse_number("1.234,5e1", german()), 12345.0);
  EXPECT_FALSE(parse_number("4,5,5", german()));
  EXPECT_EQ(parse_number("1\u202f234,5", french()), 1234.5);
  EXPECT_FALSE(parse_number("4.5", french()));
  EXPECT_EQ(parse_number("-\u221e", french()), -INFINITY);
}

TEST(NumberParser, WordsForNanAndInfinity) {
  const auto f = english();
  EXPECT_TRUE(std::isnan(*parse_number("NaN", f)));
  EXPECT_TRUE(std::isnan(*parse_number(" nan ", f)));
  EXPECT_EQ(parse_number("Infinity", f), INFINITY);
  EXPECT_EQ(parse_number("-Infinity", f), -INFINITY);
  EXPECT_EQ(parse_number("+infinity", f), INFINITY);
  EXPECT_FALSE(parse_number("inf", f));
  EXPECT_FALSE(parse_number("NaNa", f));
}

TEST(NumberParser, OutOfRangeAndLongTexts) {
  const auto f = english();
  EXPECT_FALSE(parse_number("1e400", f)) << "too large for a double";
  EXPECT_FALSE(parse_number("-1e400", f));
  EXPECT_FALSE(parse_number("1" + std::string(400, '0'), f));
  EXPECT_EQ(parse_number("1e-400", f), 0.0) << "too small becomes zero";
  EXPECT_EQ(parse_number("1e300", f), 1e300);
  EXPECT_EQ(parse_number("1e-300", f), 1e-300);
  EXPECT_EQ(parse_number("1.7976931348623157e308", f), 1.7976931348623157e308);
  EXPECT_EQ(parse_number("4.9e-324", f), 4.9e-324);
  EXPECT_EQ(parse_number("0." + std::string(1000, '0') + "1e1000", f), 0.1);
  EXPECT_EQ(parse_number(std::string(1000, '9') + "e-1000", f), 1.0);
  EXPECT_EQ(parse_number("1e99999999999999999999999", f), std::nullopt);
  EXPECT_EQ(parse_number("1e-99999999999999999999999", f), 0.0);
  EXPECT_EQ(parse_number("0e99999999999", f), 0.0);
}

TEST(NumberParser, PlainFormatHasNoGroups) {
  const auto f = veltrane::plain_number_format();
  EXPECT_EQ(parse_number("16.37", f), 16.37);
  EXPECT_FALSE(parse_number("1,000", f));
}

TEST(MisreadWarning, PointOrCommaThatGroupsWhereADecimalWasMeant) {
  const auto de = german();
  const auto en = english();
  // A point that groups thousands under a German locale, a comma under an
  // English one: read as thousands, and said so.
  EXPECT_EQ(veltrane::misread_warning("7.864", de),
            "Read as 7864. Here the point separates thousands; for 7.864 as a decimal number "
            "type 7,864.");
  EXPECT_EQ(veltrane::misread_warning("7,864", en),
            "Read as 7864. Here the comma separates thousands; for 7,864 as a decimal number "
            "type 7.864.");
  EXPECT_TRUE(veltrane::misread_warning(" 16.37 ", de));
  // The locale's own decimal separator, a text that also has one, and texts
  // that are no numbers: nothing to warn about.
  EXPECT_FALSE(veltrane::misread_warning("7,864", de));
  EXPECT_FALSE(veltrane::misread_warning("1.234,5", de));
  EXPECT_FALSE(veltrane::misread_warning("7.864", en));
  EXPECT_FALSE(veltrane::misread_warning("7.8.x", de));
  EXPECT_FALSE(veltrane::misread_warning("", de));
  EXPECT_FALSE(veltrane::misread_warning("7\u202f864", french())) << "a space never means a point";
}

TEST(MisreadWarning, LocalisedTextReadsBack) {
  const auto de = german();
  EXPECT_EQ(veltrane::localised_text(7.86403, de), "7,86403");
  EXPECT_EQ(veltrane::localised_text(7864.0, de), "7864");
  EXPECT_EQ(veltrane::localised_text(1e-300, de), "1e-300");
  EXPECT_EQ(veltrane::localised_text(NAN, de), "NaN");
  EXPECT_EQ(veltrane::localised_text(-INFINITY, de), "-Infinity");
  for (double v : {4.55, 0.1, 1.0 / 3.0, 123456.789, 5e-324}) {
    EXPECT_EQ(parse_number(veltrane::localised_text(v, de), de), v);
  }
}

// The texts of the data files: shortest_number reads back exactly (and writes
// no "-0"), shortest_text in the window's words, format_number as data.txt.
TEST(NumberText, EachRuleAsItsFilesWriteIt) {
  EXPECT_EQ(shortest_number(0.1), "0.1");
  EXPECT_EQ(shortest_number(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(shortest_number(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(shortest_number(-0.0), "0");
  EXPECT_EQ(shortest_number(std::nan("")), "nan");
  EXPECT_EQ(shortest_number(-HUGE_VAL), "-inf");
  EXPECT_EQ(shortest_text(7864.0), "7864");
  EXPECT_EQ(shortest_text(-HUGE_VAL), "-Infinity");
  EXPECT_EQ(shortest_text(std::nan("")), "NaN");
  EXPECT_EQ(format_number(1.0 / 3.0), "0.333333");
  EXPECT_EQ(format_number(-std::nan("")), "nan");
}

// The derived numbers of a CSV: at most so many decimals, no trailing zeros.
TEST(NumberText, FixedNumbersDropTrailingZeros) {
  EXPECT_EQ(fixed_number(99.99999999999999, 6), "100");  // a sum of abundances
  EXPECT_EQ(fixed_number(71.45, 6), "71.45");
  EXPECT_EQ(fixed_number(0.000137, 6), "0.000137");
  EXPECT_EQ(fixed_number(713.78573, 3), "713.786");
  EXPECT_EQ(fixed_number(12.0, 3), "12");
  EXPECT_EQ(fixed_number(-0.0025367, 6), "-0.002537");
  EXPECT_EQ(fixed_number(-0.0000001, 3), "0");
  EXPECT_EQ(fixed_number(1e20, 3), "100000000000000000000");
  EXPECT_EQ(fixed_number(NAN, 3), "nan");
  EXPECT_EQ(fixed_number(-INFINITY, 3), "-inf");
}

// Whole numbers of the command line's options: decimal digits alone, so that
// "-1" is never the largest unsigned number nor "010" eight.
TEST(NumberParser, WholeNumbersAreDecimalDigitsAlone) {
  EXPECT_EQ(parse_whole_number("0"), 0u);
  EXPECT_EQ(parse_whole_number("010"), 10u);
  EXPECT_EQ(parse_whole_number("18446744073709551615"), UINT64_MAX);
  for (const char* bad :
       {"", "-1", "+1", "1e3", "1.0", "0x10", " 1", "1 ", "18446744073709551616"}) {
    EXPECT_FALSE(parse_whole_number(bad)) << bad;
  }
  EXPECT_EQ(whole_number_fault("5", 1, 1024), "");
  EXPECT_EQ(whole_number_fault("0", 1, 1024), "must be a whole number from 1 to 1024, not \"0\"");
  EXPECT_EQ(whole_number_fault("-1", 0), "must be a whole number of at least 0, not \"-1\"");
  EXPECT_EQ(whole_number_fault("1025", 1, 1024),
            "must be a whole number from 1 to 1024, not \"1025\"");
}
