#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

/// How NIST marks a tabulated ionisation energy.
enum class nist_flag { measured, semi_empirical, theoretical };

/// One tabulated number: its text exactly as the data file writes it, and the
/// double that text reads as. A quantity that does not exist (the 5th
/// ionisation energy of beryllium, which has four electrons) has no value and
/// an empty text.
struct tabulated_value {
  std::optional<double> value;
  std::string text;
  nist_flag flag = nist_flag::measured;
};

/// The built-in data of one element: the work function of a polycrystalline
/// surface and the first five ionisation energies, all in eV, with the
/// sources they were taken from.
struct element_data {
  std::string name;  ///< exactly the window list's text ("Calicum", "Titan")
  std::string symbol;
  int atomic_number = 0;
  tabulated_value work_function;
  std::array<tabulated_value, 5> energies;  ///< I1 .. I5
  std::string work_function_source;
  std::string ionisation_source;  ///< the reference, without NIST's flags
  int period = 0;                 ///< passed to the model as the principal quantum number
  double atomic_mass = 0.0;       ///< u
  std::string atomic_mass_source;
};

/// The largest number of ionisations n the built-in data of an element
/// allows (each step needs the next ionisation energy), at most 4.
int largest_n(const element_data& e);

/// The 44 elements of the window's list, in its order, read from the data
/// file that the build embeds.
const std::vector<element_data>& element_data_table();

/// The data of the element whose name equals `name` as a whole, or none.
const element_data* find_element_data(std::string_view name);

/// The symbol of an element given by its name as in the element list
/// ("Tungsten", any case) or by its symbol ("W", "w"); input_refused naming
/// the closest names for anything else.
std::string element_symbol(const std::string& name_or_symbol);

/// The name of an element as the element list has it ("Tungsten") for its
/// name in any case or its symbol ("W", "w"); anything else as it is given,
/// for the request's own message.
std::string element_list_name(const std::string& name_or_symbol);

/// "semi-empirical", "theoretical", or empty for a measured value.
std::string_view flag_text(nist_flag flag);

/// The ordinal words the program uses for the ionisation energies: "1st" .. "5th".
std::string ordinal(int index);

/// A line naming where a value comes from, for a tooltip or a listing:
/// index 0 is the work function, 1..5 the ionisation energies I1..I5.
std::string source_note(const element_data& element, int index);

/// Parses the element data file's text: a header line, then one line per
/// element of 14 fields (name, symbol, Z, work function, I1 .. I5, the two
/// sources, period, atomic mass, its source); fields separated by commas,
/// quoted fields may hold commas and doubled quotes. Throws
/// std::runtime_error naming the line on a defect.
std::vector<element_data> parse_element_data(std::string_view csv);

}  // namespace veltrane
