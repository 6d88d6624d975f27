#include "apt/epos_file.hpp"

#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

using detail::field;

// Byte offsets within a record, in the format's order.
struct epos_column {
  field which;
  std::size_t offset;
  detail::encoding stored;
};
constexpr epos_column epos_columns[] = {
    {field::x, 0, detail::encoding::f32},
    {field::y, 4, detail::encoding::f32},
    {field::z, 8, detail::encoding::f32},
    {field::mass, 12, detail::encoding::f32},
    {field::tof, 16, detail::encoding::f32},
    {field::v_dc, 20, detail::encoding::f32},
    {field::v_pulse, 24, detail::encoding::f32},
    {field::det_x, 28, detail::encoding::f32},
    {field::det_y, 32, detail::encoding::f32},
    {field::pulse_delta, 36, detail::encoding::u32},
    {field::multiplicity, 40, detail::encoding::u32},
};

}  // namespace

dataset open_epos(std::span<const std::byte> bytes, std::string name) {
  return detail::open_epos(detail::byte_source(bytes), std::move(name));
}

dataset detail::open_epos(byte_source bytes, std::string name) {
  const std::uint64_t size = bytes.size();
  if (size % epos_record_size != 0) {
    throw read_error(name + ": " + std::to_string(size) +
                     " bytes is not a whole number of 44-byte records");
  }
  dataset_layout layout;
  layout.format = data_format::epos;
  layout.path = std::move(name);
  layout.bytes = std::move(bytes);
  layout.ion_count = size / epos_record_size;
  if (layout.ion_count == 0) layout.notes.emplace_back("the file holds no ions: it is empty");
  for (const auto& c : epos_columns) {
    layout.sources[static_cast<std::size_t>(c.which)] = {true, c.offset, epos_record_size, c.stored,
                                                         byte_order::big};
  }
  return dataset(std::move(layout));
}

}  // namespace veltrane::apt
