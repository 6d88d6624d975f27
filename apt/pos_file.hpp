#pragma once

// .pos: no header; one record of 16 bytes per ion, four big-endian float32:
// x, y, z (nm) and the mass-to-charge (Da).

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "apt/dataset.hpp"

namespace veltrane::apt {

/// The size of one .pos record in bytes.
inline constexpr std::size_t pos_record_size = 16;

/// Opens the bytes of a .pos file (kept, not copied: they must outlive the
/// dataset); `name` names the file in messages. An empty file holds no ions,
/// with a note saying so. Throws read_error "<name>: 1000003 bytes is not a
/// whole number of 16-byte records" when the size says the file is cut off
/// or is something else.
dataset open_pos(std::span<const std::byte> bytes, std::string name);

namespace detail {
/// open_pos() of bytes in memory or in a file.
dataset open_pos(byte_source bytes, std::string name);
}  // namespace detail

}  // namespace veltrane::apt
