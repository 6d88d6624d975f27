#include "cli/cli.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <future>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "cli/dataset_commands.hpp"
#include "cli/joint_commands.hpp"
#include "cli/option_checks.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/charge_states/fraction_csv.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/calculation.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/text_export.hpp"
#include "compute/figures/atlas.hpp"

namespace veltrane {

namespace {

constexpr const char* program = "veltrane-curves";
constexpr const char* version = VELTRANE_VERSION;
constexpr const char* licence_notice =
    "Copyright (C) 2026 The Veltrane developers\n"
    "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

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
  // The charge-state commands.
  std::optional<double> from, to;
  double step = default_field_step_v_per_nm;
  bool all_elements = false;
  bool csv = false;
  std::optional<std::string> ratio, counts;
  double confidence = default_confidence;
  bool exact = false;  // the adaptive integration instead of the accurate evaluation
  bool sensitivity = false;
  bool progress = false;  // a progress bar on the error stream (a terminal)
};

// The model and search tolerance of a charge-state command.
charge_state_model command_model(const options& o) {
  return model_for(o.exact ? evaluation::exact : evaluation::accurate);
}

const char* const exact_help =
    "evaluate the model by its adaptive integration (as data.txt and the chart do) instead of "
    "the accurate closed-form evaluation; about a thousand times slower";

// The request of a command; for bad input, its message on `err` and nothing.
std::optional<calc_request> read_command_request(const options& o, std::ostream& err) {
  request_texts texts{o.element, o.ionisations, o.work_function, std::nullopt};
  if (o.energies) texts.energies = split_commas(*o.energies);
  checked_request checked = check_request(texts);
  if (!checked.request) err << program << ": " << checked.message << "\n";
  return std::move(checked.request);
}

// Runs a charge-state command: refused input is status 2, a calculation
// that could not go on status 1, each said in one line.
int guarded(std::ostream& err, const std::function<int()>& command) {
  try {
    return command();
  } catch (const input_refused& e) {
    err << program << ": " << e.what() << "\n";
    return exit_bad_input;
  } catch (const calculation_error& e) {
    err << program << ": " << e.what() << "\n";
    return exit_calculation_failed;
  }
}

void write_lines(std::ostream& out, const std::vector<std::string>& lines) {
  for (const auto& line : lines) out << line << '\n';
  out << std::flush;
}

// A pipe without a reader is reported before the calculation, not after it;
// the check is held (and the pipe open) until the output is written.
bool reserve_output(const std::string& path, std::optional<output_check>& output,
                    std::ostream& err) {
  if (path == "-") return true;
  output.emplace(path);
  if (!output->problem()) return true;
  err << program << ": " << file_failure_message("Could not write", path, *output->problem())
      << "\n";
  return false;
}

// "[#########        ] 12/44 elements", drawn over the line before.
void draw_progress(std::ostream& err, std::size_t done, std::size_t total, const char* what) {
  constexpr std::size_t width = 30;
  const std::size_t filled = total ? done * width / total : width;
  err << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << done
      << "/" << total << " " << what << std::flush;
}

// The options a field range is made of, before the range's own message.
constexpr const char* field_range_options = "--from, --to, --step: ";

int run_fractions(const options& o, std::ostream& out, std::ostream& err) {
  const auto request = read_command_request(o, err);
  if (!request) return exit_bad_input;
  std::string message;
  // A range given in full is checked before anything is computed.
  if (o.from && o.to && !field_grid(*o.from, *o.to, o.step, &message)) {
    err << program << ": " << field_range_options << message << "\n";
    return exit_bad_input;
  }
  std::optional<output_check> output;
  if (!reserve_output(o.output, output, err)) return exit_write_failed;
  field_model model(*request, command_model(o), o.threads);
  charge_states& states = model.states();
  const auto [default_from, default_to] = default_field_range(states);
  const auto grid =
      field_grid(o.from.value_or(default_from), o.to.value_or(default_to), o.step, &message);
  if (!grid) {
    err << program << ": " << field_range_options << message << "\n";
    return exit_bad_input;
  }
  const auto lines = fraction_csv_lines(*request, fraction_table_at(states, *grid));
  if (o.output == "-") {
    write_lines(out, lines);
    if (!out) {
      err << program << ": " << stdout_failure << "\n";
      return exit_write_failed;
    }
    return exit_ok;
  }
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  if (const auto reason = write_file(o.output, text)) {
    err << program << ": " << file_failure_message("Could not write", o.output, *reason) << "\n";
    return exit_write_failed;
  }
  out << "Wrote " << o.output << " (" << grid->size() << " fields)\n";
  return exit_ok;
}

void equal_abundance_rows(const calc_request& request, const charge_state_model& evaluation,
                          unsigned threads, bool csv, std::ostream& out) {
  field_model model(request, evaluation, threads);
  charge_states& states = model.states();
  const auto& barriers = states.over_barrier_fields();
  for (int k = 1; k <= request.n; ++k) {
    const auto fields = equal_abundance(states, k);
    const std::string E_ob = barriers[static_cast<std::size_t>(k) - 1].text();
    const std::string equal = fields.field() ? format_number(*fields.field()) : "none";
    if (csv) {
      out << request.element << "," << request.n << "," << k << "," << E_ob << "," << equal << "\n";
    } else {
      std::ostringstream charges;
      charges << charge_label(k) << " -> " << charge_label(k + 1);
      out << std::left << std::setw(6) << k << std::setw(10) << charges.str() << std::right
          << std::setw(14) << E_ob << std::setw(20) << equal;
      if (fields.ambiguous()) {
        out << "  " << crossings_note(fields, plain_answer_numbers());
      }
      out << "\n";
    }
  }
}

int run_equal_abundance(const options& o, std::ostream& out, std::ostream& err) {
  const charge_state_model model = command_model(o);
  const char* csv_header = "element,n,step,E_ob_V_per_nm,F_equal_V_per_nm\n";
  const char* table_header = "step  charges     E_ob [V/nm]   F(k,k+1) [V/nm]\n";
  return guarded(err, [&] {
    if (o.all_elements) {
      if (!o.element.empty()) {
        err << program << ": give either --element or --all-elements\n";
        return int{exit_bad_input};
      }
      if (o.csv) out << csv_header;
      // The elements side by side, one thread each (their searches are
      // mostly one model call after another), written in the table's order;
      // the fields do not depend on the number of threads.
      in_order(
          element_table.size(), o.threads,
          [&](std::size_t e) {
            const auto& row = element_table[e];
            const int n = largest_n(*find_element_data(row.name));
            const checked_request checked = check_request(
                {std::string(row.name), std::to_string(n), std::nullopt, std::nullopt});
            std::ostringstream text;
            if (!o.csv) text << row.name << ", n = " << n << "\n" << table_header;
            equal_abundance_rows(*checked.request, model, 1, o.csv, text);
            if (!o.csv) text << "\n";
            return text.str();
          },
          [&](std::size_t e, const std::string& text) {
            out << text;
            if (o.progress) draw_progress(err, e + 1, element_table.size(), "elements");
          });
      if (o.progress) err << "\n";
      return int{exit_ok};
    }
    const auto request = read_command_request(o, err);
    if (!request) return int{exit_bad_input};
    out << (o.csv ? csv_header : table_header);
    equal_abundance_rows(*request, model, o.threads, o.csv, out);
    return int{exit_ok};
  });
}

// Every element's Kingham diagram: one PDF, or one SVG per element in a folder.
int run_atlas(const options& o, const std::string& path, const std::string& format,
              std::ostream& out, std::ostream& err) {
  const auto elements =
      atlas_elements(o.element.empty() ? std::vector<std::string>{} : split_commas(o.element));
  // Where the diagrams go is checked before they are computed.
  std::optional<output_check> output;
  if (format == "pdf") {
    if (!reserve_output(path, output, err)) return exit_write_failed;
  } else {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (!std::filesystem::is_directory(path)) {
      err << program << ": "
          << file_failure_message("Could not write", path,
                                  error ? error.message() : "it is not a folder")
          << "\n";
      return exit_write_failed;
    }
  }
  const charge_state_model model = command_model(o);
  std::vector<figure> pages;
  try {
    pages = atlas_pages(elements, model, o.threads, [&](std::size_t done, std::size_t total) {
      if (o.progress) draw_progress(err, done, total, "elements");
    });
    if (o.progress) err << "\n";
  } catch (const calculation_error& e) {
    err << program << ": " << e.what() << "\n";
    return exit_calculation_failed;
  }
  if (format == "pdf") {
    if (const auto problem = write_file(path, pdf_document(pages))) {
      err << program << ": " << file_failure_message("Could not write", path, *problem) << "\n";
      return exit_write_failed;
    }
    out << "Wrote " << path << " (" << pages.size() << " pages)\n";
    return exit_ok;
  }
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const auto file = std::filesystem::path(path) / (elements[i]->name + ".svg");
    if (const auto problem = write_file(file, pages[i].svg())) {
      err << program << ": " << file_failure_message("Could not write", file, *problem) << "\n";
      return exit_write_failed;
    }
  }
  out << "Wrote " << pages.size() << " diagrams into " << path << "\n";
  return exit_ok;
}

