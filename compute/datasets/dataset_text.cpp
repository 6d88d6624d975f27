#include "compute/datasets/dataset_text.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/measured_field.hpp"

namespace veltrane {

namespace {

// "(95 %: 36.1 to 36.32 V/nm)"
std::string interval_text(const pair_field& f, const answer_numbers& numbers) {
  return "(" + numbers.number(f.confidence * 100.0) +
         " %: " + interval_end_text(f.E_low, true, numbers) + " to " +
         interval_end_text(f.E_high, false, numbers) + " V/nm)";
}

}  // namespace

std::string counted_ranges_text(const dataset_counts& counts, const charge_count& q) {
  std::string text;
  for (const auto& c : counts.ranges) {
    if (c.symbol != q.symbol || c.charge != q.charge) continue;
    if (!text.empty()) text += ", ";
    text += shortest_number(c.low) + "-" + shortest_number(c.high);
  }
  return text;
}

namespace {

// "; decomposed 309.8 ± 17.6", "; decomposed: cannot be told apart from
// Cr2+", or nothing where the counts were not decomposed.
std::string decomposed_text(double amount, double sigma, const std::string& inseparable_from) {
  if (!inseparable_from.empty())
    return "; decomposed: cannot be told apart from " + inseparable_from;
  if (std::isnan(amount)) return {};
  // No error where none of the species' ranges holds an ion.
  if (std::isnan(sigma)) return "; decomposed " + format_number(amount);
  return "; decomposed " + format_number(amount) + " \u00b1 " + format_number(sigma);
}

// "61.24-61.4 Da: by the mass tolerance, 0.0025 Da from the isotope's m/q
// (tolerance 0.05 Da)"
std::string tolerance_line(const counted_range& c) {
  std::string isotopes;
  for (const auto& i : c.isotopes) {
    isotopes += (isotopes.empty() ? "" : ", ") + i.label() + apt::charge_suffix(c.charge);
  }
  return "  " + shortest_number(c.low) + "-" + shortest_number(c.high) +
         " Da: assigned by the mass tolerance: " + isotopes + " lies " +
         format_number(std::abs(c.miss_da)) + " Da " + (c.miss_da < 0.0 ? "below" : "above") +
         " it (tolerance " + format_number(c.tolerance_da) + " Da)";
}

}  // namespace

std::vector<std::string> counts_text_lines(const dataset_counts& counts) {
  std::vector<std::string> lines;
  for (const auto& q : counts.charges) {
    const std::string state = q.symbol + " " + charge_label(q.charge) + ": ";
    if (counted_ranges_text(counts, q).empty()) {
      // A species of the decomposition alone (27Al+ under a 54Fe2+ range).
      lines.push_back(state + "no range of its own" +
                      decomposed_text(q.decomposed, q.decomposed_sigma, q.inseparable_from));
      continue;
    }
    std::string line = state + std::to_string(q.counts) + " ions in " +
                       counted_ranges_text(counts, q) + " Da; isotopes";
    for (const auto& i : q.isotopes) line += " " + i.label();
    line += " (" + format_number(q.abundance_percent) + " %)";
    if (counts.background) line += "; background " + format_number(q.background) + " subtracted";
    line += "; corrected " + format_number(q.corrected);
    line += decomposed_text(q.decomposed, q.decomposed_sigma, q.inseparable_from);
    lines.push_back(std::move(line));
    for (const auto& c : counts.ranges) {
      if (c.symbol == q.symbol && c.charge == q.charge && c.miss_da != 0.0) {
        lines.push_back(tolerance_line(c));
      }
    }
  }
  for (const auto& n : counts.named) {
    std::string ranges;
    for (const auto& [low, high] : n.bounds) {
      ranges += (ranges.empty() ? "" : ", ") + shortest_number(low) + "-" + shortest_number(high);
    }
    std::string line = n.name + ": " + std::to_string(n.counts) + " ions in " + ranges +
                       " Da, counted under its own name (no element's count)";
    if (counts.background) line += "; background " + format_number(n.background) + " subtracted";
    line += decomposed_text(n.decomposed, n.decomposed_sigma, n.inseparable_from);
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string pair_field_text(const pair_field& f, const std::string& symbol,
                            const answer_numbers& numbers) {
  std::string text = symbol + " " + pair_label(f.k) + " = " + numbers.number(f.ratio) +
                     " (counts " + numbers.count(f.count_upper) + " and " +
                     numbers.count(f.count_lower);
  if (f.net_lower != f.count_lower || f.net_upper != f.count_upper) {
    text +=
        ", after background " + numbers.count(f.net_upper) + " and " + numbers.count(f.net_lower);
  }
  text += ", isotope-corrected): ";
  if (!std::isfinite(f.E)) {
    text += "no field";
    if (f.ratio == 0.0) text += " (no ion of " + charge_label(f.k + 1) + ")";
    if (std::isinf(f.ratio)) text += " (no ion of " + charge_label(f.k) + ")";
  } else {
    text += "E = " + numbers.field(f.E) + " V/nm";
  }
  text += " " + interval_text(f, numbers);
  if (const std::string caution = coverage_caution(f, symbol, numbers); !caution.empty()) {
    text += "; " + caution;
  }
  return text;
}

std::string coverage_caution(const pair_field& f, const std::string& symbol,
                             const answer_numbers& numbers) {
  // A state whose ranges hold few of its isotopes carries a large factor.
  std::string text;
  for (const auto& [charge, covered] :
       {std::pair{f.k, f.covered_lower_percent}, std::pair{f.k + 1, f.covered_upper_percent}}) {
    if (covered < least_isotope_coverage_percent) {
      text += std::string(text.empty() ? "" : "; ") + "caution: the ranges of " + symbol +
              apt::charge_suffix(charge) + " cover only " + numbers.number(covered) +
              " % of its isotopes (a factor of " +
              (covered > 0.0 ? numbers.number(100.0 / covered) : std::string("infinity")) + ")";
    }
  }
  return text;
}

std::string map_bin_text(const field_map& map, const map_bin& bin, const answer_numbers& numbers) {
  const std::string unit = map.over == map_plane::detector ? " mm" : " nm";
  const pair_field& f = bin.field;
  std::string text = "x = " + numbers.number(bin.x) + unit + ", y = " + numbers.number(bin.y) +
                     unit + ": N_lower = " + numbers.count(f.count_lower) +
                     ", N_upper = " + numbers.count(f.count_upper);
  if (bin.masked) return text + ": too few ions, masked";
  if (!std::isfinite(f.E)) return text + ": no field of the model gives this ratio";
  return text + ", E = " + numbers.field(f.E) + " V/nm " + interval_text(f, numbers);
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
