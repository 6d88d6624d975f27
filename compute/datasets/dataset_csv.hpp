#pragma once

// The CSV files of a dataset's counts, map and profile: one line per element
// and charge, per bin, per block; numbers as shortest_number() writes them.

#include <optional>
#include <string>
#include <vector>

#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"

namespace veltrane {

/// The lines of `counts --csv`: the header
/// element,charge,ranges,counts,isotope_abundance_percent,corrected_counts,
/// decomposed_counts,decomposed_sigma,range_miss_da
/// and one line per element and charge (charge as "3+"; ranges as
/// "low-high" joined by ';', their bounds as the shortest text that reads
/// back), then one per name counted under its own name (charge empty).
/// Counts are whole numbers; the summed abundance has at most 6 decimals,
/// the corrected and decomposed counts and their sigma 3 (trailing zeros
/// dropped), "nan" where there is no number (not decomposed, inseparable,
/// no ranges of its own). range_miss_da: for each range of the line, 0 when
/// an isotope lies inside, else how far (Da, 6 decimals; negative below) the
/// isotope it was assigned by the mass tolerance lies from it.
std::vector<std::string> counts_csv_lines(const dataset_counts& counts);

/// The lines of the map's CSV: x_mm,y_mm,N_lower,N_upper,ratio,E_V_per_nm,
/// E_low_V_per_nm,E_high_V_per_nm (x_nm, y_nm over the specimen), one line
/// per bin; "nan" in the last four columns of a masked bin.
std::vector<std::string> map_csv_lines(const field_map& map);

/// The lines of the profile's CSV: first_ion,last_ion,N_lower,N_upper,ratio,
/// E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,V_dc_V and, with the field
/// factor k_f, R_nm = V_dc / (k_f E) (without it kfR_nm = V_dc / E: the
/// radius of the tip a reconstruction with this evaporation field assumes),
/// one line per block; V_dc_V the block's mean DC voltage in volts, nan
/// where the file has none (or its unit is not known), and so the radius.
std::vector<std::string> profile_csv_lines(const field_profile& profile,
                                           std::optional<double> kf = std::nullopt);

}  // namespace veltrane
