#include "compute/figures/joint_figures.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "compute/curves/number_format.hpp"
#include "compute/figures/heat_map.hpp"
#include "compute/figures/profile_figure.hpp"

namespace veltrane {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The two maps side by side, in points.
constexpr double map_panel = 640, map_width = 2 * map_panel + 40, map_height = 600;
constexpr double plot_left = 70, plot_top = 64, plot_size = 440;
constexpr double bar_gap = 30;
// p-values from 10^-4 (and below) to 1 on the colour bar.
constexpr double lowest_log_p = -4.0;
// log10 p below this is drawn at it in the profile.
constexpr double profile_lowest_log_p = -10.0;

// A colour for each element's own field in the profile.
constexpr std::array<colour, 8> element_colours = {{
    {255, 127, 14},
    {44, 160, 44},
    {214, 39, 40},
    {148, 103, 189},
    {140, 86, 75},
    {227, 119, 194},
    {127, 127, 127},
    {188, 189, 34},
}};
constexpr colour joint_colour{31, 119, 180};

std::string elements_text(const joint_run& run) {
  std::string out;
  for (const auto& s : run.setup->symbols()) out += (out.empty() ? "" : ", ") + s;
  return out;
}

heat_frame frame_of(const joint_field_map& map, double left) {
  heat_frame frame;
  frame.left = left;
  frame.top = plot_top;
  frame.size = plot_size;
  frame.bin = map.bin;
  frame.unit = map.over == map_plane::detector ? "mm" : "nm";
  if (map.bins.empty()) return frame;
  frame.i_min = frame.i_max = map.bins.front().i;
  frame.j_min = frame.j_max = map.bins.front().j;
  for (const auto& b : map.bins) {
    frame.i_min = std::min(frame.i_min, b.i);
    frame.i_max = std::max(frame.i_max, b.i);
    frame.j_min = std::min(frame.j_min, b.j);
    frame.j_max = std::max(frame.j_max, b.j);
  }
  return frame;
}

double log_p(double p) {
  return p > 0.0 ? std::log10(p) : -std::numeric_limits<double>::infinity();
}

}  // namespace

std::string joint_map_title(const joint_field_map& map, const std::string& file_name) {
  return file_name + ": joint field of " + elements_text(map.overall) + "; bins of " +
         format_number(map.bin) +
         (map.over == map_plane::detector ? " mm" : " nm over the specimen");
}

std::string joint_profile_title(const joint_field_profile& profile, const std::string& file_name) {
  return file_name + ": joint field of " + elements_text(profile.overall) + "; blocks of " +
         std::to_string(profile.block) + " ions";
}

figure joint_map_figure(const joint_field_map& map, const std::string& title) {
  figure f(map_width, map_height);
  f.crisp_edges();
  f.text(map_width / 2, 22, title, 12, 'm');
  const double right = map_panel + plot_left;
  f.text(plot_left + plot_size / 2, 48, "Joint field of " + elements_text(map.overall), 12, 'm');
  f.text(right + plot_size / 2, 48, "p-value of the elements' agreement on one field", 12, 'm');
  if (map.bins.empty()) {
    for (const double left : {plot_left, right}) {
      f.text(left + plot_size / 2, plot_top + plot_size / 2, "no ion in the ranges", 12, 'm');
    }
    return f;
  }
  // The span of the fields bounded on both sides; only when there are none,
  // of every field (a bin bounded on one side only, with a few ions of one
  // charge, may lie far out and would wash out the others' colours).
  double low = std::numeric_limits<double>::infinity(), high = -low;
  for (const bool bounded_only : {true, false}) {
    for (const auto& b : map.bins) {
      const auto& field = b.answer.field;
      if (!field.found || !std::isfinite(field.E)) continue;
      if (bounded_only && !(std::isfinite(field.low) && std::isfinite(field.high))) continue;
      low = std::min(low, field.E);
      high = std::max(high, field.E);
    }
    if (low <= high) break;
  }
  const bool any_field = low <= high;
  std::vector<heat_cell> fields, p_values;
  bool any_p = false;
  for (const auto& b : map.bins) {
    const auto& a = b.answer;
    const bool shown = a.field.found && std::isfinite(a.field.E);
    fields.push_back({b.i, b.j,
                      !shown       ? nan
                      : high > low ? (a.field.E - low) / (high - low)
                                   : 0.5});
    const bool tested = a.field.found && a.test.dof >= 1 && !std::isnan(a.test.p_value);
    any_p = any_p || tested;
    p_values.push_back(
        {b.i, b.j,
         tested ? std::clamp((log_p(a.test.p_value) - lowest_log_p) / -lowest_log_p, 0.0, 1.0)
                : nan});
  }
  draw_heat_cells(f, frame_of(map, plot_left), fields);
  draw_heat_cells(f, frame_of(map, right), p_values);
  if (any_field) {
    draw_colour_bar(f, plot_left + plot_size + bar_gap, plot_top, plot_size, bar_ticks(low, high),
                    "E [V/nm]");
  } else {
    f.text(plot_left + plot_size / 2, plot_top + plot_size / 2, "no bin has a field", 12, 'm');
  }
  if (any_p) {
    std::vector<bar_tick> ticks;
    for (int k = 0; k <= 4; ++k) {
      const double e = lowest_log_p + k;
      ticks.push_back({(e - lowest_log_p) / -lowest_log_p, format_number(std::pow(10.0, e))});
    }
    ticks.front().text = "1e-04 and below";
    draw_colour_bar(f, right + plot_size + bar_gap, plot_top, plot_size, ticks, "p");
  } else {
    f.text(right + plot_size / 2, plot_top + plot_size / 2, "no bin has a test", 12, 'm');
  }
  f.filled_rectangle(plot_left, map_height - 16, 10, 10, masked_colour);
  f.text(plot_left + 16, map_height - 7,
         "too few ions for a field (left), or no degree of freedom for a test (right)", 12, 'l');
  return f;
}

