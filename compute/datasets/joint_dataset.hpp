#pragma once

// The joint field of a dataset: every range of the run counted (overall, by
// bin of a map, by block of ions), the chosen elements' models, and the fit
// of each set of counts (see joint_field.hpp).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/joint_field.hpp"

namespace veltrane {

/// What the joint field of a dataset is asked for.
struct joint_request {
  /// The elements tied to the field, by name or symbol; empty: every element
  /// of the range file in the element table whose ranges hold ions at two
  /// charges or more. Each named element is also looked for in the other
  /// ions' ranges.
  std::vector<std::string> elements;
  /// n of an element's model, by name or symbol (any case); default
  /// `ionisations_all`, else its highest counted charge, at most what its
  /// data allow.
  std::map<std::string, int> ionisations;
  /// n of every element not in `ionisations`.
  std::optional<int> ionisations_all;
  evaluation method = evaluation::accurate;
  counting_options counting;
  apt::charge_options charges;
  double confidence = 0.95;
  /// A bin or block needs this many ions in an element's own ranges for
  /// the element to enter its fit.
  double min_counts = default_element_min_counts;
};

/// Refuses, before any file is read, what is wrong with a request by
/// itself: an unknown element (named or given an n), a confidence outside
/// (0, 1), minimum counts that are not a number of at least 0. Throws
/// input_refused. Every function below that takes a request checks it so.
void check_joint_request(const joint_request& request);

/// The ions of every range of a file (counts) and of each range's
/// background window (when asked for), overall or in one bin or block.
struct range_tally {
  std::vector<std::uint64_t> counts, window;
  std::uint64_t ions = 0;  ///< ions that passed the filter, in ranges or not
  /// As the fits take them: counts, and the window's ions as background
  /// (empty without background).
  fit_counts for_fit(bool background) const;
};

/// Counts every range of `file` in `data` (each ion in at most one range,
/// found as count_charge_states finds it). Throws what count_charge_states
/// throws for the file.
range_tally count_every_range(const apt::dataset& data, const apt::range_file& file,
                              const counting_options& options);

/// Everything made once for a run: the ranges as sums of species, the
/// chosen elements and their models.
class joint_setup {
 public:
  /// Chooses the elements from the request and the run's counts, and
  /// tabulates their models. Throws input_refused for an element that is
  /// unknown, not in the range file, or without ranges at two charges, for
  /// a request without any element to fit, for an n given for an element
  /// that is not chosen (or twice), and for an n its data do not allow.
  joint_setup(const apt::range_file& file, const joint_request& request, const range_tally& run);
  joint_setup(const joint_setup&) = delete;
  joint_setup& operator=(const joint_setup&) = delete;

  const range_design& design() const { return design_; }
  const joint_field_model& model() const { return *model_; }
  /// The symbols of the chosen elements, in order of Z.
  const std::vector<std::string>& symbols() const { return symbols_; }
  /// What was chosen and assumed (elements, their n, background), each
  /// ready to be shown.
  const std::vector<std::string>& messages() const { return messages_; }
  bool background() const { return background_; }

 private:
  range_design design_;
  std::vector<std::string> symbols_;
  std::vector<std::unique_ptr<charge_states>> states_;
  std::unique_ptr<joint_field_model> model_;
  std::vector<std::string> messages_;
  bool background_ = false;
};

/// The joint field of a whole run.
struct joint_run {
  std::shared_ptr<const joint_setup> setup;
  range_tally counts;
  std::vector<species_amount> decomposition;
  joint_answer answer;
};

/// Counts the run and fits its joint field (and decomposes its counts).
/// Throws input_refused (see joint_setup), apt::read_error,
/// calculation_cancelled.
joint_run joint_field_of_run(const apt::dataset& data, const apt::range_file& file,
                             const joint_request& request);

/// The same from the run's counts, counted already.
joint_run joint_field_of_counts(const apt::range_file& file, const joint_request& request,
                                range_tally counts);

/// The options of the fits of a request's bins or blocks: its confidence and
/// minimum counts, started from `start`.
joint_options fit_options(const joint_request& request, double start, std::string counts_of);

}  // namespace veltrane
