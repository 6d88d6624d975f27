#include "apt/pos_file.hpp"

#include "apt/read_error.hpp"

namespace veltrane::apt {

dataset open_pos(std::span<const std::byte> bytes, std::string name) {
  if (bytes.size() % pos_record_size != 0) {
    throw read_error(name + ": " + std::to_string(bytes.size()) +
                     " bytes is not a whole number of 16-byte records");
  }
  detail::dataset_layout layout;
  layout.format = data_format::pos;
  layout.path = std::move(name);
  layout.ion_count = bytes.size() / pos_record_size;
  const auto column = [&](detail::field f, std::size_t offset) {
    layout.sources[static_cast<std::size_t>(f)] = {
        true, bytes.empty() ? nullptr : bytes.data() + offset, pos_record_size,
        detail::encoding::f32, byte_order::big};
  };
  column(detail::field::x, 0);
  column(detail::field::y, 4);
  column(detail::field::z, 8);
  column(detail::field::mass, 12);
  return dataset(std::move(layout));
}

}  // namespace veltrane::apt