// What `field` is asked: one typed ratio, or the counted pairs among the
// counts of every state.
struct field_question {
  std::vector<pair_measurement> measurements;
  bool counted = false;
};

std::optional<field_question> read_field_question(const options& o, int n, std::ostream& err) {
  std::string message;
  if (o.ratio.has_value() == o.counts.has_value()) {
    err << program << ": give either --ratio or --counts\n";
    return std::nullopt;
  }
  if (const std::string fault = confidence_fault(o.confidence); !fault.empty()) {
    err << program << ": " << fault << "\n";
    return std::nullopt;
  }
  field_question q;
  if (o.ratio) {
    const auto ratio = parse_ratio_spec(*o.ratio, n, &message);
    if (!ratio) {
      err << program << ": --ratio: " << message << "\n";
      return std::nullopt;
    }
    q.measurements.push_back({ratio->k, ratio->ratio, 0.0, 0.0, o.confidence});
    return q;
  }
  const auto counts = parse_counts_spec(*o.counts, n, &message);
  const auto pairs = counts ? counted_pairs(*counts, &message) : std::nullopt;
  if (!pairs) {
    err << program << ": --counts: " << message << "\n";
    return std::nullopt;
  }
  for (int k : *pairs) {
    const auto at = static_cast<std::size_t>(k);
    q.measurements.push_back({k, std::nullopt, (*counts)[at], (*counts)[at + 1], o.confidence});
  }
  q.counted = true;
  return q;
}

