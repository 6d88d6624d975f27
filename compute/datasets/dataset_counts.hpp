#pragma once

// Counting the charge states of an element in an atom-probe dataset: the
// ions inside the element's ranges of each charge, the isotopes those ranges
// cover, the counts corrected for the isotopes left out, and the background
// under each peak.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "apt/charge_assignment.hpp"
#include "apt/dataset.hpp"
#include "apt/isotopes.hpp"
#include "apt/range_file.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

/// How the ions of a dataset are read and counted.
struct counting_options {
  /// Only ions of pulses with one hit (multiplicity 1), where the file has
  /// multiplicity; a file without it is counted whole, with a message.
  bool single_hits = false;
  /// Subtract from each range the ions of a background window beside it.
  bool background = false;
  /// Worker threads reading the file (0: all cores). The results do not
  /// depend on it.
  unsigned threads = 0;
  /// Ions per chunk of decoding; the results do not depend on it.
  std::size_t chunk_ions = apt::default_chunk_ions;
  /// When set and true, the counting stops and throws calculation_cancelled.
  const std::atomic<bool>* cancel = nullptr;
  /// When set, raised by the ions read so far (for a progress bar).
  std::atomic<std::uint64_t>* ions_done = nullptr;
};

/// Where the background of one range was measured. The window has the width
/// of the range and holds no range: just below it [low - w, low), or, when
/// that is taken (or would reach below 0 Da), just above it (high, high + w].
/// Its ions (those in no range) are the background under the range, since
/// the windows are as wide as the ranges.
enum class background_side { none, below, above };

struct background_window {
  background_side side = background_side::none;
  double low = 0.0, high = 0.0;  ///< Da; meaningless for none
};

/// The background window of range `index` of `file` (see background_side).
background_window background_window_of(const apt::range_file& file, std::size_t index);

/// The mass tolerance as a user writes it: "0.08" (Da; the per-cent term
/// kept at its default), "0.5%" (of m/q; the term in Da kept), both
/// "0.08,0.5%", or "0" (no tolerance: only isotopes inside a range count).
/// Each term from 0 to its largest (below). Nothing for anything else, with
/// what is wrong in `message` ("the mass tolerance 2 Da is above the
/// largest, 1 Da").
std::optional<apt::charge_options> parse_mass_tolerance(std::string_view text,
                                                        std::string* message);

/// The largest mass tolerance taken: beyond it a range would take the
/// charge of a peak a whole isotope away at 1+.
inline constexpr double largest_tolerance_da = 1.0;
inline constexpr double largest_tolerance_percent = 1.0;

/// "0.05 Da or 0.3 % of m/q, whichever is larger"; "none" when both are 0.
std::string mass_tolerance_text(const apt::charge_options& options);

/// Below this share of an element's natural abundance, the isotopes a charge
/// state's ranges cover make its corrected count a large multiple of the
/// ions counted (O+ from 18O alone, 0.205 %: 488 times): every door warns,
/// and a field read from such a state says so.
inline constexpr double least_isotope_coverage_percent = 10.0;

/// One range of the chosen element as counted.
struct counted_range {
  std::size_t index = 0;         ///< into range_file::ranges
  double low = 0.0, high = 0.0;  ///< Da, as read
  std::string symbol;            ///< "W"
  int charge = 0;
  std::vector<apt::isotope> isotopes;  ///< covered at that charge
  std::uint64_t counts = 0;            ///< ions inside, low <= m <= high
  background_window window;            ///< when background was asked for
  std::uint64_t window_counts = 0;     ///< ions in the window (subtracted)
  /// Assigned by the mass tolerance: how far the isotope's m/q lies from the
  /// range (Da, negative below it) and the tolerance there; both 0 for a
  /// range that holds an isotope.
  double miss_da = 0.0, tolerance_da = 0.0;
};

