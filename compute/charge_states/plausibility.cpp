#include "compute/charge_states/plausibility.hpp"

#include <cmath>

#include "compute/charge_states/charge_spec.hpp"

namespace veltrane {

field_doubts doubts_about_field(double field_v_per_nm, double over_barrier_v_per_nm) {
  field_doubts d;
  if (std::isnan(field_v_per_nm)) return d;
  d.beyond_real_fields = field_v_per_nm > highest_real_field_v_per_nm;
  d.at_over_barrier_edge = std::isfinite(over_barrier_v_per_nm) &&
                           field_v_per_nm >= over_barrier_v_per_nm - over_barrier_edge_v_per_nm;
  return d;
}

std::string field_warning(int k, double ratio, double field_v_per_nm, double over_barrier_v_per_nm,
                          const answer_numbers& numbers) {
  const field_doubts d = doubts_about_field(field_v_per_nm, over_barrier_v_per_nm);
  std::string warning;
  if (d.beyond_real_fields) {
    warning = "Not a real field: no specimen withstands more than about " +
              std::to_string(static_cast<int>(highest_real_field_v_per_nm)) +
              " V/nm (every element evaporates far below), so the pair, n or an energy does "
              "not describe this measurement.";
  }
  if (d.at_over_barrier_edge) {
    if (!warning.empty()) warning += " ";
    warning += "At the over-barrier edge: " + pair_label(k) + " = " + numbers.number(ratio) +
               " lies above every ratio the model gives below E_ob = " +
               numbers.field(over_barrier_v_per_nm) + " V/nm, where " + charge_label(k) +
               " is ionised further with certainty; every larger ratio gives this same field, "
               "so it is not read from the ratio.";
  }
  return warning;
}

}  // namespace veltrane