// Each measurement's field (with its interval, crossings and shifts), then
// with counts the caveat of counting statistics; a ratio the model does not
// reach is bad input.
int write_fields(field_model& model, const field_question& q, bool sensitivity, std::ostream& out,
                 std::ostream& err) {
  int status = exit_ok;
  for (const pair_measurement& m : q.measurements) {
    const measured_field found = measure_field(model, m, sensitivity);
    if (!found.field()) {
      err << program << ": " << found.fields.unreachable_message() << "\n";
      status = exit_bad_input;
      continue;
    }
    const answer_words words = measured_field_words(found, plain_answer_numbers());
    out << words.question << words.answer << "\n";
    for (const auto& line : words.details) out << "  " << line << "\n";
  }
  if (q.counted && status == exit_ok) out << counted_field_caveat << "\n";
  return status;
}

int run_field(const options& o, std::ostream& out, std::ostream& err) {
  const auto request = read_command_request(o, err);
  if (!request) return exit_bad_input;
  const auto question = read_field_question(o, request->n, err);
  if (!question) return exit_bad_input;
  field_model model(*request, command_model(o), o.threads);
  return guarded(err, [&] { return write_fields(model, *question, o.sensitivity, out, err); });
}

// The options that name a calculation's inputs, on the main command and on
// each charge-state command.
void add_request_options(CLI::App& app, options& o) {
  app.add_option("--element", o.element, "element name as in the window's list, e.g. Tungsten");
  app.add_option("--ionisations", o.ionisations, "number of ionisations n, 1 to 4");
  app.add_option("--work-function", o.work_function,
                 "work function of the surface in eV (default: the element's built-in value)");
  app.add_option(
      "--energies", o.energies,
      "ionisation energies I1,...,I(n+1) in eV (default: the element's built-in values)");
  add_threads_option(app, o.threads);
}

