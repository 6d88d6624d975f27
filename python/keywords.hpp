#pragma once

// The keywords every dataset function of the Python module reads alike, by
// the command line's rules for its options.

#include <pybind11/pybind11.h>

#include <cstdint>

#include "apt/charge_assignment.hpp"

namespace veltrane {

/// The charge options of the keyword mass_tolerance: None (the default), a
/// number (Da, the per-cent term kept at its default; 0 switches the
/// tolerance off) or a text as the command line takes it ("0.05,0.3%").
apt::charge_options charges_of(const pybind11::object& mass_tolerance);

/// A whole-number keyword from `lowest` to `highest`; ValueError naming it
/// otherwise.
std::uint64_t whole_keyword(const char* name, std::int64_t value, std::uint64_t lowest,
                            std::uint64_t highest = UINT64_MAX);

/// The worker threads of a dataset function: 0 (all cores) to 1024.
unsigned threads_of(std::int64_t threads);

}  // namespace veltrane
