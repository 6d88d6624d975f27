#include "compute/curves/text_export.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include "compute/curves/file_output.hpp"

namespace veltrane {

std::vector<std::string> text_export_lines(const curve_set& curves) {
  std::vector<std::string> lines;
  auto data_line = [](const sweep_point& p) {
    std::string line = format_number(p.E);
    line.append(",").append(format_number(p.Q)).append(",").append(format_number(1.0 - p.Q));
    return line;
  };
  if (curves.n == 1) {
    lines.emplace_back(
        "#E-field [V/nm],probability 1-P for 1. ionisation,probability P for 2. ionisation");
    for (const auto& step : curves.steps) {
      for (const auto& p : step.points) lines.push_back(data_line(p));
    }
    return lines;
  }
  for (const auto& step : curves.steps) {
    std::string step_line = "#";
    step_line.append(std::to_string(step.j + 1)).append(". ionisation");
    lines.push_back(std::move(step_line));
    lines.emplace_back("#E-field [V/nm],probability 1-P,probability P");
    for (const auto& p : step.points) lines.push_back(data_line(p));
  }
  return lines;
}

int write_text_export(const curve_set& curves, std::FILE* out) {
  for (const auto& line : text_export_lines(curves)) {
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), out) != line.size() ||
        std::fputc('\n', out) == EOF || std::fflush(out) != 0) {
      return errno != 0 ? errno : EIO;
    }
  }
  return 0;
}

std::optional<std::string> save_text_export(const curve_set& curves,
                                            const std::filesystem::path& path) {
  const auto reason =
      write_file(path, [&curves](std::FILE* out) { return write_text_export(curves, out); });
  if (reason) return file_failure_message("Could not write", path, *reason);
  return std::nullopt;
}

}  // namespace veltrane
