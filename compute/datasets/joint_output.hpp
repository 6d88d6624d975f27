#pragma once

// What the doors write of a joint field besides its words (joint_text.hpp):
// the CSV of the field of a run, and one line that sums up a map or a
// profile.

#include <optional>
#include <string>
#include <vector>

#include "apt/dataset.hpp"
#include "compute/datasets/joint_field.hpp"
#include "compute/datasets/joint_maps.hpp"

namespace veltrane {

/// The lines of `field --data ... --csv`: the header
///   element,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,G2,dof,n,
///   charges,counts,ions,used
/// then the row of the joint field (element "all": its test; the ions of
/// the elements used in their own ranges; used "yes" when it has a field)
/// and one row per element: its own field (nan when it has none or is left
/// out), nan for the test, its n, its charges and the ions in its own ranges
/// at each ("1+;2+", "1200;960"), their sum, and whether it is tied to the
/// joint field ("yes"/"no"). Numbers as shortest_number() writes them; a
/// field bounded on one side only has E nan and the open end -inf or inf.
std::vector<std::string> joint_field_csv_lines(const joint_answer& answer);

/// "Map: 312 bins of 4 mm with ions in the ranges, 250 with a joint field,
/// 62 without (no element with 100 ions in its own ranges); the elements
/// disagree (p < 0.05) in 14 of them." The level is 1 - confidence.
std::string joint_map_summary(const joint_field_map& map, double min_counts, double confidence);

/// The same for the blocks of a profile ("Profile: 10 blocks of 1000000
/// ions, ...").
std::string joint_profile_summary(const joint_field_profile& profile, double min_counts,
                                  double confidence);

/// A mean DC voltage as a file stores it in volts: kilovolts times 1000;
/// nothing when there is none or its unit is not known.
std::optional<double> volts_of(std::optional<double> stored, apt::voltage_unit unit);

}  // namespace veltrane
