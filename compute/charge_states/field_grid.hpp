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

/// What is wrong with a field at which the model is to be evaluated, to
/// follow the field's name and value: "is not a finite number", "is not
/// above 0 V/nm" (the model has no value at a field of 0 or below); empty
/// for a finite field above 0. The one rule of every door's fields.
std::string field_fault(double E);

/// "the field step must be a finite number above 0, not 0"; empty for a
/// finite step above 0.
std::string field_step_fault(double step);

/// The fields from `from` to `to` (V/nm) in steps of `step`, each from + i
/// step, `to` included when it lies on the grid. A message instead when a
/// bound is not finite or not above 0 (field_fault), from is not below to,
/// the step is not above 0, or the grid would exceed max_fraction_fields.
std::optional<std::vector<double>> field_grid(double from, double to, double step,
                                              std::string* message);

/// Refuses, with input_refused, a scan of `what` (e.g. "the ratio scan of
/// 3+/2+") from `from` to `to` V/nm every `step` V/nm that would take
/// max_fraction_fields fields or more: such a far end means inputs far from
/// any real ion.
void check_scan_length(const std::string& what, double from, double to, double step);

}  // namespace veltrane
