#pragma once

// What the doors show of a dataset's charge states and fields, in words;
// each number written by the door's formatter (plain_answer_numbers() on the
// command line).

#include <cstdint>
#include <string>
#include <vector>

#include "compute/curves/number_format.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/field_map.hpp"

namespace veltrane {

/// One line per element and charge: its raw counts and the ranges they come
/// from, the isotopes those ranges cover with their summed abundance, the
/// background subtracted (with background) and the corrected counts:
///   "W 3+: 1200 ions in 60.55-60.75, 61.2-61.4 Da; isotopes 182W 183W
///    184W (85.66 %); corrected 1401"
std::vector<std::string> counts_text_lines(const dataset_counts& counts);

/// The ranges counted for one element and charge: "60.55-60.75, 61.2-61.4".
std::string counted_ranges_text(const dataset_counts& counts, const charge_count& q);

/// The field of one pair as read from counts:
///   "W 3+/2+ = 0.812 (counts 1000 and 1200, isotope-corrected):
///    E = 36.21 V/nm (95 %: 36.1 to 36.32 V/nm)"
/// with the ends of an interval as interval_end_text writes them, and "no
/// field" for a ratio of 0 or infinity or one the model does not reach;
/// then, for a state whose ranges cover less than
/// least_isotope_coverage_percent of its isotopes, "; caution: the ranges
/// of W2+ cover only 0.205 % of its isotopes (a factor of 488)".
std::string pair_field_text(const pair_field& field, const std::string& symbol,
                            const answer_numbers& numbers = plain_answer_numbers());

/// The caution of pair_field_text for the states whose ranges cover less
/// than least_isotope_coverage_percent of their isotopes ("caution: the
/// ranges of W2+ cover only 0.205 % of its isotopes (a factor of 488)",
/// several joined by "; "); empty when both cover enough.
std::string coverage_caution(const pair_field& field, const std::string& symbol,
                             const answer_numbers& numbers = plain_answer_numbers());

/// One bin of a map, as a read-out under the mouse:
///   "x = 1 mm, y = 1 mm: N_lower = 100, N_upper = 150, E = 35.12 V/nm (95 %:
///    34.9 to 35.3 V/nm)", or ": too few ions, masked", or ": no field of
///   the model gives this ratio".
std::string map_bin_text(const field_map& map, const map_bin& bin, const answer_numbers& numbers);

/// The map in one line: its bins, those with a field and those masked.
std::string map_summary(const field_map& map, std::uint64_t min_counts);

}  // namespace veltrane
