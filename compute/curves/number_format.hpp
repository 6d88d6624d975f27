#pragma once

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
