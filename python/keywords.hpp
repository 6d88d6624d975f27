#pragma once

// What the functions of the Python module share: the keywords every dataset
// function reads alike, by the command line's rules for its options, and
// work without the GIL that Ctrl-C stops.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>

#include "apt/charge_assignment.hpp"
#include "compute/curves/sweep.hpp"

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

/// Runs `work` on a worker thread without the GIL, looking for Ctrl-C every
/// 50 ms: a signal raises `progress.cancel`, which the model calls, the
/// counting and the fits watch, and KeyboardInterrupt once the worker has
/// stopped; the worker's own exception is rethrown here.
void run_interruptibly(const std::function<void(evaluation_progress&)>& work);

}  // namespace veltrane
