#include "compute/figures/map_figure.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "compute/curves/number_format.hpp"
#include "compute/figures/figure.hpp"

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

constexpr colour masked_colour{200, 200, 200};
constexpr colour black{0, 0, 0};

// The frame of the figure, in points.
constexpr double width = 640, height = 560;
constexpr double plot_left = 70, plot_top = 40, plot_size = 440;
constexpr double bar_left = plot_left + plot_size + 30, bar_width = 18;
// Cells and slices overlap their neighbours by this much (points).
constexpr double seam_cover = 0.3;
// The colour bar is drawn in this many slices, low to high.
constexpr int bar_slices = 96;

std::vector<double> ticks(double low, double high) { return round_ticks(low, high, 4); }

void colour_bar(figure& f, double low, double high) {
  const double slice = plot_size / bar_slices;
  for (int i = 0; i < bar_slices; ++i) {
    const double share = (i + 0.5) / bar_slices;
    // Each slice a hair taller than its place, so that no gap shows.
    f.filled_rectangle(bar_left, plot_top + plot_size - (i + 1) * slice, bar_width,
                       slice + seam_cover, map_rgb(share));
  }
  f.rectangle(bar_left, plot_top, bar_width, plot_size, black);
  for (double t : ticks(low, high)) {
    const double share = high > low ? (t - low) / (high - low) : 0.5;
    const double y = plot_top + plot_size * (1.0 - share);
    f.line({bar_left + bar_width, y, bar_left + bar_width + 4, y}, black);
    f.text(bar_left + bar_width + 7, y + 4, format_number(t), 12, 'l');
  }
  f.upright_text(bar_left + bar_width + 55, plot_top + plot_size / 2, "E [V/nm]", 12, 'm');
}

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
  const bool detector = map.over == map_plane::detector;
  const std::string unit = detector ? "mm" : "nm";
  figure f(width, height);
  f.crisp_edges();
  f.text(plot_left + plot_size / 2, 24, title, 12, 'm');
  const double b = map.bin;
  const std::int64_t columns = map.i_max - map.i_min + 1, rows = map.j_max - map.j_min + 1;
  const auto span = field_span(map);
  if (columns <= 0 || rows <= 0) {
    f.text(plot_left + plot_size / 2, plot_top + plot_size / 2, "no ion of the pair", 12, 'm');
    return f;
  }
  // Square bins: the longer side of the map fills the frame.
  const double cell = plot_size / static_cast<double>(std::max(columns, rows));
  const double x0 = static_cast<double>(map.i_min) * b, y0 = static_cast<double>(map.j_min) * b;
  const double scale = cell / b;  // points per mm (nm)
  auto px = [&](double x) { return plot_left + (x - x0) * scale; };
  auto py = [&](double y) { return plot_top + plot_size - (y - y0) * scale; };
  for (const auto& bin : map.bins) {
    const bool shown = !bin.masked && std::isfinite(bin.field.E) && span;
    const colour c = shown
                         ? map_rgb(span->second > span->first
                                       ? (bin.field.E - span->first) / (span->second - span->first)
                                       : 0.5)
                         : masked_colour;
    // A hair wider than the bin, so that a smoothing renderer leaves no seam.
    f.filled_rectangle(px(static_cast<double>(bin.i) * b), py(static_cast<double>(bin.j + 1) * b),
                       cell + seam_cover, cell + seam_cover, c);
  }
  f.rectangle(plot_left, plot_top, plot_size, plot_size, black);
  const double extent = static_cast<double>(std::max(columns, rows)) * b;
  for (double t : ticks(x0, x0 + extent)) {
    f.text(px(t), plot_top + plot_size + 16, format_number(t), 12, 'm');
  }
  for (double t : ticks(y0, y0 + extent)) {
    f.text(plot_left - 6, py(t) + 4, format_number(t), 12, 'r');
  }
  f.text(plot_left + plot_size / 2, plot_top + plot_size + 36, "x [" + unit + "]", 12, 'm');
  f.upright_text(22, plot_top + plot_size / 2, "y [" + unit + "]", 12, 'm');
  if (span) {
    colour_bar(f, span->first, span->second);
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
