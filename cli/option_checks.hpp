#pragma once

// The checks of the command line's numeric options: each runs on the text
// as typed, before CLI11 converts it (which would take "-1" for an unsigned
// option as its largest value, "010" as octal and "0x10" as hexadecimal),
// with the rule of compute/ that every door shares. A refusal is one line
// that names the option: "--block: must be a whole number of at least 1,
// not "-1"".

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <string>

namespace veltrane {

/// A whole number in decimal digits from `lowest` to `highest`.
CLI::Validator whole_number_check(std::uint64_t lowest, std::uint64_t highest = UINT64_MAX);

/// A number in the command line's format that `fault` (a rule of compute/,
/// empty when the number is good) takes.
CLI::Validator number_check(std::function<std::string(double)> fault);

/// --threads, from 1 to 1024 (default: all cores).
CLI::Option* add_threads_option(CLI::App& app, unsigned& threads);

/// --mass-tolerance, as parse_mass_tolerance reads it; for every command
/// that assigns charges to a range file's ranges (counts, map, profile, and
/// field with data).
CLI::Option* add_mass_tolerance_option(CLI::App& app, std::string& text);

}  // namespace veltrane
