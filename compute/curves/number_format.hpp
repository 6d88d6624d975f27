#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane {

/// The conventions of the user's locale for writing a number: the separators
/// (UTF-8 texts, since some locales group with a no-break space) and the
/// words for not-a-number and the two infinities.
struct number_format {
  std::string decimal_separator = ".";
  std::string group_separator = ",";  ///< empty: no grouping accepted
  std::string nan_symbol = "NaN";
  std::string positive_infinity_symbol = "Infinity";
  std::string negative_infinity_symbol = "-Infinity";
};

/// The lower-case letter of an ASCII capital; every other byte unchanged.
inline char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Whether two texts are equal when ASCII letters are compared without regard
/// to case.
bool same_ignoring_case(std::string_view a, std::string_view b);

/// Point as decimal separator and no grouping: the command line's format.
number_format plain_number_format();

/// Converts a text typed by the user into a double under `format`:
///   [blanks] [+|-] digits-with-groups [separator digits] [e|E [+|-] digits] [blanks]
/// where the group separator may stand anywhere in the integral part after its
/// first digit and is ignored, digits may stand before or after the decimal
/// separator or both, or one of the locale's words for not-a-number and the
/// infinities (matched without regard to case). Blanks are space, tab, and
/// line feed through carriage return.
///
/// Returns nothing when the text is not such a number, and also when it is a
/// well-formed number too large for a double (1e400); a number too small for
/// a double becomes zero of its sign.
std::optional<double> parse_number(std::string_view text, const number_format& format);

/// A number written for the user in `format`: the shortest text that reads
/// back as the same double, with the locale's decimal separator and no
/// grouping ("7,86403" under a decimal comma); NaN and the infinities in the
/// locale's words.
std::string localised_text(double value, const number_format& format);

// The texts of numbers the program writes, one function per rule: each is
// compared byte for byte in some file or message. The figures' coordinates
// (to a hundredth of a point, figure.cpp) are the one rule kept elsewhere:
// they are no number a user reads.

/// The separator of a list of numbers written in `format`: "; " where the
/// decimal separator is a comma ("7864; 16,37; 38,2", which ", " would make
/// unreadable), ", " otherwise.
std::string list_separator(const number_format& format);

/// A double as data.txt writes it: general notation with six significant
/// digits ("%g" in the C locale, whatever the user's locale), "inf" and "-inf"
/// for the infinities and "nan" for any not-a-number. Also the numbers of
/// the command line's messages and tables.
std::string format_number(double value);

/// The shortest text that reads back as the same double ("0.1", "1e-07",
/// "0.30000000000000004"), "nan", "inf" and "-inf"; a zero is "0" whatever its
/// sign. The numbers of every CSV file (fractions, counts, maps, profiles)
/// and of the Python module's messages.
std::string shortest_number(double value);

/// A derived number of a CSV file (a sum of abundances, a corrected or
/// estimated count) with at most `decimals` digits after the point, the
/// trailing zeros dropped ("99.99999999999999" with 6 is "100", 71.45 is
/// "71.45"); "nan", "inf", "-inf"; a zero is "0" whatever its sign.
std::string fixed_number(double value, int decimals);

/// A whole number written in decimal digits alone ("1000": no sign, point,
/// exponent, blank or other base); nothing for anything else, and for one
/// beyond 2^64 - 1.
std::optional<std::uint64_t> parse_whole_number(std::string_view text);

/// Empty when `text` is a whole number (parse_whole_number) from `lowest` to
/// `highest`; else what is wrong, to follow the name of what it gives: "must
/// be a whole number from 1 to 1024, not "-1"" (or "... of at least 1" when
/// `highest` is the largest there is).
std::string whole_number_fault(std::string_view text, std::uint64_t lowest,
                               std::uint64_t highest = UINT64_MAX);

/// A number as the user's input was read: the shortest text that reads back
/// as the same double with the point as decimal separator ("7864", "16.37"),
/// "NaN", "Infinity" and "-Infinity" (the window's words for them); that is,
/// localised_text() in plain_number_format().
std::string shortest_text(double value);

/// How the words of an answer (a field read from measurements, the counts
/// of a dataset) write their numbers. The command line's and the Python
/// module's are plain_answer_numbers(); a window passes its locale's.
struct answer_numbers {
  std::function<std::string(double)> field;   ///< a field, V/nm
  std::function<std::string(double)> number;  ///< a ratio, a confidence in per cent
  std::function<std::string(double)> count;   ///< a number of ions
  std::function<std::string(double)> shift;   ///< a signed change of a field, V/nm
};

/// format_number() for fields, ratios and counts; a shift with its sign and
/// three decimals ("+0.012", "-0.704": "%+.3f", a thousandth of a V/nm being
/// what the sensitivity of a field is read to).
answer_numbers plain_answer_numbers();

/// A warning for a text that holds the locale's group separator where the
/// user may have meant a decimal point: a point or a comma that groups
/// thousands here, in a number without the locale's decimal separator
/// ("7.864" under a German locale reads as 7864). Says how it is read and
/// what to type instead:
///   "Read as 7864. Here the point separates thousands; for 7.864 as a
///    decimal number type 7,864."
/// Nothing for any other text, which includes every text that is no number.
std::optional<std::string> misread_warning(std::string_view text, const number_format& format);

}  // namespace veltrane
