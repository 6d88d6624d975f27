#include "apt/charge_assignment.hpp"

#include <algorithm>
#include <charconv>
#include <map>

namespace veltrane::apt {

namespace {

constexpr double most_combinations = 10000.0;

std::string bounds_text(const mass_range& r) {
  return mass_text(r.low) + "\u2013" + mass_text(r.high) + " Da";
}

std::string where(std::string_view path, const mass_range& r) {
  return std::string(path) + ":" + std::to_string(r.line) + ": ";
}

// A mass-to-charge for messages, to a thousandth of a dalton.
std::string mass_to_charge_text(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
  return std::string(buffer, result.ptr);
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += separator;
    text += parts[i];
  }
  return text;
}

// One isotope combination of an ion: its mass and its label ("184W16O").
struct combination {
  double mass = 0.0;
  std::string label;
};

// An ion of the file with every element known to the table.
struct species {
  std::vector<ion_part> parts;  // canonical symbols
  std::vector<combination> combinations;
};

// The number of multisets of n isotopes out of k: C(n + k - 1, n), as a
// double that is large rather than overflowing.
double multisets(int n, std::size_t k) {
  double count = 1.0;
  for (int i = 1; i <= n; ++i) count = count * (static_cast<double>(k) + i - 1) / i;
  return count;
}

// Every multiset of `n` isotopes of `isotopes`, each as mass and label
// ("16O2", "16O18O"), appended to `out` after `prefix`.
void multisets_of(std::span<const isotope> isotopes, int n, std::size_t from, combination prefix,
                  std::size_t run_index, int run_length, std::vector<combination>& out) {
  const auto close_run = [&isotopes](combination c, std::size_t index, int length) {
    if (length > 0) {
      c.label += isotopes[index].label();
      if (length > 1) c.label += std::to_string(length);
    }
    return c;
  };
  if (n == 0) {
    out.push_back(close_run(std::move(prefix), run_index, run_length));
    return;
  }
  for (std::size_t i = from; i < isotopes.size(); ++i) {
    combination next = prefix;
    next.mass += isotopes[i].mass_u;
    if (run_length > 0 && i == run_index) {
      multisets_of(isotopes, n - 1, i, std::move(next), i, run_length + 1, out);
    } else {
      next = close_run(std::move(next), run_index, run_length);
      multisets_of(isotopes, n - 1, i, std::move(next), i, 1, out);
    }
  }
}

// The isotope combinations of an ion; empty when there would be too many.
std::vector<combination> combinations_of(const std::vector<ion_part>& parts,
                                         const isotope_table& table) {
  double count = 1.0;
  for (const ion_part& p : parts) count *= multisets(p.count, table.of(p.element).size());
  if (count > most_combinations) return {};
  std::vector<combination> result{combination{}};
  for (const ion_part& p : parts) {
    std::vector<combination> next;
    for (const combination& c : result)
      multisets_of(table.of(p.element), p.count, 0, c, 0, 0, next);
    result = std::move(next);
  }
  return result;
}

// The ions of the file whose elements the table holds: the compositions of
// the ranges and the elements of the ion list, each once.
std::vector<species> species_of(const range_file& file, const isotope_table& table) {
  std::vector<species> found;
  const auto add = [&found, &table](const std::vector<ion_part>& parts) {
    std::vector<ion_part> canonical;
    for (const ion_part& p : parts) {
      const std::string_view symbol = table.canonical_symbol(p.element);
      if (symbol.empty()) return;
      canonical.push_back({std::string(symbol), p.count});
    }
    if (canonical.empty()) return;
    for (const species& s : found) {
      if (s.parts == canonical) return;
    }
    found.push_back({canonical, combinations_of(canonical, table)});
  };
  for (const mass_range& r : file.ranges) add(r.composition);
  for (const std::string& ion : file.ions) add({{ion, 1}});
  return found;
}

}  // namespace

std::string charge_suffix(int charge) {
  return charge == 1 ? std::string("+") : std::to_string(charge) + "+";
}

std::string charge_assignment::label() const {
  if (status == charge_status::assigned) return element + charge_suffix(charge);
  return element;
}