/// The ions of one charge state of one element.
struct charge_count {
  std::string symbol;  ///< "W"
  int charge = 0;
  std::vector<std::size_t> ranges;     ///< indices into range_file::ranges
  std::uint64_t counts = 0;            ///< raw: ions inside those ranges
  double background = 0.0;             ///< subtracted (0 without background)
  double net = 0.0;                    ///< counts - background, not below 0
  std::vector<apt::isotope> isotopes;  ///< covered by the ranges, each once, by A
  double abundance_percent = 0.0;      ///< A_q: their summed natural abundance
  /// net / (A_q / 100): the ions of every isotope at this charge.
  double corrected = 0.0;
  /// From the decomposition of every range's count into the species that
  /// may sit in it (count_charge_states only; NaN elsewhere): the ions of
  /// this element at this charge in the run, all isotopes included, with
  /// their standard error. NaN when the ranges cannot tell the species from
  /// others (`inseparable_from` names them) or it was not decomposed. A
  /// species without ranges of its own (27Al+ under a 54Fe2+ range) has a
  /// line with no ranges and 0 counts.
  double decomposed = std::numeric_limits<double>::quiet_NaN();
  double decomposed_sigma = std::numeric_limits<double>::quiet_NaN();
  std::string inseparable_from;
};

/// The ions of the ranges of one name that is no single element's: a
/// molecule ("WO"), a name that is no element ("Uo1"). Counted under that
/// name and in no element's count.
struct named_count {
  std::string name;                               ///< the range's name as read
  std::vector<std::size_t> ranges;                ///< indices into range_file::ranges
  std::vector<std::pair<double, double>> bounds;  ///< of each range, Da, as read
  std::uint64_t counts = 0;                       ///< raw
  double background = 0.0, net = 0.0;
  /// As charge_count's: the decomposed ions of the name's ranges.
  double decomposed = std::numeric_limits<double>::quiet_NaN();
  double decomposed_sigma = std::numeric_limits<double>::quiet_NaN();
  std::string inseparable_from;
};

/// What counting found.
struct dataset_counts {
  /// The element counted ("W"); empty when every element of the file was.
  std::string symbol;
  /// By element (in order of Z) and charge.
  std::vector<charge_count> charges;
  /// Every range that was counted, in the order of the file.
  std::vector<counted_range> ranges;
  /// Ranges left out (ambiguous charge, no isotope fits), a file without
  /// multiplicity, ranges without background window, background larger than
  /// the peak, notes of the range file: each ready to be shown.
  std::vector<std::string> messages;
  /// Counting every element: the ranges of names that are no single
  /// element's, by name in the order of the file.
  std::vector<named_count> named;
  /// Charge states whose ranges cover less than
  /// least_isotope_coverage_percent of the element's isotopes, each said
  /// with its factor (isotope_coverage_warning); also among `messages`' ends
  /// of maps and profiles.
  std::vector<std::string> warnings;
  /// Ranges of the element whose window also holds another ion.
  std::vector<apt::interference> interferences;
  /// How the ranges were given their charges (the mass tolerance).
  apt::charge_options charging;
  bool single_hits = false;        ///< the filter was applied
  bool background = false;         ///< background was subtracted
  std::uint64_t ions = 0;          ///< ions of the file
  std::uint64_t counted_ions = 0;  ///< of them passing the single-hits filter

  /// The count of `charge` of the element `symbol` (the counted element when
  /// empty); nothing when no range of it was counted.
  const charge_count* find(int charge, std::string_view symbol = {}) const;
};

/// The ranges of `file` that the counting of `symbol` (every element when
/// empty) uses, each with its charge (by `charges`), the messages about the
/// element's ranges left out, the notes of ranges given a charge by the mass
/// tolerance or by abundance, and the file's notes. Throws input_refused
/// when the element has no assigned range at all; calculation_cancelled
/// when `cancel` is raised during the search for interferences.
struct range_selection {
  std::string symbol;
  std::vector<apt::charge_assignment> assignments;  ///< of every range of the file
  std::vector<std::size_t> used;                    ///< indices of the ranges counted
  /// Counting every element: the ranges of a molecule or of a name that is
  /// no element (counted under their names).
  std::vector<std::size_t> named;
  std::vector<std::string> messages;
  std::vector<apt::interference> interferences;
};
range_selection select_ranges(const apt::range_file& file, const std::string& symbol,
                              const apt::charge_options& charges = {},
                              const std::atomic<bool>* cancel = nullptr);

