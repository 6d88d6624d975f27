#include "compute/curves/elements.hpp"

namespace veltrane {

const std::array<element_row, 44> element_table{{
    {"Aluminium", 3, 26.981},  {"Iron", 4, 55.845},       {"Tungsten", 6, 183.84},
    {"Rhodium", 5, 102.905},   {"Beryllium", 2, 9.012},   {"Magnesium", 3, 24.305},
    {"Silicon", 3, 28.085},    {"Potassium", 4, 39.098},  {"Calicum", 4, 40.078},
    {"Titan", 4, 47.867},      {"Vanadium", 4, 50.941},   {"Chromium", 4, 51.996},
    {"Manganese", 4, 54.938},  {"Cobalt", 4, 58.933},     {"Nickel", 4, 58.693},
    {"Copper", 4, 63.546},     {"Zinc", 4, 65.382},       {"Gallium", 4, 69.723},
    {"Arsenic", 4, 74.922},    {"Rubidium", 5, 85.468},   {"Zirconium", 5, 91.224},
    {"Niobium", 5, 92.906},    {"Molybdenum", 5, 95.951}, {"Ruthenium", 5, 101.072},
    {"Palladium", 5, 106.421}, {"Silver", 5, 107.868},    {"Cadmium", 5, 112.414},
    {"Indium", 5, 114.818},    {"Tin", 5, 118.711},       {"Antimony", 5, 121.76},
    {"Caesium", 6, 132.905},   {"Barium", 6, 137.328},    {"Lanthanum", 6, 138.905},
    {"Hafnium", 6, 178.492},   {"Tantalum", 6, 180.948},  {"Rhenium", 6, 186.207},
    {"Osmium", 6, 190.233},    {"Iridium", 6, 192.217},   {"Platinum", 6, 195.085},
    {"Gold", 6, 196.967},      {"Mercury", 6, 200.592},   {"Thallium", 6, 204.283},
    {"Lead", 6, 207.21},       {"Bismuth", 6, 208.98},
}};

std::optional<element_row> find_element(std::string_view name) {
  for (const auto& row : element_table) {
    if (row.name == name) return row;
  }
  return std::nullopt;
}

}  // namespace veltrane
