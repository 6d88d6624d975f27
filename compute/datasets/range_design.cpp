#include "compute/datasets/range_design.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

// An element is looked for at least up to this charge.
constexpr int lowest_looked_for_charge = 2;

// The range nearest to m among those `open` (none holds an isotope of the
// design inside), within `tolerance`: its index, or -1.
int nearest_open_range(const apt::range_file& file, const std::vector<bool>& open, double m,
                       double tolerance) {
  const auto& ranges = file.ranges;
  // The ranges are sorted by their low bound and do not overlap: the
  // nearest lies just below m or just above it.
  const auto above = std::upper_bound(ranges.begin(), ranges.end(), m,
                                      [](double x, const apt::mass_range& r) { return x < r.low; });
  int best = -1;
  double best_distance = tolerance;
  auto consider = [&](std::size_t i) {
    if (!open[i]) return;
    const double distance = m < ranges[i].low ? ranges[i].low - m : m - ranges[i].high;
    if (distance >= 0.0 && distance <= best_distance) {
      best = static_cast<int>(i);
      best_distance = distance;
    }
  };
  const auto index = static_cast<std::size_t>(above - ranges.begin());
  if (index < ranges.size()) consider(index);
  if (index > 0) consider(index - 1);
  return best;
}

}  // namespace

std::string range_species::label() const {
  return element ? symbol + apt::charge_suffix(charge) : symbol;
}

int range_design::find(const std::string& symbol, int charge) const {
  for (std::size_t s = 0; s < species.size(); ++s) {
    if (species[s].element && species[s].symbol == symbol && species[s].charge == charge) {
      return static_cast<int>(s);
    }
  }
  return -1;
}

