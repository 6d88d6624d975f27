#pragma once

// The field at the specimen from the charge states counted in a dataset:
// overall, over the detector (or the reconstructed specimen) in square bins
// (field_map.hpp), and along the run in blocks of ions (field_profile.hpp).
// Every field comes from the isotope-corrected ratio
// r = (N_(k+1) / N_k) * (A_k / A_(k+1)) of one pair of neighbouring states
// through the model's r_k(E); its interval from Wilson's score interval of
// the raw share N_(k+1) / (N_k + N_(k+1)), mapped to r with the same factor.
// Counting statistics only: the model's own uncertainty is not in the
// interval.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/charge_states/ratio_inversion.hpp"
#include "compute/datasets/dataset_counts.hpp"

namespace veltrane {

/// The sentence that goes with every interval of these fields.
inline constexpr const char* counting_caveat =
    "The intervals are counting statistics only (Wilson score interval of the share of the "
    "higher state); the model's own uncertainty is not in them.";

/// What a field computation from a dataset is asked for.
struct field_options {
  counting_options counting;
  /// How the ranges are given their charges (the mass tolerance).
  apt::charge_options charges;
  double confidence = default_confidence;
};

/// The overall field of a pair from the counts of its element (the element
/// of the request of the inverter's charge states), and the counts
/// themselves.
struct overall_field {
  dataset_counts counts;
  pair_field field;
  double factor = 1.0;  ///< A_k / A_(k+1)
};

/// The pair to read a field from with `file`'s ranges of `element`:
/// `preferred` when both its states have counted ranges, else the first pair
/// k (1 .. n) whose states both have them, else `preferred` (the computation
/// then says what is missing). Never throws.
int pair_with_ranges(const apt::range_file& file, const std::string& element, int n, int preferred,
                     const apt::charge_options& charges = {});

namespace detail {

/// Raw k+, raw (k+1)+, background k+, background (k+1)+ of a bin or block.
using pair_counts = std::array<std::uint64_t, 4>;

/// Before a pass: both states of the pair k have a counted range; throws
/// input_refused naming the range file otherwise.
void check_pair_counted(const counting_pass& pass, const apt::range_file& file, int k);

/// The overall field of the pair of `inverter` from counts already made.
overall_field overall_of(dataset_counts counts, const apt::range_file& file,
                         ratio_inverter& inverter, double confidence);

/// Which of the pair each slot of the pass counts: 0 for k+, 1 for (k+1)+,
/// -1 for neither.
std::vector<int> pair_of_slots(const counting_pass& pass, int k);

/// The pair's field of a bin's or a block's counts (fields still NaN).
pair_field pair_of_counts(int k, const pair_counts& c, double factor, double confidence);

}  // namespace detail

}  // namespace veltrane