/// The warning of a charge state whose ranges cover less than
/// least_isotope_coverage_percent of its element's isotopes: "O+: its
/// ranges cover only 0.205 % of O's isotopes (18O), so its corrected count
/// is 488 times the ions counted; a field read from it rests on that
/// factor". Empty for one that covers enough (or none at all).
std::string isotope_coverage_warning(const charge_count& q);

/// Counts the charge states of `element` (name or symbol; every element of
/// the file when empty) in `data` with the ranges of `file`, their charges
/// given by `charges`. An ion lies in at most one range, found by binary
/// search (range_file::find), with its float32 mass-to-charge as a double.
/// Also: counting every element, the ranges of other names under their
/// names (dataset_counts::named); and the decomposition of every range's
/// count into the species that may sit in it (charge_count::decomposed),
/// left out with a message for a file of more ranges and species than
/// decomposition_budget. Throws input_refused for an unknown element or one
/// without ranges, apt::read_error when the file cannot be decoded (nothing
/// is counted from a half-read file), calculation_cancelled when cancelled.
dataset_counts count_charge_states(const apt::dataset& data, const apt::range_file& file,
                                   const std::string& element, const counting_options& options,
                                   const apt::charge_options& charges = {});

/// The most shares (ranges times species) a counting decomposes; beyond it
/// the decomposition would take seconds and is left out with a message.
inline constexpr std::size_t decomposition_budget = 100'000;

/// The isotope-corrected ratio of neighbouring states,
/// r = (N_(k+1) / N_k) * (A_k / A_(k+1)): the factor A_k / A_(k+1).
double isotope_factor(const charge_count& lower, const charge_count& upper);

namespace detail {

/// The lookup of every ion's mass-to-charge: the slot of the range holding
/// it, and the background windows holding it (for ions in no range).
class mass_lookup {
 public:
  /// `slot_of_range[i]`: the slot counting range i, or -1 for a range not
  /// counted. With `background`, the window of every counted range that has
  /// one counts into the same slot.
  mass_lookup(const apt::range_file& file, std::vector<int> slot_of_range, bool background);

  /// The slot of the range holding m, or -1 (a range not counted, or none).
  /// `in_range` says whether some range holds m at all.
  int slot(double m, bool& in_range) const {
    // Most masses lie in a cell of the table that no edge of a range or
    // window touches, where the answer was found once for the whole cell.
    const double c = m * cell_scale_;
    if (c >= 0.0 && c < cell_end_) {
      const std::int32_t code = cells_[static_cast<std::size_t>(c)];
      if (code != cell_searched) {
        in_range = code != cell_outside;
        return code >= 0 ? code : -1;
      }
    } else if (c >= cell_end_ && cell_end_ > 0.0) {
      // Above the table's end, above every range (the unranged heavier
      // ions of a run, its 1+ ions and molecules): in none.
      in_range = false;
      return -1;
    }
    return searched_slot(m, in_range);
  }
  /// False when no background window can hold m; true when one may.
  bool window_near(double m) const {
    if (windows_.empty()) return false;
    const double c = m * cell_scale_;
    if (c >= 0.0 && c < cell_end_) {
      return cells_[static_cast<std::size_t>(c)] == cell_searched;
    }
    return !(c >= cell_end_);  // every window lies below the table's end
  }
  /// Calls f(slot) for every window that holds m (m in no range).
  template <class function>
  void windows_holding(double m, const function& f) const {
    // The windows sorted by their low end: those that may hold m start at
    // most one widest window below it.
    std::size_t i = first_window_above(m);
    while (i > 0) {
      const window& w = windows_[--i];
      if (w.low < m - widest_) break;
      if (w.below ? (w.low <= m && m < w.high) : (w.low < m && m <= w.high)) f(w.slot);
    }
  }
  int range_index_slot(std::size_t range) const { return slot_of_range_[range]; }

 private:
  struct window {
    double low, high;
    bool below;
    int slot;
  };
  std::size_t first_window_above(double m) const;
  int searched_slot(double m, bool& in_range) const;
  void add_windows(bool background);
  void build_cells();

