#include "apt/data_file.hpp"

#include <array>
#include <cstring>
#include <memory>

#include "apt/input_file.hpp"
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

namespace {

dataset open_source(detail::byte_source bytes, data_format format, std::string name) {
  switch (format) {
    case data_format::pos:
      return detail::open_pos(std::move(bytes), std::move(name));
    case data_format::epos:
      return detail::open_epos(std::move(bytes), std::move(name));
    case data_format::apt:
      break;
  }
  return detail::open_apt(std::move(bytes), std::move(name));
}

}  // namespace

dataset open_data(std::span<const std::byte> bytes, data_format format, std::string name) {
  return open_source(detail::byte_source(bytes), format, std::move(name));
}

dataset open_data(const std::filesystem::path& path) {
  auto file = std::make_shared<const input_file>(path);
  std::optional<data_format> format = format_of_extension(path);
  if (!format) {
    std::array<std::byte, 4> start{};
    if (file->size() >= start.size()) file->read(0, start);
    if (file->size() >= start.size() && std::memcmp(start.data(), "APT\0", 4) == 0) {
      format = data_format::apt;
    } else {
      throw read_error(path.string() +
                       ": the format is not known (the extension is not .pos, .epos or .apt, "
                       "and the file does not start with the .apt signature)");
    }
  }
  // The dataset reads the file as its ions are decoded: it keeps it open.
  return open_source(detail::byte_source(std::move(file)), *format, path.string());
}

}  // namespace veltrane::apt
