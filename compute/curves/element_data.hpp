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

/// One element of the periodic table as the English names' table
/// (compute/curves/data/element_names.csv) gives it: H to U.
struct element_name {
  std::string symbol;  ///< "Ti"
  int atomic_number = 0;
  std::string name;                      ///< the English name, "Titanium"
  std::vector<std::string> other_names;  ///< other spellings, "Aluminum"
};

/// The English names of the elements H to U, in order of Z.
const std::vector<element_name>& element_names();

/// Parses the names' file: '#' comment lines, the header
/// "symbol,Z,name,other_names,source", one element a line (other names
/// separated by ';'). Throws std::runtime_error naming the line on a defect.
std::vector<element_name> parse_element_names(std::string_view csv);

/// An element as a user named it.
struct named_element {
  std::string symbol;  ///< "Ti"
  int atomic_number = 0;
  std::string name;  ///< the English name, "Titanium"
  /// Its built-in data when it is one of the 44 elements of the window's
  /// list (and so of the model's doors); nullptr otherwise ("Oxygen").
  const element_data* data = nullptr;
};

/// The one resolver of element names, for every door: the element that
/// `text` names by its symbol ("W"), its English name ("Tungsten",
/// "Titanium", "Aluminum") or its text in the window's list ("Titan",
/// "Calicum"), each without regard to case. Nothing for anything else
/// (blanks around a name are not taken away).
std::optional<named_element> find_named_element(std::string_view text);

/// The texts among `candidates` nearest to `text` (by edit distance,
/// ignoring case), best first, each once, at most `count`.
std::vector<std::string> closest_names(const std::string& text,
                                       const std::vector<std::string>& candidates,
                                       std::size_t count = 3);

/// find_named_element(), or input_refused for a text that names no element:
/// "unknown element "Wolfram"; did you mean Gallium, Osmium or Vanadium?".
named_element named_element_of(const std::string& text);

/// What the model's doors say of an element that exists but is not one of
/// the 44 of the window's list: "Oxygen (O) is not one of the 44 elements
/// of the model's table".
std::string not_in_model_message(const named_element& element);

/// The symbol of the element `name_or_symbol` names (see
/// find_named_element): any element of the names' table, "Oxygen" too;
/// input_refused naming the closest names for anything else.
std::string element_symbol(const std::string& name_or_symbol);

/// The name of an element as the window's list has it ("Tungsten", "Titan")
/// for any text that names one of the 44 (see find_named_element); anything
/// else as it is given, for the request's own message.
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
