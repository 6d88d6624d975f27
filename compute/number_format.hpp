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

}  // namespace veltrane
