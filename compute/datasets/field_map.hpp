#pragma once

// The field at the specimen from the charge states counted in a dataset:
// overall, over the detector (or the reconstructed specimen) in square bins,
// and along the run in blocks of ions. Every field comes from the
// isotope-corrected ratio r = (N_(k+1) / N_k) * (A_k / A_(k+1)) of one pair
// of neighbouring states through the model's r_k(E); its interval from
// Wilson's score interval of the raw share N_(k+1) / (N_k + N_(k+1)), mapped
// to r with the same factor. Counting statistics only: the model's own
// uncertainty is not in the interval.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/datasets/dataset_counts.hpp"

namespace veltrane {

/// The sentence that goes with every interval of these fields.
inline constexpr const char* counting_caveat =
    "The intervals are counting statistics only (Wilson score interval of the share of the "
    "higher state); the model's own uncertainty is not in them.";

/// The inversion of r_k(E) for many ratios at once. The ratios of the model
/// are tabulated once with fraction_table_at on the fields 1, 1.01, 1.02 ...
/// V/nm up to the over-barrier field of k (where r_k becomes infinite; or the
/// end of the search of charge_states::field_from_ratio when there is
/// none), and on the two fields around the edge where the ratio ends, found
/// to a quarter of the tolerance (so the table's last steps are uneven). A ratio's field is, as
/// field_from_ratio gives it, the lowest field where r_k rises through it: the table's first such
/// step, inside it a cubic through the logarithms of the four nearest ratios, then checked with the
/// model to the tolerance on either side of the answer (and bisected with the model within the step
/// where that fails).
class ratio_inverter {
 public:
  /// The inversion of r_k of `states` (which must outlive the inverter).
  /// `tolerance`: V/nm to which each field is certain. Throws input_refused
  /// for a pair that is not one of the request's (1 <= k <= n), and what
  /// charge_states throws.
  ratio_inverter(charge_states& states, int k, double tolerance = 1e-6);

  int k() const { return k_; }
  charge_states& states() const { return *states_; }
  /// The fields of the table (V/nm) and r_k there. The table is made on
  /// first use (here or by fields_of).
  const std::vector<double>& fields() {
    tabulate();
    return E_;
  }
  const std::vector<double>& ratios() {
    tabulate();
    return r_;
  }

  /// The field of each ratio (V/nm): NaN where no field has it (0, infinite,
  /// NaN, or beyond every ratio of the model). Identical ratios are
  /// inverted once.
  std::vector<double> fields_of(const std::vector<double>& ratios);

 private:
  // A ratio on its way to a field: bracketed by a field below it (lo) and
  // one not below it (hi), E the field so far; slot: its place among the
  // distinct ratios.
  struct pending {
    double ratio;
    std::size_t slot;
    double lo, hi;
    double E;
    bool done;
  };
  std::vector<pending> estimates(const std::vector<double>& distinct) const;
  void check_estimates(std::vector<pending>& work);
  void bisect(std::vector<pending>& work);
  void close_in_on_the_edge();
  // The index i of the table step [E_i, E_j] where r_k first rises through
  // `ratio` (j the next field with a ratio), or nothing.
  std::optional<std::pair<std::size_t, std::size_t>> rising_step(double ratio) const;
  double interpolated(double ratio, std::size_t i, std::size_t j) const;
  std::vector<double> model_ratios(const std::vector<double>& E);
  void tabulate();

