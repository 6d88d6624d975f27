#pragma once

// Writers of the three atom-probe data formats, for synthetic files in the
// tests and benchmarks: the program itself only reads them. Each writes
// what apt/'s reader of the format reads back (see pos_file.hpp,
// epos_file.hpp, apt_file.hpp).

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "apt/dataset.hpp"

namespace veltrane::apt {

/// The bytes of a .pos file holding `ions`: mass and position (an empty
/// position column is written as zeros; the other columns are not stored in
/// the format). Throws std::invalid_argument when a column is neither empty
/// nor as long as the mass column.
std::vector<std::byte> encode_pos(const ion_columns& ions);

/// encode_pos() written to `out` a block at a time, never the whole file in
/// memory. Returns 0, or the errno of the first failed write. Fits the
/// compute layer's file writer, which makes the write safe.
int write_pos(std::FILE* out, const ion_columns& ions);

/// The bytes of an .epos file holding `ions`; empty columns are written as
/// zeros. Throws std::invalid_argument when a column is neither empty nor as
/// long as the mass column.
std::vector<std::byte> encode_epos(const ion_columns& ions);

/// encode_epos() written to `out` a block at a time. Returns 0, or the errno
/// of the first failed write.
int write_epos(std::FILE* out, const ion_columns& ions);

/// How write_apt lays out a file.
struct apt_write_options {
  std::string file_name;                    ///< stored in the header (ASCII; up to 255 characters)
  bool separate_detector_sections = false;  ///< XDet_mm + YDet_mm, not Detector Coordinates
};

/// The bytes of an .apt file holding `ions`: the sections Mass, and for
/// each non-empty group Position (with a bounding box: minimum x, y, z, then
/// maximum x, y, z as float32), Detector Coordinates (or XDet_mm and
/// YDet_mm) and Multiplicity (uint32); the other columns are not written.
/// Creation time 0. Throws
/// std::invalid_argument when a column is neither empty nor as long as the
/// mass column.
std::vector<std::byte> encode_apt(const ion_columns& ions, const apt_write_options& options = {});

/// encode_apt() written to `out` a block at a time. Returns 0, or the errno
/// of the first failed write.
int write_apt(std::FILE* out, const ion_columns& ions, const apt_write_options& options = {});

/// The bytes of a file of `format` holding `ions` (encode_pos, encode_epos,
/// encode_apt); for synthetic files in tests. What the format cannot hold is
/// left out, and empty columns are written as zeros.
std::vector<std::byte> encode_data(data_format format, const ion_columns& ions);

/// encode_data() written to `out` a block at a time, never the whole file in
/// memory. Returns 0, or the errno of the first failed write.
int write_data(std::FILE* out, data_format format, const ion_columns& ions);

}  // namespace veltrane::apt
