#include "apt/pos_file.hpp"

#include "apt/read_error.hpp"

namespace veltrane::apt {

dataset open_pos(std::span<const std::byte> bytes, std::string name) {
  return detail::open_pos(detail::byte_source(bytes), std::move(name));
}

dataset detail::open_pos(byte_source bytes, std::string name) {
  const std::uint64_t size = bytes.size();
  if (size % pos_record_size != 0) {
    throw read_error(name + ": " + std::to_string(size) +
                     " bytes is not a whole number of 16-byte records");
  }
  dataset_layout layout;
  layout.format = data_format::pos;
  layout.path = std::move(name);
  layout.bytes = std::move(bytes);
  layout.ion_count = size / pos_record_size;
  if (layout.ion_count == 0) layout.notes.emplace_back("the file holds no ions: it is empty");
  const auto column = [&](field f, std::size_t offset) {
    layout.sources[static_cast<std::size_t>(f)] = {true, offset, pos_record_size, encoding::f32,
                                                   byte_order::big};
  };
  column(field::x, 0);
  column(field::y, 4);
  column(field::z, 8);
  column(field::mass, 12);
  return dataset(std::move(layout));
}

}  // namespace veltrane::apt