  charge_states* states_;
  int k_;
  double tolerance_;
  bool tabulated_ = false;
  std::vector<double> E_, r_;
};

/// Counts of one pair and the field they give.
struct pair_field {
  int k = 0;  ///< the pair k+ and (k+1)+
  /// Raw ions in the ranges (whole numbers) and after background.
  double count_lower = 0.0, count_upper = 0.0;
  double net_lower = 0.0, net_upper = 0.0;
  double confidence = 0.95;
  /// Isotope-corrected: the factor A_k / A_(k+1) applied to N_(k+1) / N_k.
  double ratio = 0.0, ratio_low = 0.0, ratio_high = 0.0;
  /// V/nm. E is NaN when the ratio is 0 or infinite or not reached; an
  /// interval end without a field is -inf (low) or inf (high).
  double E = 0.0, E_low = 0.0, E_high = 0.0;
};

/// The ratio and its interval from net counts, isotope factor A_k / A_(k+1)
/// and confidence: Wilson on the net share, mapped through p / (1 - p) times
/// the factor. {ratio, low, high}; the ratio is inf when net_lower is 0 (NaN
/// when both are).
struct ratio_interval {
  double ratio, low, high;
};
ratio_interval corrected_ratio(double net_lower, double net_upper, double factor,
                               double confidence);

/// The fields of many pair_fields at once (their counts and ratios set).
void set_fields(std::vector<pair_field*> pairs, ratio_inverter& inverter);

/// What a field computation from a dataset is asked for.
struct field_options {
  counting_options counting;
  double confidence = 0.95;
};

/// The overall field of the pair of `inverter` from the counts of its
/// element (the element of the request of its charge_states), and the counts
/// themselves. Throws input_refused when the element has no counted range of
/// k+ or (k+1)+, and what count_charge_states throws.
struct overall_field {
  dataset_counts counts;
  pair_field field;
  double factor = 1.0;  ///< A_k / A_(k+1)
};
overall_field field_of_dataset(const apt::dataset& data, const apt::range_file& file,
                               ratio_inverter& inverter, const field_options& options);

/// The plane a map is binned over: the detector (mm) or the reconstructed
/// specimen x, y (nm).
enum class map_plane { detector, specimen };

struct map_options : field_options {
  map_plane over = map_plane::detector;
  double bin = 2.0;                ///< mm (nm over the specimen), above 0
  std::uint64_t min_counts = 100;  ///< N_lower + N_upper (raw) below: masked
};

/// One square bin [i b, (i + 1) b) x [j b, (j + 1) b) of the map.
struct map_bin {
  std::int64_t i = 0, j = 0;
  double x = 0.0, y = 0.0;  ///< its centre
  bool masked = false;      ///< too few ions: no ratio and no field (NaN)
  pair_field field;
};

struct field_map {
  overall_field overall;
  map_plane over = map_plane::detector;
  double bin = 2.0;
  /// Every bin with at least one ion of the pair, by i, then by j.
  std::vector<map_bin> bins;
  /// The bins' index ranges (empty map: 0, -1).
  std::int64_t i_min = 0, i_max = -1, j_min = 0, j_max = -1;
  /// Ions of the pair left out because their coordinates are not finite.
  std::uint64_t without_position = 0;
  std::vector<std::string> messages;
};

/// The map of the pair's field. Throws input_refused for a bin that is not
/// a finite number above 0 or is so small that the bins of some ions cannot
/// be numbered (beyond 4e18 bins from 0), a confidence outside (0, 1), a
/// detector map of a file without detector coordinates (.pos) and a
/// specimen map of one without positions, and what field_of_dataset throws.
field_map map_field(const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const map_options& options);

/// The lines of the map's CSV: x_mm,y_mm,N_lower,N_upper,ratio,E_V_per_nm,
/// E_low_V_per_nm,E_high_V_per_nm (x_nm, y_nm over the specimen), one line
/// per bin; "nan" in the last four columns of a masked bin.
std::vector<std::string> map_csv_lines(const field_map& map);

struct profile_options : field_options {
  std::uint64_t block = 1000000;  ///< ions per block in file order, at least 1
};

/// One block of ions [first_ion, last_ion] (counted from 0, in file order).
struct profile_block {
  std::uint64_t first_ion = 0, last_ion = 0;
  pair_field field;
  /// The mean DC voltage of the block's ions as the file stores it (see
  /// voltage unit), where the file has it.
  std::optional<double> mean_v_dc;
};

struct field_profile {
  overall_field overall;
  std::uint64_t block = 0;
  std::vector<profile_block> blocks;
  apt::voltage_unit voltages = apt::voltage_unit::none;
  std::vector<std::string> messages;
};

/// The pair's field along the run. Throws input_refused for a block of 0
/// ions, and what field_of_dataset throws.
field_profile profile_field(const apt::dataset& data, const apt::range_file& file,
                            ratio_inverter& inverter, const profile_options& options);

/// The lines of the profile's CSV: first_ion,last_ion,N_lower,N_upper,ratio,
/// E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm, one line per block.
std::vector<std::string> profile_csv_lines(const field_profile& profile);

}  // namespace veltrane
