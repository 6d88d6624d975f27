#pragma once

// The commands on atom-probe datasets: counts, map and profile.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "compute/curves/inputs.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"

namespace veltrane {

class dataset_commands {
 public:
  /// Adds the commands to `app`; their options are held here.
  explicit dataset_commands(CLI::App& app);

  /// Runs the command that was given and returns its exit status; nothing
  /// when none of them was given.
  std::optional<int> run(std::ostream& out, std::ostream& err) const;

 private:
  struct typed_options {
    std::string data, ranges, element, ionisations, pair;
    std::optional<std::string> work_function, energies;
    std::string over = "detector";
    double bin = map_options{}.bin;
    std::uint64_t min_counts = map_options{}.min_counts;
    double confidence = default_confidence;
    std::uint64_t block = profile_options{}.block;
    std::optional<double> kf;
    bool single_hits = false, background = false, csv = false, all_warnings = false;
    std::string output, image, mass_tolerance;
    unsigned threads = 0;
  };

  request_texts request() const;
  counting_options counting() const;
  /// The charge options of --mass-tolerance (checked when parsed).
  apt::charge_options charging() const;
  /// Refuses --output or --image naming the data or the range file.
  bool outputs_apart(std::ostream& err) const;
  /// The notes of the range file and the counting, the isotope warnings and
  /// the interferences (with --all-warnings each with every interferer).
  void report(const std::vector<std::string>& messages, const dataset_counts& counts,
              std::ostream& err) const;
  /// Whether --image names a figure format this build can write; a message
  /// on `err` otherwise.
  bool image_path_ok(std::ostream& err) const;
  int run_counts(std::ostream& out, std::ostream& err) const;
  int run_map(std::ostream& out, std::ostream& err) const;
  int run_profile(std::ostream& out, std::ostream& err) const;

  typed_options o_;
  CLI::App* counts_;
  CLI::App* map_;
  CLI::App* profile_;
};

}  // namespace veltrane
