#include "apt/epos_file.hpp"

#include "apt/read_error.hpp"
#include "apt/record_writer.hpp"

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

int emit_epos(const ion_columns& ions, const detail::byte_sink& sink) {
  detail::check_lengths(ions, "write_epos");
  return detail::emit_records(
      ions.size(), epos_record_size,
      [&ions](std::size_t i, std::byte* r) {
        using detail::value_or_zero;
        const auto put = [r](auto value, std::size_t offset) {
          store(value, r + offset, byte_order::big);
        };
        put(value_or_zero(ions.x, i), 0);
        put(value_or_zero(ions.y, i), 4);
        put(value_or_zero(ions.z, i), 8);
        put(ions.mass[i], 12);
        put(value_or_zero(ions.tof, i), 16);
        put(value_or_zero(ions.v_dc, i), 20);
        put(value_or_zero(ions.v_pulse, i), 24);
        put(value_or_zero(ions.det_x, i), 28);
        put(value_or_zero(ions.det_y, i), 32);
        put(value_or_zero(ions.pulse_delta, i), 36);
        put(value_or_zero(ions.multiplicity, i), 40);
      },
      sink);
}

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

std::vector<std::byte> encode_epos(const ion_columns& ions) {
  std::vector<std::byte> bytes;
  bytes.reserve(ions.size() * epos_record_size);
  emit_epos(ions, detail::vector_sink(bytes));
  return bytes;
}

int write_epos(std::FILE* out, const ion_columns& ions) {
  return emit_epos(ions, detail::file_sink(out));
}

}  // namespace veltrane::apt
