#include "compute/figures/map_figure.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "compute/curves/number_format.hpp"
#include "compute/figures/figure.hpp"
#include "compute/figures/heat_map.hpp"

namespace veltrane {

namespace {

// Stops of a perceptually even ramp from dark violet to yellow.
constexpr std::array<std::array<double, 3>, 5> ramp = {{
    {68, 1, 84},
    {59, 82, 139},
    {33, 145, 140},
    {94, 201, 98},
    {253, 231, 37},
}};

// The frame of the figure, in points.
constexpr double width = 640, height = 560;
constexpr double plot_left = 70, plot_top = 40, plot_size = 440;
constexpr double bar_left = plot_left + plot_size + 30;

}  // namespace

colour map_rgb(double share) {
  const double s = std::clamp(std::isfinite(share) ? share : 0.0, 0.0, 1.0);
  const double at = s * static_cast<double>(ramp.size() - 1);
  const auto i = std::min(static_cast<std::size_t>(at), ramp.size() - 2);
  const double t = at - static_cast<double>(i);
  const auto channel = [&](std::size_t c) {
    return static_cast<int>(std::lround(ramp[i][c] + t * (ramp[i + 1][c] - ramp[i][c])));
  };
  return {channel(0), channel(1), channel(2)};
}

std::string map_colour(double share) {
  const colour c = map_rgb(share);
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
  return text;
}

figure map_figure(const field_map& map, const std::string& title) {
  figure f(width, height);
  f.crisp_edges();
  f.text(plot_left + plot_size / 2, 24, title, 12, 'm');
  const auto span = field_span(map);
  if (map.i_max < map.i_min || map.j_max < map.j_min) {
    f.text(plot_left + plot_size / 2, plot_top + plot_size / 2, "no ion of the pair", 12, 'm');
    return f;
  }
  std::vector<heat_cell> cells;
  for (const auto& bin : map.bins) {
    const bool shown = !bin.masked && std::isfinite(bin.field.E) && span;
    const double share = !shown ? std::numeric_limits<double>::quiet_NaN()
                         : span->second > span->first
                             ? (bin.field.E - span->first) / (span->second - span->first)
                             : 0.5;
    cells.push_back({bin.i, bin.j, share});
  }
  heat_frame frame;
  frame.left = plot_left;
  frame.top = plot_top;
  frame.size = plot_size;
  frame.bin = map.bin;
  frame.i_min = map.i_min;
  frame.i_max = map.i_max;
  frame.j_min = map.j_min;
  frame.j_max = map.j_max;
  frame.unit = map.over == map_plane::detector ? "mm" : "nm";
  draw_heat_cells(f, frame, cells);
  if (span) {
    draw_colour_bar(f, bar_left, plot_top, plot_size, bar_ticks(span->first, span->second),
                    "E [V/nm]");
  } else {
    f.text(plot_left + plot_size / 2, plot_top + plot_size / 2, "no bin has a field", 12, 'm');
  }
  f.filled_rectangle(plot_left, height - 16, 10, 10, masked_colour);
  f.text(plot_left + 16, height - 7, "too few ions, or no field", 12, 'l');
  return f;
}

std::string map_svg(const field_map& map, const std::string& title) {
  return map_figure(map, title).svg();
}

}  // namespace veltrane
