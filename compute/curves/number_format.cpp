#include "compute/curves/number_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool same_word(std::string_view text, std::string_view word) {
  return !word.empty() && same_ignoring_case(text, word);
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

bool consume(std::string_view& s, std::string_view prefix) {
  if (prefix.empty() || !s.starts_with(prefix)) return false;
  s.remove_prefix(prefix.size());
  return true;
}

// The locale's words; a sign in front of the positive infinity is accepted.
std::optional<double> parse_word(std::string_view s, const number_format& f) {
  if (same_word(s, f.nan_symbol)) return std::numeric_limits<double>::quiet_NaN();
  if (same_word(s, f.negative_infinity_symbol)) return -inf;
  if (same_word(s, f.positive_infinity_symbol)) return inf;
  if (!s.empty() && (s.front() == '+' || s.front() == '-') &&
      same_word(s.substr(1), f.positive_infinity_symbol)) {
    return s.front() == '-' ? -inf : inf;
  }
  return std::nullopt;
}

}  // namespace

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

number_format plain_number_format() {
  number_format f;
  f.group_separator.clear();
  return f;
}

namespace {

// The significant digits of a mantissa without leading zeros, and how many
// of them stand after the decimal separator.
struct mantissa {
  std::string digits;
  std::int64_t fraction_digits = 0;
  bool any_digit = false;
};

mantissa read_mantissa(std::string_view& s, const number_format& format) {
  mantissa m;
  while (!s.empty()) {
    if (is_digit(s.front())) {
      if (!m.digits.empty() || s.front() != '0') m.digits.push_back(s.front());
      m.any_digit = true;
      s.remove_prefix(1);
    } else if (m.any_digit && consume(s, format.group_separator)) {
      // a group separator inside the integral part is ignored
    } else {
      break;
    }
  }
  if (consume(s, format.decimal_separator)) {
    while (!s.empty() && is_digit(s.front())) {
      // a leading zero of the fraction is no digit but still scales
      if (!m.digits.empty() || s.front() != '0') m.digits.push_back(s.front());
      ++m.fraction_digits;
      m.any_digit = true;
      s.remove_prefix(1);
    }
  }
  return m;
}

// The exponent after an 'e' or 'E', saturated far beyond the range of a
// double; 0 without one, nothing for an 'e' without digits.
std::optional<std::int64_t> read_exponent(std::string_view& s) {
  std::int64_t exponent = 0;
  if (s.empty() || (s.front() != 'e' && s.front() != 'E')) return exponent;
  s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !is_digit(s.front())) return std::nullopt;
  while (!s.empty() && is_digit(s.front())) {
    if (exponent < 1'000'000'000) exponent = exponent * 10 + (s.front() - '0');
    s.remove_prefix(1);
  }
  return negative ? -exponent : exponent;
}

// digits * 10^scale, correctly rounded; its decimal exponent decides over-
// and underflow before the digits are converted.
std::optional<double> decimal_value(bool negative, const std::string& digits, std::int64_t scale) {
  const double zero = negative ? -0.0 : 0.0;
  if (digits.empty()) return zero;
  const std::int64_t magnitude = static_cast<std::int64_t>(digits.size()) - 1 + scale;
  if (magnitude > 400) return std::nullopt;
  if (magnitude < -400) return zero;
  std::string literal = negative ? "-" : "";
  literal += digits;
  literal += 'e';
  literal += std::to_string(scale);
  double value = 0.0;
  const auto [end, error] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
  if (error == std::errc::result_out_of_range) {
    if (magnitude > 0) return std::nullopt;
    return zero;
  }
  if (error != std::errc{} || end != literal.data() + literal.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<double> parse_number(std::string_view text, const number_format& format) {
  std::string_view s = trim_blanks(text);
  if (auto word = parse_word(s, format)) return word;
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  const mantissa m = read_mantissa(s, format);
  if (!m.any_digit) return std::nullopt;
  const auto exponent = read_exponent(s);
  if (!exponent || !s.empty()) return std::nullopt;
  return decimal_value(negative, m.digits, *exponent - m.fraction_digits);
}

namespace {

// The shortest digits of a finite double that read back as it.
std::string shortest_digits(double value) {
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string localised_text(double value, const number_format& format) {
  if (std::isnan(value)) return format.nan_symbol;
  if (std::isinf(value)) {
    return value > 0 ? format.positive_infinity_symbol : format.negative_infinity_symbol;
  }
  std::string text = shortest_digits(value);
  const std::size_t point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, format.decimal_separator);
  return text;
}

std::string list_separator(const number_format& format) {
  return format.decimal_separator == "," ? "; " : ", ";
}

std::string format_number(double value) {
  // The sign of a NaN carries no meaning; it is written as "nan" in every case.
  if (std::isnan(value)) return "nan";
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

std::string shortest_number(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return "0";  // no "-0"
  return shortest_digits(value);
}

std::string fixed_number(double value, int decimals) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed,
                                    std::max(decimals, 0));
  std::string text(buffer, result.ptr);
  if (text.find('.') != std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

std::optional<std::uint64_t> parse_whole_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string whole_number_fault(std::string_view text, std::uint64_t lowest, std::uint64_t highest) {
  const auto value = parse_whole_number(text);
  if (value && *value >= lowest && *value <= highest) return {};
  const std::string which =
      highest == std::numeric_limits<std::uint64_t>::max()
          ? "of at least " + std::to_string(lowest)
          : "from " + std::to_string(lowest) + " to " + std::to_string(highest);
  return "must be a whole number " + which + ", not \"" + std::string(text) + "\"";
}

std::string shortest_text(double value) { return localised_text(value, plain_number_format()); }

answer_numbers plain_answer_numbers() {
  answer_numbers n;
  n.field = n.number = n.count = format_number;
  n.shift = [](double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f", v);
    return std::string(text);
  };
  return n;
}

std::optional<std::string> misread_warning(std::string_view text, const number_format& format) {
  const std::string& group = format.group_separator;
  if (group != "." && group != ",") return std::nullopt;
  if (format.decimal_separator == group) return std::nullopt;
  const std::string_view trimmed = trim_blanks(text);
  if (trimmed.find(group) == std::string_view::npos) return std::nullopt;
  if (trimmed.find(format.decimal_separator) != std::string_view::npos) return std::nullopt;
  const auto value = parse_number(trimmed, format);
  if (!value) return std::nullopt;

  std::string meant(trimmed);
  std::string decimal(trimmed);
  for (std::size_t at = decimal.find(group); at != std::string::npos;
       at = decimal.find(group, at + format.decimal_separator.size())) {
    decimal.replace(at, group.size(), format.decimal_separator);
  }
  const char* name = group == "." ? "point" : "comma";
  return "Read as " + localised_text(*value, format) + ". Here the " + name +
         " separates thousands; for " + meant + " as a decimal number type " + decimal + ".";
}

}  // namespace veltrane
