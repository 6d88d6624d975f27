#include "apt/apt_file.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

using detail::encoding;
using detail::field;

using namespace apt_layout;

// A UTF-16LE text field up to its first NUL; what is not ASCII shows as '?'.
std::string read_utf16(const std::byte* p, std::size_t units) {
  std::string text;
  for (std::size_t i = 0; i < units; ++i) {
    const auto c = load_le<std::uint16_t>(p + 2 * i);
    if (c == 0) break;
    text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  }
  return text;
}

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// The sections read, what they hold and what they may be stored as.
enum class section_kind { mass, position, detector, x_detector, y_detector, multiplicity };
struct known_section {
  const char* name;
  section_kind kind;
  std::size_t components;
  bool whole_numbers;  // int32/uint32 rather than floats
};
constexpr known_section known_sections[] = {
    {"Mass", section_kind::mass, 1, false},
    {"Position", section_kind::position, 3, false},
    {"Detector Coordinates", section_kind::detector, 2, false},
    {"XDet_mm", section_kind::x_detector, 1, false},
    {"YDet_mm", section_kind::y_detector, 1, false},
    {"Multiplicity", section_kind::multiplicity, 1, true},
};

const known_section* find_section(std::string_view name) {
  for (const auto& s : known_sections) {
    if (same_name(name, s.name)) return &s;
  }
  return nullptr;
}

// The encoding of a section's values, or none for a combination not read.
std::optional<encoding> value_encoding(const known_section& s, std::uint32_t type,
                                       std::int32_t bits) {
  if (s.whole_numbers) {
    if (bits == 32 && type == type_int) return encoding::i32;
    if (bits == 32 && type == type_uint) return encoding::u32;
    return std::nullopt;
  }
  if (type == type_float && bits == 32) return encoding::f32;
  if (type == type_float && bits == 64) return encoding::f64;
  return std::nullopt;
}

std::string type_text(std::uint32_t type, std::int32_t bits) {
  const char* names[] = {"data type 0", "int", "uint", "float"};
  const std::string t = type <= 3 ? names[type] : "data type " + std::to_string(type);
  return t + " of " + std::to_string(bits) + " bits";
}

std::string byte_text(std::uint64_t at) { return "at byte " + std::to_string(at); }

}  // namespace

dataset open_apt(std::span<const std::byte> bytes, std::string name) {
  return detail::open_apt(detail::byte_source(bytes), std::move(name));
}

