#include "compute/datasets/dataset_field.hpp"

#include <set>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/element_data.hpp"

namespace veltrane {

namespace {

// The refusal of a pair of which the state `state` has no counted range.
input_refused no_range_of(const apt::range_file& file, const std::string& symbol, int state,
                          int k) {
  return input_refused(file.path + ": no range of " + symbol + apt::charge_suffix(state) +
                       " is counted, so the pair " + pair_label(k) + " has no ratio");
}

}  // namespace

int pair_with_ranges(const apt::range_file& file, const std::string& element, int n, int preferred,
                     const apt::charge_options& options) {
  std::set<int> charges;
  try {
    const auto selection = select_ranges(file, element_symbol(element), options);
    for (std::size_t index : selection.used) charges.insert(selection.assignments[index].charge);
  } catch (const std::exception&) {
    return preferred;
  }
  const auto both = [&charges](int k) { return charges.count(k) > 0 && charges.count(k + 1) > 0; };
  if (both(preferred)) return preferred;
  for (int k = 1; k <= n; ++k) {
    if (both(k)) return k;
  }
  return preferred;
}

namespace detail {

void check_pair_counted(const counting_pass& pass, const apt::range_file& file, int k) {
  for (const int state : {k, k + 1}) {
    bool counted = false;
    for (std::size_t s = 0; s < pass.slot_count(); ++s)
      counted = counted || pass.charge_of(s) == state;
    if (!counted) throw no_range_of(file, pass.symbol(), state, k);
  }
}

overall_field overall_of(dataset_counts counts, const apt::range_file& file,
                         ratio_inverter& inverter, double confidence) {
  overall_field o;
  o.counts = std::move(counts);
  const int k = inverter.k();
  const charge_count* lower = o.counts.find(k);
  const charge_count* upper = o.counts.find(k + 1);
  for (const auto& [state, count] : {std::pair{k, lower}, std::pair{k + 1, upper}}) {
    if (count == nullptr) throw no_range_of(file, o.counts.symbol, state, k);
  }
  o.factor = isotope_factor(*lower, *upper);
  o.field = counted_pair(k, static_cast<double>(lower->counts), static_cast<double>(upper->counts),
                         lower->background, upper->background, o.factor, confidence);
  o.field.covered_lower_percent = lower->abundance_percent;
  o.field.covered_upper_percent = upper->abundance_percent;
  set_fields({&o.field}, inverter);
  return o;
}

std::vector<int> pair_of_slots(const counting_pass& pass, int k) {
  std::vector<int> pair(pass.slot_count(), -1);
  for (std::size_t s = 0; s < pass.slot_count(); ++s) {
    if (pass.charge_of(s) == k) pair[s] = 0;
    if (pass.charge_of(s) == k + 1) pair[s] = 1;
  }
  return pair;
}

pair_field pair_of_counts(int k, const pair_counts& c, double factor, double confidence) {
  return counted_pair(k, static_cast<double>(c[0]), static_cast<double>(c[1]),
                      static_cast<double>(c[2]), static_cast<double>(c[3]), factor, confidence);
}

}  // namespace detail

}  // namespace veltrane
