#pragma once

// The charge state of a range, which range files do not store: found from
// the isotope table, and the ranges whose window also holds another ion.

#include <atomic>
#include <cstddef>
#include <limits>
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

/// How a range is given its charge.
struct charge_options {
  /// Real ranges are placed around the measured peak, which sits a little
  /// off the tabulated isotope mass (calibration). A range that no
  /// isotope's m/q lies in takes the charge of the isotope nearest to it
  /// when the miss is at most max(tolerance_da, tolerance_percent / 100 *
  /// m/q). Both 0: only isotopes inside a range count.
  double tolerance_da = 0.05;
  double tolerance_percent = 0.3;
  /// When several charges fit one range, the one whose isotopes carry more
  /// than `dominance` times the natural abundance of every other's is
  /// taken (1H+ at 99.9885 % against 2H2+ at 0.0115 %); comparable ones
  /// leave the range ambiguous. At least 1; infinity never takes one.
  double dominance = 100.0;
};

/// The mass tolerance at a mass-to-charge m/q (Da): max(tolerance_da,
/// tolerance_percent / 100 * m/q).
double mass_tolerance(double mass_to_charge, const charge_options& options = {});

/// What is wrong with `options` ("the mass tolerance -1 Da is not a finite
/// number of at least 0"); empty when nothing is. assign_charge() and
/// assign_charges() throw std::invalid_argument with this text.
std::string charge_options_problem(const charge_options& options);

/// What was found for one range.
enum class charge_status {
  assigned,         ///< one charge fits, or one is dominant by abundance
  ambiguous,        ///< several comparable charges fit: the range is left out of every ratio
  no_isotope,       ///< no charge fits, not even within the mass tolerance
  unknown_element,  ///< one atom of a name that is no element of the isotope table ("Uo1")
  molecular,        ///< not one atom of one element: no charge is assigned
  no_ion,           ///< the range names no ion
};

/// One way of reading a range: a charge and the isotopes of the range's
/// element that fit at it.
struct charge_reading {
  int charge = 0;
  /// The isotopes whose m/q lies in the range, in order of A; when none of
  /// any charge does, the one nearest to the range within the tolerance.
  std::vector<isotope> isotopes;
  double abundance_percent = 0.0;  ///< their summed natural abundance (atom %)
  /// 0 when the isotopes lie inside; else the m/q of the nearest isotope
  /// minus the range's nearer bound (Da): negative below the range.
  double miss_da = 0.0;
};

/// The charge of one range. A charge q fits when the mass of some natural
/// isotope of the range's element divided by q lies in [low, high] (the
/// mass of the atom, as the range files' ions are ranged); when no charge
/// fits so, the charges whose nearest isotope misses the range by at most
/// the mass tolerance fit.
struct charge_assignment {
  charge_status status = charge_status::no_ion;
  /// The element as the isotope table writes it ("Fe"), for one atom of a
  /// known element; else empty.
  std::string element;
  /// The charge when assigned, else 0.
  int charge = 0;
  /// Every charge that fits, in increasing order: one when assigned alone,
  /// several when ambiguous or when one was dominant, none otherwise.
  std::vector<int> fitting_charges;
  /// The readings of those charges, in the same order.
  std::vector<charge_reading> readings;
  /// When assigned: the isotopes of the charge's reading and their summed
  /// natural abundance (atom %).
  std::vector<isotope> isotopes;
  double abundance_percent = 0.0;
  /// When assigned by the mass tolerance: the reading's miss (Da, nonzero;
  /// negative when the isotope lies below the range) and the tolerance
  /// that admitted it. Both 0 otherwise.
  double miss_da = 0.0;
  double tolerance_da = 0.0;
  /// For ambiguous and no_isotope: "<path>:<line>: ...", as "W.rrng:3: no
  /// isotope of W at charges 1–8 lies in 60.55–60.75 Da, nor within ...".
  /// Empty otherwise (a name that is no element is named once among the
  /// file's notes).
  std::string message;
  /// For an assigned range read by the mass tolerance or by abundance
  /// dominance: "<path>:<line>: ..." saying so, ready to be shown with the
  /// counts. Empty otherwise.
  std::string note;

  bool assigned() const { return status == charge_status::assigned; }
  /// True when the charge came from an isotope outside the range.
  bool by_tolerance() const { return miss_da != 0.0; }
  /// "W3+" when assigned; else the element (empty for a molecule or no ion).
  std::string label() const;
};

