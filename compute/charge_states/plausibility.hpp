#pragma once

// Whether a field read from a measured ratio can be a real specimen's. The
// model answers every ratio it reaches, also where no measurement can come
// from: far above the fields at which any element evaporates, and at the
// over-barrier field of the lower state, where the model's ratio jumps to
// infinity and every larger ratio gives that same field.

#include <string>

#include "compute/curves/number_format.hpp"

namespace veltrane {

/// V/nm. No specimen withstands a field above this: every element
/// field-evaporates far below it (the highest evaporation fields are about
/// 60 V/nm), so a field read above it says that the pair, n or an energy
/// does not describe the measurement.
inline constexpr double highest_real_field_v_per_nm = 100.0;

/// V/nm. A field this close below the over-barrier field of the lower state
/// (or above it) is the over-barrier field itself as the window shows it, to
/// two decimals: the ratio lies beyond every ratio the model gives below
/// that field.
inline constexpr double over_barrier_edge_v_per_nm = 0.01;

/// What speaks against a field read from the ratio of pair k.
struct field_doubts {
  bool beyond_real_fields = false;    ///< above highest_real_field_v_per_nm
  bool at_over_barrier_edge = false;  ///< within over_barrier_edge_v_per_nm of E_ob,k
  bool any() const { return beyond_real_fields || at_over_barrier_edge; }
};

/// The doubts about `field_v_per_nm`, read from r_k whose lower state k+ is
/// ionised further with certainty from `over_barrier_v_per_nm` (E_ob,k;
/// +inf when the model has none). A field that is not a number raises none.
field_doubts doubts_about_field(double field_v_per_nm, double over_barrier_v_per_nm);

/// The warning that goes with a field read from r_k = `ratio`, each number
/// written by `numbers`; empty when there is no doubt:
///   "Not a real field: no specimen withstands more than about 100 V/nm
///    (every element evaporates far below), so the pair, n or an energy does
///    not describe this measurement."
///   "At the over-barrier edge: 3+/2+ = 1e+09 lies above every ratio the
///    model gives below E_ob = 38.83 V/nm, where 2+ is ionised further with
///    certainty; every larger ratio gives this same field, so it is not read
///    from the ratio."
std::string field_warning(int k, double ratio, double field_v_per_nm, double over_barrier_v_per_nm,
                          const answer_numbers& numbers);

}  // namespace veltrane