  // The cells' codes besides a slot (>= 0): in no range and no window; in a
  // range not counted; touched by an edge or a window (search).
  static constexpr std::int32_t cell_outside = -1;
  static constexpr std::int32_t cell_uncounted = -2;
  static constexpr std::int32_t cell_searched = -3;

  const apt::range_file* file_;
  std::vector<int> slot_of_range_;
  std::vector<window> windows_;  // by low end
  double widest_ = 0.0;
  // Cell c covers [c / scale, (c + 1) / scale); the scale is a power of two,
  // so m * scale and its floor are exact.
  std::vector<std::int32_t> cells_;
  double cell_scale_ = 0.0;
  double cell_end_ = 0.0;
};

/// Runs `per_chunk(worker, chunk, chunk_index)` over every chunk of `data`
/// on `threads` threads, worker being the thread's number (0 ..
/// used_threads - 1). Chunks are claimed in file order. The first failing
/// chunk in file order has its exception rethrown after all threads are
/// joined; a cancel throws calculation_cancelled. Returns the number of
/// threads used.
unsigned for_each_chunk_parallel(
    const apt::dataset& data, apt::columns wanted, const counting_options& options,
    const std::function<void(unsigned, const apt::ion_chunk&, std::size_t)>& per_chunk);

/// The number of threads for_each_chunk_parallel uses for `data`.
unsigned worker_count(const apt::dataset& data, const counting_options& options);

/// The counting of an element's charge states, split around the pass over
/// the ions so that a pass which counts more as it goes (a map, a profile)
/// reads the file once. Counting is: the constructor, place() for every ion
/// that passes the filter into its worker's tally, then finish().
class counting_pass {
 public:
  /// Throws what count_charge_states throws before reading.
  counting_pass(const apt::dataset& data, const apt::range_file& file, const std::string& element,
                const counting_options& options, const apt::charge_options& charges = {});

  /// Counts of one worker, by slot (a counted range).
  struct tally {
    std::vector<std::uint64_t> inside, window;
    std::uint64_t passed = 0;
  };
  tally new_tally() const;

  /// The element counted ("W"; empty for every element).
  const std::string& symbol() const { return symbol_; }
  /// The counted ranges, one slot each.
  std::size_t slot_count() const { return selection_.used.size(); }
  /// The charge the range of slot s is counted at.
  int charge_of(std::size_t slot) const;
  /// The single-hits filter applies (asked for, and the file has multiplicity).
  bool single_hits() const { return filter_; }
  /// The columns the pass needs decoded besides the mass.
  apt::columns columns() const { return filter_ ? apt::columns::multiplicity : apt::columns::none; }

  /// Counts an ion of mass-to-charge m that passed the filter into t.
  /// Returns the slot of the counted range that holds it, or -1 when none
  /// does; for an ion in no range, calls window(slot) for each background
  /// window that holds it.
  template <class Window>
  int place(double m, tally& t, const Window& window) const {
    ++t.passed;
    bool in_range = false;
    const int s = lookup_.slot(m, in_range);
    if (s >= 0) {
      ++t.inside[static_cast<std::size_t>(s)];
    } else if (!in_range && lookup_.window_near(m)) {
      lookup_.windows_holding(m, [&](int w) {
        ++t.window[static_cast<std::size_t>(w)];
        window(w);
      });
    }
    return s;
  }

  /// The counts from the tallies of every worker.
  dataset_counts finish(const std::vector<tally>& tallies) const;
  /// The ranges chosen, with their charges.
  const range_selection& selection() const { return selection_; }

 private:
  counted_range range_counts(std::size_t slot, std::uint64_t inside, std::uint64_t window,
                             std::vector<std::string>& messages) const;

  const apt::dataset* data_;
  const apt::range_file* file_;
  counting_options options_;
  apt::charge_options charges_;
  std::string symbol_;
  range_selection selection_;
  bool filter_;
  mass_lookup lookup_;
};

/// True when an ion passes the single-hits filter (always without it).
inline bool passes(const apt::ion_chunk& chunk, std::size_t i, bool single_hits) {
  return !single_hits || chunk.multiplicity.empty() || chunk.multiplicity[i] == 1;
}

}  // namespace detail

}  // namespace veltrane
