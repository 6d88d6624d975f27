#include "apt/charge_assignment.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include "apt/read_error.hpp"

namespace veltrane::apt {

namespace {

std::string bounds_text(const mass_range& r) {
  return mass_text(r.low) + "\u2013" + mass_text(r.high) + " Da";
}

std::string where(std::string_view path, const mass_range& r) {
  return std::string(path) + ":" + std::to_string(r.line) + ": ";
}

// A number for messages: fixed with `decimals` decimals, or to `digits`
// significant digits (general).
std::string fixed_text(double value, int decimals) {
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  return std::string(buffer, result.ptr);
}
std::string general_text(double value, int digits) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
  return std::string(buffer, result.ptr);
}

// A mass-to-charge for messages, to a thousandth of a dalton.
std::string mass_to_charge_text(double value) { return fixed_text(value, 3); }

// 1392 as "1,392".
std::string grouped(std::size_t n) {
  std::string digits = std::to_string(n), text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
    text.push_back(digits[i]);
  }
  return text;
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += separator;
    text += parts[i];
  }
  return text;
}

// The isotopes of the names a file uses, each looked up in the table once.
class isotope_lookup {
 public:
  explicit isotope_lookup(const isotope_table& table) : table_(&table) {}
  std::span<const isotope> of(const std::string& name) {
    const auto found = cache_.find(name);
    if (found != cache_.end()) return found->second;
    return cache_.emplace(name, table_->of(name)).first->second;
  }

 private:
  const isotope_table* table_;
  std::unordered_map<std::string, std::span<const isotope>> cache_;
};

// ---- charges

std::string reading_labels(const charge_reading& r) {
  std::vector<std::string> labels;
  for (const isotope& i : r.isotopes) labels.push_back(i.label() + charge_suffix(r.charge));
  return joined(labels, ", ");
}

std::string percent_text(double percent) { return general_text(percent, 6) + " %"; }

// "0.0025 Da below it"
std::string miss_text(double miss_da) {
  return general_text(std::abs(miss_da), 4) + " Da " + (miss_da < 0.0 ? "below" : "above") + " it";
}

// The miss of an isotope at m/q from a range: 0 inside, else m/q minus the
// nearer bound.
double miss_of(const mass_range& range, double mass_to_charge) {
  if (range.contains(mass_to_charge)) return 0.0;
  return mass_to_charge < range.low ? mass_to_charge - range.low : mass_to_charge - range.high;
}