charge_assignment assign_charge(const mass_range& range, std::string_view path,
                                const isotope_table& table) {
  charge_assignment result;
  if (range.composition.empty()) {
    result.status = charge_status::no_ion;
    return result;
  }
  if (!range.single_atom()) {
    result.status = charge_status::molecular;
    return result;
  }
  const std::string& written = range.composition.front().element;
  const std::string_view symbol = table.canonical_symbol(written);
  if (symbol.empty()) {
    result.status = charge_status::unknown_element;
    result.message = where(path, range) + "the element '" + written + "' of the range " +
                     bounds_text(range) + " is not in the isotope table: its charge is not known";
    return result;
  }
  result.element = std::string(symbol);
  const auto isotopes = table.of(symbol);
  std::map<int, std::vector<isotope>> covered;
  for (int q = 1; q <= highest_charge; ++q) {
    for (const isotope& i : isotopes) {
      if (range.contains(i.mass_u / q)) covered[q].push_back(i);
    }
  }
  for (const auto& [q, fitting] : covered) result.fitting_charges.push_back(q);
  if (covered.empty()) {
    result.status = charge_status::no_isotope;
    result.message = where(path, range) + "no isotope of " + result.element +
                     " at charges 1\u2013" + std::to_string(highest_charge) + " lies in " +
                     bounds_text(range);
    return result;
  }
  if (covered.size() > 1) {
    result.status = charge_status::ambiguous;
    std::vector<std::string> fits;
    for (const auto& [q, fitting] : covered) {
      std::vector<std::string> labels;
      for (const isotope& i : fitting) labels.push_back(i.label() + charge_suffix(q));
      fits.push_back(joined(labels, ", "));
    }
    result.message = where(path, range) + "the charge of the range " + bounds_text(range) + " of " +
                     result.element + " is ambiguous: it holds " + joined(fits, " and ") +
                     "; the range is left out of every ratio";
    return result;
  }
  result.status = charge_status::assigned;
  result.charge = covered.begin()->first;
  result.isotopes = std::move(covered.begin()->second);
  for (const isotope& i : result.isotopes) result.abundance_percent += i.abundance_percent;
  return result;
}

std::vector<charge_assignment> assign_charges(const range_file& file, const isotope_table& table) {
  std::vector<charge_assignment> result;
  result.reserve(file.ranges.size());
  for (const mass_range& r : file.ranges) result.push_back(assign_charge(r, file.path, table));
  return result;
}

std::vector<interference> find_interferences(const range_file& file,
                                             const std::vector<charge_assignment>& assignments,
                                             std::string_view element, const isotope_table& table) {
  std::vector<interference> result;
  if (assignments.size() != file.ranges.size()) return result;
  const std::string_view chosen = element.empty() ? element : table.canonical_symbol(element);
  if (!element.empty() && chosen.empty()) return result;
  const std::vector<species> ions = species_of(file, table);
  for (std::size_t r = 0; r < file.ranges.size(); ++r) {
    const charge_assignment& a = assignments[r];
    if (!a.assigned() || (!chosen.empty() && a.element != chosen)) continue;
    const mass_range& range = file.ranges[r];
    std::vector<std::string> own_labels;
    for (const isotope& i : a.isotopes) own_labels.push_back(i.label() + charge_suffix(a.charge));
    const std::string own = joined(own_labels, ", ");
    for (const species& s : ions) {
      if (s.parts.size() == 1 && s.parts.front().count == 1 &&
          s.parts.front().element == a.element) {
        continue;
      }
      for (int q = 1; q <= highest_charge; ++q) {
        std::vector<std::string> labels, held;
        for (const combination& c : s.combinations) {
          const double m = c.mass / q;
          if (!range.contains(m)) continue;
          labels.push_back(c.label + charge_suffix(q));
          held.push_back(labels.back() + " (" + mass_to_charge_text(m) + " Da)");
        }
        if (labels.empty()) continue;
        result.push_back({r, own, joined(labels, ", "), q,
                          where(file.path, range) + "the range " + bounds_text(range) + " of " +
                              own + " also holds " + joined(held, ", ")});
      }
    }
  }
  return result;
}

}  // namespace veltrane::apt
