#pragma once

// The rules shared by every search of the charge states: the over-barrier
// fields, the field of a ratio, the edge where a pair's ratio ends and the
// inversion of many ratios at once. Their results are compared bit for bit,
// so the fields of a round and the order they are looked at are written once,
// here.

#include <cstddef>
#include <vector>

namespace veltrane::detail {

/// The lowest field a search looks at, V/nm: the ratio scans and the ratio
/// tables start here.
inline constexpr double scan_start_v_per_nm = 1.0;
/// A round of bisection evaluates this many fields, whatever the number of
/// threads (threads only share a round): it shrinks a bracket eightfold.
inline constexpr std::size_t bisection_points = 7;
/// With no NaN in its sweep, a step's over-barrier field is looked for up to
/// this many times the sweep's end (and so are its ratios).
inline constexpr double search_limit_factor = 4.0;

/// A bracket [lo, hi] of something sought between two fields (where a step's
/// value ends, where a ratio crosses a value), narrowed by rounds of
/// bisection.
struct bisection_bracket {
  double lo = 0.0, hi = 0.0;

  /// Appends the fields of the next round: the bisection_points fields that
  /// split the bracket into equal parts, rising.
  void add_round(std::vector<double>& fields) const {
    for (std::size_t m = 1; m <= bisection_points; ++m) {
      fields.push_back(lo + (hi - lo) * static_cast<double>(m) /
                                static_cast<double>(bisection_points + 1));
    }
  }

  /// Narrows the bracket to a round whose fields start at `fields`:
  /// from below, each field on lo's side (on_lo_side(m) is true) becomes lo,
  /// and the first that is not becomes hi and ends the round (the fields
  /// above it are not looked at). False when neither end moved: no double
  /// lies between them any more.
  template <class Side>
  bool narrow(const double* fields, const Side& on_lo_side) {
    const double before_lo = lo, before_hi = hi;
    for (std::size_t m = 0; m < bisection_points; ++m) {
      if (!on_lo_side(m)) {
        hi = fields[m];
        break;
      }
      lo = fields[m];
    }
    return lo != before_lo || hi != before_hi;
  }
};

}  // namespace veltrane::detail
