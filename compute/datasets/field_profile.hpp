#pragma once

// The field of a pair along the run, in blocks of ions in file order, from
// one pass over the dataset (see dataset_field.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compute/datasets/dataset_field.hpp"

namespace veltrane {

struct profile_options : field_options {
  std::uint64_t block = 1000000;  ///< ions per block in file order, at least 1
};

/// One block of ions [first_ion, last_ion] (counted from 0, in file order).
struct profile_block {
  std::uint64_t first_ion = 0, last_ion = 0;
  pair_field field;
  /// The mean DC voltage of the block's ions as the file stores it (see
  /// voltage unit), where the file has it.
  std::optional<double> mean_v_dc;
};

struct field_profile {
  overall_field overall;
  std::uint64_t block = 0;
  std::vector<profile_block> blocks;
  apt::voltage_unit voltages = apt::voltage_unit::none;
  std::vector<std::string> messages;
};

/// The pair's field along the run. Throws input_refused for a block of 0
/// ions, or one that makes more than a million blocks, for an element
/// without counted ranges of both states of the pair, and what
/// count_charge_states throws.
field_profile profile_field(const apt::dataset& data, const apt::range_file& file,
                            ratio_inverter& inverter, const profile_options& options);

/// The block that splits `ions` into about `blocks` blocks (at least 1 ion),
/// for a profile that is to be read at a glance.
std::uint64_t block_for(std::uint64_t ions, std::uint64_t blocks);

}  // namespace veltrane
