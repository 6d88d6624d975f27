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
#include "compute/elements.hpp"
#include "compute/text_export.hpp"
#include "model/fast_model.hpp"

namespace veltrane {

namespace {

constexpr const char* program = "veltrane-curves";
constexpr const char* version = "1.0.0";

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : text) {
    if (c == ',') {
      parts.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  parts.push_back(current);
  return parts;
}

// The element's key in the table: the exact name, or the one name that
// matches it without regard to case.
std::optional<std::string> resolve_element(const std::string& name) {
  if (find_element(name)) return name;
  for (const auto& row : element_table) {
    if (row.name.size() == name.size() &&
        std::equal(name.begin(), name.end(), row.name.begin(),
                   [](char x, char y) { return lower(x) == lower(y); })) {
      return std::string(row.name);
    }
  }
  return std::nullopt;
}

struct options {
  std::string element;
  std::string ionisations;
  std::string work_function;
  std::string energies;
  std::string output = text_export_name;
  unsigned threads = 0;
  bool example = false;
  bool list_elements = false;
};

// Checks the inputs one by one, so that the message says which one is wrong.
std::optional<std::string> check_inputs(options& o, control_state& controls) {
  const auto format = plain_number_format();
  if (o.element.empty()) return "--element is required (or use --example)";
  const auto key = resolve_element(o.element);
  if (!key) {
    std::string message = "unknown element \"" + o.element + "\"; closest: ";
    const auto names = closest_element_names(o.element);
    for (std::size_t i = 0; i < names.size(); ++i) message += (i ? ", " : "") + names[i];
    return message + " (see --list-elements)";
  }
  const auto n = parse_number(o.ionisations, format);
  if (o.ionisations.empty()) return "--ionisations is required";
  if (!n || *n != std::trunc(*n) || *n < 1 || *n > 4) {
    return "--ionisations must be a whole number from 1 to 4, not \"" + o.ionisations + "\"";
  }
  if (o.work_function.empty()) return "--work-function is required";
  if (!parse_number(o.work_function, format)) {
    return "--work-function is not a number: \"" + o.work_function + "\"";
  }
  if (o.energies.empty()) return "--energies is required";
  const auto energies = split_commas(o.energies);
  const std::size_t wanted = static_cast<std::size_t>(*n) + 1;
  if (energies.size() != wanted) {
    return "--energies needs " + std::to_string(wanted) + " values for " +
           std::to_string(static_cast<int>(*n)) + " ionisations, got " +
           std::to_string(energies.size());
  }
  for (std::size_t i = 0; i < energies.size(); ++i) {
    if (!parse_number(energies[i], format)) {
      return "ionisation energy " + std::to_string(i + 1) + " is not a number: \"" + energies[i] +
             "\"";
    }
  }
  controls.element = *key;
  controls.ionisations = *n;
  controls.boxes[0] = o.work_function;
  for (std::size_t i = 0; i < energies.size(); ++i) controls.boxes[i + 1] = energies[i];
  controls.save_text = true;
  return std::nullopt;
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

std::vector<std::string> closest_element_names(const std::string& name, std::size_t count) {
  std::vector<std::pair<std::size_t, std::string>> ranked;
  for (const auto& row : element_table) {
    ranked.emplace_back(edit_distance(name, std::string(row.name)), std::string(row.name));
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::string> names;
  for (std::size_t i = 0; i < ranked.size() && i < count; ++i) names.push_back(ranked[i].second);
  return names;
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
  app.add_option("--work-function", o.work_function, "work function of the surface in eV");
  app.add_option("--energies", o.energies, "ionisation energies I1,...,I(n+1) in eV");
  app.add_option("--output", o.output, "file to write (default data.txt; - for standard output)");
  app.add_option("--threads", o.threads, "worker threads (default: all cores)")
      ->check(CLI::Range(1u, 1024u));
  app.add_flag("--example", o.example,
               "Tungsten, n = 4, work function 4.55 eV, energies 7.864,16.37,26.0,38.2,51.6");
  app.add_flag("--list-elements", o.list_elements, "list the element names and exit");
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
    for (const auto& row : element_table) {
      out << row.name << "  period " << row.period << "  mass " << row.atomic_mass << " u\n";
    }
    return exit_ok;
  }
  if (o.example) {
    if (o.element.empty()) o.element = "Tungsten";
    if (o.ionisations.empty()) o.ionisations = "4";
    if (o.work_function.empty()) o.work_function = "4.55";
    if (o.energies.empty()) o.energies = "7.864,16.37,26.0,38.2,51.6";
  }

  control_state controls;
  if (auto problem = check_inputs(o, controls)) {
    err << program << ": " << *problem << "\n";
    return exit_bad_input;
  }
  const request_outcome outcome = read_request(controls, plain_number_format());
  if (!outcome.request) {
    err << program << ": " << outcome.message << "\n";
    return exit_bad_input;
  }

  sweep_plan plan = plan_sweeps(*outcome.request);
  evaluate_with_progress(plan, o.threads, err, progress_to_terminal);
  const curve_set& curves = plan.curves;

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
