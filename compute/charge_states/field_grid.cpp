#include "compute/charge_states/field_grid.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/curves/text_export.hpp"

namespace veltrane {

namespace {

// A grid's end counts as on the grid within this fraction of a step.
constexpr double grid_end_tolerance = 1e-9;

// The digits after the decimal point of the shortest text of x that reads
// back as x ("100.0001": 4, "0.5": 1, "1e-07": 7); a large number when x
// needs more than 17 of them.
int decimal_places(double x) {
  char buffer[64];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed).ptr;
  const std::string text(buffer, end);
  const std::size_t point = text.find('.');
  return point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
}

// A field of a grid whose start and step are short decimals, as the user
// means it: from + i step rounded to the decimals of start and step, where
// that moves it by far less than a step (100.0001 + 2 * 0.0001 is
// 100.00030000000001 in doubles, meant as 100.0003).
double on_decimal_grid(double E, int places, double step) {
  if (places > 15) return E;
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", places, E);
  const double rounded = std::strtod(buffer, nullptr);
  return std::abs(rounded - E) <= grid_end_tolerance * step ? rounded : E;
}

}  // namespace

std::string field_fault(double E) {
  if (!std::isfinite(E)) return "is not a finite number";
  if (!(E > 0.0)) return "is not above 0 V/nm";
  return {};
}

std::string field_step_fault(double step) {
  if (std::isfinite(step) && step > 0.0) return {};
  return "the field step must be a finite number above 0, not " + format_number(step);
}

std::optional<std::vector<double>> field_grid(double from, double to, double step,
                                              std::string* message) {
  auto refuse_grid = [message](std::string text) {
    if (message != nullptr) *message = std::move(text);
    return std::nullopt;
  };
  if (!std::isfinite(from) || !std::isfinite(to) || !std::isfinite(step)) {
    return refuse_grid("the field range and step must be finite numbers");
  }
  for (const auto& [name, E] : {std::pair{"lowest", from}, std::pair{"highest", to}}) {
    if (const std::string fault = field_fault(E); !fault.empty()) {
      return refuse_grid(std::string("the ") + name + " field " + format_number(E) + " V/nm " +
                         fault);
    }
  }
  if (!(from < to)) {
    return refuse_grid("the field range must rise: " + format_number(from) + " is not below " +
                       format_number(to) + " V/nm");
  }
  if (const std::string fault = field_step_fault(step); !fault.empty()) return refuse_grid(fault);
  // `to` counts as on the grid within a billionth of a step of it.
  const double steps = (to - from) / step;
  const double nearest = std::round(steps);
  const double intervals =
      std::abs(steps - nearest) <= grid_end_tolerance ? nearest : std::floor(steps);
  if (!(intervals + 1.0 <= static_cast<double>(max_fraction_fields))) {
    return refuse_grid("the range from " + format_number(from) + " to " + format_number(to) +
                       " V/nm in steps of " + format_number(step) + " has more than " +
                       std::to_string(max_fraction_fields) + " fields");
  }
  const long long count = std::llround(intervals) + 1;
  const int places = std::max(decimal_places(from), decimal_places(step));
  std::vector<double> E;
  E.reserve(static_cast<std::size_t>(count));
  for (long long i = 0; i < count; ++i) {
    E.push_back(on_decimal_grid(from + step * static_cast<double>(i), places, step));
  }
  return E;
}

void check_scan_length(const std::string& what, double from, double to, double step) {
  if (!((to - from) / step < static_cast<double>(max_fraction_fields))) {
    throw input_refused(what + " from " + format_number(from) + " to " + format_number(to) +
                        " V/nm in steps of " + format_number(step) + " V/nm has more than " +
                        std::to_string(max_fraction_fields) +
                        " fields; are the ionisation energies right?");
  }
}

}  // namespace veltrane
