#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

/// At most this many fields in one table.
inline constexpr std::size_t max_fraction_fields = 100000;

/// The step of a field axis unless one is given, V/nm.
inline constexpr double default_field_step_v_per_nm = 0.5;

/// The fields from `from` to `to` (V/nm) in steps of `step`, each from + i
/// step, `to` included when it lies on the grid. A message instead when from
/// is not below to, the step is not above 0, a bound is not finite, or the
/// grid would exceed max_fraction_fields.
std::optional<std::vector<double>> field_grid(double from, double to, double step,
                                              std::string* message);

/// Refuses, with input_refused, a scan of `what` (e.g. "the ratio scan of
/// 3+/2+") from `from` to `to` V/nm every `step` V/nm that would take
/// max_fraction_fields fields or more: such a far end means inputs far from
/// any real ion.
void check_scan_length(const std::string& what, double from, double to, double step);

}  // namespace veltrane
