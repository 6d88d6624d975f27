#include "compute/datasets/dataset_csv.hpp"

#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/joint_output.hpp"

namespace veltrane {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Derived numbers of the counts' CSV: sums of tabulated abundances (which
// have at most six decimals), estimated counts, and misses of ranges.
constexpr int abundance_decimals = 6;
constexpr int count_decimals = 3;
constexpr int miss_decimals = 6;

std::string line_of(const std::vector<double>& values) {
  std::string line;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ',';
    line += shortest_number(values[i]);
  }
  return line;
}

}  // namespace

std::vector<std::string> counts_csv_lines(const dataset_counts& counts) {
  std::vector<std::string> lines;
  lines.emplace_back(
      "element,charge,ranges,counts,isotope_abundance_percent,corrected_counts,decomposed_counts,"
      "decomposed_sigma,range_miss_da");
  const auto decomposed = [](double amount, double sigma) {
    return fixed_number(amount, count_decimals) + "," + fixed_number(sigma, count_decimals);
  };
  for (const auto& q : counts.charges) {
    std::string ranges, misses;
    for (const auto& c : counts.ranges) {
      if (c.symbol != q.symbol || c.charge != q.charge) continue;
      if (!ranges.empty()) {
        ranges += ';';
        misses += ';';
      }
      ranges += shortest_number(c.low) + "-" + shortest_number(c.high);
      misses += fixed_number(c.miss_da, miss_decimals);
    }
    const bool own_ranges = !ranges.empty();
    std::string line = q.symbol + "," + charge_label(q.charge) + "," + ranges + "," +
                       std::to_string(q.counts) + ",";
    line += own_ranges ? fixed_number(q.abundance_percent, abundance_decimals) : "nan";
    line += ",";
    line += own_ranges ? fixed_number(q.corrected, count_decimals) : "nan";
    line += "," + decomposed(q.decomposed, q.decomposed_sigma) + "," + misses;
    lines.push_back(std::move(line));
  }
  for (const auto& n : counts.named) {
    std::string ranges;
    for (const auto& [low, high] : n.bounds) {
      ranges += (ranges.empty() ? "" : ";") + shortest_number(low) + "-" + shortest_number(high);
    }
    lines.push_back(n.name + ",," + ranges + "," + std::to_string(n.counts) + ",nan,nan," +
                    decomposed(n.decomposed, n.decomposed_sigma) + ",");
  }
  return lines;
}

std::vector<std::string> map_csv_lines(const field_map& map) {
  std::vector<std::string> lines;
  const std::string unit = map.over == map_plane::detector ? "mm" : "nm";
  lines.push_back("x_" + unit + ",y_" + unit +
                  ",N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm");
  for (const auto& bin : map.bins) {
    const auto& f = bin.field;
    if (bin.masked) {
      lines.push_back(line_of({bin.x, bin.y, f.count_lower, f.count_upper, nan_value, nan_value,
                               nan_value, nan_value}));
    } else {
      lines.push_back(
          line_of({bin.x, bin.y, f.count_lower, f.count_upper, f.ratio, f.E, f.E_low, f.E_high}));
    }
  }
  return lines;
}

std::vector<std::string> profile_csv_lines(const field_profile& profile, std::optional<double> kf) {
  std::vector<std::string> lines;
  lines.emplace_back(
      std::string("first_ion,last_ion,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,"
                  "E_high_V_per_nm,V_dc_V,") +
      (kf ? "R_nm" : "kfR_nm"));
  for (const auto& block : profile.blocks) {
    const auto& f = block.field;
    const std::optional<double> volts = volts_of(block.mean_v_dc, profile.voltages);
    lines.push_back(
        std::to_string(block.first_ion) + "," + std::to_string(block.last_ion) + "," +
        line_of({f.count_lower, f.count_upper, f.ratio, f.E, f.E_low, f.E_high,
                 volts.value_or(nan_value), tip_radius_nm(volts, f.E, kf.value_or(1.0))}));
  }
  return lines;
}

}  // namespace veltrane
