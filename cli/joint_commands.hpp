#pragma once

// The joint field of several elements on the command line: `field --data
// --ranges [--elements]`, `map --elements` and `profile --elements`. The
// options are hooked into the field, map and profile commands that the
// charge-state and dataset commands add; everything else of those commands
// stays theirs.

#include <CLI/CLI.hpp>
#include <iosfwd>
#include <optional>
#include <string>

#include "compute/datasets/joint_field.hpp"

namespace veltrane {

class joint_commands {
 public:
  /// Adds the joint field's options to `app`'s field, map and profile
  /// commands, which must be added already.
  explicit joint_commands(CLI::App& app);

  /// Runs the joint field, map or profile when one was asked for (field
  /// with --data, map or profile with --elements) and returns its exit
  /// status; refuses a map or profile that has neither --elements nor a
  /// pair; nothing otherwise.
  std::optional<int> run(std::ostream& out, std::ostream& err) const;

 private:
  int run_field(std::ostream& out, std::ostream& err) const;
  int run_map(std::ostream& out, std::ostream& err) const;
  int run_profile(std::ostream& out, std::ostream& err) const;

  CLI::App* field_;
  CLI::App* map_;
  CLI::App* profile_;
  // The field command's own dataset options (map and profile have theirs).
  std::string data_, ranges_, mass_tolerance_;
  double min_counts_ = default_element_min_counts;
  bool csv_ = false, background_ = false, single_hits_ = false;
  // --elements of whichever command was given, and the profile's minimum.
  std::string elements_;
  double profile_min_counts_ = default_element_min_counts;
};

}  // namespace veltrane
