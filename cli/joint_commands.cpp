#include "cli/joint_commands.hpp"

#include <ostream>
#include <vector>

#include "cli/cli.hpp"
#include "cli/option_checks.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/field_profile.hpp"
#include "compute/datasets/joint_dataset.hpp"
#include "compute/datasets/joint_input.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/joint_output.hpp"
#include "compute/datasets/joint_text.hpp"
#include "compute/figures/figure_file.hpp"
#include "compute/figures/joint_figures.hpp"

namespace veltrane {

namespace {

constexpr const char* program = "veltrane-curves";

// The value of a command's option, or `otherwise` when it was not given.
template <class T>
T given_or(const CLI::App* command, const std::string& name, T otherwise) {
  const CLI::Option* option = command->get_option_no_throw(name);
  if (option == nullptr || option->count() == 0) return otherwise;
  return option->as<T>();
}

bool given(const CLI::App* command, const std::string& name) {
  const CLI::Option* option = command->get_option_no_throw(name);
  return option != nullptr && option->count() > 0;
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
    err << program << ": could not write to standard output\n";
    return false;
  }
  if (const auto problem = write_file(path, text)) {
    err << program << ": " << file_failure_message("Could not write", path, *problem) << "\n";
    return false;
  }
  return true;
}

// Whether `path` names a figure format this build can write; a message on
// `err` otherwise.
bool image_path_ok(const std::string& path, std::ostream& err) {
  std::string message;
  if (path.empty() || figure_format_of(path, &message)) return true;
  err << program << ": --image: " << message << "\n";
  return false;
}

// The request of a joint command, as typed on `command`.
joint_request request_of(const CLI::App* command, const std::string& elements, bool background,
                         bool single_hits, double min_counts) {
  joint_request r;
  if (given(command, "--elements") || !elements.empty()) r.elements = joint_elements_of(elements);
  if (given(command, "--ionisations")) {
    const joint_ionisations n =
        joint_ionisations_of(command->get_option("--ionisations")->as<std::string>());
    r.ionisations = n.by_element;
    r.ionisations_all = n.all;
  }
  r.method = given(command, "--exact") ? evaluation::exact : evaluation::accurate;
  r.counting.background = background;
  r.counting.single_hits = single_hits;
  r.counting.threads = given_or<unsigned>(command, "--threads", 0u);
  if (given(command, "--mass-tolerance")) {
    // Checked as it was parsed.
    r.charges =
        *parse_mass_tolerance(command->get_option("--mass-tolerance")->as<std::string>(), nullptr);
  }
  r.confidence = given_or<double>(command, "--confidence", r.confidence);
  r.min_counts = min_counts;
  check_joint_request(r);
  return r;
}

// Both files, with the data file's notes on `err`.
dataset_inputs read_files(const std::string& data, const std::string& ranges, std::ostream& err) {
  dataset_inputs in = read_inputs(data, ranges);
  for (const auto& note : in.data.notes()) err << program << ": note: " << note << "\n";
  return in;
}

void write_lines(std::ostream& out, const std::vector<std::string>& lines,
                 const std::string& indent = "") {
  for (const auto& line : lines) out << indent << line << "\n";
}

// The words of one joint answer: the field, the test, each element alone,
// the notes.
void write_answer(std::ostream& out, const joint_answer& answer, double confidence) {
  const joint_words words = joint_answer_words(answer, confidence, plain_answer_numbers());
  out << words.answer << "\n";
  if (!words.test.empty()) out << words.test << "\n";
  out << "Each element alone:\n";
  write_lines(out, words.elements, "  ");
  write_lines(out, words.notes);
}

// Runs a joint command: refused input is status 2 (a file that cannot be
// opened at all 1), a calculation that could not go on 1.
template <class Command>
int guarded(std::ostream& err, const Command& command) {
  try {
    return command();
  } catch (const dataset_file_error& e) {
    err << program << ": " << e.what() << "\n";
    return e.unopened() ? exit_calculation_failed : exit_bad_input;
  } catch (const input_refused& e) {
    err << program << ": " << e.what() << "\n";
    return exit_bad_input;
  } catch (const calculation_error& e) {
    err << program << ": " << e.what() << "\n";
    return exit_calculation_failed;
  }
}

const char* const elements_help =
    "the joint field of these elements, by name or symbol (e.g. Fe,Cr,Ni), or all: every "
    "element of the range file ranged and counted at two charges or more";
const char* const ionisations_help =
    "with --elements: n of the elements' models, one number for all (3) or per element "
    "(Fe:2,Cr:3); default each element's highest counted charge";

}  // namespace

