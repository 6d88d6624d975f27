#pragma once

// The words of a joint field and of a decomposition, each number written by
// the door's formatter (the command line's plain numbers, the window's
// locale).

#include <string>
#include <vector>

#include "compute/curves/number_format.hpp"
#include "compute/datasets/joint_field.hpp"

namespace veltrane {

/// The words of one joint answer.
///   answer    "E = 17.502 V/nm (95 %: 17.4974 to 17.5063 V/nm) from Cr, Fe"
///             ("no field: ..." when no element has enough ions)
///   test      "The elements agree on one field: p = 0.177 (G² = 7.64, 5
///             degrees of freedom)." or "... disagree ...: no one field
///             fits these counts. The field may vary over the run or the
///             detector (...), or Kingham's model, its inputs or the ranging
///             do not hold here."
///   elements  one line per element: its own field and interval, the ions
///             at each charge in its ranges, or why it is left out
///   notes     the field varying across an over-barrier field, and the like
struct joint_words {
  std::string answer, test;
  std::vector<std::string> elements, notes;
};
joint_words joint_answer_words(const joint_answer& a, double confidence,
                               const answer_numbers& numbers);

/// One line per species: "Fe2+: 123423 ± 717 ions", "Al+: 0 ± 86 ions",
/// "Cr+: cannot be told apart from Fe+ (all its isotopes share ranges with
/// them in the same proportions)".
std::vector<std::string> decomposition_lines(const std::vector<species_amount>& amounts,
                                             const answer_numbers& numbers);

/// The counting caveat of a joint field.
inline constexpr const char* joint_field_caveat =
    "The interval is counting statistics only (profile likelihood of the range counts); the "
    "model's own uncertainty is not in it.";

}  // namespace veltrane