dataset detail::open_apt(byte_source bytes, std::string name) {
  const std::uint64_t size = bytes.size();
  const auto fail = [&name](const std::string& what) { return read_error(name + ": " + what); };
  if (size < apt_file_header_size) {
    throw fail(std::to_string(size) +
               " bytes is too short for the 540-byte header of an .apt file");
  }
  // The headers are copied out of the bytes, which may lie in a file.
  std::array<std::byte, apt_file_header_size> file_header{};
  bytes.read(0, file_header);
  const std::byte* file = file_header.data();
  if (std::memcmp(file, "APT\0", 4) != 0) {
    throw fail("does not start with the .apt signature \"APT\"");
  }
  const auto header_size = load_le<std::int32_t>(file + 4);
  if (header_size < static_cast<std::int32_t>(apt_file_header_size) ||
      static_cast<std::uint64_t>(header_size) > size) {
    throw fail("the file header gives its size as " + std::to_string(header_size) +
               " bytes (at least 540 and within the file's " + std::to_string(size) + " expected)");
  }

  dataset_layout layout;
  layout.format = data_format::apt;
  layout.ion_count = load_le<std::uint64_t>(file + file_header_ion_count);
  const std::uint64_t ions = layout.ion_count;
  std::vector<section_kind> read;
  std::uint64_t at = static_cast<std::uint64_t>(header_size);
  while (at < size) {
    // The section header, each length checked before it is used.
    const std::uint64_t left = size - at;
    if (left < apt_section_header_size) {
      throw fail("the section " + byte_text(at) + " is cut off: " + std::to_string(left) +
                 " bytes are left for its 148-byte header");
    }
    std::array<std::byte, apt_section_header_size> section_header_bytes{};
    bytes.read(at, section_header_bytes);
    const std::byte* s = section_header_bytes.data();
    if (std::memcmp(s, "SEC\0", 4) != 0)
      throw fail("no section signature \"SEC\" " + byte_text(at));
    const std::string type_name = read_utf16(s + section_name, section_name_units);
    const std::string what = "the section '" + type_name + "' " + byte_text(at);
    const auto section_header = load_le<std::int32_t>(s + 4);
    if (section_header < static_cast<std::int32_t>(apt_section_header_size) ||
        static_cast<std::uint64_t>(section_header) > left) {
      throw fail(what + " gives its header size as " + std::to_string(section_header) +
                 " bytes (at least 148 and within the " + std::to_string(left) +
                 " bytes left expected)");
    }
    const auto header_bytes = static_cast<std::uint64_t>(section_header);
    const auto byte_count = load_le<std::uint64_t>(s + section_byte_count);
    if (byte_count > left - header_bytes) {
      throw fail(what + " is cut off: it holds " + std::to_string(byte_count) +
                 " bytes of data, but only " + std::to_string(left - header_bytes) +
                 " follow its header");
    }
    const std::uint64_t data = at + header_bytes;
    at = data + byte_count;

    const known_section* known = find_section(type_name);
    if (known == nullptr) {
      layout.notes.push_back(what + " is not read");
      continue;
    }
    const auto relationship = load_le<std::uint32_t>(s + section_relationship);
    const auto record_type = load_le<std::uint32_t>(s + section_record_type);
    if (relationship != one_to_one || record_type != fixed_size) {
      layout.notes.push_back(what + " is skipped: " +
                             (relationship != one_to_one
                                  ? std::string("its records are not one per ion")
                                  : std::string("its records are not of a fixed size")));
      continue;
    }
    const auto data_type = load_le<std::uint32_t>(s + section_data_type);
    const auto data_bits = load_le<std::int32_t>(s + section_data_size);
    const auto record_size = load_le<std::int32_t>(s + section_record_size);
    const auto record_count = load_le<std::uint64_t>(s + section_record_count);
    const std::optional<encoding> stored = value_encoding(*known, data_type, data_bits);
    const std::size_t value_size = stored ? static_cast<std::size_t>(data_bits) / 8 : 0;
    const bool mass = known->kind == section_kind::mass;
    // A column that cannot be decoded: the file is still read without it,
    // unless it is the mass.
    if (!stored) {
      const std::string problem =
          what + " holds " + type_text(data_type, data_bits) + ", which is not read (" +
          (known->whole_numbers ? "int or uint of 32 bits" : "float of 32 or 64 bits") +
          " expected)";
      if (mass) throw fail(problem);
      layout.notes.push_back(problem + " and is skipped");
      continue;
    }
    if (record_size < 0 ||
        static_cast<std::uint64_t>(record_size) != value_size * known->components) {
      const std::string problem =
          what + " gives its record size as " + std::to_string(record_size) + " bytes, but " +
          std::to_string(known->components) + " values of " + std::to_string(value_size) +
          " bytes take " + std::to_string(value_size * known->components);
      if (mass) throw fail(problem);
      layout.notes.push_back(problem + "; it is skipped");
      continue;
    }
    // Sizes that contradict the file: it is damaged, and nothing of it is read.
    if (record_count != ions) {
      throw fail(what + " holds " + std::to_string(record_count) + " records for the " +
                 std::to_string(ions) + " ions of the file header");
    }
    const auto record_bytes = static_cast<std::uint64_t>(record_size);
    if (record_count > byte_count / record_bytes || record_count * record_bytes != byte_count) {
      throw fail(what + " holds " + std::to_string(byte_count) + " bytes, not " +
                 std::to_string(record_count) + " records of " + std::to_string(record_bytes) +
                 " bytes");
    }
    if (std::find(read.begin(), read.end(), known->kind) != read.end()) {
      throw fail(what + " is the second of its kind: which one holds the ions is not clear");
    }
    read.push_back(known->kind);
    const auto column = [&](field f, std::size_t component) {
      layout.sources[static_cast<std::size_t>(f)] = {
          true, data + component * value_size, to_size(record_bytes), *stored, byte_order::little};
    };
    switch (known->kind) {
      case section_kind::mass:
        column(field::mass, 0);
        break;
      case section_kind::position:
        column(field::x, 0);
        column(field::y, 1);
        column(field::z, 2);
        break;
      case section_kind::detector:
        column(field::det_x, 0);
        column(field::det_y, 1);
        break;
      case section_kind::x_detector:
        column(field::det_x, 0);
        break;
      case section_kind::y_detector:
        column(field::det_y, 0);
        break;
      case section_kind::multiplicity:
        column(field::multiplicity, 0);
        break;
    }
  }

  const auto has_kind = [&read](section_kind k) {
    return std::find(read.begin(), read.end(), k) != read.end();
  };
  if (!has_kind(section_kind::mass)) {
    throw fail("has no Mass section, so no mass-to-charge to read");
  }
  const bool x_det = has_kind(section_kind::x_detector), y_det = has_kind(section_kind::y_detector);
  if (has_kind(section_kind::detector) && (x_det || y_det)) {
    throw fail("holds both Detector Coordinates and XDet_mm/YDet_mm: which to read is not clear");
  }
  if (x_det != y_det) {
    layout.notes.push_back(std::string("the section ") + (x_det ? "XDet_mm" : "YDet_mm") +
                           " is not read: its partner " + (x_det ? "YDet_mm" : "XDet_mm") +
                           " is missing");
    for (const field f : {field::det_x, field::det_y}) {
      layout.sources[static_cast<std::size_t>(f)] = {};
    }
  }
  if (ions == 0) layout.notes.emplace_back("the file holds no ions: its header counts none");
  layout.path = std::move(name);
  layout.bytes = std::move(bytes);
  return dataset(std::move(layout));
}

}  // namespace veltrane::apt
