#pragma once

// The joint field of several elements over the detector (or the
// reconstructed specimen) in square bins, and along the run in blocks of
// ions: every range counted per bin or block in one pass over the file,
// then each bin's or block's fit, started from the whole run's field.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compute/datasets/field_map.hpp"
#include "compute/datasets/joint_dataset.hpp"

namespace veltrane {

/// One bin or block and its joint field.
struct joint_cell {
  std::uint64_t ions = 0;  ///< ions in the ranges of the file here
  /// The fit; answer.field.found is false (a masked cell) when no element
  /// has enough ions here.
  joint_answer answer;
};

struct joint_map_bin : joint_cell {
  std::int64_t i = 0, j = 0;  ///< [i b, (i + 1) b) x [j b, (j + 1) b)
  double x = 0.0, y = 0.0;    ///< its centre
};

struct joint_field_map {
  joint_run overall;
  map_plane over = map_plane::detector;
  double bin = 2.0;
  /// Every bin with ions in the ranges, by i, then by j.
  std::vector<joint_map_bin> bins;
  /// Ions in ranges left out because their coordinates are not finite.
  std::uint64_t without_position = 0;
  std::vector<std::string> messages;
};

/// The joint field per bin of `bin` mm (nm over the specimen). Throws
/// input_refused for a bin that is not a finite number above 0 or so small
/// that the coordinates' bins cannot be numbered, a plane the file has no
/// coordinates of, and what joint_field_of_run throws.
joint_field_map map_joint_field(const apt::dataset& data, const apt::range_file& file,
                                const joint_request& request, map_plane over, double bin);

/// x_mm,y_mm,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value and
/// E_<symbol>_V_per_nm per element (x_nm, y_nm over the specimen); nan
/// where a bin is masked or an element is left out.
std::vector<std::string> joint_map_csv_lines(const joint_field_map& map);

struct joint_profile_block : joint_cell {
  std::uint64_t first_ion = 0, last_ion = 0;  ///< counted from 0, in file order
  /// The mean DC voltage of the block's ions in volts, where the file has
  /// it in a known unit.
  std::optional<double> mean_v_dc;
};

struct joint_field_profile {
  joint_run overall;
  std::uint64_t block = 0;
  std::vector<joint_profile_block> blocks;
  /// The field factor k_f of R = V / (k_f F), when given.
  std::optional<double> kf;
  std::vector<std::string> messages;
};

/// The joint field per block of `block` ions in file order. Throws
/// input_refused for a block of 0 ions or too many blocks, a k_f that is
/// not a finite number above 0, and what joint_field_of_run throws.
joint_field_profile profile_joint_field(const apt::dataset& data, const apt::range_file& file,
                                        const joint_request& request, std::uint64_t block,
                                        std::optional<double> kf = std::nullopt);

/// first_ion,last_ion,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,
/// p_value, E_<symbol>_V_per_nm per element, V_dc_V, and R_nm = V / (k_f F)
/// with k_f, kfR_nm = V / F without it: the radius of the specimen's tip a
/// reconstruction with this evaporation field assumes.
std::vector<std::string> joint_profile_csv_lines(const joint_field_profile& profile);

/// V / (k_f F) in nm (k_f 1: V / F), from a voltage in volts and a field in
/// V/nm; NaN without either.
double tip_radius_nm(std::optional<double> volts, double field_v_per_nm, double kf);

/// Throws input_refused for a field factor k_f that is not a finite number
/// above 0.
void check_field_factor(std::optional<double> kf);

}  // namespace veltrane
