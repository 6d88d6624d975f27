#pragma once

// The field along the run as a figure: each block's field with its interval
// against the ions counted so far, and, where the file has DC voltages,
// against the block's mean voltage below it; with the field factor k_f also
// the radius of the tip a reconstruction assumes, R = V / (k_f E).

#include <optional>
#include <string>
#include <vector>

#include "compute/datasets/field_profile.hpp"
#include "compute/figures/figure.hpp"

namespace veltrane {

/// The figure of `profile` with `title` above it. A block without a field
/// (one state without ions) leaves a gap; an interval end without a field
/// runs to the edge of the plot. A profile without any field is drawn with
/// its axes and a note. With `kf` and DC voltages in the file, a third
/// panel draws R = V / (k_f E) against the ions.
figure profile_figure(const field_profile& profile, const std::string& title,
                      std::optional<double> kf = std::nullopt);

/// The panels of the profile figures, for the joint field's too.
namespace profile_layout {
inline constexpr double width = 640;
inline constexpr double plot_left = 70, plot_width = 540, panel_height = 220;
inline constexpr double first_top = 40, panel_gap = 70;
}  // namespace profile_layout

/// One point of a panel: x, and the value with its interval (low = high =
/// value where it has none; an infinite end runs to the frame).
struct profile_point {
  double x = 0.0, E = 0.0, low = 0.0, high = 0.0;
};

/// Points drawn alike: a square marker of `size` points in `marker`, with
/// a grey bar of the interval when `intervals`.
struct profile_series {
  std::vector<profile_point> points;
  colour marker{31, 119, 180};
  double size = 4.0;
  bool intervals = false;
};

struct profile_axes {
  std::string x_label, y_label = "E [V/nm]";
  std::string empty_note = "no block has a field";
  /// The y axis reaches at least this far (a fixed scale such as p's).
  std::optional<double> y_from, y_to;
  /// A dashed level line across the panel.
  std::optional<double> reference;
};

/// A panel of profile_layout's size with its top at `top`: the frame, the
/// axes over every series' points, the series in order. Without any point
/// the frame and its labels carry `axes.empty_note`.
void profile_panel(figure& f, double top, const std::vector<profile_series>& series,
                   const profile_axes& axes);

/// The axes of the panel of R against the ions.
profile_axes radius_axes(double kf);

}  // namespace veltrane
