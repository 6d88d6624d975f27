#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

inline constexpr const char* text_export_name = "data.txt";

/// The lines of the text export of `curves`, without line ends: for n = 1 one
/// header and 50 data lines; for n >= 2 per step "#<j+1>. ionisation", the
/// column line and one line per point. A data line is E,Q,1-Q.
std::vector<std::string> text_export_lines(const curve_set& curves);

/// Writes the export to an open stream, "\n" after every line and flushed
/// after every line. Returns 0, or the errno of the first failed write.
int write_text_export(const curve_set& curves, std::FILE* out);

/// Replaces the file at `path` with the export of `curves`, never leaving it
/// half-written (see write_file). Returns nothing on success, otherwise
/// "Could not write <absolute path>: <reason>".
std::optional<std::string> save_text_export(const curve_set& curves,
                                            const std::filesystem::path& path);

}  // namespace veltrane
