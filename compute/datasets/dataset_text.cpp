#include "compute/datasets/dataset_text.hpp"

#include <cmath>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/text_export.hpp"

namespace veltrane {

namespace {

std::string ranges_text(const dataset_counts& counts, const charge_count& q) {
  std::string text;
  for (const auto& c : counts.ranges) {
    if (c.symbol != q.symbol || c.charge != q.charge) continue;
    if (!text.empty()) text += ", ";
    text += apt::mass_text(c.low) + "-" + apt::mass_text(c.high);
  }
  return text + " Da";
}

std::string end_text(double E, bool low) {
  if (std::isfinite(E)) return format_number(E);
  if (std::isinf(E))
    return E < 0 ? "below every field of the model" : "above every field of the model";
  return low ? "no lower end" : "no upper end";
}

}  // namespace

std::vector<std::string> counts_text_lines(const dataset_counts& counts) {
  std::vector<std::string> lines;
  for (const auto& q : counts.charges) {
    std::string line = q.symbol + " " + charge_label(q.charge) + ": " + std::to_string(q.counts) +
                       " ions in " + ranges_text(counts, q) + "; isotopes";
    for (const auto& i : q.isotopes) line += " " + i.label();
    line += " (" + format_number(q.abundance_percent) + " %)";
    if (counts.background) line += "; background " + format_number(q.background) + " subtracted";
    line += "; corrected " + format_number(q.corrected);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string pair_field_text(const pair_field& f, const std::string& symbol) {
  std::string text = symbol + " " + charge_label(f.k + 1) + "/" + charge_label(f.k) + " = " +
                     format_number(f.ratio) + " (counts " + format_number(f.count_upper) + " and " +
                     format_number(f.count_lower);
  if (f.net_lower != f.count_lower || f.net_upper != f.count_upper) {
    text +=
        ", after background " + format_number(f.net_upper) + " and " + format_number(f.net_lower);
  }
  text += ", isotope-corrected): ";
  if (!std::isfinite(f.E)) {
    text += "no field";
    if (f.ratio == 0.0) text += " (no ion of " + charge_label(f.k + 1) + ")";
    if (std::isinf(f.ratio)) text += " (no ion of " + charge_label(f.k) + ")";
  } else {
    text += "E = " + format_number(f.E) + " V/nm";
  }
  return text + " (" + format_number(f.confidence * 100.0) + " %: " + end_text(f.E_low, true) +
         " to " + end_text(f.E_high, false) + " V/nm)";
}

std::string map_summary(const field_map& map, std::uint64_t min_counts) {
  std::size_t masked = 0, with_field = 0;
  for (const auto& b : map.bins) {
    if (b.masked) {
      ++masked;
    } else if (std::isfinite(b.field.E)) {
      ++with_field;
    }
  }
  const std::string unit = map.over == map_plane::detector ? " mm" : " nm";
  return "Map: " + std::to_string(map.bins.size()) + " bins of " + format_number(map.bin) + unit +
         " with ions of the pair, " + std::to_string(with_field) + " with a field, " +
         std::to_string(masked) + " masked (fewer than " + std::to_string(min_counts) +
         " ions of the pair)";
}

}  // namespace veltrane
