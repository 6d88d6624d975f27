#include "compute/datasets/joint_dataset.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <set>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/text_export.hpp"

namespace veltrane {

namespace {

// The model's data of the element a text names (find_named_element);
// nullptr for one that is not among the model's elements, or no element.
const element_data* element_of(const std::string& name_or_symbol) {
  const auto e = find_named_element(name_or_symbol);
  return e ? e->data : nullptr;
}

std::string joined(const std::vector<std::string>& parts, const char* separator = ", ") {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

// Per element of the design: the charges its own ranges are given, and
// those with ions.
struct ranged_element {
  std::set<int> ranged, counted;
  int highest_counted = 0;
};

std::map<std::string, ranged_element> ranged_elements(const range_design& d,
                                                      const range_tally& run) {
  std::map<std::string, ranged_element> out;
  for (std::size_t r = 0; r < d.range_symbol.size(); ++r) {
    if (d.range_symbol[r].empty() || d.range_charge[r] == 0) continue;
    ranged_element& e = out[d.range_symbol[r]];
    e.ranged.insert(d.range_charge[r]);
    if (run.counts[r] > 0) {
      e.counted.insert(d.range_charge[r]);
      e.highest_counted = std::max(e.highest_counted, d.range_charge[r]);
    }
  }
  return out;
}

std::string charges_text(const std::set<int>& charges) {
  std::vector<std::string> parts;
  parts.reserve(charges.size());
  for (int q : charges) parts.push_back(charge_label(q));
  return joined(parts);
}

}  // namespace

void check_joint_request(const joint_request& request) {
  for (const auto& name : request.elements) {
    if (element_of(name) == nullptr) throw input_refused(unknown_element_message(name));
  }
  for (const auto& [name, n] : request.ionisations) {
    if (element_of(name) == nullptr) throw input_refused(unknown_element_message(name));
  }
  check_confidence(request.confidence);
  if (!(request.min_counts >= 0.0 && std::isfinite(request.min_counts))) {
    throw input_refused("the minimum counts must be a number of at least 0, not " +
                        format_number(request.min_counts));
  }
}

fit_counts range_tally::for_fit(bool background) const {
  fit_counts f;
  f.counts.assign(counts.begin(), counts.end());
  if (background) f.background.assign(window.begin(), window.end());
  return f;
}

range_tally count_every_range(const apt::dataset& data, const apt::range_file& file,
                              const counting_options& options) {
  std::vector<int> slots(file.ranges.size());
  std::iota(slots.begin(), slots.end(), 0);
  const detail::mass_lookup lookup(file, slots, options.background);
  const bool filter = options.single_hits && data.has(apt::columns::multiplicity);
  std::vector<range_tally> tallies(detail::worker_count(data, options));
  for (auto& t : tallies) {
    t.counts.assign(file.ranges.size(), 0);
    t.window.assign(file.ranges.size(), 0);
  }
  detail::for_each_chunk_parallel(
      data, filter ? apt::columns::multiplicity : apt::columns::none, options,
      [&](unsigned worker, const apt::ion_chunk& chunk, std::size_t) {
        range_tally& t = tallies[worker];
        for (std::size_t i = 0; i < chunk.size(); ++i) {
          if (!detail::passes(chunk, i, filter)) continue;
          ++t.ions;
          const double m = static_cast<double>(chunk.mass[i]);
          bool in_range = false;
          const int s = lookup.slot(m, in_range);
          if (s >= 0) {
            ++t.counts[static_cast<std::size_t>(s)];
          } else if (!in_range && lookup.window_near(m)) {
            lookup.windows_holding(m, [&](int w) { ++t.window[static_cast<std::size_t>(w)]; });
          }
        }
      });
  range_tally total = tallies.front();
  for (std::size_t w = 1; w < tallies.size(); ++w) {
    total.ions += tallies[w].ions;
    for (std::size_t r = 0; r < total.counts.size(); ++r) {
      total.counts[r] += tallies[w].counts[r];
      total.window[r] += tallies[w].window[r];
    }
  }
  return total;
}

joint_setup::joint_setup(const apt::range_file& file, const joint_request& request,
                         const range_tally& run)
    : background_(request.counting.background) {
  // The elements named, as the isotope table writes them.
  std::vector<std::string> named;
  for (const auto& name : request.elements) {
    const element_data* e = element_of(name);
    if (e == nullptr) throw input_refused(unknown_element_message(name));
    named.push_back(e->symbol);
  }
  const auto assignments = apt::assign_charges(file, request.charges);
  design_ = design_ranges(file, assignments, request.charges, named);
  const auto ranged = ranged_elements(design_, run);
  std::vector<std::string> in_file;
  in_file.reserve(ranged.size());
  for (const auto& [symbol, r] : ranged) in_file.push_back(symbol);

  std::vector<std::string> chosen;
  if (named.empty()) {
    for (const auto& [symbol, r] : ranged) {
      if (element_of(symbol) != nullptr && r.counted.size() >= 2) chosen.push_back(symbol);
    }
    if (chosen.empty()) {
      throw input_refused(file.path +
                          ": no element of the range file has ions at two charges or "
                          "more, which a field needs (it has " +
                          (in_file.empty() ? std::string("no element's ranges") : joined(in_file)) +
                          ")");
    }
  } else {
    for (const auto& symbol : named) {
      const auto it = ranged.find(symbol);
      if (it == ranged.end()) {
        throw input_refused(
            file.path + ": the range file has no " + symbol + " ranges; it has " +
            (in_file.empty() ? std::string("none of any element") : joined(in_file)));
      }
      if (it->second.ranged.size() < 2) {
        throw input_refused(file.path + ": " + symbol + " is ranged at " +
                            charges_text(it->second.ranged) +
                            " only; a field needs ranges at two charges");
      }
      if (std::find(chosen.begin(), chosen.end(), symbol) == chosen.end()) chosen.push_back(symbol);
    }
  }
  // In order of Z, as every table of the program.
  // (Every chosen symbol is an element's; 0 only keeps the optimiser's null
  // check quiet.)
  const auto Z = [](const std::string& symbol) {
    const element_data* e = element_of(symbol);
    return e == nullptr ? 0 : e->atomic_number;
  };
  std::sort(chosen.begin(), chosen.end(),
            [&Z](const std::string& a, const std::string& b) { return Z(a) < Z(b); });

  // The n given per element, by symbol; each for an element of the field.
  std::map<std::string, int> given_n;
  for (const auto& [name, n] : request.ionisations) {
    const element_data* e = element_of(name);
    if (e == nullptr) throw input_refused(unknown_element_message(name));
    if (!given_n.emplace(e->symbol, n).second) {
      throw input_refused("n of " + e->symbol + " is given twice");
    }
    if (std::find(chosen.begin(), chosen.end(), e->symbol) == chosen.end()) {
      throw input_refused("n is given for " + e->symbol +
                          ", which is not among the elements of the field (" + joined(chosen) +
                          ")");
    }
  }

  std::vector<joint_element> elements;
  std::vector<std::string> described;
  for (const auto& symbol : chosen) {
    const element_data& data = *element_of(symbol);
    const ranged_element& r = ranged.at(symbol);
    int n = request.ionisations_all.value_or(std::clamp(r.highest_counted, 1, largest_n(data)));
    if (const auto it = given_n.find(symbol); it != given_n.end()) n = it->second;
    const checked_request checked =
        check_request({data.name, std::to_string(n), std::nullopt, std::nullopt});
    if (!checked.request) throw input_refused(symbol + ": " + checked.message);
    states_.push_back(std::make_unique<charge_states>(
        *checked.request, model_for(request.method).function, request.counting.threads));
    elements.push_back({symbol, states_.back().get()});
    described.push_back(symbol + " (n = " + std::to_string(n) + ", counted at " +
                        charges_text(r.counted) + ")");
    symbols_.push_back(symbol);
  }
  model_ = std::make_unique<joint_field_model>(design_, std::move(elements));

  messages_.push_back("One field from " + joined(described) +
                      ", with the model's built-in inputs of each.");
  messages_.emplace_back(
      background_ ? "Each range's background window is subtracted as a known count."
                  : "The ranges are taken as background-free (no background subtracted).");
  for (const auto& note : design_.notes) messages_.push_back(note);
  // Species the ranges cannot tell apart: only their sum is known.
  for (const auto& group : design_.separable.groups) {
    std::vector<std::string> labels;
    labels.reserve(group.size());
    for (std::size_t s : group) labels.push_back(design_.species[s].label());
    messages_.push_back("The ranges cannot tell " + joined(labels, " and ") +
                        " apart (all their isotopes share ranges in the same proportions): only "
                        "their sum is known, and none of them is given an amount of its own.");
  }
}

joint_options fit_options(const joint_request& request, double start, std::string counts_of) {
  joint_options options;
  options.confidence = request.confidence;
  options.min_counts = request.min_counts;
  options.start = start;
  options.counts_of = std::move(counts_of);
  return options;
}

joint_run joint_field_of_counts(const apt::range_file& file, const joint_request& request,
                                range_tally counts) {
  check_joint_request(request);
  joint_run run;
  run.counts = std::move(counts);
  auto setup = std::make_shared<joint_setup>(file, request, run.counts);
  const fit_counts fit = run.counts.for_fit(setup->background());
  run.answer = setup->model().fit(
      fit, fit_options(request, std::numeric_limits<double>::quiet_NaN(), "run"));
  run.decomposition = decompose(setup->design(), fit);
  run.setup = std::move(setup);
  return run;
}

joint_run joint_field_of_run(const apt::dataset& data, const apt::range_file& file,
                             const joint_request& request) {
  check_joint_request(request);
  return joint_field_of_counts(file, request, count_every_range(data, file, request.counting));
}

}  // namespace veltrane
