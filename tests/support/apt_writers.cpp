#include "tests/support/apt_writers.hpp"

#include <algorithm>
#include <cstring>

#include "apt/apt_file.hpp"
#include "apt/byte_order.hpp"
#include "apt/epos_file.hpp"
#include "apt/pos_file.hpp"
#include "tests/support/record_writer.hpp"

namespace veltrane::apt {

namespace {

int emit_pos(const ion_columns& ions, const detail::byte_sink& sink) {
  detail::check_lengths(ions, "write_pos");
  return detail::emit_records(
      ions.size(), pos_record_size,
      [&ions](std::size_t i, std::byte* r) {
        store(detail::value_or_zero(ions.x, i), r, byte_order::big);
        store(detail::value_or_zero(ions.y, i), r + 4, byte_order::big);
        store(detail::value_or_zero(ions.z, i), r + 8, byte_order::big);
        store(ions.mass[i], r + 12, byte_order::big);
      },
      sink);
}

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

using namespace apt_layout;

// ASCII text as UTF-16LE into a field of `units` code units, NUL-padded.
void write_utf16(std::byte* p, std::size_t units, std::string_view text) {
  const std::size_t n = std::min(text.size(), units - 1);
  for (std::size_t i = 0; i < n; ++i) {
    store(static_cast<std::uint16_t>(static_cast<unsigned char>(text[i])), p + 2 * i,
          byte_order::little);
  }
}

struct section_to_write {
  const char* name;
  const char* unit;
  std::uint32_t type;
  std::vector<const std::vector<float>*> floats;  // components; empty vectors are zeros
  const std::vector<std::uint32_t>* whole = nullptr;
};

int emit_section(const section_to_write& w, std::size_t n, const detail::byte_sink& sink) {
  const std::size_t components = w.whole != nullptr ? 1 : w.floats.size();
  const std::size_t record = 4 * components;
  const bool position = components == 3;
  std::vector<std::byte> header(position ? position_header_size : apt_section_header_size);
  std::byte* h = header.data();
  std::memcpy(h, "SEC\0", 4);
  store(static_cast<std::int32_t>(header.size()), h + 4, byte_order::little);
  store(std::int32_t{2}, h + 8, byte_order::little);
  write_utf16(h + section_name, section_name_units, w.name);
  store(std::int32_t{1}, h + 76, byte_order::little);
  store(one_to_one, h + section_relationship, byte_order::little);
  store(fixed_size, h + section_record_type, byte_order::little);
  store(w.type, h + section_data_type, byte_order::little);
  store(std::int32_t{32}, h + section_data_size, byte_order::little);
  store(static_cast<std::int32_t>(record), h + section_record_size, byte_order::little);
  write_utf16(h + section_unit, section_unit_units, w.unit);
  store(std::uint64_t{n}, h + section_record_count, byte_order::little);
  store(std::uint64_t{n * record}, h + section_byte_count, byte_order::little);
  if (position) {
    // The bounding box of the positions: minimum x, y, z, then maximum.
    for (std::size_t c = 0; c < 3; ++c) {
      float low = 0.0f, high = 0.0f;
      const auto& v = *w.floats[c];
      if (!v.empty()) {
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        low = *lo;
        high = *hi;
      }
      store(low, h + apt_section_header_size + 4 * c, byte_order::little);
      store(high, h + apt_section_header_size + 12 + 4 * c, byte_order::little);
    }
  }
  if (const int error = sink(header)) return error;
  return detail::emit_records(
      n, record,
      [&w](std::size_t i, std::byte* r) {
        if (w.whole != nullptr) {
          store(detail::value_or_zero(*w.whole, i), r, byte_order::little);
          return;
        }
        for (std::size_t c = 0; c < w.floats.size(); ++c) {
          store(detail::value_or_zero(*w.floats[c], i), r + 4 * c, byte_order::little);
        }
      },
      sink);
}

int emit_apt(const ion_columns& ions, const apt_write_options& options,
             const detail::byte_sink& sink) {
  detail::check_lengths(ions, "write_apt");
  const std::size_t n = ions.size();
  std::vector<std::byte> header(apt_file_header_size);
  std::memcpy(header.data(), "APT\0", 4);
  store(static_cast<std::int32_t>(apt_file_header_size), header.data() + 4, byte_order::little);
  store(std::int32_t{2}, header.data() + 8, byte_order::little);
  write_utf16(header.data() + 12, 256, options.file_name);
  store(std::uint64_t{n}, header.data() + file_header_ion_count, byte_order::little);
  if (const int error = sink(header)) return error;

  std::vector<section_to_write> sections;
  sections.push_back({"Mass", "Da", type_float, {&ions.mass}});
  if (!ions.x.empty() || !ions.y.empty() || !ions.z.empty()) {
    sections.push_back({"Position", "nm", type_float, {&ions.x, &ions.y, &ions.z}});
  }
  if (!ions.det_x.empty() || !ions.det_y.empty()) {
    if (options.separate_detector_sections) {
      sections.push_back({"XDet_mm", "mm", type_float, {&ions.det_x}});
      sections.push_back({"YDet_mm", "mm", type_float, {&ions.det_y}});
    } else {
      sections.push_back({"Detector Coordinates", "mm", type_float, {&ions.det_x, &ions.det_y}});
    }
  }
  if (!ions.multiplicity.empty()) {
    sections.push_back({"Multiplicity", "", type_uint, {}, &ions.multiplicity});
  }
  for (const auto& s : sections) {
    if (const int error = emit_section(s, n, sink)) return error;
  }
  return 0;
}

}  // namespace

std::vector<std::byte> encode_pos(const ion_columns& ions) {
  std::vector<std::byte> bytes;
  bytes.reserve(ions.size() * pos_record_size);
  emit_pos(ions, detail::vector_sink(bytes));
  return bytes;
}

int write_pos(std::FILE* out, const ion_columns& ions) {
  return emit_pos(ions, detail::file_sink(out));
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

std::vector<std::byte> encode_apt(const ion_columns& ions, const apt_write_options& options) {
  std::vector<std::byte> bytes;
  emit_apt(ions, options, detail::vector_sink(bytes));
  return bytes;
}

int write_apt(std::FILE* out, const ion_columns& ions, const apt_write_options& options) {
  return emit_apt(ions, options, detail::file_sink(out));
}

std::vector<std::byte> encode_data(data_format format, const ion_columns& ions) {
  switch (format) {
    case data_format::pos:
      return encode_pos(ions);
    case data_format::epos:
      return encode_epos(ions);
    case data_format::apt:
      break;
  }
  return encode_apt(ions);
}

int write_data(std::FILE* out, data_format format, const ion_columns& ions) {
  switch (format) {
    case data_format::pos:
      return write_pos(out, ions);
    case data_format::epos:
      return write_epos(out, ions);
    case data_format::apt:
      break;
  }
  return write_apt(out, ions);
}

}  // namespace veltrane::apt
