#pragma once

// The rules shared by the searches of charge_states: the over-barrier
// fields and the fields of a ratio.

#include <cstddef>

namespace veltrane::detail {

/// The lowest field a search looks at, V/nm.
inline constexpr double scan_start_v_per_nm = 1.0;
/// A round of bisection evaluates this many fields, whatever the number of
/// threads (threads only share a round): it shrinks a bracket eightfold.
inline constexpr std::size_t bisection_points = 7;
/// With no NaN in its sweep, a step's over-barrier field is looked for up to
/// this many times the sweep's end.
inline constexpr double search_limit_factor = 4.0;

}  // namespace veltrane::detail
