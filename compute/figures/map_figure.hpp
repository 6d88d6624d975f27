#pragma once

// The field map as a figure: a heat map of the bins' fields in V/nm with a
// colour bar, masked bins grey, axes in mm over the detector or nm over the
// specimen: a figure, written as SVG or as a page of PDF without a drawing
// library.

#include <string>

#include "compute/datasets/field_map.hpp"
#include "compute/figures/figure.hpp"

namespace veltrane {

/// The colour of a field at `share` (0 lowest, 1 highest) of the colour
/// bar; shares outside [0, 1] take the nearer end. As "#rrggbb" too.
colour map_rgb(double share);
std::string map_colour(double share);

/// The figure of `map` with `title` above it ("Tungsten 3+/2+").
/// The colour bar spans the fields of the unmasked bins that have one; an
/// empty map, or one without any field, is drawn with its axes and a note.
figure map_figure(const field_map& map, const std::string& title);

/// map_figure as an SVG document.
std::string map_svg(const field_map& map, const std::string& title);

}  // namespace veltrane
