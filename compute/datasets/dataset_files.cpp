#include "compute/datasets/dataset_files.hpp"

#include <optional>
#include <system_error>
#include <utility>

#include "apt/data_file.hpp"
#include "apt/read_error.hpp"

namespace veltrane {

void reading_dataset(const std::function<void()>& read) {
  try {
    read();
  } catch (const apt::open_error& e) {
    // Missing, a folder, a pipe, no permission: the file cannot be read at
    // all, which is not a fault of its content.
    throw dataset_file_error(e.what(), true);
  } catch (const apt::read_error& e) {
    throw dataset_file_error(e.what(), false);
  } catch (const apt::cancelled&) {
    throw calculation_cancelled();
  }
}

apt::dataset open_dataset(const std::filesystem::path& path) {
  std::optional<apt::dataset> data;
  reading_dataset([&] { data = apt::open_data(path); });
  return std::move(*data);
}

apt::range_file open_range_file(const std::filesystem::path& path,
                                const std::atomic<bool>* cancel) {
  std::optional<apt::range_file> file;
  reading_dataset([&] { file = apt::read_range_file(path, cancel); });
  return std::move(*file);
}

dataset_inputs read_inputs(const std::filesystem::path& data, const std::filesystem::path& ranges,
                           const std::atomic<bool>* cancel) {
  apt::range_file file = open_range_file(ranges, cancel);
  return dataset_inputs{open_dataset(data), std::move(file)};
}

void check_output_apart(const std::filesystem::path& output, const std::filesystem::path& data,
                        const std::filesystem::path& ranges) {
  for (const auto& [input, what] :
       {std::pair{&data, "data file"}, std::pair{&ranges, "range file"}}) {
    std::error_code error;
    if (std::filesystem::equivalent(output, *input, error) && !error) {
      throw input_refused(output.string() + " is the " + what + " " + input->string() +
                          ": writing it would replace it");
    }
  }
}

}  // namespace veltrane
