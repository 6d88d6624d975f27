// libFuzzer target for the range files: the input read as .rrng and as .rng
// text, and the charges and interferences of every range that reads.
// Besides surviving any input (in bounded time and memory: run it with a
// -max_len of a megabyte or more, where quadratic reading would show), it
// checks what a range file promises: bounds finite with low < high, ranges
// sorted and none overlapping another, every range found by its own
// bounds, compositions within their limits, notes bounded, charges that fit
// their range (inside it, or within the mass tolerance), and interferers
// that lie in the range, most likely first.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "apt/charge_assignment.hpp"
#include "apt/read_error.hpp"

using namespace veltrane::apt;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void check_charges(const range_file& file, const std::vector<charge_assignment>& assignments) {
  check(assignments.size() == file.ranges.size());
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    const charge_assignment& a = assignments[i];
    const mass_range& r = file.ranges[i];
    check(a.fitting_charges.size() == a.readings.size());
    for (std::size_t k = 0; k < a.readings.size(); ++k) {
      check(a.readings[k].charge == a.fitting_charges[k] && !a.readings[k].isotopes.empty());
    }
    if (!a.assigned()) {
      check(a.charge == 0 && a.isotopes.empty() && a.note.empty());
      continue;
    }
    check(a.charge >= 1 && a.charge <= highest_charge && !a.isotopes.empty());
    if (!a.by_tolerance()) {
      for (const isotope& iso : a.isotopes) check(r.contains(iso.mass_u / a.charge));
      continue;
    }
    // One isotope beside the range, within the tolerance.
    check(a.isotopes.size() == 1);
    const double m = a.isotopes.front().mass_u / a.charge;
    check(!r.contains(m) && std::abs(a.miss_da) <= a.tolerance_da && !a.note.empty());
    check(a.miss_da < 0 ? m < r.low : m > r.high);
  }
}

void read_as(std::string_view text, std::optional<range_format> format) {
  range_file file;
  try {
    file = parse_range_text(text, "fuzz", format);
  } catch (const read_error&) {
    return;
  }
  for (std::size_t i = 0; i < file.ranges.size(); ++i) {
    const mass_range& r = file.ranges[i];
    check(std::isfinite(r.low) && std::isfinite(r.high) && r.low >= 0.0 && r.low < r.high);
    if (i > 0) check(file.ranges[i - 1].high <= r.low);
    // An ion at a bound shared by two ranges belongs to the upper one.
    const bool shared = i + 1 < file.ranges.size() && file.ranges[i + 1].low == r.high;
    check(file.find(r.low) == i && file.find(r.high) == (shared ? i + 1 : i));
    check(r.composition.size() <= most_elements_per_ion);
    for (const ion_part& p : r.composition) check(p.count >= 1 && p.count <= 99);
  }
  // Ten of each kind, a line counting the rest, and a few single ones.
  check(file.notes.size() <= 100);

  const auto assignments = assign_charges(file);
  check_charges(file, assignments);

  interference_options options;
  options.budget = 200'000;  // a fraction of a second per input
  options.kept = 50;
  for (const interference& x : find_interferences(file, assignments, {}, options)) {
    check(x.range < file.ranges.size() && assignments[x.range].assigned());
    check(!x.message.empty() && (x.incomplete || !x.interferers.empty()));
    check(x.interferers.size() <= options.kept);
    for (std::size_t k = 0; k < x.interferers.size(); ++k) {
      const interferer& i = x.interferers[k];
      check(file.ranges[x.range].contains(i.mass_to_charge));
      check(i.share >= 0.0 && i.share <= 1.0 + 1e-9);
      if (k > 0) {
        const interferer& before = x.interferers[k - 1];
        check(before.charge_in_file || !i.charge_in_file);
        check(before.charge_in_file != i.charge_in_file || before.share >= i.share);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  read_as(text, range_format::rrng);
  read_as(text, range_format::rng);
  read_as(text, std::nullopt);
  return 0;
}