range_design design_ranges(const apt::range_file& file,
                           const std::vector<apt::charge_assignment>& assignments,
                           const apt::charge_options& options,
                           const std::vector<std::string>& extra_elements,
                           const apt::isotope_table& table) {
  range_design d;
  const std::size_t R = file.ranges.size();
  d.range_symbol.resize(R);
  d.range_charge.assign(R, 0);
  for (std::size_t r = 0; r < R; ++r) {
    const auto& a = assignments[r];
    if (a.status == apt::charge_status::assigned || a.status == apt::charge_status::ambiguous) {
      d.range_symbol[r] = a.element;
      d.range_charge[r] = a.assigned() ? a.charge : 0;
    }
  }

  // The element species, by Z and charge: what the file's own ranges say.
  std::map<std::pair<int, int>, std::string> declared;
  auto declare = [&](const std::string& symbol, int charge) {
    const auto isotopes = table.of(symbol);
    if (isotopes.empty()) return;
    declared.emplace(std::pair{isotopes.front().atomic_number, charge}, std::string(symbol));
  };
  for (const auto& a : assignments) {
    if (a.status == apt::charge_status::assigned) {
      declare(a.element, a.charge);
    } else if (a.status == apt::charge_status::ambiguous) {
      for (int q : a.fitting_charges) declare(a.element, q);
    }
  }
  // Every element the file lists or names a range after, and every element
  // the user names, is looked for at the lower charges too (up to its
  // highest declared one, at least 2+), wherever an isotope lies in a range:
  // 27Al+ in a range named after 54Fe2+, 28Si+ under 56Fe2+.
  std::map<std::string, int> elements;  // symbol -> highest declared charge
  for (const auto& [key, symbol] : declared) {
    elements[symbol] = std::max(elements[symbol], key.second);
  }
  auto look_for = [&](const std::string& name) {
    const std::string symbol(table.canonical_symbol(name));
    if (!symbol.empty()) elements.emplace(symbol, 0);
  };
  for (const auto& ion : file.ions) look_for(ion);
  for (const auto& name : extra_elements) look_for(name);
  for (const auto& [symbol, highest] : elements) {
    const auto isotopes = table.of(symbol);
    for (int q = 1; q <= std::max(highest, lowest_looked_for_charge); ++q) {
      std::string where;
      for (const auto& i : isotopes) {
        if (const auto r = file.find(i.mass_u / q); r && where.empty()) {
          const auto& range = file.ranges[*r];
          where = i.label() + apt::charge_suffix(q) + " lies in " + apt::mass_text(range.low) +
                  "–" + apt::mass_text(range.high) + " Da (" + range.name + ")";
        }
      }
      if (where.empty()) continue;
      if (declared.emplace(std::pair{isotopes.front().atomic_number, q}, symbol).second) {
        std::string note = symbol + apt::charge_suffix(q);
        note +=
            " is looked for where its isotopes lie, though no range is named after it at "
            "that charge: ";
        note += where + ".";
        d.notes.push_back(std::move(note));
      }
    }
  }

  // Every isotope of every species in the range its m/q lies in.
  struct placed {
    std::size_t species, range;
    apt::isotope isotope;
  };
  std::vector<placed> places;
  std::vector<std::vector<std::pair<double, apt::isotope>>> outside;
  std::vector<bool> open(R, true);
  for (const auto& [key, symbol] : declared) {
    range_species s;
    s.symbol = symbol;
    s.charge = key.second;
    s.element = true;
    const std::size_t column = d.species.size();
    d.species.push_back(s);
    outside.emplace_back();
    for (const auto& i : table.of(symbol)) {
      const double m = i.mass_u / key.second;
      if (const auto r = file.find(m)) {
        places.push_back({column, *r, i});
        open[*r] = false;
      } else {
        outside.back().emplace_back(m, i);
      }
    }
  }
  // A range that holds no isotope of any species sits a little off the
  // tabulated masses (calibration): the charge the range was given by the
  // tolerance places its isotope there, and other species' isotopes as
  // near place theirs too.
  std::vector<bool> still_open = open;
  for (std::size_t r = 0; r < R; ++r) {
    const auto& a = assignments[r];
    if (!open[r] || !a.assigned() || !a.by_tolerance()) continue;
    const int column = d.find(a.element, a.charge);
    if (column < 0) continue;
    for (const auto& i : a.isotopes) {
      auto& rest = outside[static_cast<std::size_t>(column)];
      const auto it = std::find_if(rest.begin(), rest.end(), [&](const auto& o) {
        return o.second.mass_number == i.mass_number;
      });
      if (it == rest.end()) continue;
      places.push_back({static_cast<std::size_t>(column), r, i});
      still_open[r] = false;
      rest.erase(it);
    }
  }
  for (std::size_t s = 0; s < outside.size(); ++s) {
    for (const auto& [m, i] : outside[s]) {
      const int r = nearest_open_range(file, open, m, apt::mass_tolerance(m, options));
      if (r < 0) continue;
      places.push_back({s, static_cast<std::size_t>(r), i});
      still_open[static_cast<std::size_t>(r)] = false;
      d.notes.push_back(file.path + ":" +
                        std::to_string(file.ranges[static_cast<std::size_t>(r)].line) + ": " +
                        i.label() + apt::charge_suffix(d.species[s].charge) + " at " +
                        shortest_number(m) + " Da is taken as lying in the range " +
                        apt::mass_text(file.ranges[static_cast<std::size_t>(r)].low) + "–" +
                        apt::mass_text(file.ranges[static_cast<std::size_t>(r)].high) +
                        " Da (within the mass tolerance).");
    }
  }

  // A range that is no element's at any charge is an amount of its own.
  std::vector<std::size_t> own_range;
  for (std::size_t r = 0; r < R; ++r) {
    const auto status = assignments[r].status;
    const bool element_range =
        status == apt::charge_status::assigned || status == apt::charge_status::ambiguous;
    if (element_range && !still_open[r]) continue;
    if (status == apt::charge_status::no_ion) continue;
    range_species s;
    s.symbol = file.ranges[r].name;
    own_range.push_back(r);
    d.species.push_back(s);
  }

  // An element's charge none of whose isotopes any range holds adds nothing.
  std::vector<std::size_t> column_of(d.species.size());
  {
    std::vector<bool> used(d.species.size(), false);
    for (const auto& p : places) used[p.species] = true;
    std::vector<range_species> kept;
    for (std::size_t s = 0; s < d.species.size(); ++s) {
      column_of[s] = kept.size();
      if (used[s] || !d.species[s].element) kept.push_back(std::move(d.species[s]));
    }
    d.species = std::move(kept);
    for (auto& p : places) p.species = column_of[p.species];
  }
  d.shares = share_matrix(R, d.species.size());
  for (const auto& p : places) {
    d.shares(p.range, p.species) += p.isotope.abundance_percent / 100.0;
    d.species[p.species].isotopes.push_back(p.isotope);
  }
  for (std::size_t k = 0; k < own_range.size(); ++k) {
    d.shares(own_range[k], d.species.size() - own_range.size() + k) = 1.0;
  }
  for (auto& s : d.species) {
    std::sort(
        s.isotopes.begin(), s.isotopes.end(),
        [](const apt::isotope& x, const apt::isotope& y) { return x.mass_number < y.mass_number; });
  }
  d.separable = separability_of(d.shares);
  return d;
}

}  // namespace veltrane
