#pragma once

// The joint field of several elements as figures: the map of the field with
// a second map of the p-values of the elements' agreement, and the profile
// along the run with each element's own field, the p-values and (with the
// field factor) the tip radius a reconstruction assumes.

#include <string>

#include "compute/datasets/joint_maps.hpp"
#include "compute/figures/figure.hpp"

namespace veltrane {

/// "steel.epos: joint field of Cr, Fe, Ni; bins of 4 mm" (of 2 nm over the
/// specimen): the data file, the elements and the bins.
std::string joint_map_title(const joint_field_map& map, const std::string& file_name);

/// "steel.epos: joint field of Cr, Fe, Ni; blocks of 100000 ions".
std::string joint_profile_title(const joint_field_profile& profile, const std::string& file_name);

/// Two heat maps side by side: the joint field of every bin (the colour bar
/// spans the fields of the bins whose interval is bounded on both sides;
/// fields beyond it take its ends' colours), and its p-value on a log scale from 1e-4 (and
/// below) to 1. Bins without a field, and bins without a test (no degree of
/// freedom), are grey. An empty map is drawn with a note.
figure joint_map_figure(const joint_field_map& map, const std::string& title);

/// The profile's panels against the ions: the joint field with its
/// interval and each element's own field (a colour each, named in a key),
/// log10 of the p-value with the level 1 - confidence dashed; where the
/// file has DC voltages the joint field against the block's mean voltage,
/// and with the field factor k_f the radius R = V / (k_f E).
figure joint_profile_figure(const joint_field_profile& profile, const std::string& title,
                            double confidence);

}  // namespace veltrane
