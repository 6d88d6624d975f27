#include "compute/datasets/dataset_files.hpp"

#include <fstream>
#include <optional>
#include <system_error>

#include "apt/data_file.hpp"
#include "apt/read_error.hpp"

namespace veltrane {

namespace {

// A file that cannot be opened for reading at all: the data cannot be read,
// which is not a fault of its content. Only a regular file is opened to see
// (a pipe would give its bytes to the probe); what else there is (a pipe, a
// device) is left to the reader.
void check_openable(const std::filesystem::path& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (std::filesystem::is_directory(status)) {
    throw dataset_file_error(path.string() + ": is a folder, not a file", true);
  }
  const bool other = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
  if (other) return;
  const std::ifstream probe(path, std::ios::binary);
  if (!probe) throw dataset_file_error(path.string() + ": cannot be opened for reading", true);
}

}  // namespace

void reading_dataset(const std::function<void()>& read) {
  try {
    read();
  } catch (const apt::read_error& e) {
    throw dataset_file_error(e.what(), false);
  }
}

apt::dataset open_dataset(const std::filesystem::path& path) {
  check_openable(path);
  std::optional<apt::dataset> data;
  reading_dataset([&] { data = apt::open_data(path); });
  return std::move(*data);
}

apt::range_file open_range_file(const std::filesystem::path& path) {
  check_openable(path);
  std::optional<apt::range_file> file;
  reading_dataset([&] { file = apt::read_range_file(path); });
  return std::move(*file);
}

dataset_inputs read_inputs(const std::filesystem::path& data, const std::filesystem::path& ranges) {
  check_openable(data);
  check_openable(ranges);
  apt::range_file file = open_range_file(ranges);
  return dataset_inputs{open_dataset(data), std::move(file)};
}

}  // namespace veltrane
