#pragma once

// The joint field of several elements in the Python module: joint_field(),
// and field_map() and field_profile() with elements=[...] (overloads of the
// pair's functions, which stay as they are).

#include <pybind11/pybind11.h>

namespace veltrane {

/// Adds the joint field's functions to the module; after the pair's
/// field_map and field_profile, whose overloads they become.
void add_joint_bindings(pybind11::module_& m);

}  // namespace veltrane