charge_assignment assign_with(const mass_range& range, std::string_view path,
                              std::span<const isotope> isotopes, const charge_options& options) {
  charge_assignment result;
  if (isotopes.empty()) {
    result.status = charge_status::unknown_element;
    return result;
  }
  result.element = isotopes.front().symbol;

  // The isotopes inside the range, per charge.
  std::vector<charge_reading> readings;
  for (int q = 1; q <= highest_charge; ++q) {
    charge_reading r{q, {}, 0.0, 0.0};
    for (const isotope& i : isotopes) {
      if (range.contains(i.mass_u / q)) r.isotopes.push_back(i);
    }
    if (!r.isotopes.empty()) readings.push_back(std::move(r));
  }
  // Else the isotope nearest to the range, per charge, within the tolerance.
  double nearest_miss = std::numeric_limits<double>::infinity();
  const isotope* nearest = nullptr;
  int nearest_charge = 0;
  if (readings.empty()) {
    for (int q = 1; q <= highest_charge; ++q) {
      const isotope* best = nullptr;
      double best_miss = 0.0;
      for (const isotope& i : isotopes) {
        const double m = i.mass_u / q;
        const double miss = miss_of(range, m);
        if (std::abs(miss) < std::abs(nearest_miss)) {
          nearest_miss = miss;
          nearest = &i;
          nearest_charge = q;
        }
        if (!(std::abs(miss) <= mass_tolerance(m, options))) continue;
        if (best == nullptr || std::abs(miss) < std::abs(best_miss) ||
            (std::abs(miss) == std::abs(best_miss) &&
             i.abundance_percent > best->abundance_percent)) {
          best = &i;
          best_miss = miss;
        }
      }
      if (best != nullptr) readings.push_back({q, {*best}, 0.0, best_miss});
    }
  }
  for (charge_reading& r : readings) {
    for (const isotope& i : r.isotopes) r.abundance_percent += i.abundance_percent;
    result.fitting_charges.push_back(r.charge);
  }
  result.readings = readings;

  if (readings.empty()) {
    result.status = charge_status::no_isotope;
    result.message = where(path, range) + "no isotope of " + result.element +
                     " at charges 1\u2013" + std::to_string(highest_charge) + " lies in " +
                     bounds_text(range) + ", nor within the mass tolerance of it";
    if (nearest != nullptr) {
      const double m = nearest->mass_u / nearest_charge;
      result.message += " (the nearest, " + nearest->label() + charge_suffix(nearest_charge) +
                        " at " + fixed_text(m, 4) + " Da, is " + miss_text(nearest_miss) +
                        "; the tolerance there is " + general_text(mass_tolerance(m, options), 4) +
                        " Da)";
    }
    return result;
  }

  // One reading, or one that carries more than `dominance` times the
  // abundance of every other.
  std::size_t chosen = 0;
  for (std::size_t k = 1; k < readings.size(); ++k) {
    if (readings[k].abundance_percent > readings[chosen].abundance_percent) chosen = k;
  }
  bool dominant = true;
  for (std::size_t k = 0; k < readings.size(); ++k) {
    if (k != chosen &&
        !(readings[chosen].abundance_percent > options.dominance * readings[k].abundance_percent)) {
      dominant = false;
    }
  }
  const auto reading_text = [](const charge_reading& r) {
    std::string text = reading_labels(r) + " (" + percent_text(r.abundance_percent);
    if (r.miss_da != 0.0) text += ", " + miss_text(r.miss_da);
    return text + ")";
  };
  if (!dominant) {
    result.status = charge_status::ambiguous;
    std::vector<std::string> fits;
    fits.reserve(readings.size());
    for (const charge_reading& r : readings) fits.push_back(reading_text(r));
    result.message =
        where(path, range) + "the charge of the range " + bounds_text(range) + " of " +
        result.element + " is ambiguous: it " +
        (readings.front().miss_da != 0.0 ? "lies within the mass tolerance of " : "holds ") +
        joined(fits, " and ") + "; the range is left out of every ratio";
    return result;
  }

  const charge_reading& r = readings[chosen];
  result.status = charge_status::assigned;
  result.charge = r.charge;
  result.isotopes = r.isotopes;
  result.abundance_percent = r.abundance_percent;
  std::string note;
  if (r.miss_da != 0.0) {
    result.miss_da = r.miss_da;
    const double m = r.isotopes.front().mass_u / r.charge;
    result.tolerance_da = mass_tolerance(m, options);
    note = "no isotope of " + result.element + " lies in the range " + bounds_text(range) +
           "; it is read as " + reading_labels(r) + " at " + fixed_text(m, 4) + " Da, " +
           miss_text(r.miss_da) + " (within the mass tolerance of " +
           general_text(result.tolerance_da, 4) + " Da)";
  }
  if (readings.size() > 1) {
    std::vector<std::string> others;
    for (std::size_t k = 0; k < readings.size(); ++k) {
      if (k == chosen) continue;
      std::string text = reading_text(readings[k]);
      if (readings[k].abundance_percent > 0.0) {
        const double factor = r.abundance_percent / readings[k].abundance_percent;
        text.pop_back();
        text += factor < 1e15 ? ", " + grouped(static_cast<std::size_t>(std::llround(factor))) +
                                    " times less abundant)"
                              : ", far less abundant)";
      }
      others.push_back(text);
    }
    if (note.empty()) {
      note = "the range " + bounds_text(range) + " of " + result.element + " is read as " +
             reading_text(r);
    }
    note += ", though it also fits " + joined(others, " and ");
  }
  if (!note.empty()) result.note = where(path, range) + note;
  return result;
}

