#pragma once

// The words a window shows of a dataset's field: the headline of a pair with
// its raw and isotope-corrected ratio, a joint map's bin under the mouse, the
// decomposition as table rows with the species that share each range, the
// model's inputs, and the inputs of a figure or a CSV file (its title, its
// comment lines). Numbers are written by the door's formatter where the user
// reads them on the screen, and as the command line writes them in files.

#include <cstdint>
#include <string>
#include <vector>

#include "apt/charge_assignment.hpp"
#include "compute/charge_states/ratio_inversion.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/request.hpp"
#include "compute/datasets/dataset_choice.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"
#include "compute/datasets/joint_maps.hpp"

namespace veltrane {

/// The inputs of a model as the fraction CSV names them:
///   "Tungsten, n = 2, work function 4.55 eV, energies 7.86403, 16.37, 26 eV"
std::string model_inputs_text(const calc_request& request);

/// The field of one pair with the ratio before and after the isotope
/// correction side by side:
///   "W 3+/2+: raw 0.787; corrected for isotopes 0.563 (counts 787 and
///    1000): E = 34.515 V/nm (95 %: 34.511 to 34.518 V/nm)"
/// (", after background 700 and 950" inside the brackets where background
/// was subtracted; "no field" as pair_field_text says it). The raw ratio is
/// that of the counts after background.
std::string pair_headline(const pair_field& field, const std::string& symbol,
                          const answer_numbers& numbers);

/// One bin of a joint map, as a read-out under the mouse:
///   "x = 1 mm, y = 1 mm: 1234 ions; E = 17.50 V/nm (95 %: 17.31 to 17.69
///    V/nm), p = 0.42; own fields: Cr 17.61, Fe 17.48 V/nm; left out: Ni"
/// or ": no element has enough ions here".
std::string joint_bin_text(const joint_field_map& map, const joint_map_bin& bin, double confidence,
                           const answer_numbers& numbers);

/// A block of a pair's profile under the mouse:
///   "ions 0 to 5999: N_lower = 100, N_upper = 150, E = 35.12 V/nm (95 %:
///    34.9 to 35.3 V/nm)" (or ": no field of the model gives this ratio").
std::string profile_block_text(const field_profile& profile, std::size_t block,
                               const answer_numbers& numbers);

/// A block of a joint profile under the mouse, as joint_bin_text words a
/// bin: "ions 0 to 5999: 5812 ions; E = ... from Cr, Fe, p = 0.42; ...".
std::string joint_block_text(const joint_field_profile& profile, std::size_t block,
                             double confidence, const answer_numbers& numbers);

/// The spectrum's bin under the mouse at `mass` (Da), `bin` Da wide, with
/// the range that holds the mass:
///   "m/n = 27.01 Da: 1234 ions in 27 to 27.05 Da; range 26.92–27.05 Da (Fe)"
std::string spectrum_bin_text(const std::vector<std::uint64_t>& spectrum, double bin, double mass,
                              const apt::range_file* file, const answer_numbers& numbers);

/// One species of a joint run's decomposition as a row of a table.
struct species_row {
  std::string label;  ///< "Fe2+", or a range's own name
  std::string symbol;
  int charge = 0;  ///< 0 for a range of its own
  /// The ions in the ranges named after it at its charge (raw).
  double counts = 0.0;
  species_amount amount;  ///< decomposed, all isotopes included
  /// Every range that holds its ions, each with the species it shares the
  /// range with: "26.92–27.05 Da (with Cr2+, Al+); 27.9–28.05 Da".
  std::string ranges;
};

/// The rows of `run`'s decomposition, in the order of its species.
std::vector<species_row> species_rows(const joint_run& run, const apt::range_file& file);

/// What a figure or a CSV file of a dataset shows.
enum class dataset_view {
  mass_spectrum,
  field_map,          ///< of the pair, or the joint field
  p_value_map,        ///< the joint field's test, bin by bin
  element_field_map,  ///< one element's own field, bin by bin
  field_profile,
};

/// The inputs behind a figure or a CSV file of a dataset.
struct dataset_view_inputs {
  std::string data_path, range_path;
  /// The pair (k > 0) of the element `symbol`, or the joint field of
  /// `elements` (k = 0).
  std::string symbol;
  int k = 0;
  std::vector<std::string> elements;
  /// The models: the pair's, or each joint element's (built-in values).
  std::vector<pair_model> models;
  map_plane over = map_plane::detector;
  double bin = 2.0;
  std::uint64_t block = 0;
  double spectrum_bin = 0.05;
  double min_counts = 100.0;
  double confidence = 0.95;
  bool single_hits = false, background = false;
  apt::charge_options charges;
};

/// The title of a figure, a few lines: what it shows and of which files,
/// its bins or blocks and counting, and the model's inputs. `element` names
/// the element of an element_field_map.
///   "Field map of W 3+/2+: tungsten.epos, ranges tungsten.rrng"
///   "Bins of 2 mm over the detector, at least 100 ions of the pair per bin; 95 % intervals; ..."
///   "Model: Tungsten, n = 2, work function 4.55 eV, energies 7.86403, 16.37, 26 eV"
std::vector<std::string> dataset_title_lines(const dataset_view_inputs& inputs, dataset_view view,
                                             const std::string& element = {});

/// The same as "# " lines for the head of a CSV file, with the files'
/// whole paths and every model's inputs in full.
std::vector<std::string> dataset_comment_lines(const dataset_view_inputs& inputs, dataset_view view,
                                               const std::string& element = {});

}  // namespace veltrane
