#include "compute/figures/figure_file.hpp"

#include <filesystem>

#include "compute/curves/file_output.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

png_rasteriser& rasteriser() {
  static png_rasteriser installed;
  return installed;
}

}  // namespace

std::optional<figure_format> figure_format_of(const std::string& path, std::string* message) {
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = ascii_lower(c);
  if (extension == ".svg") return figure_format::svg;
  if (extension == ".pdf") return figure_format::pdf;
  if (extension == ".png") {
    if (rasteriser()) return figure_format::png;
    *message = "\"" + path +
               "\": this build draws figures as .svg and .pdf only (PNG needs the window's "
               "libraries)";
    return std::nullopt;
  }
  *message = "\"" + path + "\": a figure is written as .svg, .pdf or .png";
  return std::nullopt;
}

void install_png_rasteriser(png_rasteriser r) { rasteriser() = std::move(r); }

std::optional<std::string> write_figure(const figure& f, const std::string& path) {
  std::string message;
  const auto format = figure_format_of(path, &message);
  if (!format) return message;
  std::string bytes;
  switch (*format) {
    case figure_format::svg:
      bytes = f.svg();
      break;
    case figure_format::pdf:
      bytes = pdf_document({f});
      break;
    case figure_format::png:
      if (const auto problem = rasteriser()(f.svg(), bytes)) {
        return file_failure_message("Could not draw", path, *problem);
      }
      break;
  }
  if (const auto problem = write_file(path, bytes)) {
    return file_failure_message("Could not write", path, *problem);
  }
  return std::nullopt;
}

}  // namespace veltrane