charge_assignment assign_range(const mass_range& range, std::string_view path,
                               const charge_options& options, isotope_lookup& lookup) {
  charge_assignment result;
  if (range.composition.empty()) {
    result.status = charge_status::no_ion;
    return result;
  }
  if (!range.single_atom()) {
    result.status = charge_status::molecular;
    return result;
  }
  return assign_with(range, path, lookup.of(range.composition.front().element), options);
}

void check_options(const charge_options& options) {
  const std::string problem = charge_options_problem(options);
  if (!problem.empty()) throw std::invalid_argument(problem);
}

// ---- interferences

// One element of an ion with its isotopes (by A, so by mass).
struct species_part {
  std::span<const isotope> isotopes;
  int count = 0;
};

// The number of multisets of n isotopes out of k, C(n + k - 1, n), as a
// double that grows large rather than overflowing.
double multisets(int n, std::size_t k) {
  double count = 1.0;
  for (int i = 1; i <= n; ++i) count = count * (static_cast<double>(k) + i - 1) / i;
  return count;
}

// An ion of the file whose elements the table holds.
struct species {
  std::vector<species_part> parts;        // canonical symbols, each once, as the file orders them
  std::string text;                       // "Al2O"
  double lightest = 0.0, heaviest = 0.0;  // its isotope combinations' masses (u)
  std::vector<std::size_t> ranges;        // of the file that name it
  // The order in which the search chooses the parts' isotopes: the part of
  // most combinations last, where the window prunes best; and from each
  // position on, the lightest and heaviest mass the rest can add.
  std::vector<std::size_t> order;
  std::vector<double> tail_light, tail_heavy;
  bool single_atom() const { return parts.size() == 1 && parts.front().count == 1; }
};

// log(n!) for counts of atoms.
double log_factorial(int n) { return std::lgamma(static_cast<double>(n) + 1.0); }

// The ions of the file whose elements the table holds: the compositions of
// the ranges and the elements of the ion list, each once.
std::vector<species> species_of(const range_file& file, const isotope_table& table) {
  std::vector<species> found;
  std::unordered_map<std::string, std::size_t> index;
  isotope_lookup lookup(table);
  const auto add = [&](const std::vector<ion_part>& parts, std::optional<std::size_t> range) {
    std::vector<species_part> canonical;
    for (const ion_part& p : parts) {
      const auto isotopes = lookup.of(p.element);
      if (isotopes.empty()) return;
      const auto same = std::find_if(canonical.begin(), canonical.end(), [&](const auto& c) {
        return c.isotopes.data() == isotopes.data();
      });
      if (same != canonical.end()) {
        same->count += p.count;  // "W:1 w:1"
      } else {
        canonical.push_back({isotopes, p.count});
      }
    }
    if (canonical.empty()) return;
    std::vector<std::pair<int, int>> key_parts;  // (Z, count), the same ion in any order
    key_parts.reserve(canonical.size());
    for (const auto& c : canonical)
      key_parts.emplace_back(c.isotopes.front().atomic_number, c.count);
    std::sort(key_parts.begin(), key_parts.end());
    std::string key;
    for (const auto& [z, n] : key_parts) key += std::to_string(z) + ":" + std::to_string(n) + " ";
    const auto [at, added] = index.try_emplace(key, found.size());
    if (added) {
      species s;
      s.parts = std::move(canonical);
      for (const species_part& p : s.parts) {
        s.text += p.isotopes.front().symbol;
        if (p.count != 1) s.text += std::to_string(p.count);
      }
      const std::size_t n = s.parts.size();
      for (std::size_t e = 0; e < n; ++e) s.order.push_back(e);
      std::stable_sort(s.order.begin(), s.order.end(), [&s](std::size_t a, std::size_t b) {
        return multisets(s.parts[a].count, s.parts[a].isotopes.size()) <
               multisets(s.parts[b].count, s.parts[b].isotopes.size());
      });
      s.tail_light.assign(n + 1, 0.0);
      s.tail_heavy.assign(n + 1, 0.0);
      for (std::size_t e = n; e-- > 0;) {
        const species_part& p = s.parts[s.order[e]];
        s.tail_light[e] = s.tail_light[e + 1] + p.count * p.isotopes.front().mass_u;
        s.tail_heavy[e] = s.tail_heavy[e + 1] + p.count * p.isotopes.back().mass_u;
      }
      s.lightest = s.tail_light.front();
      s.heaviest = s.tail_heavy.front();
      found.push_back(std::move(s));
    }
    if (range) found[at->second].ranges.push_back(*range);
  };
  for (std::size_t r = 0; r < file.ranges.size(); ++r) add(file.ranges[r].composition, r);
  for (const std::string& ion : file.ions) add({{ion, 1}}, std::nullopt);
  return found;
}

