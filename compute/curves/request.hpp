#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "compute/curves/number_format.hpp"

namespace veltrane {

/// The program's own messages for input that stops a calculation, exactly as
/// the user sees them.
namespace messages {
inline constexpr const char* bad_count = "Somthing went somewehere terribly wrong";
inline constexpr const char* empty_box = "Error";
inline constexpr const char* bad_number = "Error, please insert correct floating point format";
inline constexpr const char* no_element = "Please select an element.";
}  // namespace messages

/// The states of the window's input controls at the press of Calculate.
struct control_state {
  std::optional<std::string> element;  ///< the chosen list item's text; none when nothing is chosen
  double ionisations = 1.0;            ///< the spin box's value (truncated toward zero when read)
  std::array<std::string, 6> boxes;    ///< textBox1 (work function), textBox2..6 (I1..I5), in eV
  bool save_text = false;              ///< "Save as text files"
};

/// The inputs of one calculation, accepted and converted to numbers.
struct calc_request {
  std::string element;
  int n = 1;  ///< number of ionisations, 1..4
  double work_function_ev = 0.0;
  std::vector<double> energies_ev;  ///< I1..I(n+1), n + 1 values
  bool save_text = false;
  int period = 0;            ///< from the element table
  double atomic_mass = 0.0;  ///< u, from the element table

  bool operator==(const calc_request&) const = default;
};

/// Either an accepted request or the message that stops the calculation.
struct request_outcome {
  std::optional<calc_request> request;
  std::string message;  ///< empty when the request was accepted
};

/// Reads the controls in the program's order: n; the element; the check of n;
/// the check that an element is chosen; the texts of textBox1 up to the box of
/// I(n+1) (later boxes are never read); for n = 1 the check for empty boxes;
/// the conversion of each text under `format`, stopping at the first that
/// does not convert; the check box. No range checks: zero, negative, NaN and
/// infinite values are accepted.
request_outcome read_request(const control_state& controls, const number_format& format);

}  // namespace veltrane