figure joint_profile_figure(const joint_field_profile& profile, const std::string& title,
                            double confidence) {
  namespace layout = profile_layout;
  const auto& symbols = profile.overall.setup->symbols();
  profile_series joint, by_voltage, p_values, radius;
  joint.intervals = by_voltage.intervals = true;
  joint.marker = by_voltage.marker = joint_colour;
  std::vector<profile_series> own(symbols.size());
  for (std::size_t e = 0; e < own.size(); ++e) {
    own[e].marker = element_colours[e % element_colours.size()];
    own[e].size = 3.0;
  }
  bool with_voltage = false;
  for (const auto& b : profile.blocks) {
    const auto& a = b.answer;
    with_voltage = with_voltage || b.mean_v_dc.has_value();
    const double middle =
        0.5 * (static_cast<double>(b.first_ion) + static_cast<double>(b.last_ion)) / 1e6;
    for (std::size_t e = 0; e < own.size() && e < a.elements.size(); ++e) {
      const auto& part = a.elements[e];
      if (part.used && part.own.found && std::isfinite(part.own.E)) {
        own[e].points.push_back({middle, part.own.E, part.own.E, part.own.E});
      }
    }
    if (!a.field.found || !std::isfinite(a.field.E)) continue;
    joint.points.push_back({middle, a.field.E, a.field.low, a.field.high});
    if (b.mean_v_dc) {
      by_voltage.points.push_back({*b.mean_v_dc / 1000.0, a.field.E, a.field.low, a.field.high});
    }
    if (a.test.dof >= 1 && !std::isnan(a.test.p_value)) {
      const double lp = std::max(log_p(a.test.p_value), profile_lowest_log_p);
      p_values.points.push_back({middle, lp, lp, lp});
    }
    if (profile.kf && b.mean_v_dc) {
      const double R = tip_radius_nm(b.mean_v_dc, a.field.E, *profile.kf);
      radius.points.push_back({middle, R, R, R});
    }
  }
  const bool with_radius = profile.kf.has_value() && with_voltage;
  const int panels = 2 + (with_voltage ? 1 : 0) + (with_radius ? 1 : 0);
  constexpr double key_room = 18;
  const double height = layout::first_top + key_room + panels * layout::panel_height +
                        (panels - 1) * layout::panel_gap + 50;
  figure f(layout::width, height);
  f.text(layout::plot_left + layout::plot_width / 2, 24, title, 12, 'm');
  // The key: the joint field, then each element's own.
  double x = layout::plot_left;
  const double key_y = layout::first_top + 6;
  f.filled_rectangle(x, key_y - 8, 8, 8, joint_colour);
  f.text(x + 12, key_y, "joint field (bar: interval)", 10, 'l');
  x += 150;
  for (std::size_t e = 0; e < symbols.size(); ++e) {
    f.filled_rectangle(x, key_y - 8, 8, 8, own[e].marker);
    f.text(x + 12, key_y, symbols[e] + " alone", 10, 'l');
    x += 60;
  }
  double top = layout::first_top + key_room;
  profile_axes axes;
  axes.x_label = "ions [millions], middle of each block";
  std::vector<profile_series> fields = own;
  fields.push_back(joint);
  profile_panel(f, top, fields, axes);
  top += layout::panel_height + layout::panel_gap;

  profile_axes p_axes;
  p_axes.x_label = axes.x_label;
  p_axes.y_label = "log10 p (below -10 at -10)";
  p_axes.empty_note = "no block has a test of agreement";
  p_axes.y_from = lowest_log_p;
  p_axes.y_to = 0.0;
  p_axes.reference = std::log10(1.0 - confidence);
  profile_panel(f, top, {p_values}, p_axes);
  top += layout::panel_height + layout::panel_gap;

  if (with_voltage) {
    profile_axes v_axes;
    v_axes.x_label = "mean DC voltage of the block [kV]";
    profile_panel(f, top, {by_voltage}, v_axes);
    top += layout::panel_height + layout::panel_gap;
  }
  if (with_radius) profile_panel(f, top, {radius}, radius_axes(*profile.kf));
  return f;
}

}  // namespace veltrane