// The work done, against the budget: one unit per candidate ion and per
// step of the combination search.
struct work_budget {
  std::size_t used = 0, limit = 0;
  const std::atomic<bool>* cancel = nullptr;
  bool spend() {
    if (cancel != nullptr && used % 1024 == 0 && cancel->load()) throw cancelled();
    return ++used <= limit;
  }
  bool exhausted() const { return used > limit; }
};

// The isotope combinations of a species with m/q in a range at charge q,
// built part by part and isotope by isotope (how many atoms of each), a
// branch left as soon as no completion of it can reach the window. Each
// combination found is passed to `found` with its mass and its share of
// the natural abundance; it returns false to stop.
class combination_search {
 public:
  using visit =
      std::function<bool(double mass, double share, const combination_search& combination)>;

  combination_search(const species& s, const mass_range& window, int charge, work_budget& budget,
                     visit found)
      : s_(s), window_(window), q_(charge), budget_(budget), found_(std::move(found)) {
    // Masses are summed in another order than the final check's: a margin
    // keeps every combination the exact check would take.
    const double margin = 1e-9 * std::max(1.0, window.high * charge);
    low_ = window.low * charge - margin;
    high_ = window.high * charge + margin;
    for (const species_part& p : s.parts) {
      offsets_.push_back(counts_.size());
      counts_.resize(counts_.size() + p.isotopes.size(), 0);
    }
  }

  // The combination being visited, in the file's order of elements: "27Al"
  // for one atom, "(184W 16O2)" for a molecule, so that a count is never
  // read as a charge ("(16O2)+" is not 16O2+).
  std::string label() const {
    std::string text;
    int atoms = 0;
    for (std::size_t e = 0; e < s_.parts.size(); ++e) {
      const species_part& p = s_.parts[e];
      atoms += p.count;
      for (std::size_t i = 0; i < p.isotopes.size(); ++i) {
        const int n = counts_[offsets_[e] + i];
        if (n == 0) continue;
        if (!text.empty()) text += ' ';
        text += p.isotopes[i].label();
        if (n > 1) text += std::to_string(n);
      }
    }
    return atoms > 1 ? "(" + text + ")" : text;
  }

  // False when the budget ran out or `found` asked to stop.
  bool run() {
    if (s_.parts.empty()) return true;
    const int n = s_.parts[s_.order.front()].count;
    return step(0, 0, n, 0.0, log_factorial(n));
  }

 private:
  // Chooses how many atoms of isotope i of the part at `position` the
  // combination holds, `left` atoms of the part being still to place.
  bool step(std::size_t position, std::size_t i, int left, double mass, double log_share) {
    if (!budget_.spend()) return false;
    if (left == 0) {
      if (position + 1 == s_.order.size()) return leaf(mass, log_share);
      const int n = s_.parts[s_.order[position + 1]].count;
      return step(position + 1, 0, n, mass, log_share + log_factorial(n));
    }
    const species_part& p = s_.parts[s_.order[position]];
    const isotope& iso = p.isotopes[i];
    const std::size_t at = offsets_[s_.order[position]] + i;
    const double log_a = std::log(iso.abundance_percent / 100.0);
    const double rest_light = s_.tail_light[position + 1];
    const double rest_heavy = s_.tail_heavy[position + 1];
    const auto go = [&](int m) {
      counts_[at] = m;
      const double share = m == 0 ? log_share : log_share + m * log_a - log_factorial(m);
      const bool go_on = step(position, i + 1, left - m, mass + m * iso.mass_u, share);
      counts_[at] = 0;
      return go_on;
    };
    if (i + 1 == p.isotopes.size()) {
      const double with = mass + left * iso.mass_u;
      if (with + rest_light > high_ || with + rest_heavy < low_) return true;
      return go(left);
    }
    // The completions of m atoms of this isotope weigh from
    //   mass + m a + (left - m) b + rest_light   (b: the next isotope)
    // to mass + m a + (left - m) c + rest_heavy  (c: the heaviest),
    // both falling as m grows (a < b <= c): the m that can reach the window
    // form one run, found directly.
    const double a = iso.mass_u, b = p.isotopes[i + 1].mass_u, c = p.isotopes.back().mass_u;
    const auto clamped = [left](double m) {
      return static_cast<int>(std::clamp(m, 0.0, static_cast<double>(left)));
    };
    int first = 0, last = left;
    if (b > a) first = clamped(std::floor((mass + left * b + rest_light - high_) / (b - a)) - 1);
    if (c > a) last = clamped(std::ceil((mass + left * c + rest_heavy - low_) / (c - a)) + 1);
    for (int m = first; m <= last; ++m) {
      const double with = mass + m * a;
      if (with + (left - m) * c + rest_heavy < low_) break;
      if (with + (left - m) * b + rest_light > high_) continue;
      if (!go(m)) return false;
    }
    return true;
  }