joint_commands::joint_commands(CLI::App& app)
    : field_(app.get_subcommand("field")),
      map_(app.get_subcommand("map")),
      profile_(app.get_subcommand("profile")) {
  // field --data D --ranges R [--elements ...]
  CLI::Option* data = field_->add_option(
      "--data", data_, "the joint field of a dataset (.epos, .pos or .apt) instead of a ratio");
  CLI::Option* ranges = field_->add_option("--ranges", ranges_, "with --data: its range file");
  data->needs(ranges);
  ranges->needs(data);
  field_->add_option("--elements", elements_, elements_help)->needs(data);
  field_
      ->add_option("--min-counts", min_counts_,
                   "with --data: an element enters the field with at least this many ions "
                   "in its own ranges")
      ->default_val(default_element_min_counts)
      ->needs(data);
  field_
      ->add_flag("--background", background_,
                 "with --data: subtract from each range the ions of an empty window of its "
                 "width beside it")
      ->needs(data);
  add_mass_tolerance_option(*field_, mass_tolerance_)->needs(data);
  field_->add_flag("--single-hits", single_hits_, "with --data: only ions of pulses with one hit")
      ->needs(data);
  field_
      ->add_flag("--csv", csv_,
                 "with --data: the joint field and each element's as comma-separated rows")
      ->needs(data);
  for (const char* other :
       {"--ratio", "--counts", "--sensitivity", "--element", "--work-function", "--energies"}) {
    if (CLI::Option* o = field_->get_option_no_throw(other)) data->excludes(o);
  }

  // map and profile --elements: the pair's options are needed only without it.
  for (CLI::App* command : {map_, profile_}) {
    CLI::Option* elements = command->add_option("--elements", elements_, elements_help);
    for (const char* pair_option : {"--element", "--pair", "--work-function", "--energies"}) {
      if (CLI::Option* o = command->get_option_no_throw(pair_option)) elements->excludes(o);
    }
    for (const char* pair_option : {"--element", "--ionisations", "--pair"}) {
      if (CLI::Option* o = command->get_option_no_throw(pair_option)) o->required(false);
    }
    command->get_option("--ionisations")
        ->description("number of ionisations n, 1 to 4; " + std::string(ionisations_help));
    if (command == profile_) {
      profile_
          ->add_option("--min-counts", profile_min_counts_,
                       "with --elements: an element enters a block's field with at least "
                       "this many ions in its own ranges")
          ->default_val(default_element_min_counts)
          ->needs(elements);
    }
  }
}

std::optional<int> joint_commands::run(std::ostream& out, std::ostream& err) const {
  if (field_->parsed() && given(field_, "--data")) return run_field(out, err);
  for (const CLI::App* command : {map_, profile_}) {
    if (!command->parsed()) continue;
    if (given(command, "--elements")) {
      return command == map_ ? run_map(out, err) : run_profile(out, err);
    }
    // A pair's map or profile: its options as CLI11 would require them.
    for (const char* pair_option : {"--element", "--ionisations", "--pair"}) {
      if (!given(command, pair_option)) {
        err << program << ": " << pair_option
            << " is required (or --elements for the joint field of several elements)\n";
        return exit_bad_input;
      }
    }
  }
  return std::nullopt;
}

int joint_commands::run_field(std::ostream& out, std::ostream& err) const {
  return guarded(err, [&] {
    const joint_request request =
        request_of(field_, elements_, background_, single_hits_, min_counts_);
    const dataset_inputs in = read_files(data_, ranges_, err);
    const apt::dataset& data = in.data;
    joint_run run;
    reading_dataset([&] { run = joint_field_of_run(in.data, in.ranges, request); });
    // With the rows on standard output, the words go to the error stream.
    std::ostream& words = csv_ ? err : out;
    words << data.file_name() << ": " << data.ion_count() << " ions\n";
    write_lines(words, run.setup->messages());
    write_answer(words, run.answer, request.confidence);
    // A run without a joint field is input that gives none, as a ratio
    // the model does not reach.
    const int status = run.answer.field.found ? int{exit_ok} : int{exit_bad_input};
    if (csv_) {
      words << joint_field_caveat << "\n";
      return write_csv(joint_field_csv_lines(run.answer), "-", out, err) ? status
                                                                         : int{exit_write_failed};
    }
    out << "Decomposition of the range counts (ions of each species, all its isotopes):\n";
    write_lines(out, decomposition_lines(run.decomposition, plain_answer_numbers()), "  ");
    out << joint_field_caveat << "\n";
    return out ? status : int{exit_write_failed};
  });
}

