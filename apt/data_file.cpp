#include "apt/data_file.hpp"

#include <cstring>
#include <memory>

#include "apt/mapped_file.hpp"
#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

std::string lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

std::optional<data_format> format_of_extension(const std::filesystem::path& path) {
  const std::string extension = lower(path.extension().string());
  if (extension == ".pos") return data_format::pos;
  if (extension == ".epos") return data_format::epos;
  if (extension == ".apt") return data_format::apt;
  return std::nullopt;
}

dataset open_data(std::span<const std::byte> bytes, data_format format, std::string name) {
  switch (format) {
    case data_format::pos:
      return open_pos(bytes, std::move(name));
    case data_format::epos:
      return open_epos(bytes, std::move(name));
    case data_format::apt:
      break;
  }
  return open_apt(bytes, std::move(name));
}

dataset open_data(const std::filesystem::path& path) {
  auto file = std::make_shared<const mapped_file>(path);
  std::optional<data_format> format = format_of_extension(path);
  if (!format) {
    const auto bytes = file->bytes();
    if (bytes.size() >= 4 && std::memcmp(bytes.data(), "APT\0", 4) == 0) {
      format = data_format::apt;
    } else {
      throw read_error(path.string() +
                       ": the format is not known (the extension is not .pos, .epos or .apt, "
                       "and the file does not start with the .apt signature)");
    }
  }
  dataset opened = open_data(file->bytes(), *format, path.string());
  // The dataset points into the mapping: it keeps the mapping alive.
  return dataset(std::move(opened), std::move(file));
}

}  // namespace veltrane::apt