  bool leaf(double mass, double log_share) {
    if (!window_.contains(mass / q_)) return true;
    return found_(mass, std::exp(log_share), *this);
  }

  const species& s_;
  const mass_range& window_;
  int q_;
  work_budget& budget_;
  visit found_;
  double low_ = 0.0, high_ = 0.0;
  std::vector<std::size_t> offsets_;  // of each part's isotopes in counts_
  std::vector<int> counts_;           // atoms of each isotope of each part
};

// The species whose masses reach a window, found without looking at the
// others: sorted by their lightest mass, a tree of the heaviest ones over
// that order.
class species_index {
 public:
  explicit species_index(const std::vector<species>& all) : all_(&all) {
    order_.reserve(all.size());
    for (std::size_t i = 0; i < all.size(); ++i) order_.push_back(i);
    std::sort(order_.begin(), order_.end(),
              [&all](std::size_t a, std::size_t b) { return all[a].lightest < all[b].lightest; });
    while (size_ < order_.size()) size_ *= 2;
    heaviest_.assign(2 * size_, -std::numeric_limits<double>::infinity());
    for (std::size_t k = 0; k < order_.size(); ++k) heaviest_[size_ + k] = all[order_[k]].heaviest;
    for (std::size_t n = size_; n-- > 1;) {
      heaviest_[n] = std::max(heaviest_[2 * n], heaviest_[2 * n + 1]);
    }
  }

  // Calls `each` with every species whose lightest mass is at most `high`
  // and heaviest at least `low`; stops when it returns false.
  bool reaching(double low, double high, const std::function<bool(std::size_t)>& each) const {
    const auto end = std::upper_bound(
        order_.begin(), order_.end(), high,
        [this](double value, std::size_t s) { return value < (*all_)[s].lightest; });
    return visit(1, 0, size_, static_cast<std::size_t>(end - order_.begin()), low, each);
  }

 private:
  bool visit(std::size_t node, std::size_t from, std::size_t to, std::size_t end, double low,
             const std::function<bool(std::size_t)>& each) const {
    if (from >= end || heaviest_[node] < low) return true;
    if (to - from == 1) return each(order_[from]);
    const std::size_t middle = (from + to) / 2;
    return visit(2 * node, from, middle, end, low, each) &&
           visit(2 * node + 1, middle, to, end, low, each);
  }

  const std::vector<species>* all_;
  std::vector<std::size_t> order_;
  std::size_t size_ = 1;
  std::vector<double> heaviest_;
};

bool more_likely(const interferer& a, const interferer& b) {
  if (a.charge_in_file != b.charge_in_file) return a.charge_in_file;
  if (a.share != b.share) return a.share > b.share;
  if (a.mass_to_charge != b.mass_to_charge) return a.mass_to_charge < b.mass_to_charge;
  return a.label < b.label;
}

