#include "compute/figures/heat_map.hpp"

#include <algorithm>
#include <cmath>

#include "compute/curves/number_format.hpp"
#include "compute/figures/map_figure.hpp"

namespace veltrane {

namespace {

constexpr colour black{0, 0, 0};
// Cells and slices overlap their neighbours by this much (points).
constexpr double seam_cover = 0.3;
// The colour bar is drawn in this many slices, low to high.
constexpr int bar_slices = 96;
constexpr double bar_width = 18;

std::vector<double> ticks(double low, double high) { return round_ticks(low, high, 4); }

}  // namespace

void draw_heat_cells(figure& f, const heat_frame& frame, const std::vector<heat_cell>& cells) {
  const double b = frame.bin;
  const std::int64_t columns = frame.i_max - frame.i_min + 1, rows = frame.j_max - frame.j_min + 1;
  if (columns <= 0 || rows <= 0) return;
  // Square bins: the longer side of the map fills the frame.
  const double cell = frame.size / static_cast<double>(std::max(columns, rows));
  const double x0 = static_cast<double>(frame.i_min) * b, y0 = static_cast<double>(frame.j_min) * b;
  const double scale = cell / b;  // points per mm (nm)
  auto px = [&](double x) { return frame.left + (x - x0) * scale; };
  auto py = [&](double y) { return frame.top + frame.size - (y - y0) * scale; };
  for (const auto& c : cells) {
    const colour fill = std::isnan(c.share) ? masked_colour : map_rgb(c.share);
    // A hair wider than the bin, so that a smoothing renderer leaves no seam.
    f.filled_rectangle(px(static_cast<double>(c.i) * b), py(static_cast<double>(c.j + 1) * b),
                       cell + seam_cover, cell + seam_cover, fill);
  }
  f.rectangle(frame.left, frame.top, frame.size, frame.size, black);
  const double extent = static_cast<double>(std::max(columns, rows)) * b;
  for (double t : ticks(x0, x0 + extent)) {
    f.text(px(t), frame.top + frame.size + 16, format_number(t), 12, 'm');
  }
  for (double t : ticks(y0, y0 + extent)) {
    f.text(frame.left - 6, py(t) + 4, format_number(t), 12, 'r');
  }
  f.text(frame.left + frame.size / 2, frame.top + frame.size + 36, "x [" + frame.unit + "]", 12,
         'm');
  f.upright_text(frame.left - 48, frame.top + frame.size / 2, "y [" + frame.unit + "]", 12, 'm');
}

void draw_colour_bar(figure& f, double left, double top, double height,
                     const std::vector<bar_tick>& bar, const std::string& label) {
  const double slice = height / bar_slices;
  for (int i = 0; i < bar_slices; ++i) {
    const double share = (i + 0.5) / bar_slices;
    // Each slice a hair taller than its place, so that no gap shows.
    f.filled_rectangle(left, top + height - (i + 1) * slice, bar_width, slice + seam_cover,
                       map_rgb(share));
  }
  f.rectangle(left, top, bar_width, height, black);
  for (const bar_tick& t : bar) {
    const double y = top + height * (1.0 - t.share);
    f.line({left + bar_width, y, left + bar_width + 4, y}, black);
    f.text(left + bar_width + 7, y + 4, t.text, 12, 'l');
  }
  f.upright_text(left + bar_width + 55, top + height / 2, label, 12, 'm');
}

std::vector<bar_tick> bar_ticks(double low, double high) {
  std::vector<bar_tick> out;
  for (double t : ticks(low, high)) {
    out.push_back({high > low ? (t - low) / (high - low) : 0.5, format_number(t)});
  }
  return out;
}

}  // namespace veltrane
