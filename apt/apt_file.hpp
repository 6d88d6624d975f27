#pragma once

// .apt (little-endian): a 540-byte file header, then sections, each a header
// followed by its data.
//   file header:    "APT\0", header size int32 (540), header version int32,
//                   file name UTF-16[256], creation time uint64, ion count uint64
//   section header: "SEC\0", header size int32, header version int32, section
//                   type UTF-16[32], section version int32, relationship uint32
//                   (1: one record per ion), record type uint32 (1: fixed size),
//                   data type uint32 (1 int, 2 uint, 3 float), data type size
//                   int32 (bits), record size int32 (bytes), unit UTF-16[16],
//                   record count uint64, byte count uint64   (148 bytes; longer
//                   headers, as Position's 172 with its bounding box, are skipped)
// The next section starts at section start + header size + byte count.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "apt/dataset.hpp"

namespace veltrane::apt {

/// The size of the .apt file header and of a section header without extras.
inline constexpr std::size_t apt_file_header_size = 540;
inline constexpr std::size_t apt_section_header_size = 148;

/// Where the fields of the headers lie (byte offsets) and the codes they
/// hold, as described above.
namespace apt_layout {
inline constexpr std::size_t file_header_ion_count = 532;
inline constexpr std::size_t section_name = 12, section_name_units = 32;
inline constexpr std::size_t section_relationship = 80, section_record_type = 84;
inline constexpr std::size_t section_data_type = 88, section_data_size = 92;
inline constexpr std::size_t section_record_size = 96, section_unit = 100, section_unit_units = 16;
inline constexpr std::size_t section_record_count = 132, section_byte_count = 140;
/// Position's header: a section header and its bounding box.
inline constexpr std::size_t position_header_size = apt_section_header_size + 24;
inline constexpr std::uint32_t one_to_one = 1, fixed_size = 1;
inline constexpr std::uint32_t type_int = 1, type_uint = 2, type_float = 3;
}  // namespace apt_layout

/// Opens the bytes of an .apt file (kept, not copied: they must outlive the
/// dataset); `name` names the file in messages. Reads the sections
///   Mass (float, Da), Position (3 floats x, y, z, nm), Detector Coordinates
///   (2 floats, mm) or XDet_mm and YDet_mm (a float each), Multiplicity
///   (int32 or uint32),
/// section names compared without regard to case, floats of 32 bits (or of
/// 64 bits, rounded to the nearest float32 as the other formats store them).
/// Every other section, one that is not one record per ion, or not of fixed
/// record size, is skipped with a note, as is a section other than Mass of
/// a type or record size it cannot have (the ion positions of a file are
/// still worth reading when, say, its multiplicity is stored in 8 bits).
/// Every length in the file is checked against the file's size before it is
/// used; throws read_error "<name>: <what>" for a file too short for its
/// header, a header or section signature missing, a section cut off by the
/// end of the file, a record count other than the ion count, a byte count
/// other than record size times record count, a Mass section of another
/// type, a section given twice, a file without a Mass section, and a file
/// with both Detector Coordinates and XDet_mm or YDet_mm (which to read is
/// not clear). A file whose header counts no ions holds none, with a note.
dataset open_apt(std::span<const std::byte> bytes, std::string name);

namespace detail {
/// open_apt() of bytes in memory or in a file.
dataset open_apt(byte_source bytes, std::string name);
}  // namespace detail

}  // namespace veltrane::apt
