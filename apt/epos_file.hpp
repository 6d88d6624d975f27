#pragma once

// .epos: no header; one record of 44 bytes per ion, big-endian: x, y, z
// (nm), mass-to-charge (Da), raw time of flight (ns), DC voltage, pulse
// voltage, detector x, detector y (mm) as float32, then the pulses since the
// last event and the ions in this pulse as uint32. In a pulse with N hits
// the first record carries N and the others 0.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "apt/dataset.hpp"

namespace veltrane::apt {

/// The size of one .epos record in bytes.
inline constexpr std::size_t epos_record_size = 44;

/// Opens the bytes of an .epos file (kept, not copied: they must outlive the
/// dataset); `name` names the file in messages. Every column is present;
/// the voltages are kept as stored and their unit guessed (see
/// dataset::voltages()). An empty file holds no ions, with a note saying
/// so. Throws read_error "<name>: 1000003 bytes is not a whole number of
/// 44-byte records".
dataset open_epos(std::span<const std::byte> bytes, std::string name);

namespace detail {
/// open_epos() of bytes in memory or in a file.
dataset open_epos(byte_source bytes, std::string name);
}  // namespace detail

}  // namespace veltrane::apt
