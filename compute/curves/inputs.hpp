#pragma once

#include <optional>
#include <string>
#include <vector>

#include "compute/curves/request.hpp"

namespace veltrane {

/// The element names nearest to `name` (by edit distance, ignoring case),
/// best first, at most `count`.
std::vector<std::string> closest_element_names(const std::string& name, std::size_t count = 3);

/// "unknown element "Wolfram"; closest: Calicum, Gallium, Osmium" (each door adds
/// where the list of elements is); for an element that is not one of the
/// 44, "Oxygen (O) is not one of the 44 elements of the model's table".
std::string unknown_element_message(const std::string& name);

/// The element's key in the table (its text in the window's list) for any
/// text find_named_element() takes that names one of the 44 ("W",
/// "titanium", "Titan"); nothing otherwise.
std::optional<std::string> resolve_element(const std::string& name);

/// The inputs of a calculation as typed outside the window (command line,
/// Python): numbers with the point as decimal separator. A work function or
/// energies left out are taken from the element's built-in data.
struct request_texts {
  std::string element;
  std::string ionisations;
  std::optional<std::string> work_function;          ///< eV
  std::optional<std::vector<std::string>> energies;  ///< I1 .. I(n+1), eV
};

/// An accepted request, or the message that says which input is wrong.
struct checked_request {
  std::optional<calc_request> request;
  std::string message;     ///< empty when accepted
  control_state controls;  ///< the texts as the window's boxes would hold them
};

/// Checks the inputs one by one, so that the message names the wrong one:
/// the element (with the closest names when unknown), n (a whole number 1 to
/// 4), the work function, the number of energies and each energy; fills in
/// the built-in values where none are given ("Beryllium has no 5th
/// ionisation energy; give --energies" when one does not exist); then reads
/// the request exactly as Calculate does.
checked_request check_request(const request_texts& texts);

/// The inputs of a calculation as numbers (the Python module): the work
/// function and the energies in eV; left out, the element's built-in values.
struct request_values {
  std::string element;
  int n = 1;
  std::optional<double> work_function;
  std::optional<std::vector<double>> energies;  ///< I1 .. I(n+1)
};

/// The checks of check_request(request_texts) on numbers, with the same
/// messages: every double is a value (NaN and the infinities too, as
/// Calculate reads them), the built-in values are read from their texts as
/// Calculate reads them. `element_list` says where the door lists the
/// elements, for the message of an unknown one ("see veltrane.elements()").
/// The request's controls are left empty.
checked_request check_request(const request_values& values, const std::string& element_list);

/// An element's built-in inputs for n ionisations, as a Kingham diagram of
/// the element list shows them: n lowered to the largest its data allow
/// (largest_n) where it lacks an energy, `note` then saying so:
/// "Beryllium has no 5th ionisation energy: drawn with n = 3, the largest n
/// its data allow (n = 4 asked for)." `message` names an unknown element.
struct built_in_inputs {
  std::optional<calc_request> request;
  std::string note;
  std::string message;
};
built_in_inputs built_in_request(const std::string& element, int n);

/// Splits "a,b,c" at the commas (an empty text gives one empty part).
std::vector<std::string> split_commas(const std::string& text);

}  // namespace veltrane