// A number of the element table, or "-" where the quantity does not exist.
std::string cell(const tabulated_value& v) { return v.value ? v.text : "-"; }

// The listing's columns are as wide as their widest value, two spaces apart,
// whatever the values' widths (an energy tabulated to ten decimals too).
std::string element_listing(bool with_sources) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({"name", "symbol", "period", "mass [u]", "phi [eV]"});
  for (int i = 1; i <= 5; ++i) rows.front().push_back("I" + std::to_string(i) + " [eV]");
  for (const auto& row : element_table) {
    const element_data* data = find_element_data(row.name);
    std::vector<std::string> cells = {std::string(row.name), data->symbol,
                                      std::to_string(row.period), format_number(row.atomic_mass),
                                      cell(data->work_function)};
    for (const auto& e : data->energies) cells.push_back(cell(e));
    rows.push_back(std::move(cells));
  }
  std::vector<std::size_t> width(rows.front().size(), 0);
  for (const auto& cells : rows) {
    for (std::size_t c = 0; c < cells.size(); ++c) width[c] = std::max(width[c], cells[c].size());
  }
  const auto line_of = [&width](const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      line += cells[c];
      if (c + 1 < cells.size()) line += std::string(width[c] + 2 - cells[c].size(), ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    return line + "\n";
  };
  std::string listing = line_of(rows.front());
  for (std::size_t r = 1; r < rows.size(); ++r) {
    listing += line_of(rows[r]);
    if (!with_sources) continue;
    const element_data* data = find_element_data(rows[r].front());
    listing += "    work function: " + data->work_function_source + "\n";
    listing += "    ionisation energies: " + data->ionisation_source;
    for (const nist_flag flag : {nist_flag::semi_empirical, nist_flag::theoretical}) {
      std::string marked;
      for (int i = 0; i < 5; ++i) {
        if (data->energies[static_cast<std::size_t>(i)].value &&
            data->energies[static_cast<std::size_t>(i)].flag == flag) {
          marked += (marked.empty() ? "" : ",") + ("I" + std::to_string(i + 1));
        }
      }
      if (!marked.empty()) listing += "; NIST " + std::string(flag_text(flag)) + ": " + marked;
    }
    listing += "\n";
  }
  return listing;
}

