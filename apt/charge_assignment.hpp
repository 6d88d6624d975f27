#pragma once

// The charge state of a range, which range files do not store: found from
// the isotope table, and the ranges whose window also holds another ion.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "apt/isotopes.hpp"
#include "apt/range_file.hpp"

namespace veltrane::apt {

/// The charges tried: 1+ to 8+.
inline constexpr int highest_charge = 8;

/// "+" for 1, "2+" for 2: as written after an ion ("27Al+", "54Fe2+").
std::string charge_suffix(int charge);

/// What was found for one range.
enum class charge_status {
  assigned,         ///< exactly one charge fits
  ambiguous,        ///< several charges fit: the range is left out of every ratio
  no_isotope,       ///< no charge fits
  unknown_element,  ///< one atom of an element the isotope table does not hold
  molecular,        ///< not one atom of one element: no charge is assigned
  no_ion,           ///< the range names no ion
};

/// The charge of one range. A charge q fits when the mass of some natural
/// isotope of the range's element divided by q lies in [low, high] (the
/// mass of the atom, as the range files' ions are ranged).
struct charge_assignment {
  charge_status status = charge_status::no_ion;
  /// The element as the isotope table writes it ("Fe"), for one atom of a
  /// known element; else empty.
  std::string element;
  /// The charge when assigned, else 0.
  int charge = 0;
  /// Every charge that fits, in increasing order (one when assigned, several
  /// when ambiguous, none otherwise).
  std::vector<int> fitting_charges;
  /// When assigned: the isotopes whose mass / charge lies in the range, in
  /// order of A, and their summed natural abundance (atom %).
  std::vector<isotope> isotopes;
  double abundance_percent = 0.0;
  /// For ambiguous, no_isotope and unknown_element: "<path>:<line>: ...",
  /// as "W.rrng:3: no isotope of W at charges 1–8 lies in 60.55–60.75 Da".
  /// Empty otherwise.
  std::string message;

  bool assigned() const { return status == charge_status::assigned; }
  /// "W3+" when assigned; else the element (empty for a molecule or no ion).
  std::string label() const;
};

/// The charge of `range` of the file `path` (for the messages).
charge_assignment assign_charge(const mass_range& range, std::string_view path,
                                const isotope_table& table = isotope_table::builtin());

/// assign_charge() of every range of `file`, in the order of file.ranges.
std::vector<charge_assignment> assign_charges(
    const range_file& file, const isotope_table& table = isotope_table::builtin());

/// A range of an element whose window also holds a charge state of another
/// ion of the file.
struct interference {
  std::size_t range = 0;  ///< index into range_file::ranges
  /// The chosen element's ions of the range: its covered isotopes at its
  /// charge ("54Fe2+"; several joined by ", ").
  std::string own;
  /// The other ion's isotopes (or isotope combinations of a molecule) at the
  /// charge whose mass / charge lies in the window ("27Al+").
  std::string other;
  int other_charge = 0;
  /// "<path>:<line>: the range 26.94–27.02 Da of 54Fe2+ also holds 27Al+
  /// (26.982 Da)".
  std::string message;
};

/// The interferences of the assigned ranges of `element` (every element
/// when empty): for each other ion of the file (the ions that the ranges
/// name, single atoms or molecules, and the elements of the ion list; not
/// the element's own single atom, whose other charges make a range
/// ambiguous instead), every charge 1–8 at which the mass of one of its
/// isotopes, or of its molecule's isotope combinations, over that charge
/// lies in the range. Ions of elements the table does not hold, and
/// molecules of more than 10000 isotope combinations, are not looked at.
/// `assignments` is assign_charges() of `file`.
std::vector<interference> find_interferences(const range_file& file,
                                             const std::vector<charge_assignment>& assignments,
                                             std::string_view element = {},
                                             const isotope_table& table = isotope_table::builtin());

}  // namespace veltrane::apt
