#include "compute/datasets/dataset_words.hpp"

#include <cmath>
#include <filesystem>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/datasets/joint_text.hpp"

namespace veltrane {

namespace {

std::string joined(const std::vector<std::string>& parts, const char* separator = ", ") {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

std::string file_name(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

std::string unit_of(map_plane over) { return over == map_plane::detector ? "mm" : "nm"; }

// "(95 %: 36.1 to 36.32 V/nm)"
std::string interval_text(const pair_field& f, const answer_numbers& numbers) {
  return "(" + numbers.number(f.confidence * 100.0) +
         " %: " + interval_end_text(f.E_low, true, numbers) + " to " +
         interval_end_text(f.E_high, false, numbers) + " V/nm)";
}

// What a view shows, in a few words: "Field map of W 3+/2+".
std::string what_text(const dataset_view_inputs& in, dataset_view view,
                      const std::string& element) {
  const std::string subject = in.k > 0
                                  ? in.symbol + " " + pair_label(in.k)
                                  : "the joint field of " + joined(in.elements) + " (all charges)";
  switch (view) {
    case dataset_view::mass_spectrum:
      return "Mass spectrum";
    case dataset_view::field_map:
      return "Field map of " + subject;
    case dataset_view::p_value_map:
      return "Agreement of " + joined(in.elements) + " on one field (p-value of each bin)";
    case dataset_view::element_field_map:
      return "Field map of " + element + " alone (its own field, beside the joint one of " +
             joined(in.elements) + ")";
    case dataset_view::field_profile:
      return std::string("Field along the run, ") + (in.k > 0 ? "of " : "") + subject;
  }
  return {};
}

// "Bins of 2 mm over the detector, at least 100 ions of the pair per bin;
// 95 % intervals"
std::string binning_text(const dataset_view_inputs& in, dataset_view view) {
  if (view == dataset_view::mass_spectrum)
    return "Ions per " + format_number(in.spectrum_bin) + " Da";
  std::string text;
  if (view == dataset_view::field_profile) {
    text = "Blocks of " + std::to_string(in.block) + " ions in file order";
    if (in.k == 0) {
      text += ", an element entering a block's fit with at least " + format_number(in.min_counts) +
              " ions of its own";
    }
  } else {
    text = "Bins of " + format_number(in.bin) + " " + unit_of(in.over) + " over the " +
           (in.over == map_plane::detector ? "detector" : "specimen") + ", ";
    text += in.k > 0 ? "at least " + format_number(in.min_counts) + " ions of the pair per bin"
                     : "an element entering a bin's fit with at least " +
                           format_number(in.min_counts) + " ions of its own";
  }
  if (view != dataset_view::p_value_map) {
    text += "; " + format_number(in.confidence * 100.0) + " % intervals";
  }
  return text;
}

// "All hits; no background subtracted; mass tolerance 0.05 Da or 0.3 % of m/q"
std::string counting_text(const dataset_view_inputs& in) {
  return std::string(in.single_hits ? "Single hits only" : "All hits") + "; " +
         (in.background ? "background subtracted" : "no background subtracted") +
         "; mass tolerance " + format_number(in.charges.tolerance_da) + " Da or " +
         format_number(in.charges.tolerance_percent) + " % of m/q";
}

std::string models_text(const dataset_view_inputs& in) {
  if (in.models.size() == 1) {
    return "Model: " + model_inputs_text(in.models.front().request) +
           (in.models.front().typed ? " (as typed)" : " (built-in values)");
  }
  std::vector<std::string> parts;
  for (const auto& m : in.models) {
    parts.push_back(element_symbol(m.request.element) + " (n = " + std::to_string(m.request.n) +
                    (m.typed ? ", as typed" : "") + ")");
  }
  return "Models: built-in values of " + joined(parts);
}

}  // namespace

std::string model_inputs_text(const calc_request& r) {
  std::string text = r.element + ", n = " + std::to_string(r.n) + ", work function " +
                     format_number(r.work_function_ev) + " eV, energies";
  for (std::size_t i = 0; i < r.energies_ev.size(); ++i) {
    text += (i ? ", " : " ") + format_number(r.energies_ev[i]);
  }
  return text + " eV";
}

std::string pair_headline(const pair_field& f, const std::string& symbol,
                          const answer_numbers& numbers) {
  const double raw = f.net_lower > 0.0   ? f.net_upper / f.net_lower
                     : f.net_upper > 0.0 ? std::numeric_limits<double>::infinity()
                                         : std::numeric_limits<double>::quiet_NaN();
  std::string text = symbol + " " + pair_label(f.k) + ": raw " + numbers.number(raw) +
                     "; corrected for isotopes " + numbers.number(f.ratio) + " (counts " +
                     numbers.count(f.count_upper) + " and " + numbers.count(f.count_lower);
  if (f.net_lower != f.count_lower || f.net_upper != f.count_upper) {
    text +=
        ", after background " + numbers.count(f.net_upper) + " and " + numbers.count(f.net_lower);
  }
  text += "): ";
  if (!std::isfinite(f.E)) {
    text += "no field";
    if (f.ratio == 0.0) text += " (no ion of " + charge_label(f.k + 1) + ")";
    if (std::isinf(f.ratio)) text += " (no ion of " + charge_label(f.k) + ")";
  } else {
    text += "E = " + numbers.field(f.E) + " V/nm";
  }
  return text + " " + interval_text(f, numbers);
}

namespace {

// "; E = ... from Cr, Fe, p = 0.42; own fields: Cr 17.61, Fe 17.48 V/nm;
// left out: Ni", or "; no element has enough ions here"
std::string joint_cell_text(const joint_answer& a, double confidence,
                            const answer_numbers& numbers) {
  if (!a.field.found) return "; no element has enough ions here";
  std::string text = "; " + joint_answer_words(a, confidence, numbers).answer;
  if (a.test.dof >= 1) text += ", p = " + numbers.number(a.test.p_value);
  std::vector<std::string> own, left_out;
  for (const auto& part : a.elements) {
    if (!part.used) {
      left_out.push_back(part.symbol);
    } else if (part.own.found && std::isfinite(part.own.E)) {
      own.push_back(part.symbol + " " + numbers.field(part.own.E));
    } else {
      own.push_back(part.symbol + " none");
    }
  }
  if (!own.empty()) text += "; own fields: " + joined(own) + " V/nm";
  if (!left_out.empty()) text += "; left out: " + joined(left_out);
  return text;
}

std::string ions_text(std::uint64_t first, std::uint64_t last) {
  return "ions " + std::to_string(first) + " to " + std::to_string(last);
}

}  // namespace

std::string joint_bin_text(const joint_field_map& map, const joint_map_bin& bin, double confidence,
                           const answer_numbers& numbers) {
  const std::string unit = " " + unit_of(map.over);
  return "x = " + numbers.number(bin.x) + unit + ", y = " + numbers.number(bin.y) + unit + ": " +
         numbers.count(static_cast<double>(bin.ions)) + " ions" +
         joint_cell_text(bin.answer, confidence, numbers);
}

std::string joint_block_text(const joint_field_profile& profile, std::size_t block,
                             double confidence, const answer_numbers& numbers) {
  const joint_profile_block& b = profile.blocks.at(block);
  return ions_text(b.first_ion, b.last_ion) + ": " + numbers.count(static_cast<double>(b.ions)) +
         " ions" + joint_cell_text(b.answer, confidence, numbers);
}

std::string profile_block_text(const field_profile& profile, std::size_t block,
                               const answer_numbers& numbers) {
  const profile_block& b = profile.blocks.at(block);
  const pair_field& f = b.field;
  std::string text = ions_text(b.first_ion, b.last_ion) +
                     ": N_lower = " + numbers.count(f.count_lower) +
                     ", N_upper = " + numbers.count(f.count_upper);
  if (!std::isfinite(f.E)) return text + ": no field of the model gives this ratio";
  return text + ", E = " + numbers.field(f.E) + " V/nm " + interval_text(f, numbers);
}

std::string spectrum_bin_text(const std::vector<std::uint64_t>& spectrum, double bin, double mass,
                              const apt::range_file* file, const answer_numbers& numbers) {
  std::string text = "m/n = " + numbers.number(mass) + " Da: ";
  const double index = std::floor(mass / bin);
  if (!(index >= 0.0 && index < static_cast<double>(spectrum.size()))) {
    text += "no ions";
  } else {
    const auto b = static_cast<std::size_t>(index);
    text += numbers.count(static_cast<double>(spectrum[b])) + " ions in " +
            numbers.number(static_cast<double>(b) * bin) + " to " +
            numbers.number(static_cast<double>(b + 1) * bin) + " Da";
  }
  if (file != nullptr) {
    if (const auto r = file->find(mass)) {
      const auto& range = file->ranges[*r];
      text += "; range " + apt::mass_text(range.low) + "\u2013" + apt::mass_text(range.high) +
              " Da (" + range.name + ")";
    }
  }
  return text;
}

std::vector<species_row> species_rows(const joint_run& run, const apt::range_file& file) {
  const range_design& d = run.setup->design();
  std::vector<species_row> rows;
  for (std::size_t s = 0; s < d.species.size(); ++s) {
    const range_species& sp = d.species[s];
    species_row row;
    row.label = sp.label();
    row.symbol = sp.symbol;
    row.charge = sp.element ? sp.charge : 0;
    if (s < run.decomposition.size()) row.amount = run.decomposition[s];
    std::vector<std::string> ranges;
    for (std::size_t r = 0; r < d.shares.ranges(); ++r) {
      if (!(d.shares(r, s) > 0.0)) continue;
      const bool own =
          sp.element ? d.range_symbol[r] == sp.symbol && d.range_charge[r] == sp.charge : true;
      if (own && r < run.counts.counts.size()) {
        row.counts += static_cast<double>(run.counts.counts[r]);
      }
      std::vector<std::string> with;
      for (std::size_t o = 0; o < d.species.size(); ++o) {
        if (o != s && d.shares(r, o) > 0.0) with.push_back(d.species[o].label());
      }
      const auto& range = file.ranges[r];
      std::string text = apt::mass_text(range.low) + "\u2013" + apt::mass_text(range.high) + " Da";
      if (!with.empty()) text += " (with " + joined(with) + ")";
      ranges.push_back(std::move(text));
    }
    row.ranges = joined(ranges, "; ");
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::string> dataset_title_lines(const dataset_view_inputs& in, dataset_view view,
                                             const std::string& element) {
  std::vector<std::string> lines;
  lines.push_back(what_text(in, view, element) + ": " + file_name(in.data_path) + ", ranges " +
                  file_name(in.range_path));
  lines.push_back(binning_text(in, view));
  if (view != dataset_view::mass_spectrum) {
    lines.push_back(counting_text(in));
    if (!in.models.empty()) lines.push_back(models_text(in));
  }
  return lines;
}

std::vector<std::string> dataset_comment_lines(const dataset_view_inputs& in, dataset_view view,
                                               const std::string& element) {
  std::vector<std::string> lines;
  lines.push_back("# " + what_text(in, view, element) +
                  ", after Kingham's post-field-ionisation theory");
  lines.push_back("# data file: " + in.data_path);
  lines.push_back("# range file: " + in.range_path);
  lines.push_back("# " + binning_text(in, view));
  lines.push_back("# " + counting_text(in));
  for (const auto& m : in.models) {
    lines.push_back("# model: " + model_inputs_text(m.request) +
                    (m.typed ? " (as typed)" : " (built-in values)"));
  }
  return lines;
}

}  // namespace veltrane
