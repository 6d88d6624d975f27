#pragma once

// The field along the run as a figure: each block's field with its interval
// against the ions counted so far, and, where the file has DC voltages,
// against the block's mean voltage below it.

#include <string>

#include "compute/datasets/field_profile.hpp"
#include "compute/figures/figure.hpp"

namespace veltrane {

/// The figure of `profile` with `title` above it. A block without a field
/// (one state without ions) leaves a gap; an interval end without a field
/// runs to the edge of the plot. A profile without any field is drawn with
/// its axes and a note.
figure profile_figure(const field_profile& profile, const std::string& title);

}  // namespace veltrane