// Keeps the `kept` most likely interferers of an entry, counting the rest.
void keep_most_likely(interference& x, std::size_t kept) {
  if (x.interferers.size() <= kept) {
    std::sort(x.interferers.begin(), x.interferers.end(), more_likely);
    return;
  }
  std::partial_sort(x.interferers.begin(),
                    x.interferers.begin() + static_cast<std::ptrdiff_t>(kept), x.interferers.end(),
                    more_likely);
  x.more += x.interferers.size() - kept;
  x.interferers.resize(kept);
}

}  // namespace

std::string charge_suffix(int charge) {
  return charge == 1 ? std::string("+") : std::to_string(charge) + "+";
}

double mass_tolerance(double mass_to_charge, const charge_options& options) {
  return std::max(options.tolerance_da, options.tolerance_percent / 100.0 * mass_to_charge);
}

std::string charge_options_problem(const charge_options& options) {
  if (!(std::isfinite(options.tolerance_da) && options.tolerance_da >= 0.0)) {
    return "the mass tolerance " + general_text(options.tolerance_da, 6) +
           " Da is not a finite number of at least 0";
  }
  if (!(std::isfinite(options.tolerance_percent) && options.tolerance_percent >= 0.0)) {
    return "the mass tolerance " + general_text(options.tolerance_percent, 6) +
           " % is not a finite number of at least 0";
  }
  if (!(options.dominance >= 1.0)) {
    return "the dominance factor " + general_text(options.dominance, 6) +
           " is not a number of at least 1";
  }
  return {};
}

std::string charge_assignment::label() const {
  if (status == charge_status::assigned) return element + charge_suffix(charge);
  return element;
}

charge_assignment assign_charge(const mass_range& range, std::string_view path,
                                const isotope_table& table) {
  return assign_charge(range, path, charge_options{}, table);
}

charge_assignment assign_charge(const mass_range& range, std::string_view path,
                                const charge_options& options, const isotope_table& table) {
  check_options(options);
  isotope_lookup lookup(table);
  return assign_range(range, path, options, lookup);
}

std::vector<charge_assignment> assign_charges(const range_file& file, const isotope_table& table) {
  return assign_charges(file, charge_options{}, table);
}

std::vector<charge_assignment> assign_charges(const range_file& file, const charge_options& options,
                                              const isotope_table& table) {
  check_options(options);
  isotope_lookup lookup(table);
  std::vector<charge_assignment> result;
  result.reserve(file.ranges.size());
  for (const mass_range& r : file.ranges) {
    result.push_back(assign_range(r, file.path, options, lookup));
  }
  return result;
}

std::string interference::listing(std::size_t most) const {
  std::string text = context;
  if (!interferers.empty()) {
    const std::size_t n = std::min(most, interferers.size());
    text += " also holds ";
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) text += ", ";
      text +=
          interferers[i].label + " (" + mass_to_charge_text(interferers[i].mass_to_charge) + " Da)";
    }
    const std::size_t rest = interferers.size() - n + more;
    if (rest > 0) {
      text += " and " + grouped(rest) + (n < interferers.size() ? " less likely" : " more") +
              (rest == 1 ? " ion" : " ions");
    }
  }
  if (incomplete) {
    text += std::string(interferers.empty() ? ": " : "; ") +
            "too many isotope combinations to check: the search for other ions in it stopped "
            "here";
    if (unchecked > 0) {
      text += ", and " + grouped(unchecked) + " further range" +
              (unchecked == 1 ? " was" : "s were") + " not searched";
    }
  }
  return text;
}

std::vector<interference> find_interferences(const range_file& file,
                                             const std::vector<charge_assignment>& assignments,
                                             std::string_view element, const isotope_table& table) {
  return find_interferences(file, assignments, element, interference_options{}, table);
}

