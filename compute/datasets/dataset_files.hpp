#pragma once

// Opening a dataset's files for every door: the data file and the range
// file, each fault said in one message that names the file. What apt/ finds
// wrong while the ions are read later (a mass that is no number) is said the
// same way: no door sees apt::read_error.

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>

#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

/// A data or range file that cannot be used; the message names the file
/// ("run.epos: 17 bytes is not a whole number of 16-byte records").
/// unopened(): it could not be opened for reading at all (missing, a folder,
/// no permission), rather than read and found wrong.
class dataset_file_error : public input_refused {
 public:
  dataset_file_error(const std::string& message, bool unopened)
      : input_refused(message), unopened_(unopened) {}
  bool unopened() const { return unopened_; }

 private:
  bool unopened_;
};

/// Opens a data file (.epos, .pos, .apt; see apt::open_data). Throws
/// dataset_file_error: "<path>: is a folder, not a file", "<path>: cannot be
/// opened for reading", or what apt finds wrong with it.
apt::dataset open_dataset(const std::filesystem::path& path);

/// Reads a range file (.rrng, .rng; see apt::read_range_file). Throws
/// dataset_file_error as open_dataset does, calculation_cancelled when
/// `cancel` is raised while it is read.
apt::range_file open_range_file(const std::filesystem::path& path,
                                const std::atomic<bool>* cancel = nullptr);

/// What a dataset computation reads: the data and its range file.
struct dataset_inputs {
  apt::dataset data;
  apt::range_file ranges;
};

/// Both files: the range file read (looking at `cancel`), then the data
/// file opened.
dataset_inputs read_inputs(const std::filesystem::path& data, const std::filesystem::path& ranges,
                           const std::atomic<bool>* cancel = nullptr);

/// Runs `read`, which reads ions or files through apt/, and throws an
/// apt::read_error of it as dataset_file_error, apt::cancelled as
/// calculation_cancelled.
void reading_dataset(const std::function<void()>& read);

/// Refuses (input_refused) an output that is the data or the range file
/// itself, also under another path (a link, "./run.epos"): writing it would
/// replace the dataset. "map.csv is the data file run.epos: writing it would
/// replace it". An output that does not exist yet is no input.
void check_output_apart(const std::filesystem::path& output, const std::filesystem::path& data,
                        const std::filesystem::path& ranges);

}  // namespace veltrane
