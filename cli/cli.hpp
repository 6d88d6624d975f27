#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

/// Exit statuses of veltrane-curves.
/// 1 is both a file that could not be written and a calculation that failed
/// (the model, memory, a thread); 2 is input that was refused.
enum exit_status : int {
  exit_ok = 0,
  exit_write_failed = 1,
  exit_calculation_failed = 1,
  exit_bad_input = 2,
};

/// What the command line says when standard output cannot be written (a
/// full disk, /dev/full, a closed pipe).
inline constexpr const char* stdout_failure = "could not write to standard output";

/// The field in V/nm where Q of a step crosses 0.5 (both charge states equally
/// likely), interpolated linearly between the neighbouring points that bracket
/// it; NaN when Q never crosses 0.5. Points with a Q that is not a number are
/// skipped as neighbours.
double half_crossing_field(const step_curve& step);

/// The summary printed when the curves went to a file: per step its charge
/// states, points, points whose Q is not a number, and the 0.5 crossing.
std::string summary_table(const curve_set& curves);

/// The whole command-line program; `args` without the program name. Writes
/// the export, the table and messages to the given streams and returns the
/// exit status.
int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool progress_to_terminal = false);

}  // namespace veltrane
