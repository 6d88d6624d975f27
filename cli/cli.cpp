#include "cli/cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "compute/calculation.hpp"
#include "compute/element_data.hpp"
#include "compute/elements.hpp"
#include "compute/file_output.hpp"
#include "compute/inputs.hpp"
#include "compute/text_export.hpp"
#include "model/fast_model.hpp"

namespace veltrane {

namespace {

constexpr const char* program = "veltrane-curves";
constexpr const char* version = "1.0.0";

struct options {
  std::string element;
  std::string ionisations;
  std::optional<std::string> work_function;
  std::optional<std::string> energies;
  std::string output = text_export_name;
  unsigned threads = 0;
  bool example = false;
  bool list_elements = false;
  bool sources = false;
};

// A number of the element table, or "-" where the quantity does not exist.
std::string cell(const tabulated_value& v) { return v.value ? v.text : "-"; }

std::string element_listing(bool with_sources) {
  std::ostringstream s;
  s << std::left << std::setw(12) << "name" << std::setw(7) << "symbol" << std::setw(7)
    << "period" << std::setw(10) << "mass [u]" << std::setw(10) << "phi [eV]";
  for (int i = 1; i <= 4; ++i) s << std::setw(13) << ("I" + std::to_string(i) + " [eV]");
  s << "I5 [eV]\n";
  std::string listing = s.str();
  s.str("");
  auto end_line = [&] {
    std::string line = s.str();
    line.erase(line.find_last_not_of(' ') + 1);
    listing += line + "\n";
    s.str("");
  };
  for (const auto& row : element_table) {
    const element_data* data = find_element_data(row.name);
    s << std::setw(12) << row.name << std::setw(7) << data->symbol << std::setw(7) << row.period
      << std::setw(10) << format_number(row.atomic_mass) << std::setw(10)
      << cell(data->work_function);
    for (const auto& e : data->energies) s << std::setw(13) << cell(e);
    end_line();
    if (with_sources) {
      s << "    work function: " << data->work_function_source << "\n";
      s << "    ionisation energies: " << data->ionisation_source;
      for (const nist_flag flag : {nist_flag::semi_empirical, nist_flag::theoretical}) {
        std::string marked;
        for (int i = 0; i < 5; ++i) {
          if (data->energies[static_cast<std::size_t>(i)].value &&
              data->energies[static_cast<std::size_t>(i)].flag == flag) {
            marked += (marked.empty() ? "" : ",") + ("I" + std::to_string(i + 1));
          }
        }
        if (!marked.empty()) s << "; NIST " << flag_text(flag) << ": " << marked;
      }
      end_line();
    }
  }
  return listing;
}

// Evaluates the plan, drawing a progress bar on the terminal meanwhile.
void evaluate_with_progress(sweep_plan& plan, unsigned threads, std::ostream& err, bool bar) {
  const model_function model = fast_veltrane;
  if (!bar) {
    evaluate_plan(plan, model, threads);
    return;
  }
  evaluation_progress progress;
  auto job =
      std::async(std::launch::async, [&] { evaluate_plan(plan, model, threads, &progress); });
  const std::size_t total = plan.calls.size();
  auto draw = [&](std::size_t done) {
    constexpr std::size_t width = 30;
    const std::size_t filled = total ? done * width / total : width;
    err << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << done
        << "/" << total << " points" << std::flush;
  };
  while (job.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    draw(progress.done.load());
  }
  job.get();
  draw(total);
  err << "\n";
}

}  // namespace

double half_crossing_field(const step_curve& step) {
  const sweep_point* previous = nullptr;
  for (const auto& p : step.points) {
    if (std::isnan(p.Q)) continue;
    if (p.Q == 0.5) return p.E;
    if (previous != nullptr && (previous->Q - 0.5) * (p.Q - 0.5) < 0.0) {
      return previous->E + (0.5 - previous->Q) * (p.E - previous->E) / (p.Q - previous->Q);
    }
    previous = &p;
  }
  return std::nan("");
}

std::string summary_table(const curve_set& curves) {
  std::ostringstream s;
  s << "step  charges   points  not a number  Q = 0.5 at E [V/nm]\n";
  for (const auto& step : curves.steps) {
    const auto nans = std::count_if(step.points.begin(), step.points.end(),
                                    [](const sweep_point& p) { return std::isnan(p.Q); });
    const double crossing = half_crossing_field(step);
    std::ostringstream charges;
    charges << step.j << "+ -> " << step.j + 1 << "+";
    s << std::left << std::setw(6) << step.j << std::setw(10) << charges.str() << std::right
      << std::setw(6) << step.points.size() << std::setw(14) << nans << "  "
      << (std::isnan(crossing) ? std::string("none") : format_number(crossing)) << "\n";
  }
  return s.str();
}

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool progress_to_terminal) {
  options o;
  CLI::App app{
      "Post-field-ionisation curves after Kingham: writes the probabilities of every "
      "charge state against the field in V/nm as comma-separated text.",
      program};
  app.add_option("--element", o.element, "element name as in the window's list, e.g. Tungsten");
  app.add_option("--ionisations", o.ionisations, "number of ionisations n, 1 to 4");
  app.add_option("--work-function", o.work_function,
                 "work function of the surface in eV (default: the element's built-in value)");
  app.add_option("--energies", o.energies,
                 "ionisation energies I1,...,I(n+1) in eV (default: the element's built-in values)");
  app.add_option("--output", o.output, "file to write (default data.txt; - for standard output)");
  app.add_option("--threads", o.threads, "worker threads (default: all cores)")
      ->check(CLI::Range(1u, 1024u));
  app.add_flag("--example", o.example,
               "Tungsten, n = 4, work function 4.55 eV, energies 7.864,16.37,26.0,38.2,51.6");
  app.add_flag("--list-elements", o.list_elements,
               "list the elements with their built-in data and exit");
  app.add_flag("--sources", o.sources, "with --list-elements: also the source of every value");
  app.set_version_flag("--version", std::string(program) + " " + version);

  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return exit_ok;
  } catch (const CLI::CallForVersion&) {
    out << program << " " << version << "\n";
    return exit_ok;
  } catch (const CLI::ParseError& e) {
    err << program << ": " << e.what() << "\n";
    return exit_bad_input;
  }

  if (o.list_elements) {
    out << element_listing(o.sources);
    return exit_ok;
  }
  if (o.example) {
    if (o.element.empty()) o.element = "Tungsten";
    if (o.ionisations.empty()) o.ionisations = "4";
    if (!o.work_function) o.work_function = "4.55";
    if (!o.energies) o.energies = "7.864,16.37,26.0,38.2,51.6";
  }

  request_texts texts{o.element, o.ionisations, o.work_function, std::nullopt};
  if (o.energies) texts.energies = split_commas(*o.energies);
  const checked_request checked = check_request(texts);
  if (!checked.request) {
    err << program << ": " << checked.message << "\n";
    return exit_bad_input;
  }

  // A pipe without a reader is reported before the calculation, not after it.
  std::optional<output_check> output;
  if (o.output != "-") {
    output.emplace(o.output);
    if (output->problem()) {
      err << program << ": " << file_failure_message("Could not write", o.output, *output->problem())
          << "\n";
      return exit_write_failed;
    }
  }

  sweep_plan plan = plan_sweeps(*checked.request);
  try {
    evaluate_with_progress(plan, o.threads, err, progress_to_terminal);
  } catch (const calculation_error& e) {
    err << program << ": " << e.what() << "\n";
    return exit_write_failed;
  }
  const curve_set& curves = plan.curves;
  for (const auto& note : empty_curve_notes(*checked.request, curves)) {
    err << program << ": " << note << "\n";
  }

  if (o.output == "-") {
    for (const auto& line : text_export_lines(curves)) out << line << '\n' << std::flush;
    if (!out) {
      err << program << ": could not write to standard output\n";
      return exit_write_failed;
    }
    return exit_ok;
  }
  out << summary_table(curves);
  if (auto error = save_text_export(curves, o.output)) {
    err << program << ": " << *error << "\n";
    return exit_write_failed;
  }
  out << "Wrote " << o.output << "\n";
  return exit_ok;
}

}  // namespace veltrane