int joint_commands::run_map(std::ostream& out, std::ostream& err) const {
  const std::string output = given_or<std::string>(map_, "--output", "");
  const std::string image = given_or<std::string>(map_, "--image", "");
  if (!image_path_ok(image, err)) return exit_bad_input;
  return guarded(err, [&] {
    const joint_request request =
        request_of(map_, elements_, given(map_, "--background"), given(map_, "--single-hits"),
                   given_or<double>(map_, "--min-counts", default_element_min_counts));
    const map_plane over = given_or<std::string>(map_, "--over", "detector") == "specimen"
                               ? map_plane::specimen
                               : map_plane::detector;
    const dataset_inputs in = read_files(map_->get_option("--data")->as<std::string>(),
                                         map_->get_option("--ranges")->as<std::string>(), err);
    const apt::dataset& data = in.data;
    joint_field_map map;
    reading_dataset([&] {
      map = map_joint_field(in.data, in.ranges, request, over,
                            given_or<double>(map_, "--bin", map_options{}.bin));
    });
    // With the map on standard output, the words go to the error stream.
    std::ostream& words = output == "-" ? err : out;
    write_lines(words, map.messages);
    write_answer(words, map.overall.answer, request.confidence);
    words << joint_map_summary(map, request.min_counts, request.confidence) << "\n"
          << joint_field_caveat << "\n";
    if (!output.empty() && !write_csv(joint_map_csv_lines(map), output, out, err)) {
      return int{exit_write_failed};
    }
    if (!image.empty()) {
      const figure drawn = joint_map_figure(map, joint_map_title(map, data.file_name()));
      if (const auto problem = write_figure(drawn, image)) {
        err << program << ": " << *problem << "\n";
        return int{exit_write_failed};
      }
    }
    for (const std::string& path : {output, image}) {
      if (!path.empty() && path != "-") words << "Wrote " << path << "\n";
    }
    return int{exit_ok};
  });
}

int joint_commands::run_profile(std::ostream& out, std::ostream& err) const {
  const std::string output = given_or<std::string>(profile_, "--output", "-");
  const std::string image = given_or<std::string>(profile_, "--image", "");
  if (!image_path_ok(image, err)) return exit_bad_input;
  return guarded(err, [&] {
    const joint_request request = request_of(profile_, elements_, given(profile_, "--background"),
                                             given(profile_, "--single-hits"), profile_min_counts_);
    const std::optional<double> kf =
        given(profile_, "--kf") ? std::optional<double>(profile_->get_option("--kf")->as<double>())
                                : std::nullopt;
    check_field_factor(kf);
    const dataset_inputs in = read_files(profile_->get_option("--data")->as<std::string>(),
                                         profile_->get_option("--ranges")->as<std::string>(), err);
    const apt::dataset& data = in.data;
    joint_field_profile profile;
    reading_dataset([&] {
      profile = profile_joint_field(
          in.data, in.ranges, request,
          given_or<std::uint64_t>(profile_, "--block", profile_options{}.block), kf);
    });
    std::ostream& words = output == "-" ? err : out;
    write_lines(words, profile.messages);
    write_answer(words, profile.overall.answer, request.confidence);
    words << joint_profile_summary(profile, request.min_counts, request.confidence) << "\n"
          << joint_field_caveat << "\n";
    if (!write_csv(joint_profile_csv_lines(profile), output, out, err)) {
      return int{exit_write_failed};
    }
    if (output != "-") words << "Wrote " << output << "\n";
    if (!image.empty()) {
      const figure drawn = joint_profile_figure(
          profile, joint_profile_title(profile, data.file_name()), request.confidence);
      if (const auto problem = write_figure(drawn, image)) {
        err << program << ": " << *problem << "\n";
        return int{exit_write_failed};
      }
      words << "Wrote " << image << "\n";
    }
    return int{exit_ok};
  });
}

}  // namespace veltrane
