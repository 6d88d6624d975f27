// libFuzzer target for the range files: the input read as .rrng and as .rng
// text, and the charges and interferences of every range that reads.
// Besides surviving any input, it checks what a range file promises: bounds
// finite with low < high, ranges sorted and none overlapping another, every
// range found by its own bounds, and charges that fit their range.
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
    // An ion at a bound shared with the range below belongs to this one.
    check(file.find(r.low) == i && file.find(r.high) == i);
    for (const ion_part& p : r.composition) check(p.count >= 1 && p.count <= 99);
  }
  const auto assignments = assign_charges(file);
  check(assignments.size() == file.ranges.size());
  for (std::size_t i = 0; i < assignments.size(); ++i) {
    const charge_assignment& a = assignments[i];
    if (a.assigned()) {
      check(a.charge >= 1 && a.charge <= highest_charge && !a.isotopes.empty());
      for (const isotope& iso : a.isotopes) check(file.ranges[i].contains(iso.mass_u / a.charge));
    } else {
      check(a.charge == 0);
    }
  }
  for (const interference& x : find_interferences(file, assignments)) {
    check(x.range < file.ranges.size() && assignments[x.range].assigned());
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
