#include "cli/dataset_commands.hpp"

#include <algorithm>
#include <memory>
#include <ostream>
#include <utility>

#include "cli/cli.hpp"
#include "cli/option_checks.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/dataset_text.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/figures/figure_file.hpp"
#include "compute/figures/map_figure.hpp"
#include "compute/figures/profile_figure.hpp"

namespace veltrane {

namespace {

constexpr const char* program = "veltrane-curves";

// Reads both files, with the data file's notes on `err`.
dataset_inputs read_files(const std::string& data_path, const std::string& range_path,
                          std::ostream& err) {
  dataset_inputs in = read_inputs(data_path, range_path);
  for (const auto& note : in.data.notes()) err << program << ": note: " << note << "\n";
  return in;
}

// Writes CSV lines to `path` ("-": standard output) without ever leaving a
// half-written file.
bool write_csv(const std::vector<std::string>& lines, const std::string& path, std::ostream& out,
               std::ostream& err) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  if (path == "-") {
    out << text << std::flush;
    if (out) return true;
    err << program << ": " << stdout_failure << "\n";
    return false;
  }
  if (const auto problem = write_file(path, text)) {
    err << program << ": " << file_failure_message("Could not write", path, *problem) << "\n";
    return false;
  }
  return true;
}

}  // namespace

dataset_commands::dataset_commands(CLI::App& app) {
  auto files = [this](CLI::App& c) {
    c.add_option("--data", o_.data, "the atom-probe data file (.epos, .pos or .apt)")->required();
    c.add_option("--ranges", o_.ranges, "its range file (.rrng or .rng)")->required();
    c.add_flag("--single-hits", o_.single_hits, "only ions of pulses with one hit");
    c.add_flag("--background", o_.background,
               "subtract from each range the ions of an empty window of its width beside it");
    add_threads_option(c, o_.threads);
    add_mass_tolerance_option(c, o_.mass_tolerance);
    c.add_flag("--all-warnings", o_.all_warnings,
               "name every other ion found in a range (by default the three most likely)");
  };
  auto field = [this](CLI::App& c) {
    c.add_option("--element", o_.element, "element name or symbol, e.g. Tungsten or W")->required();
    c.add_option("--ionisations", o_.ionisations, "number of ionisations n, 1 to 4")->required();
    c.add_option("--pair", o_.pair, "the pair of neighbouring charge states, e.g. 3+/2+")
        ->required();
    c.add_option("--work-function", o_.work_function,
                 "work function in eV (default: the element's built-in value)");
    c.add_option("--energies", o_.energies,
                 "ionisation energies I1,...,I(n+1) in eV (default: the built-in values)");
    c.add_option("--confidence", o_.confidence, "level of the counting interval")
        ->capture_default_str()
        ->check(number_check(confidence_fault));
  };
  counts_ = app.add_subcommand(
      "counts", "ions per charge state of each element of a dataset, by its range file");
  files(*counts_);
  counts_->add_option("--element", o_.element, "only this element (name or symbol)");
  counts_->add_flag("--csv", o_.csv, "comma-separated output");

  map_ = app.add_subcommand("map", "the field over the detector from a pair's counts per bin");
  files(*map_);
  field(*map_);
  map_->add_option("--over", o_.over, "detector (mm) or specimen (reconstructed x, y in nm)")
      ->check(CLI::IsMember({"detector", "specimen"}));
  map_->add_option("--bin", o_.bin, "side of the square bins, mm (nm over the specimen)")
      ->capture_default_str()
      ->check(number_check(bin_fault));
  map_->add_option("--min-counts", o_.min_counts, "bins with fewer ions of the pair are masked")
      ->capture_default_str()
      ->check(whole_number_check(0));
  map_->add_option("--output", o_.output, "the map as CSV (- for standard output)");
  map_->add_option("--image", o_.image, "the map as a heat map: .svg, .pdf or .png");

  profile_ = app.add_subcommand("profile", "the field along the run, in blocks of ions");
  files(*profile_);
  field(*profile_);
  profile_->add_option("--block", o_.block, "ions per block in file order")
      ->capture_default_str()
      ->check(whole_number_check(1));
  profile_->add_option("--kf", o_.kf,
                       "field factor k_f: adds per block the tip radius R = V_dc / (k_f E) in nm "
                       "(without it kfR_nm = V_dc / E) and draws R against the ions");
  profile_->add_option("--output", o_.output, "the profile as CSV (default -: standard output)");
  profile_->add_option("--image", o_.image,
                       "the profile as a plot against the ions and the DC voltage: .svg, .pdf "
                       "or .png");
}

