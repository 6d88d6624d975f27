#pragma once

// A figure written to a file in the format its name asks for: SVG and PDF
// drawn here, PNG by a rasteriser that a program with a drawing library
// installs (the command line does when it is built with the window).

#include <functional>
#include <optional>
#include <string>

#include "compute/figures/figure.hpp"

namespace veltrane {

enum class figure_format { svg, pdf, png };

/// The format of `path` by its extension (.svg, .pdf, .png in any case);
/// nothing, with a message naming the path, for any other, and for .png
/// when no rasteriser is installed.
std::optional<figure_format> figure_format_of(const std::string& path, std::string* message);

/// Turns an SVG document into PNG bytes; the reason on failure.
using png_rasteriser =
    std::function<std::optional<std::string>(const std::string& svg, std::string& png)>;
void install_png_rasteriser(png_rasteriser rasteriser);

/// Writes `f` to `path` (replacing it only once the whole file is written);
/// the message of a failure, naming the path, otherwise nothing.
std::optional<std::string> write_figure(const figure& f, const std::string& path);

}  // namespace veltrane
