#include "cli/option_checks.hpp"

#include <utility>

#include "compute/curves/number_format.hpp"
#include "compute/datasets/dataset_counts.hpp"

namespace veltrane {

CLI::Validator whole_number_check(std::uint64_t lowest, std::uint64_t highest) {
  return CLI::Validator(
      [lowest, highest](std::string& text) { return whole_number_fault(text, lowest, highest); },
      "", "whole number");
}

CLI::Validator number_check(std::function<std::string(double)> fault) {
  return CLI::Validator(
      [fault = std::move(fault)](std::string& text) -> std::string {
        const auto value = parse_number(text, plain_number_format());
        if (!value) return "\"" + text + "\" is not a number";
        return fault(*value);
      },
      "", "number");
}

CLI::Option* add_threads_option(CLI::App& app, unsigned& threads) {
  return app.add_option("--threads", threads, "worker threads (default: all cores)")
      ->check(whole_number_check(1, 1024));
}

CLI::Option* add_mass_tolerance_option(CLI::App& app, std::string& text) {
  return app
      .add_option("--mass-tolerance", text,
                  "how far a range may lie from an isotope's m/q and still take its charge: "
                  "DA (Da), P% (of m/q) or DA,P% (default 0.05,0.3%: whichever is larger); 0 "
                  "for none")
      ->check(CLI::Validator(
          [](std::string& value) {
            std::string message;
            return parse_mass_tolerance(value, &message) ? std::string() : message;
          },
          "", "mass tolerance"));
}

}  // namespace veltrane
