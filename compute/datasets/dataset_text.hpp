#pragma once

// What the doors print of a dataset's charge states and fields, in words.

#include <string>
#include <vector>

#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/field_map.hpp"

namespace veltrane {

/// One line per element and charge: its raw counts and the ranges they come
/// from, the isotopes those ranges cover with their summed abundance, the
/// background subtracted (with background) and the corrected counts:
///   "W 3+: 1200 ions in 60.55-60.75, 61.2-61.4 Da; isotopes 182W 183W
///    184W (85.66 %); corrected 1401"
std::vector<std::string> counts_text_lines(const dataset_counts& counts);

/// The field of one pair as read from counts:
///   "W 3+/2+ = 0.812 (counts 1000 and 1200, isotope-corrected):
///    E = 36.21 V/nm (95 %: 36.1 to 36.32 V/nm)"
/// with the ends of an interval that no field reaches written "below every
/// field of the model" and "above every field of the model", and "no field"
/// for a ratio of 0 or infinity.
std::string pair_field_text(const pair_field& field, const std::string& symbol);

/// The map in one line: its bins, those with a field and those masked.
std::string map_summary(const field_map& map, std::uint64_t min_counts);

}  // namespace veltrane
