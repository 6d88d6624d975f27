#include "compute/datasets/joint_output.hpp"

#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : separator) + p;
  return out;
}

std::string numbers_line(const std::vector<double>& values) {
  std::string line;
  for (double v : values) line += "," + shortest_number(v);
  return line;
}

// How many cells have a field, and how many of those reject one field.
struct cell_tally {
  std::size_t with_field = 0, without = 0, disagreeing = 0, at_edge = 0;
};

template <class Cells>
cell_tally tally_cells(const Cells& cells, double confidence) {
  cell_tally t;
  for (const auto& c : cells) {
    if (!c.answer.field.found) {
      ++t.without;
      continue;
    }
    ++t.with_field;
    if (c.answer.test.dof >= 1 && c.answer.test.p_value < 1.0 - confidence) ++t.disagreeing;
    if (c.answer.at_edge) ++t.at_edge;
  }
  return t;
}

std::string tally_words(const cell_tally& t, double min_counts, double confidence) {
  std::string words = std::to_string(t.with_field) + " with a joint field, " +
                      std::to_string(t.without) + " without (no element with " +
                      format_number(min_counts) + " ions in its own ranges); the elements " +
                      "disagree (p < " + format_number(1.0 - confidence) + ") in " +
                      std::to_string(t.disagreeing) + " of them";
  if (t.at_edge > 0) {
    words += "; " + std::to_string(t.at_edge) + (t.at_edge == 1 ? " lies" : " lie") +
             " at an over-barrier field, where the field varies within it";
  }
  return words + ".";
}

}  // namespace

std::vector<std::string> joint_field_csv_lines(const joint_answer& answer) {
  std::vector<std::string> lines{
      "element,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,G2,dof,n,charges,counts,ions,"
      "used"};
  const likelihood_field& f = answer.field;
  double used_ions = 0.0;
  for (const auto& part : answer.elements) {
    if (part.used) used_ions += part.total;
  }
  std::string all = "all";
  if (f.found) {
    all += numbers_line({f.E, f.low, f.high});
  } else {
    all += numbers_line({nan, nan, nan});
  }
  const bool tested = f.found && answer.test.dof >= 1;
  all += numbers_line({tested ? answer.test.p_value : nan, tested ? answer.test.G2 : nan,
                       tested ? static_cast<double>(answer.test.dof) : nan, nan});
  all += ",,," + shortest_number(used_ions) + "," + (f.found ? "yes" : "no");
  lines.push_back(all);
  for (const auto& part : answer.elements) {
    const bool own = part.used && part.own.found;
    std::string line = part.symbol + numbers_line({own ? part.own.E : nan, own ? part.own.low : nan,
                                                   own ? part.own.high : nan, nan, nan, nan,
                                                   static_cast<double>(part.n)});
    std::vector<std::string> charges, counts;
    for (std::size_t i = 0; i < part.charges.size(); ++i) {
      charges.push_back(charge_label(part.charges[i]));
      counts.push_back(shortest_number(part.counts[i]));
    }
    line += "," + joined(charges, ";") + "," + joined(counts, ";") + "," +
            shortest_number(part.total) + "," + (part.used ? "yes" : "no");
    lines.push_back(line);
  }
  return lines;
}

std::string joint_map_summary(const joint_field_map& map, double min_counts, double confidence) {
  const std::string unit = map.over == map_plane::detector ? " mm" : " nm";
  return "Map: " + std::to_string(map.bins.size()) + " bins of " + format_number(map.bin) + unit +
         " with ions in the ranges, " +
         tally_words(tally_cells(map.bins, confidence), min_counts, confidence);
}

std::string joint_profile_summary(const joint_field_profile& profile, double min_counts,
                                  double confidence) {
  return "Profile: " + std::to_string(profile.blocks.size()) + " blocks of " +
         std::to_string(profile.block) + " ions, " +
         tally_words(tally_cells(profile.blocks, confidence), min_counts, confidence);
}

std::optional<double> volts_of(std::optional<double> stored, apt::voltage_unit unit) {
  if (!stored) return std::nullopt;
  if (unit == apt::voltage_unit::kilovolts) return *stored * 1000.0;
  if (unit == apt::voltage_unit::volts) return *stored;
  return std::nullopt;
}

}  // namespace veltrane
