#pragma once

// The field of a pair over the detector (or the reconstructed specimen) in
// square bins, from one pass over the dataset (see dataset_field.hpp).

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "compute/datasets/dataset_field.hpp"

namespace veltrane {

/// The plane a map is binned over: the detector (mm) or the reconstructed
/// specimen x, y (nm).
enum class map_plane { detector, specimen };

struct map_options : field_options {
  map_plane over = map_plane::detector;
  double bin = 2.0;                ///< mm (nm over the specimen), above 0
  std::uint64_t min_counts = 100;  ///< N_lower + N_upper (raw) below: masked
  /// Each worker of the map counts in a dense square of 512 x 512 bins
  /// (8 MB): the workers are as many as the threads asked for, but no more
  /// than one per this many ions (0 taken as 1), so that the squares follow
  /// the data and not the threads. 2^19: 16 bytes of square per ion, the
  /// size of the smallest record (.pos), so they never outgrow the file.
  std::uint64_t min_ions_per_worker = std::uint64_t{1} << 19;
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
  double bin = map_options{}.bin;
  /// Every bin with at least one ion of the pair, by i, then by j.
  std::vector<map_bin> bins;
  /// The bins' index ranges (empty map: 0, -1).
  std::int64_t i_min = 0, i_max = -1, j_min = 0, j_max = -1;
  /// Ions of the pair left out because their coordinates are not finite.
  std::uint64_t without_position = 0;
  std::vector<std::string> messages;
};

/// "the bin size must be a finite number above 0, not -1"; empty for a bin
/// size map_field takes (it may still find it too small for the data).
std::string bin_fault(double bin);

/// The map of the pair's field. Throws input_refused for a bin that is not
/// a finite number above 0 or is so small that the bins of some ions cannot
/// be numbered (beyond 4e18 bins from 0), a confidence outside (0, 1), a
/// detector map of a file without detector coordinates (.pos) and a
/// specimen map of one without positions, for an element without counted
/// ranges of both states of the pair, and what count_charge_states throws.
field_map map_field(const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const map_options& options);

namespace detail {
/// The threads map_field counts on: those of options.counting, at most one
/// per options.min_ions_per_worker ions, and at least 1.
unsigned map_worker_count(const apt::dataset& data, const map_options& options);
}  // namespace detail

/// The bins of a map laid out as dense arrays (Python's, a window's image):
/// the index ranges that hold the bulk of the pair's ions, and the bins
/// outside them. One stray ion far out would otherwise make the arrays as
/// large as the space between it and the rest (an ion at 30,000 mm in 2 mm
/// bins: 2^28 cells).
struct map_grid {
  std::int64_t i_min = 0, i_max = -1, j_min = 0, j_max = -1;  ///< empty map: 0, -1
  std::vector<std::size_t> outside;  ///< indices into field_map::bins, in their order
  std::uint64_t ions_outside = 0;    ///< ions of the pair in those bins
  std::uint64_t cells() const;
};

/// The most cells a map_grid holds.
inline constexpr std::uint64_t most_grid_cells = std::uint64_t{1} << 22;

/// The grid of `map`: along each axis, the span from the 0.1 % to the
/// 99.9 % point of the pair's ions, widened by half of itself and a bin on
/// either side (and kept within the bins), so that a detector's rim stays
/// inside and ions far beyond it do not. Throws input_refused when even
/// that grid has more than most_grid_cells cells (bins too small for the
/// data).
map_grid grid_of(const field_map& map);

/// What grid_of left out, for the messages: "3 ions of the pair in 2 bins
/// lie outside the grid of x from -40 to 40 mm, y from -38 to 40 mm, far
/// from the bulk of the ions; their bins are given apart"; empty when
/// nothing was.
std::string outside_grid_message(const field_map& map, const map_grid& grid);

/// The lowest and highest field of the map's unmasked bins, the span of its
/// colour scale; nothing when no bin has a field.
std::optional<std::pair<double, double>> field_span(const field_map& map);

}  // namespace veltrane
