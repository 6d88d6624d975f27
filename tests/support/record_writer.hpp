#pragma once

// What the writers of the three formats share: the check of the columns'
// lengths and the output in blocks, so that a large file is never encoded
// whole in memory. Internal to the writers (apt_writers.hpp).

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "apt/dataset.hpp"

namespace veltrane::apt::detail {

/// Takes the next bytes of the file; returns 0 or an errno.
using byte_sink = std::function<int(std::span<const std::byte>)>;

/// Every column must be empty (written as zeros) or hold one value per ion.
inline void check_lengths(const ion_columns& ions, std::string_view writer) {
  const std::size_t n = ions.size();
  const auto check = [&](std::size_t size, const char* name) {
    if (size != 0 && size != n) {
      throw std::invalid_argument(std::string(writer) + ": the column " + name + " has " +
                                  std::to_string(size) + " values for " + std::to_string(n) +
                                  " ions");
    }
  };
  check(ions.x.size(), "x");
  check(ions.y.size(), "y");
  check(ions.z.size(), "z");
  check(ions.det_x.size(), "det_x");
  check(ions.det_y.size(), "det_y");
  check(ions.tof.size(), "tof");
  check(ions.v_dc.size(), "v_dc");
  check(ions.v_pulse.size(), "v_pulse");
  check(ions.pulse_delta.size(), "pulse_delta");
  check(ions.multiplicity.size(), "multiplicity");
}

/// The value of ion i, or 0 when the column is empty.
template <class T>
T value_or_zero(const std::vector<T>& column, std::size_t i) {
  return column.empty() ? T{} : column[i];
}

/// Sends n records of `record_size` bytes, each laid out by fill(i, bytes),
/// in blocks of a few thousand records.
template <class fill_record>
int emit_records(std::size_t n, std::size_t record_size, const fill_record& fill,
                 const byte_sink& sink) {
  constexpr std::size_t block = 4096;
  std::vector<std::byte> buffer(block * record_size);
  for (std::size_t first = 0; first < n; first += block) {
    const std::size_t count = n - first < block ? n - first : block;
    for (std::size_t k = 0; k < count; ++k) fill(first + k, buffer.data() + k * record_size);
    if (const int error = sink(std::span(buffer.data(), count * record_size))) return error;
  }
  return 0;
}

/// A sink that appends to `bytes`.
inline byte_sink vector_sink(std::vector<std::byte>& bytes) {
  return [&bytes](std::span<const std::byte> piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return 0;
  };
}

/// A sink that writes to `out`.
inline byte_sink file_sink(std::FILE* out) {
  return [out](std::span<const std::byte> piece) {
    if (piece.empty()) return 0;
    errno = 0;
    if (std::fwrite(piece.data(), 1, piece.size(), out) != piece.size()) {
      return errno != 0 ? errno : EIO;
    }
    return 0;
  };
}

}  // namespace veltrane::apt::detail
