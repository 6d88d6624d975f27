#include "compute/map_figure.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>

#include "compute/figure.hpp"
#include "compute/text_export.hpp"

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

constexpr const char* masked_colour = "#c8c8c8";

// The frame of the figure, in SVG user units (pixels).
constexpr double width = 640, height = 560;
constexpr double plot_left = 70, plot_top = 40, plot_size = 440;
constexpr double bar_left = plot_left + plot_size + 30, bar_width = 18;

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string text_at(double x, double y, const std::string& text, const char* anchor = "middle",
                    double rotate = 0.0) {
  std::string s =
      "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\"";
  if (rotate != 0.0) {
    s += " transform=\"rotate(" + number(rotate) + " " + number(x) + " " + number(y) + ")\"";
  }
  return s + ">" + xml_escaped(text) + "</text>\n";
}

// The lowest and highest field of the unmasked bins; nothing when none has one.
std::optional<std::pair<double, double>> field_span(const field_map& map) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (const auto& b : map.bins) {
    if (b.masked || !std::isfinite(b.field.E)) continue;
    low = std::min(low, b.field.E);
    high = std::max(high, b.field.E);
  }
  if (!(low <= high)) return std::nullopt;
  return std::pair{low, high};
}

std::vector<double> ticks(double low, double high) { return round_ticks(low, high, 4); }

std::string colour_bar(double low, double high) {
  std::string s = "<defs><linearGradient id=\"bar\" x1=\"0\" y1=\"1\" x2=\"0\" y2=\"0\">\n";
  for (std::size_t i = 0; i < ramp.size(); ++i) {
    const double share = static_cast<double>(i) / static_cast<double>(ramp.size() - 1);
    s += "<stop offset=\"" + number(share) + "\" stop-color=\"" + map_colour(share) + "\"/>\n";
  }
  s += "</linearGradient></defs>\n";
  s += "<rect x=\"" + number(bar_left) + "\" y=\"" + number(plot_top) + "\" width=\"" +
       number(bar_width) + "\" height=\"" + number(plot_size) +
       "\" fill=\"url(#bar)\" stroke=\"black\"/>\n";
  for (double t : ticks(low, high)) {
    const double share = high > low ? (t - low) / (high - low) : 0.5;
    const double y = plot_top + plot_size * (1.0 - share);
    s += "<line x1=\"" + number(bar_left + bar_width) + "\" y1=\"" + number(y) + "\" x2=\"" +
         number(bar_left + bar_width + 4) + "\" y2=\"" + number(y) + "\" stroke=\"black\"/>\n";
    s += text_at(bar_left + bar_width + 7, y + 4, format_number(t), "start");
  }
  s += text_at(bar_left + bar_width + 55, plot_top + plot_size / 2, "E [V/nm]", "middle", 90);
  return s;
}

}  // namespace

std::string map_colour(double share) {
  const double s = std::clamp(std::isfinite(share) ? share : 0.0, 0.0, 1.0);
  const double at = s * static_cast<double>(ramp.size() - 1);
  const auto i = std::min(static_cast<std::size_t>(at), ramp.size() - 2);
  const double t = at - static_cast<double>(i);
  char text[8];
  const auto channel = [&](std::size_t c) {
    return static_cast<int>(std::lround(ramp[i][c] + t * (ramp[i + 1][c] - ramp[i][c])));
  };
  std::snprintf(text, sizeof text, "#%02x%02x%02x", channel(0), channel(1), channel(2));
  return text;
}

std::string map_svg(const field_map& map, const std::string& title) {
  const bool detector = map.over == map_plane::detector;
  const std::string unit = detector ? "mm" : "nm";
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(width) + "\" height=\"" +
       number(height) + "\" viewBox=\"0 0 " + number(width) + " " + number(height) +
       "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"12\" "
       "shape-rendering=\"crispEdges\">\n";
  s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += text_at(plot_left + plot_size / 2, 24, title);
  const double b = map.bin;
  const std::int64_t columns = map.i_max - map.i_min + 1, rows = map.j_max - map.j_min + 1;
  const auto span = field_span(map);
  if (columns <= 0 || rows <= 0) {
    s += text_at(plot_left + plot_size / 2, plot_top + plot_size / 2, "no ion of the pair");
    return s + "</svg>\n";
  }
  // Square bins: the longer side of the map fills the frame.
  const double cell = plot_size / static_cast<double>(std::max(columns, rows));
  const double x0 = static_cast<double>(map.i_min) * b, y0 = static_cast<double>(map.j_min) * b;
  const double scale = cell / b;  // units per mm (nm)
  auto px = [&](double x) { return plot_left + (x - x0) * scale; };
  auto py = [&](double y) { return plot_top + plot_size - (y - y0) * scale; };
  for (const auto& bin : map.bins) {
    const bool shown = !bin.masked && std::isfinite(bin.field.E) && span;
    const std::string colour =
        shown ? map_colour(span->second > span->first
                               ? (bin.field.E - span->first) / (span->second - span->first)
                               : 0.5)
              : std::string(masked_colour);
    const double left = px(static_cast<double>(bin.i) * b);
    const double top = py(static_cast<double>(bin.j + 1) * b);
    s += "<rect x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" + number(cell) +
         "\" height=\"" + number(cell) + "\" fill=\"" + colour + "\"/>\n";
  }
  s += "<rect x=\"" + number(plot_left) + "\" y=\"" + number(plot_top) + "\" width=\"" +
       number(plot_size) + "\" height=\"" + number(plot_size) +
       "\" fill=\"none\" stroke=\"black\"/>\n";
  const double extent = static_cast<double>(std::max(columns, rows)) * b;
  for (double t : ticks(x0, x0 + extent)) {
    s += text_at(px(t), plot_top + plot_size + 16, format_number(t));
  }
  for (double t : ticks(y0, y0 + extent))
    s += text_at(plot_left - 6, py(t) + 4, format_number(t), "end");
  s += text_at(plot_left + plot_size / 2, plot_top + plot_size + 36, "x [" + unit + "]");
  s += text_at(22, plot_top + plot_size / 2, "y [" + unit + "]", "middle", -90);
  if (span) {
    s += colour_bar(span->first, span->second);
  } else {
    s += text_at(plot_left + plot_size / 2, plot_top + plot_size / 2, "no bin has a field");
  }
  s += "<rect x=\"" + number(plot_left) + "\" y=\"" + number(height - 16) +
       "\" width=\"10\" height=\"10\" fill=\"" + masked_colour + "\"/>\n";
  s += text_at(plot_left + 16, height - 7, "too few ions, or no field", "start");
  return s + "</svg>\n";
}

}  // namespace veltrane
