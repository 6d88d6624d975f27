#include "compute/figures/profile_figure.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "compute/curves/text_export.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/joint_output.hpp"

namespace veltrane {

namespace {

constexpr colour black{0, 0, 0};
constexpr colour grey{160, 160, 160};

using namespace profile_layout;

// A linear axis from `from` to `to` over `length` points starting at `start`
// (upwards when `flipped`).
struct axis {
  double from, to, start, length;
  bool flipped = false;
  double at(double v) const {
    const double share = to > from ? (v - from) / (to - from) : 0.5;
    return flipped ? start + length * (1.0 - share) : start + length * share;
  }
};

// A little room around the values, and a span that is never empty.
std::pair<double, double> padded(double low, double high) {
  if (!(high > low)) return {low - 1.0, high + 1.0};
  const double room = 0.05 * (high - low);
  return {low - room, high + room};
}

}  // namespace

void profile_panel(figure& f, double top, const std::vector<profile_series>& series,
                   const profile_axes& axes) {
  f.rectangle(plot_left, top, plot_width, panel_height, black);
  f.upright_text(plot_left - 48, top + panel_height / 2, axes.y_label, 11, 'm');
  f.text(plot_left + plot_width / 2, top + panel_height + 34, axes.x_label, 11, 'm');
  double x_low = std::numeric_limits<double>::infinity(), x_high = -x_low;
  double E_low = x_low, E_high = -x_low;
  for (const auto& s : series) {
    for (const profile_point& p : s.points) {
      x_low = std::min(x_low, p.x);
      x_high = std::max(x_high, p.x);
      E_low = std::min({E_low, p.E, std::isfinite(p.low) ? p.low : p.E});
      E_high = std::max({E_high, p.E, std::isfinite(p.high) ? p.high : p.E});
    }
  }
  if (!(x_low <= x_high)) {
    f.text(plot_left + plot_width / 2, top + panel_height / 2, axes.empty_note, 11, 'm');
    return;
  }
  if (axes.y_from) E_low = std::min(E_low, *axes.y_from);
  if (axes.y_to) E_high = std::max(E_high, *axes.y_to);
  const auto [x0, x1] = padded(x_low, x_high);
  const auto [y0, y1] = padded(E_low, E_high);
  const axis x{x0, x1, plot_left, plot_width};
  const axis y{y0, y1, top, panel_height, true};
  for (double t : round_ticks(x0, x1, 6)) {
    f.line({x.at(t), top + panel_height, x.at(t), top + panel_height + 4}, black);
    f.text(x.at(t), top + panel_height + 16, format_number(t), 10, 'm');
  }
  for (double t : round_ticks(y0, y1, 4)) {
    f.line({plot_left, y.at(t), plot_left + plot_width, y.at(t)}, {230, 230, 230}, 0.5);
    f.text(plot_left - 6, y.at(t) + 3, format_number(t), 10, 'r');
  }
  if (axes.reference) {
    f.line({plot_left, y.at(*axes.reference), plot_left + plot_width, y.at(*axes.reference)}, grey,
           1.0, true);
  }
  for (const auto& s : series) {
    for (const profile_point& p : s.points) {
      if (s.intervals) {
        // An end without a field runs to the frame.
        const double low = std::isfinite(p.low) ? std::max(y.at(p.low), top) : top + panel_height;
        const double high =
            std::isfinite(p.high) ? std::min(y.at(p.high), top + panel_height) : top;
        f.line({x.at(p.x), low, x.at(p.x), high}, grey);
      }
      f.filled_rectangle(x.at(p.x) - s.size / 2, y.at(p.E) - s.size / 2, s.size, s.size, s.marker);
    }
  }
}

figure profile_figure(const field_profile& profile, const std::string& title,
                      std::optional<double> kf) {
  profile_series by_ions, by_voltage, radius;
  by_ions.intervals = by_voltage.intervals = true;
  for (const auto& b : profile.blocks) {
    if (!std::isfinite(b.field.E)) continue;
    // The block's middle ion, in millions.
    const double middle =
        0.5 * (static_cast<double>(b.first_ion) + static_cast<double>(b.last_ion)) / 1e6;
    by_ions.points.push_back({middle, b.field.E, b.field.E_low, b.field.E_high});
    if (b.mean_v_dc) {
      by_voltage.points.push_back({*b.mean_v_dc, b.field.E, b.field.E_low, b.field.E_high});
    }
    const std::optional<double> volts = volts_of(b.mean_v_dc, profile.voltages);
    if (kf && volts) {
      const double R = tip_radius_nm(volts, b.field.E, *kf);
      radius.points.push_back({middle, R, R, R});
    }
  }
  const bool with_voltage = profile.voltages != apt::voltage_unit::none;
  const bool with_radius = kf && with_voltage;
  const double height = first_top + panel_height + 50 +
                        (with_voltage ? panel_gap + panel_height : 0) +
                        (with_radius ? panel_gap + panel_height : 0);
  figure f(width, height);
  f.text(plot_left + plot_width / 2, 24, title, 12, 'm');
  profile_axes axes;
  axes.x_label = "ions [millions], middle of each block";
  profile_panel(f, first_top, {by_ions}, axes);
  double top = first_top + panel_height + panel_gap;
  if (with_voltage) {
    const std::string unit(apt::unit_symbol(profile.voltages));
    axes.x_label =
        "mean DC voltage of the block" + (unit.empty() ? std::string() : " [" + unit + "]");
    profile_panel(f, top, {by_voltage}, axes);
    top += panel_height + panel_gap;
  }
  if (with_radius) profile_panel(f, top, {radius}, radius_axes(*kf));
  return f;
}

profile_axes radius_axes(double kf) {
  profile_axes axes;
  axes.x_label = "ions [millions], middle of each block";
  axes.y_label = "R = V/(k_f E) [nm], k_f = " + format_number(kf);
  axes.empty_note = "no block has a field and a voltage";
  return axes;
}

}  // namespace veltrane
