#include "compute/curves/elements.hpp"

#include <stdexcept>
#include <string>

#include "compute/curves/element_data.hpp"

namespace veltrane {

namespace {

// The rows of the element data file, which is their one source.
const std::array<element_row, 44>& rows_of_the_data_file() {
  static const std::array<element_row, 44> rows = [] {
    const auto& data = element_data_table();
    std::array<element_row, 44> table{};
    if (data.size() != table.size()) {
      throw std::logic_error("the element data file holds " + std::to_string(data.size()) +
                             " elements, not 44");
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
      table[i] = {data[i].name, data[i].period, data[i].atomic_mass};
    }
    return table;
  }();
  return rows;
}

}  // namespace

const std::array<element_row, 44>& element_table = rows_of_the_data_file();

std::optional<element_row> find_element(std::string_view name) {
  for (const auto& row : element_table) {
    if (row.name == name) return row;
  }
  return std::nullopt;
}

}  // namespace veltrane
