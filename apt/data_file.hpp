#pragma once

// Opening an atom-probe data file of any of the three formats, by path or
// from bytes in memory.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "apt/apt_file.hpp"
#include "apt/dataset.hpp"
#include "apt/epos_file.hpp"
#include "apt/pos_file.hpp"

namespace veltrane::apt {

/// The format a file name's extension names (.pos, .epos, .apt, in any
/// case), or nothing for another extension.
std::optional<data_format> format_of_extension(const std::filesystem::path& path);

/// Opens the data file at `path`: the format from its extension (a file
/// with another extension is read as .apt when it starts with the .apt
/// signature). The file is read as its ions are decoded, a block at a time,
/// never whole into memory, and stays open as long as the dataset or any
/// copy of it. Throws open_error for a file that cannot be opened for
/// reading or is no regular file (see input_file), and read_error
/// "<path>: <what is wrong>" for an unknown format, every fault the
/// format's reader finds (see open_pos, open_epos, open_apt), and a file cut
/// off while it is being read (also later, while its ions are decoded).
dataset open_data(const std::filesystem::path& path);

/// Opens bytes in memory as a data file of `format` (kept, not copied: they
/// must outlive the dataset); `name` names them in messages. For tests, the
/// fuzzer and data that does not come from a file.
dataset open_data(std::span<const std::byte> bytes, data_format format, std::string name);

}  // namespace veltrane::apt