std::optional<int> dataset_commands::run(std::ostream& out, std::ostream& err) const {
  try {
    if (counts_->parsed()) return run_counts(out, err);
    if (map_->parsed()) return run_map(out, err);
    if (profile_->parsed()) return run_profile(out, err);
  } catch (const dataset_file_error& e) {
    // A file that cannot be opened at all is no fault of its content.
    err << program << ": " << e.what() << "\n";
    return e.unopened() ? exit_calculation_failed : exit_bad_input;
  } catch (const input_refused& e) {
    err << program << ": " << e.what() << "\n";
    return exit_bad_input;
  }
  return std::nullopt;
}

void dataset_commands::report(const std::vector<std::string>& messages,
                              const dataset_counts& counts, std::ostream& err) const {
  for (const auto& m : messages) {
    const bool warning =
        std::find(counts.warnings.begin(), counts.warnings.end(), m) != counts.warnings.end();
    err << program << ": " << (warning ? "warning: " : "") << m << "\n";
  }
  for (const auto& i : counts.interferences) {
    err << program << ": warning: " << (o_.all_warnings ? i.listing() : i.message) << "\n";
  }
}

apt::charge_options dataset_commands::charging() const {
  if (o_.mass_tolerance.empty()) return {};
  return *parse_mass_tolerance(o_.mass_tolerance, nullptr);
}

bool dataset_commands::outputs_apart(std::ostream& err) const {
  for (const auto& [path, option] :
       {std::pair{&o_.output, "--output"}, std::pair{&o_.image, "--image"}}) {
    if (path->empty() || *path == "-") continue;
    try {
      check_output_apart(*path, o_.data, o_.ranges);
    } catch (const input_refused& e) {
      err << program << ": " << option << ": " << e.what() << "\n";
      return false;
    }
  }
  return true;
}

int dataset_commands::run_counts(std::ostream& out, std::ostream& err) const {
  const auto [data, ranges] = read_files(o_.data, o_.ranges, err);
  const dataset_counts counts =
      count_charge_states(data, ranges, o_.element, counting(), charging());
  std::vector<std::string> messages = counts.messages;
  messages.insert(messages.end(), counts.warnings.begin(), counts.warnings.end());
  report(messages, counts, err);
  if (o_.csv)
    return write_csv(counts_csv_lines(counts), "-", out, err) ? exit_ok : exit_write_failed;
  out << data.file_name() << ": " << counts.ions << " ions";
  if (counts.single_hits) out << ", " << counts.counted_ions << " of them single hits";
  out << "\n";
  for (const auto& line : counts_text_lines(counts)) out << line << "\n";
  return exit_ok;
}

namespace {

// The model of the request and the pair as typed, whose ratio is inverted
// for many ratios (the accurate evaluation serves every bin).
struct pair_inversion {
  std::unique_ptr<field_model> model;
  int k = 0;
};

// The request and the pair as typed; a message on `err` and nothing when
// either is bad.
std::optional<pair_inversion> pair_inversion_of(const request_texts& texts, const std::string& pair,
                                                unsigned threads, std::ostream& err) {
  const checked_request checked = check_request(texts);
  if (!checked.request) {
    err << program << ": " << checked.message << "\n";
    return std::nullopt;
  }
  std::string message;
  const auto k = parse_pair_spec(pair, checked.request->n, &message);
  if (!k) {
    err << program << ": --pair: " << message << "\n";
    return std::nullopt;
  }
  return pair_inversion{
      std::make_unique<field_model>(*checked.request, model_for(evaluation::accurate), threads),
      *k};
}

// "W 3+/2+, run.epos": a figure's title.
std::string pair_title(const std::string& symbol, int k, const std::string& file) {
  return symbol + " " + pair_label(k) + ", " + file;
}

}  // namespace