std::vector<interference> find_interferences(const range_file& file,
                                             const std::vector<charge_assignment>& assignments,
                                             std::string_view element,
                                             const interference_options& options,
                                             const isotope_table& table) {
  std::vector<interference> result;
  if (assignments.size() != file.ranges.size()) return result;
  const std::string_view chosen = element.empty() ? element : table.canonical_symbol(element);
  if (!element.empty() && chosen.empty()) return result;
  std::vector<std::size_t> asked;
  for (std::size_t r = 0; r < file.ranges.size(); ++r) {
    const charge_assignment& a = assignments[r];
    if (a.assigned() && (chosen.empty() || a.element == chosen)) asked.push_back(r);
  }
  if (asked.empty()) return result;

  const std::vector<species> ions = species_of(file, table);
  const species_index index(ions);
  work_budget budget{0, options.budget, options.cancel};

  // The charges at which the file has each ion: for one atom those its
  // ranges were assigned; for a molecule those at which one of its ranges
  // holds some isotope combination (found when first asked).
  std::unordered_map<std::string, std::vector<bool>> atom_charges;
  for (const charge_assignment& a : assignments) {
    if (!a.assigned()) continue;
    auto& charges = atom_charges[a.element];
    charges.resize(highest_charge + 1, false);
    charges[static_cast<std::size_t>(a.charge)] = true;
  }
  constexpr std::size_t ranges_tried = 16;
  std::vector<signed char> molecule_charges(ions.size() * (highest_charge + 1), -1);
  const auto in_file = [&](std::size_t s, int q) {
    const species& sp = ions[s];
    if (sp.single_atom()) {
      const auto found = atom_charges.find(sp.parts.front().isotopes.front().symbol);
      return found != atom_charges.end() && found->second[static_cast<std::size_t>(q)];
    }
    signed char& known = molecule_charges[s * (highest_charge + 1) + static_cast<std::size_t>(q)];
    if (known < 0) {
      bool held = false;
      for (std::size_t k = 0; k < sp.ranges.size() && k < ranges_tried && !held; ++k) {
        combination_search search(sp, file.ranges[sp.ranges[k]], q, budget,
                                  [&held](double, double, const combination_search&) {
                                    held = true;
                                    return false;
                                  });
        search.run();
      }
      known = held ? 1 : 0;
    }
    return known == 1;
  };

  std::size_t room = options.kept_in_all;  // interferers that may still be kept
  for (std::size_t k = 0; k < asked.size(); ++k) {
    const std::size_t kept = std::min(options.kept, room);
    const std::size_t r = asked[k];
    const charge_assignment& a = assignments[r];
    const mass_range& range = file.ranges[r];
    interference x;
    x.range = r;
    std::vector<std::string> own_labels;
    for (const isotope& i : a.isotopes) own_labels.push_back(i.label() + charge_suffix(a.charge));
    x.own = joined(own_labels, ", ");
    x.context = where(file.path, range) + "the range " + bounds_text(range) + " of " + x.own;
    // Every other ion whose masses reach the range at each charge.
    const auto look_at = [&](int q, std::size_t s) {
      if (!budget.spend()) return false;
      const species& sp = ions[s];
      if (sp.single_atom() && sp.parts.front().isotopes.front().symbol == a.element) return true;
      std::optional<bool> seen;  // the file has the ion at q; asked at the first hit
      combination_search search(
          sp, range, q, budget,
          [&](double mass, double share, const combination_search& combination) {
            if (!seen) seen = in_file(s, q);
            x.interferers.push_back(
                {combination.label() + charge_suffix(q), sp.text, q, mass / q, share, *seen});
            if (x.interferers.size() >= 2 * std::max<std::size_t>(kept, 1)) {
              keep_most_likely(x, kept);
            }
            return true;
          });
      return search.run();
    };
    for (int q = 1; q <= highest_charge && !budget.exhausted(); ++q) {
      index.reaching(range.low * q * (1 - 1e-12), range.high * q * (1 + 1e-12),
                     [&](std::size_t s) { return look_at(q, s); });
    }
    keep_most_likely(x, kept);
    room -= x.interferers.size();
    if (budget.exhausted()) {
      x.incomplete = true;
      x.unchecked = asked.size() - k - 1;
    }
    if (!x.interferers.empty()) {
      x.other = x.interferers.front().label;
      x.other_charge = x.interferers.front().charge;
    }
    if (!x.interferers.empty() || x.incomplete) {
      x.message = x.listing(options.shown);
      result.push_back(std::move(x));
    }
    if (budget.exhausted()) break;
  }
  return result;
}

}  // namespace veltrane::apt