// Evaluates the plan, drawing a progress bar on the terminal meanwhile.
void evaluate_with_progress(sweep_plan& plan, unsigned threads, std::ostream& err, bool bar) {
  const model_function model = prescribed_model();
  if (!bar) {
    evaluate_plan(plan, model, threads);
    return;
  }
  evaluation_progress progress;
  auto job =
      std::async(std::launch::async, [&] { evaluate_plan(plan, model, threads, &progress); });
  const std::size_t total = plan.calls.size();
  while (job.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
    draw_progress(err, progress.done.load(), total, "points");
  }
  job.get();
  draw_progress(err, total, total, "points");
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

namespace {

// The main command's own options: the curves of data.txt, the example and
// the element listing.
void add_curve_options(CLI::App& app, options& o) {
  add_request_options(app, o);
  app.add_option("--output", o.output, "file to write (default data.txt; - for standard output)");
  app.add_flag("--example", o.example,
               "Tungsten, n = 4, work function 4.55 eV, energies 7.864,16.37,26.0,38.2,51.6");
  app.add_flag("--list-elements", o.list_elements,
               "list the elements with their built-in data and exit");
  app.add_flag("--sources", o.sources, "with --list-elements: also the source of every value");
  app.set_version_flag("--version", std::string(program) + " " + version);
}

// The charge-state subcommands; their options land in the shared options.
class charge_state_commands {
 public:
  charge_state_commands(CLI::App& app, options& o) : o_(o) {
    fractions_ = app.add_subcommand(
        "fractions", "charge-state fractions of the cascade from 1+ against the field, as CSV");
    add_request_options(*fractions_, o);
    // A field of the model is above 0 V/nm: one rule with Python's and the
    // window's (field_fault).
    const auto field = number_check([](double E) {
      const std::string fault = field_fault(E);
      return fault.empty() ? fault : format_number(E) + " V/nm " + fault;
    });
    fractions_
        ->add_option("--from", o.from, "lowest field in V/nm (default: the lowest sweep start)")
        ->check(field);
    fractions_->add_option("--to", o.to, "highest field in V/nm (default: the highest E_ob)")
        ->check(field);
    fractions_->add_option("--step", o.step, "field step in V/nm")
        ->capture_default_str()
        ->check(number_check(field_step_fault));
    fractions_->add_option("--output", fractions_output_,
                           "file to write (default -: standard output)");
    fractions_->add_flag("--exact", o.exact, exact_help);

    equal_ = app.add_subcommand(
        "equal-abundance",
        "over-barrier fields E_ob and the fields where neighbouring states are equally abundant");
    add_request_options(*equal_, o);
    equal_->add_flag("--all-elements", o.all_elements,
                     "every element, with its built-in data and the largest n it allows");
    equal_->add_flag("--csv", o.csv, "comma-separated output");
    equal_->add_flag("--exact", o.exact, exact_help);

    field_ = app.add_subcommand(
        "field", "the field from a measured ratio of neighbouring charge states, or from counts");
    add_request_options(*field_, o);
    field_->add_option("--ratio", o.ratio, "a measured ratio, e.g. 3+/2+=0.8");
    field_->add_option("--counts", o.counts, "counts of charge states, e.g. 2+=1200,3+=960");
    field_->add_option("--confidence", o.confidence, "level of the counting interval")
        ->capture_default_str()
        ->check(number_check(confidence_fault));
    field_->add_flag("--exact", o.exact, exact_help);
    field_->add_flag("--sensitivity", o.sensitivity,
                     "also how far the field moves with the work function (0.1 eV) and each "
                     "ionisation energy that enters the pair (1 %)");

    atlas_ = app.add_subcommand(
        "atlas", "the Kingham diagram of every element, with its E_ob and equal-abundance fields");
    atlas_->add_option("--output", atlas_output_,
                       "file to write (default atlas.pdf), or with --format svg a folder "
                       "(default atlas)");
    atlas_
        ->add_option("--format", atlas_format_, "pdf (one page per element) or svg (one file each)")
        ->check(CLI::IsMember({"pdf", "svg"}));
    atlas_->add_option("--elements", o.element,
                       "only these elements, e.g. Tungsten,Iron (default: all 44)");
    atlas_->add_flag("--exact", o.exact, exact_help);
    add_threads_option(*atlas_, o.threads);
  }

  /// The status of the subcommand that was given, or nothing.
  std::optional<int> run(std::ostream& out, std::ostream& err, bool progress_to_terminal) {
    if (fractions_->parsed()) {
      o_.output = fractions_output_;
      return run_fractions(o_, out, err);
    }
    o_.progress = progress_to_terminal;
    if (equal_->parsed()) return run_equal_abundance(o_, out, err);
    if (field_->parsed()) return run_field(o_, out, err);
    if (atlas_->parsed()) {
      if (atlas_output_.empty()) atlas_output_ = atlas_format_ == "pdf" ? "atlas.pdf" : "atlas";
      return run_atlas(o_, atlas_output_, atlas_format_, out, err);
    }
    return std::nullopt;
  }

 private:
  options& o_;
  CLI::App* fractions_;
  CLI::App* equal_;
  CLI::App* field_;
  CLI::App* atlas_;
  std::string fractions_output_ = "-";
  std::string atlas_output_;
  std::string atlas_format_ = "pdf";
};

// The curves of every step: data.txt (or standard output), as the window's
// Calculate with the box ticked writes them.
int run_curves(options& o, std::ostream& out, std::ostream& err, bool progress_to_terminal) {
  if (o.example) {
    if (o.element.empty()) o.element = "Tungsten";
    if (o.ionisations.empty()) o.ionisations = "4";
    if (!o.work_function) o.work_function = "4.55";
    if (!o.energies) o.energies = "7.864,16.37,26.0,38.2,51.6";
  }
  const auto request = read_command_request(o, err);
  if (!request) return exit_bad_input;

  std::optional<output_check> output;
  if (!reserve_output(o.output, output, err)) return exit_write_failed;

  sweep_plan plan = plan_sweeps(*request);
  try {
    evaluate_with_progress(plan, o.threads, err, progress_to_terminal);
  } catch (const calculation_error& e) {
    err << program << ": " << e.what() << "\n";
    return exit_calculation_failed;
  }
  const curve_set& curves = plan.curves;
  for (const auto& note : empty_curve_notes(*request, curves)) {
    err << program << ": " << note << "\n";
  }

  if (o.output == "-") {
    for (const auto& line : text_export_lines(curves)) out << line << '\n' << std::flush;
    if (!out) {
      err << program << ": " << stdout_failure << "\n";
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

int run_commands(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 bool progress_to_terminal) {
  options o;
  CLI::App app{
      "Post-field-ionisation curves after Kingham: writes the probabilities of every "
      "charge state against the field in V/nm as comma-separated text.",
      program};
  add_curve_options(app, o);
  charge_state_commands charge_states(app, o);
  dataset_commands datasets(app);
  const joint_commands joint(app);

  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    const CLI::App* asked = &app;
    for (const CLI::App* sub : app.get_subcommands()) asked = sub;
    out << asked->help();
    return exit_ok;
  } catch (const CLI::CallForVersion&) {
    out << program << " " << version << "\n" << licence_notice;
    return exit_ok;
  } catch (const CLI::ParseError& e) {
    err << program << ": " << e.what() << "\n";
    return exit_bad_input;
  }

  if (const auto status = joint.run(out, err)) return *status;
  if (const auto status = charge_states.run(out, err, progress_to_terminal)) return *status;
  if (const auto status = datasets.run(out, err)) return *status;
  if (o.list_elements) {
    out << element_listing(o.sources);
    return exit_ok;
  }
  return run_curves(o, out, err, progress_to_terminal);
}

}  // namespace

namespace {

// Whatever fails below (an allocation, a thread that cannot be started) is
// said in one line and ends with status 1, never with a terminated process.
int guarded_commands(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     bool progress_to_terminal) {
  try {
    return run_commands(args, out, err, progress_to_terminal);
  } catch (const input_refused& e) {
    err << program << ": " << e.what() << "\n";
    return exit_bad_input;
  } catch (const std::bad_alloc&) {
    err << program << ": Out of memory while calculating\n";
    return exit_calculation_failed;
  } catch (const std::exception& e) {
    err << program << ": " << e.what() << "\n";
    return exit_calculation_failed;
  }
}

}  // namespace

int run_cli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool progress_to_terminal) {
  const int status = guarded_commands(args, out, err, progress_to_terminal);
  // Whatever a command printed is only written when the stream is flushed:
  // a full disk (or /dev/full) shows here, for every command alike. A
  // command that failed has said why already.
  try {
    out.flush();
  } catch (const std::ios_base::failure&) {
  }
  if (status == exit_ok && !out.good()) {
    err << program << ": " << stdout_failure << "\n";
    return exit_write_failed;
  }
  return status;
}

}  // namespace veltrane