request_texts dataset_commands::request() const {
  request_texts texts{element_list_name(o_.element), o_.ionisations, o_.work_function,
                      std::nullopt};
  if (o_.energies) texts.energies = split_commas(*o_.energies);
  return texts;
}

counting_options dataset_commands::counting() const {
  counting_options c;
  c.single_hits = o_.single_hits;
  c.background = o_.background;
  c.threads = o_.threads;
  return c;
}

bool dataset_commands::image_path_ok(std::ostream& err) const {
  std::string message;
  if (o_.image.empty() || figure_format_of(o_.image, &message)) return true;
  err << program << ": --image: " << message << "\n";
  return false;
}

int dataset_commands::run_map(std::ostream& out, std::ostream& err) const {
  if (!image_path_ok(err) || !outputs_apart(err)) return exit_bad_input;
  auto inversion = pair_inversion_of(request(), o_.pair, o_.threads, err);
  if (!inversion) return exit_bad_input;
  const auto [data, ranges] = read_files(o_.data, o_.ranges, err);
  map_options options;
  options.counting = counting();
  options.charges = charging();
  options.confidence = o_.confidence;
  options.over = o_.over == "specimen" ? map_plane::specimen : map_plane::detector;
  options.bin = o_.bin;
  options.min_counts = o_.min_counts;
  const field_map map = map_field(data, ranges, inversion->model->inverter(inversion->k), options);
  report(map.messages, map.overall.counts, err);
  // With the map on standard output, the words go to the error stream.
  std::ostream& words = o_.output == "-" ? err : out;
  words << pair_field_text(map.overall.field, map.overall.counts.symbol) << "\n"
        << map_summary(map, o_.min_counts) << "\n"
        << counting_caveat << "\n";
  if (!o_.output.empty() && !write_csv(map_csv_lines(map), o_.output, out, err)) {
    return exit_write_failed;
  }
  if (!o_.image.empty()) {
    const std::string title =
        pair_title(map.overall.counts.symbol, inversion->k, data.file_name()) + ", bins of " +
        format_number(map.bin) + (map.over == map_plane::detector ? " mm" : " nm");
    if (const auto problem = write_figure(map_figure(map, title), o_.image)) {
      err << program << ": " << *problem << "\n";
      return exit_write_failed;
    }
  }
  for (const std::string& path : {o_.output, o_.image}) {
    if (!path.empty() && path != "-") words << "Wrote " << path << "\n";
  }
  return exit_ok;
}

int dataset_commands::run_profile(std::ostream& out, std::ostream& err) const {
  if (!image_path_ok(err) || !outputs_apart(err)) return exit_bad_input;
  auto inversion = pair_inversion_of(request(), o_.pair, o_.threads, err);
  if (!inversion) return exit_bad_input;
  check_field_factor(o_.kf);
  const auto [data, ranges] = read_files(o_.data, o_.ranges, err);
  profile_options options;
  options.counting = counting();
  options.charges = charging();
  options.confidence = o_.confidence;
  options.block = o_.block;
  const field_profile profile =
      profile_field(data, ranges, inversion->model->inverter(inversion->k), options);
  report(profile.messages, profile.overall.counts, err);
  const std::string path = o_.output.empty() ? "-" : o_.output;
  std::ostream& words = path == "-" ? err : out;
  words << pair_field_text(profile.overall.field, profile.overall.counts.symbol) << "\n"
        << counting_caveat << "\n";
  if (!write_csv(profile_csv_lines(profile, o_.kf), path, out, err)) return exit_write_failed;
  if (path != "-") words << "Wrote " << path << "\n";
  if (!o_.image.empty()) {
    const std::string title =
        pair_title(profile.overall.counts.symbol, inversion->k, data.file_name()) + ", blocks of " +
        std::to_string(profile.block) + " ions";
    if (const auto problem = write_figure(profile_figure(profile, title, o_.kf), o_.image)) {
      err << program << ": " << *problem << "\n";
      return exit_write_failed;
    }
    words << "Wrote " << o_.image << "\n";
  }
  return exit_ok;
}

}  // namespace veltrane
