#pragma once

// The mass spectrum of a dataset, as a window draws it under the ranges.

#include <atomic>
#include <cstdint>
#include <vector>

#include "apt/dataset.hpp"

namespace veltrane {

struct spectrum_options {
  double bin = 0.05;    ///< Da, above 0
  double end = 1000.0;  ///< Da: heavier ions are left out of the spectrum (never out of counting)
  /// When set and true, the reading stops and throws calculation_cancelled.
  const std::atomic<bool>* cancel = nullptr;
  /// When set, raised by the ions read so far.
  std::atomic<std::uint64_t>* ions_done = nullptr;
};

/// Ions per bin [i bin, (i + 1) bin) Da from 0 Da, up to the last bin that
/// holds an ion. Throws dataset_file_error when the file cannot be read,
/// calculation_cancelled when cancelled.
std::vector<std::uint64_t> mass_spectrum(const apt::dataset& data, const spectrum_options& options);

}  // namespace veltrane