/// The charge of `range` of the file `path` (for the messages).
charge_assignment assign_charge(const mass_range& range, std::string_view path,
                                const isotope_table& table = isotope_table::builtin());
charge_assignment assign_charge(const mass_range& range, std::string_view path,
                                const charge_options& options,
                                const isotope_table& table = isotope_table::builtin());

/// assign_charge() of every range of `file`, in the order of file.ranges.
std::vector<charge_assignment> assign_charges(
    const range_file& file, const isotope_table& table = isotope_table::builtin());
std::vector<charge_assignment> assign_charges(
    const range_file& file, const charge_options& options,
    const isotope_table& table = isotope_table::builtin());

/// How far the search for interferences goes.
struct interference_options {
  /// Candidate ions and isotope combinations looked at over every range:
  /// beyond it the search stops and says "too many isotope combinations to
  /// check" (a few hundred milliseconds of work at most).
  std::size_t budget = 2'000'000;
  /// Interferers named in interference::message.
  std::size_t shown = 3;
  /// Interferers kept per range, most likely first, and over all ranges;
  /// the rest are counted.
  std::size_t kept = 1000;
  std::size_t kept_in_all = 100'000;
  /// When given, looked at every thousand combinations or so: raised, the
  /// search stops with cancelled (read_error.hpp).
  const std::atomic<bool>* cancel = nullptr;
};

/// An ion of the file whose m/q at some charge lies in a range of another.
struct interferer {
  std::string label;    ///< the isotope combination and charge: "27Al+", "16O17O+"
  std::string species;  ///< the ion: "Al", "O2", "WO"
  int charge = 0;
  double mass_to_charge = 0.0;  ///< Da
  /// The natural abundance of this isotope combination among the ion's
  /// combinations, from 0 to 1 (its atoms drawn independently).
  double share = 0.0;
  /// The file has this ion at this charge: a range of it that the ion fits
  /// at the charge (for one atom, a range assigned that charge).
  bool charge_in_file = false;
};

/// A range of an element whose window also holds ions of another species.
struct interference {
  std::size_t range = 0;  ///< index into range_file::ranges
  /// The chosen element's ions of the range: its covered isotopes at its
  /// charge ("54Fe2+"; several joined by ", ").
  std::string own;
  /// Every interferer found, most likely first: ions the file has at that
  /// charge before those it has not, then by share; at most
  /// interference_options::kept of them.
  std::vector<interferer> interferers;
  std::size_t more = 0;  ///< interferers found beyond those kept
  /// The most likely interferer's label and charge ("27Al+", 1); empty and 0
  /// when the search stopped before finding one.
  std::string other;
  int other_charge = 0;
  /// The budget ran out while this range was searched: its interferers may
  /// be incomplete, and the `unchecked` assigned ranges after it were not
  /// searched at all.
  bool incomplete = false;
  std::size_t unchecked = 0;
  /// "<path>:<line>: the range 26.94–27.02 Da of 54Fe2+" (listing() goes on
  /// from it).
  std::string context;
  /// listing(interference_options::shown): "<path>:<line>: the range
  /// 26.94–27.02 Da of 54Fe2+ also holds 27Al+ (26.982 Da)".
  std::string message;

  /// The line naming at most `most` interferers (each with its m/q), then
  /// how many less likely ones there are; every one kept for the default.
  std::string listing(std::size_t most = std::numeric_limits<std::size_t>::max()) const;
};

/// The interferences of the assigned ranges of `element` (every element
/// when empty), one entry per affected range in the order of file.ranges:
/// for each other ion of the file (the ions that the ranges name, single
/// atoms or molecules, and the elements of the ion list; not the element's
/// own single atom, whose other charges make a range ambiguous instead),
/// every isotope combination and charge 1–8 whose m/q lies in the range.
/// Ions with an element the table does not hold are not looked at. Only
/// the combinations near the asked ranges are built; the whole search
/// looks at most at options.budget of them (then the last entry is marked
/// incomplete). `assignments` is assign_charges() of `file`; empty when
/// it is not (or the element is unknown).
std::vector<interference> find_interferences(const range_file& file,
                                             const std::vector<charge_assignment>& assignments,
                                             std::string_view element = {},
                                             const isotope_table& table = isotope_table::builtin());
std::vector<interference> find_interferences(const range_file& file,
                                             const std::vector<charge_assignment>& assignments,
                                             std::string_view element,
                                             const interference_options& options,
                                             const isotope_table& table = isotope_table::builtin());

}  // namespace veltrane::apt
