#include "compute/datasets/dataset_choice.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

#include "apt/isotopes.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

namespace {

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out;
}

std::string charges_text(const std::vector<int>& charges) {
  std::vector<std::string> parts;
  parts.reserve(charges.size());
  for (int q : charges) parts.push_back(charge_label(q));
  return joined(parts);
}

const element_data* table_element(const std::string& symbol) {
  for (const auto& e : element_data_table()) {
    if (e.symbol == symbol) return &e;
  }
  return nullptr;
}

}  // namespace

std::vector<range_file_element> elements_of_ranges(const apt::range_file& file,
                                                   const apt::charge_options& options) {
  if (const std::string problem = apt::charge_options_problem(options); !problem.empty()) {
    throw std::invalid_argument(problem);
  }
  const auto assignments = apt::assign_charges(file, options);
  // By Z, each element's charges once and rising.
  std::map<int, std::pair<std::string, std::set<int>>> by_z;
  const auto& isotopes = apt::isotope_table::builtin();
  for (const auto& a : assignments) {
    if (!a.assigned()) continue;
    const auto of = isotopes.of(a.element);
    if (of.empty()) continue;
    auto& entry = by_z[of.front().atomic_number];
    entry.first = a.element;
    entry.second.insert(a.charge);
  }
  std::vector<range_file_element> out;
  for (const auto& [z, entry] : by_z) {
    range_file_element e;
    e.symbol = entry.first;
    e.charges.assign(entry.second.begin(), entry.second.end());
    if (const element_data* data = table_element(e.symbol)) e.name = data->name;
    if (e.name.empty()) {
      e.problem = e.symbol + " has no model data (it is not in the element table)";
    } else if (e.charges.size() < 2) {
      e.problem = e.symbol + " is ranged at " + charges_text(e.charges) +
                  " only; a field needs ranges at two charges";
    }
    out.push_back(std::move(e));
  }
  return out;
}

std::string element_range_problem(const apt::range_file& file, const std::string& element,
                                  const apt::charge_options& options) {
  std::string symbol;
  try {
    symbol = element_symbol(element);
  } catch (const input_refused& e) {
    return e.what();
  }
  const auto elements = elements_of_ranges(file, options);
  std::vector<std::string> in_file;
  for (const auto& e : elements) {
    if (e.symbol == symbol) return e.problem.empty() ? std::string() : file.path + ": " + e.problem;
    in_file.push_back(e.symbol);
  }
  // Listed as the joint field lists them: by symbol.
  std::sort(in_file.begin(), in_file.end());
  return file.path + ": the range file has no " + symbol + " ranges; it has " +
         (in_file.empty() ? std::string("none of any element") : joined(in_file));
}

std::vector<int> ranged_pairs(const range_file_element& e) {
  std::vector<int> pairs;
  for (std::size_t i = 0; i + 1 < e.charges.size(); ++i) {
    if (e.charges[i + 1] == e.charges[i] + 1) pairs.push_back(e.charges[i]);
  }
  return pairs;
}

pair_model pair_model_for(const range_file_element& e, int k,
                          const std::optional<calc_request>& typed) {
  const element_data* data = e.name.empty() ? nullptr : find_element_data(e.name);
  if (data == nullptr) {
    throw input_refused(e.symbol + " has no model data (it is not in the element table)");
  }
  if (typed && typed->n >= k && same_ignoring_case(element_list_name(typed->element), e.name)) {
    return {*typed, true};
  }
  const int most = largest_n(*data);
  if (k > most) {
    throw input_refused(e.symbol + " " + pair_label(k) + ": the element's data reach " +
                        charge_label(most + 1) + " only");
  }
  const int highest = e.charges.empty() ? k : e.charges.back();
  const int n = std::clamp(highest, k, most);
  const checked_request checked =
      check_request({data->name, std::to_string(n), std::nullopt, std::nullopt});
  if (!checked.request) throw input_refused(e.symbol + ": " + checked.message);
  return {*checked.request, false};
}

int interval_decimals(double low, double high) {
  const double width = high - low;
  if (!(std::isfinite(low) && std::isfinite(high) && width > 0.0)) return 2;
  int decimals = 2;
  while (decimals < 6 && width * std::pow(10.0, decimals) < 2.0) ++decimals;
  return decimals;
}

}  // namespace veltrane
