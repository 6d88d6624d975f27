#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace veltrane {

/// One row of the built-in element table: the name exactly as the element list
/// shows it, the period (passed to the model as the principal quantum number)
/// and the atomic mass in u.
struct element_row {
  std::string_view name;
  int period;
  double atomic_mass;
};

/// The 44 elements in the order of the window's list, from the element data
/// file (compute/curves/data/elements.csv). The keys are written letter for
/// letter as the list shows them, "Calicum" and "Titan" included.
extern const std::array<element_row, 44>& element_table;

/// The row whose key equals `name` as a whole (case-sensitive, not trimmed).
std::optional<element_row> find_element(std::string_view name);

}  // namespace veltrane
