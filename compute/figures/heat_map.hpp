#pragma once

// The parts of a heat map over square bins, shared by the pair's field map
// and the joint field's maps: the cells with their axes, and a colour bar.

#include <cstdint>
#include <string>
#include <vector>

#include "compute/figures/figure.hpp"

namespace veltrane {

/// Bins without a value (masked, no field): light grey.
inline constexpr colour masked_colour{200, 200, 200};

/// One bin [i b, (i + 1) b) x [j b, (j + 1) b) and its place on the colour
/// bar (0 its low end, 1 its high end); NaN draws it grey.
struct heat_cell {
  std::int64_t i = 0, j = 0;
  double share = 0.0;
};

/// Where a heat map goes and what it spans: a square frame of `size`
/// points at (left, top), bins of `bin` (in `unit`, "mm" or "nm") from
/// i_min..i_max by j_min..j_max (the longer side fills the frame).
struct heat_frame {
  double left = 0.0, top = 0.0, size = 0.0;
  double bin = 1.0;
  std::int64_t i_min = 0, i_max = -1, j_min = 0, j_max = -1;
  std::string unit = "mm";
};

/// The cells, the frame and its axes (x and y in the unit). Nothing is
/// drawn for an empty span.
void draw_heat_cells(figure& f, const heat_frame& frame, const std::vector<heat_cell>& cells);

/// A tick of a colour bar: where on the bar (0 to 1), and its text.
struct bar_tick {
  double share = 0.0;
  std::string text;
};

/// A vertical colour bar of `height` points at (left, top), low end at the
/// bottom, with its ticks and an upright label beside them.
void draw_colour_bar(figure& f, double left, double top, double height,
                     const std::vector<bar_tick>& ticks, const std::string& label);

/// Round ticks of a bar from low to high (about four intervals).
std::vector<bar_tick> bar_ticks(double low, double high);

}  // namespace veltrane
