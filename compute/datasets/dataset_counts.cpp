#include "compute/datasets/dataset_counts.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/joint_dataset.hpp"
#include "compute/datasets/joint_field.hpp"
#include "compute/datasets/range_design.hpp"

namespace veltrane {

namespace {

std::string range_text(const apt::mass_range& r) {
  return shortest_number(r.low) + "\u2013" + shortest_number(r.high) + " Da";
}

std::string where(const apt::range_file& file, const apt::mass_range& r) {
  return file.path + ":" + std::to_string(r.line) + ": ";
}

// True when some range of `file` other than `self` has ions strictly inside
// [low, high] (touching at a bound does not count). The ranges are sorted
// and do not overlap, so their upper bounds rise too: the first range that
// ends above `low` (or the one after it, when that is `self`) decides.
bool holds_range(const apt::range_file& file, std::size_t self, double low, double high) {
  const auto& ranges = file.ranges;
  auto i = static_cast<std::size_t>(
      std::upper_bound(ranges.begin(), ranges.end(), low,
                       [](double value, const apt::mass_range& r) { return value < r.high; }) -
      ranges.begin());
  for (; i < ranges.size() && ranges[i].low < high; ++i) {
    if (i != self && ranges[i].high > low) return true;
  }
  return false;
}

}  // namespace

background_window background_window_of(const apt::range_file& file, std::size_t index) {
  const auto& r = file.ranges.at(index);
  const double width = r.high - r.low;
  background_window w;
  if (r.low - width >= 0.0 && !holds_range(file, index, r.low - width, r.low)) {
    w = {background_side::below, r.low - width, r.low};
  } else if (!holds_range(file, index, r.high, r.high + width)) {
    w = {background_side::above, r.high, r.high + width};
  }
  return w;
}

std::optional<apt::charge_options> parse_mass_tolerance(std::string_view text,
                                                        std::string* message) {
  const auto refuse = [&](std::string why) {
    if (message != nullptr) *message = std::move(why);
    return std::nullopt;
  };
  const std::string usage =
      "a mass tolerance is a mass in Da (0.05), a share of m/q in per cent (0.3%) or both "
      "(0.05,0.3%), not \"" +
      std::string(text) + "\"";
  apt::charge_options options;
  bool da = false, percent = false;
  std::string_view rest = text;
  while (true) {
    const std::size_t comma = rest.find(',');
    std::string_view term = rest.substr(0, comma);
    while (!term.empty() && term.front() == ' ') term.remove_prefix(1);
    while (!term.empty() && term.back() == ' ') term.remove_suffix(1);
    const bool is_percent = !term.empty() && term.back() == '%';
    if (is_percent) term.remove_suffix(1);
    const auto value = parse_number(term, plain_number_format());
    if (term.empty() || !value || (is_percent ? percent : da)) return refuse(usage);
    const double largest = is_percent ? largest_tolerance_percent : largest_tolerance_da;
    const std::string unit = is_percent ? " %" : " Da";
    if (!std::isfinite(*value) || *value < 0.0) {
      return refuse("the mass tolerance must be a finite number of at least 0, not " +
                    std::string(term) + unit);
    }
    if (*value > largest) {
      std::string why = "the mass tolerance " + format_number(*value) + unit;
      why += " is above the largest, " + format_number(largest) + unit;
      return refuse(why);
    }
    (is_percent ? options.tolerance_percent : options.tolerance_da) = *value;
    (is_percent ? percent : da) = true;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  // "0" alone: no tolerance at all.
  if (da && !percent && options.tolerance_da == 0.0) options.tolerance_percent = 0.0;
  return options;
}

std::string mass_tolerance_text(const apt::charge_options& options) {
  if (options.tolerance_da == 0.0 && options.tolerance_percent == 0.0) return "none";
  if (options.tolerance_percent == 0.0) return format_number(options.tolerance_da) + " Da";
  if (options.tolerance_da == 0.0) {
    return format_number(options.tolerance_percent) + " % of m/q";
  }
  return format_number(options.tolerance_da) + " Da or " +
         format_number(options.tolerance_percent) + " % of m/q, whichever is larger";
}

std::string isotope_coverage_warning(const charge_count& q) {
  if (q.isotopes.empty() || !(q.abundance_percent < least_isotope_coverage_percent)) return {};
  std::string isotopes;
  for (const auto& i : q.isotopes) isotopes += (isotopes.empty() ? "" : " ") + i.label();
  const std::string factor = q.abundance_percent > 0.0
                                 ? format_number(100.0 / q.abundance_percent) + " times"
                                 : "infinitely many times";
  return q.symbol + apt::charge_suffix(q.charge) + ": its ranges cover only " +
         format_number(q.abundance_percent) + " % of " + q.symbol + "'s isotopes (" + isotopes +
         "), so its corrected count is " + factor +
         " the ions counted; a field read from it rests on that factor";
}

const charge_count* dataset_counts::find(int charge, std::string_view wanted) const {
  const std::string_view s = wanted.empty() ? std::string_view(symbol) : wanted;
  for (const auto& c : charges) {
    if (c.charge == charge && (s.empty() || same_ignoring_case(c.symbol, s))) return &c;
  }
  return nullptr;
}

range_selection select_ranges(const apt::range_file& file, const std::string& symbol,
                              const apt::charge_options& charges, const std::atomic<bool>* cancel) {
  range_selection s;
  s.symbol = symbol;
  s.assignments = apt::assign_charges(file, charges);
  for (std::size_t i = 0; i < file.ranges.size(); ++i) {
    const auto& a = s.assignments[i];
    const bool ours = symbol.empty() || same_ignoring_case(a.element, symbol);
    if (a.assigned()) {
      if (!ours) continue;
      s.used.push_back(i);
      // Read by the mass tolerance, or by the abundance of one of its readings.
      if (!a.note.empty()) s.messages.push_back(a.note);
    } else if (symbol.empty() && (a.status == apt::charge_status::molecular ||
                                  a.status == apt::charge_status::unknown_element)) {
      s.named.push_back(i);
    } else if (!a.message.empty() && ours) {
      // Ambiguous and no-isotope ranges of the element (and, counting every
      // element, ranges of elements the isotope table does not know).
      s.messages.push_back(a.status == apt::charge_status::ambiguous
                               ? a.message + "; the range is left out of every count"
                               : a.message);
    }
  }
  if (s.used.empty()) {
    throw input_refused(file.path + ": no range of " + (symbol.empty() ? "any element" : symbol) +
                        " alone has a charge that its isotopes fit");
  }
  apt::interference_options search;
  search.cancel = cancel;
  reading_dataset(
      [&] { s.interferences = apt::find_interferences(file, s.assignments, symbol, search); });
  for (const auto& note : file.notes) s.messages.push_back(note);
  return s;
}

double isotope_factor(const charge_count& lower, const charge_count& upper) {
  return lower.abundance_percent / upper.abundance_percent;
}

namespace detail {

mass_lookup::mass_lookup(const apt::range_file& file, std::vector<int> slot_of_range,
                         bool background)
    : file_(&file), slot_of_range_(std::move(slot_of_range)) {
  add_windows(background);
  build_cells();
}

void mass_lookup::add_windows(bool background) {
  if (!background) return;
  for (std::size_t i = 0; i < file_->ranges.size(); ++i) {
    if (slot_of_range_[i] < 0) continue;
    const background_window w = background_window_of(*file_, i);
    if (w.side == background_side::none) continue;
    windows_.push_back({w.low, w.high, w.side == background_side::below, slot_of_range_[i]});
    widest_ = std::max(widest_, 2.0 * (w.high - w.low));
  }
  std::sort(windows_.begin(), windows_.end(),
            [](const window& a, const window& b) { return a.low < b.low; });
}

void mass_lookup::build_cells() {
  double top = 0.0;
  for (const auto& r : file_->ranges) {
    if (!(r.low >= 0.0 && r.high >= r.low)) return;  // searched, every mass
    top = std::max(top, r.high);
  }
  for (const auto& w : windows_) top = std::max(top, w.high);
  if (!(std::isfinite(top) && top > 0.0)) return;
  // Cells of 1/256 Da, wider for a table that would reach beyond 2^20 cells.
  constexpr double most_cells = 1 << 20;
  double scale = 256.0;
  while (top * scale >= most_cells) scale /= 2.0;
  const auto cell_of = [scale](double m) { return static_cast<std::size_t>(m * scale); };
  cells_.assign(cell_of(top) + 1, cell_outside);
  for (std::size_t i = 0; i < file_->ranges.size(); ++i) {
    const auto& r = file_->ranges[i];
    const int s = slot_of_range_[i];
    for (std::size_t c = cell_of(r.low); c <= cell_of(r.high); ++c) {
      cells_[c] = s >= 0 ? s : cell_uncounted;
    }
  }
  // A cell holding an edge has masses on either side of it; a window's cells
  // are searched too (the windows may overlap one another).
  for (const auto& r : file_->ranges) {
    cells_[cell_of(r.low)] = cell_searched;
    cells_[cell_of(r.high)] = cell_searched;
  }
  for (const auto& w : windows_) {
    for (std::size_t c = cell_of(std::max(w.low, 0.0)); c <= cell_of(w.high); ++c) {
      cells_[c] = cell_searched;
    }
  }
  cell_scale_ = scale;
  cell_end_ = static_cast<double>(cells_.size());
}

int mass_lookup::searched_slot(double m, bool& in_range) const {
  const auto index = file_->find(m);
  in_range = index.has_value();
  return index ? slot_of_range_[*index] : -1;
}

std::size_t mass_lookup::first_window_above(double m) const {
  const auto it = std::upper_bound(windows_.begin(), windows_.end(), m,
                                   [](double value, const window& w) { return value < w.low; });
  return static_cast<std::size_t>(it - windows_.begin());
}

unsigned worker_count(const apt::dataset& data, const counting_options& options) {
  const unsigned wanted = options.threads == 0 ? default_thread_count() : options.threads;
  const std::size_t chunk = std::max<std::size_t>(options.chunk_ions, 1);
  const std::uint64_t chunks = (data.ion_count() + chunk - 1) / chunk;
  return static_cast<unsigned>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(wanted, chunks)));
}

unsigned for_each_chunk_parallel(
    const apt::dataset& data, apt::columns wanted, const counting_options& options,
    const std::function<void(unsigned, const apt::ion_chunk&, std::size_t)>& per_chunk) {
  const std::size_t chunk_ions = std::max<std::size_t>(options.chunk_ions, 1);
  const std::uint64_t total = data.ion_count();
  const std::uint64_t chunks = (total + chunk_ions - 1) / chunk_ions;
  const unsigned workers = worker_count(data, options);
  std::atomic<std::uint64_t> next{0};
  constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();
  // The first chunk in file order that failed, and its exception.
  std::mutex failure_mutex;
  std::uint64_t failed_chunk = none;
  std::exception_ptr failure;
  std::atomic<std::uint64_t> failed_at{none};
  std::atomic<bool> cancelled{false};

  const auto work = [&](unsigned worker) {
    apt::ion_chunk chunk;
    for (;;) {
      const std::uint64_t c = next.fetch_add(1);
      if (c >= chunks || c > failed_at.load()) return;
      if (options.cancel != nullptr && options.cancel->load()) {
        cancelled = true;
        return;
      }
      try {
        const std::uint64_t first = c * chunk_ions;
        const std::size_t count = apt::to_size(std::min<std::uint64_t>(chunk_ions, total - first));
        data.decode(first, count, chunk, wanted);
        per_chunk(worker, chunk, apt::to_size(c));
        if (options.ions_done != nullptr) options.ions_done->fetch_add(count);
      } catch (...) {
        const std::lock_guard lock(failure_mutex);
        if (c < failed_chunk) {
          failed_chunk = c;
          failure = std::current_exception();
          failed_at = c;
        }
      }
    }
  };
  if (workers <= 1) {
    work(0);
  } else {
    std::vector<std::thread> pool;
    pool.reserve(workers);
    for (unsigned w = 0; w < workers; ++w) pool.emplace_back(work, w);
    for (auto& t : pool) t.join();
  }
  // What apt/ finds wrong while decoding is said as every fault of a file is.
  if (failure) reading_dataset([&failure] { std::rethrow_exception(failure); });
  if (cancelled) throw calculation_cancelled();
  return workers;
}

}  // namespace detail

namespace {

// The isotopes of several ranges of one charge, each once, in order of A.
void merge_isotopes(std::vector<apt::isotope>& into, const std::vector<apt::isotope>& more) {
  for (const auto& i : more) {
    const bool known = std::any_of(into.begin(), into.end(), [&i](const apt::isotope& j) {
      return j.mass_number == i.mass_number && j.symbol == i.symbol;
    });
    if (!known) into.push_back(i);
  }
  std::sort(into.begin(), into.end(), [](const apt::isotope& a, const apt::isotope& b) {
    return a.mass_number < b.mass_number;
  });
}

int atomic_number_of(std::string_view symbol) {
  const auto isotopes = apt::isotope_table::builtin().of(symbol);
  return isotopes.empty() ? 0 : isotopes.front().atomic_number;
}

}  // namespace

namespace detail {

namespace {

// One slot per counted range.
std::vector<int> slots_of(const apt::range_file& file, const range_selection& selection) {
  std::vector<int> slot_of_range(file.ranges.size(), -1);
  for (std::size_t s = 0; s < selection.used.size(); ++s) {
    slot_of_range[selection.used[s]] = static_cast<int>(s);
  }
  return slot_of_range;
}

}  // namespace

counting_pass::counting_pass(const apt::dataset& data, const apt::range_file& file,
                             const std::string& element, const counting_options& options,
                             const apt::charge_options& charges)
    : data_(&data),
      file_(&file),
      options_(options),
      charges_(charges),
      symbol_(element.empty() ? std::string() : element_symbol(element)),
      selection_(select_ranges(file, symbol_, charges, options.cancel)),
      filter_(options.single_hits && data.has(apt::columns::multiplicity)),
      lookup_(file, slots_of(file, selection_), options.background) {}

counting_pass::tally counting_pass::new_tally() const {
  return tally{std::vector<std::uint64_t>(slot_count(), 0),
               std::vector<std::uint64_t>(slot_count(), 0), 0};
}

int counting_pass::charge_of(std::size_t slot) const {
  return selection_.assignments[selection_.used[slot]].charge;
}

// A counted range of the pass: its counts, and with background its window.
counted_range counting_pass::range_counts(std::size_t slot, std::uint64_t inside,
                                          std::uint64_t window,
                                          std::vector<std::string>& messages) const {
  const std::size_t index = selection_.used[slot];
  const auto& a = selection_.assignments[index];
  const auto& r = file_->ranges[index];
  counted_range c;
  c.index = index;
  c.low = r.low;
  c.high = r.high;
  c.symbol = a.element;
  c.charge = a.charge;
  c.isotopes = a.isotopes;
  c.counts = inside;
  c.miss_da = a.miss_da;
  c.tolerance_da = a.tolerance_da;
  if (options_.background) {
    c.window = background_window_of(*file_, index);
    c.window_counts = window;
    if (c.window.side == background_side::none) {
      messages.push_back(where(*file_, r) + "the range " + range_text(r) + " of " + a.label() +
                         " has no free window of its width beside it; no background is "
                         "subtracted from it");
    }
  }
  return c;
}

namespace {

// A charge state's abundance, net and isotope-corrected counts, from its
// ranges' counts and background.
void correct(charge_count& q, std::vector<std::string>& messages) {
  q.abundance_percent = 0.0;
  for (const auto& i : q.isotopes) q.abundance_percent += i.abundance_percent;
  const double raw = static_cast<double>(q.counts);
  q.net = raw - q.background;
  if (q.net < 0.0) {
    messages.push_back("the background of " + q.symbol + apt::charge_suffix(q.charge) + " (" +
                       shortest_number(q.background) + ") exceeds its " + shortest_number(raw) +
                       " ions; its net count is taken as 0");
    q.net = 0.0;
  }
  q.corrected = q.abundance_percent > 0.0 ? q.net / (q.abundance_percent / 100.0) : 0.0;
}

}  // namespace

dataset_counts counting_pass::finish(const std::vector<tally>& tallies) const {
  dataset_counts result;
  result.symbol = symbol_;
  result.messages = selection_.messages;
  result.interferences = selection_.interferences;
  result.charging = charges_;
  result.ions = data_->ion_count();
  result.background = options_.background;
  result.single_hits = filter_;
  if (options_.single_hits && !filter_) {
    result.messages.push_back(data_->path() +
                              ": the file holds no multiplicity, so every ion is counted "
                              "(no single-hits filter)");
  }
  const std::size_t slots = selection_.used.size();
  std::vector<std::uint64_t> inside(slots, 0), window(slots, 0);
  for (const auto& t : tallies) {
    for (std::size_t s = 0; s < slots; ++s) {
      inside[s] += t.inside[s];
      window[s] += t.window[s];
    }
    result.counted_ions += t.passed;
  }
  // Per range, then per element and charge in order of Z and charge.
  std::map<std::pair<int, int>, charge_count> by_state;
  for (std::size_t s = 0; s < slots; ++s) {
    counted_range c = range_counts(s, inside[s], window[s], result.messages);
    charge_count& q = by_state[{atomic_number_of(c.symbol), c.charge}];
    q.symbol = c.symbol;
    q.charge = c.charge;
    q.ranges.push_back(c.index);
    q.counts += c.counts;
    q.background += static_cast<double>(c.window_counts);
    merge_isotopes(q.isotopes, c.isotopes);
    result.ranges.push_back(std::move(c));
  }
  for (auto& [key, q] : by_state) {
    correct(q, result.messages);
    if (std::string warning = isotope_coverage_warning(q); !warning.empty()) {
      result.warnings.push_back(std::move(warning));
    }
    result.charges.push_back(std::move(q));
  }
  return result;
}

}  // namespace detail

namespace {

// The ranges of names that are no single element's, grouped by name in the
// order of the file, with their counts from every range's.
std::vector<named_count> named_counts(const apt::range_file& file,
                                      const std::vector<std::size_t>& named,
                                      const range_tally& every, bool background) {
  std::vector<named_count> out;
  for (std::size_t i : named) {
    const std::string& name = file.ranges[i].name;
    auto it = std::find_if(out.begin(), out.end(),
                           [&name](const named_count& n) { return n.name == name; });
    if (it == out.end()) {
      named_count n;
      n.name = name;
      out.push_back(std::move(n));
      it = out.end() - 1;
    }
    it->ranges.push_back(i);
    it->bounds.emplace_back(file.ranges[i].low, file.ranges[i].high);
    it->counts += every.counts[i];
    if (background) it->background += static_cast<double>(every.window[i]);
  }
  for (auto& n : out) n.net = std::max(0.0, static_cast<double>(n.counts) - n.background);
  return out;
}

// The shares a design of `file` would hold at most: every range against the
// ranges of their own and up to eight charges of each element it names.
std::size_t design_size_bound(const apt::range_file& file,
                              const std::vector<apt::charge_assignment>& assignments) {
  std::size_t own = 0;
  std::set<std::string> elements(file.ions.begin(), file.ions.end());
  for (std::size_t i = 0; i < file.ranges.size(); ++i) {
    if (assignments[i].element.empty() || !file.ranges[i].single_atom()) ++own;
    for (const auto& part : file.ranges[i].composition) elements.insert(part.element);
  }
  const std::size_t species = own + elements.size() * apt::highest_charge;
  return file.ranges.size() * species;
}

// Every range's count decomposed into the species that may sit in it, the
// amounts written into the element's charge states (a line added for a
// species without ranges of its own) and the named counts.
void add_decomposition(dataset_counts& counts, const apt::range_file& file,
                       const range_selection& selection, const range_tally& every,
                       const apt::charge_options& charges, bool background) {
  if (design_size_bound(file, selection.assignments) > decomposition_budget) {
    counts.messages.push_back(
        file.path + ": the counts are not decomposed into the species that may share ranges: " +
        std::to_string(file.ranges.size()) +
        " ranges and their species are more than the decomposition is made for");
    return;
  }
  const range_design design = design_ranges(file, selection.assignments, charges);
  const std::vector<species_amount> amounts = decompose(design, every.for_fit(background));
  const auto set = [](auto& into, const species_amount& a) {
    into.decomposed = a.amount;
    into.decomposed_sigma = a.sigma;
    into.inseparable_from = a.inseparable_from;
  };
  for (std::size_t s = 0; s < design.species.size(); ++s) {
    const range_species& species = design.species[s];
    if (!species.element) {
      for (auto& n : counts.named) {
        if (n.name == species.symbol) set(n, amounts[s]);
      }
      continue;
    }
    if (!counts.symbol.empty() && !same_ignoring_case(species.symbol, counts.symbol)) continue;
    auto it =
        std::find_if(counts.charges.begin(), counts.charges.end(), [&](const charge_count& q) {
          return q.symbol == species.symbol && q.charge == species.charge;
        });
    if (it == counts.charges.end()) {
      charge_count q;
      q.symbol = species.symbol;
      q.charge = species.charge;
      // In order of Z and charge, as every line.
      const auto key = std::pair{atomic_number_of(q.symbol), q.charge};
      it = counts.charges.insert(
          std::find_if(counts.charges.begin(), counts.charges.end(),
                       [&key](const charge_count& c) {
                         return std::pair{atomic_number_of(c.symbol), c.charge} > key;
                       }),
          std::move(q));
    }
    set(*it, amounts[s]);
  }
  for (const auto& note : design.notes) counts.messages.push_back(note);
}

}  // namespace

dataset_counts count_charge_states(const apt::dataset& data, const apt::range_file& file,
                                   const std::string& element, const counting_options& options,
                                   const apt::charge_options& charges) {
  const detail::counting_pass pass(data, file, element, options, charges);
  // One pass counts every range; the element's states, the named ranges and
  // the decomposition all come from those counts.
  const range_tally every = count_every_range(data, file, options);
  const range_selection& selection = pass.selection();
  std::vector<detail::counting_pass::tally> tally(1, pass.new_tally());
  for (std::size_t s = 0; s < selection.used.size(); ++s) {
    tally[0].inside[s] = every.counts[selection.used[s]];
    tally[0].window[s] = every.window[selection.used[s]];
  }
  tally[0].passed = every.ions;
  dataset_counts result = pass.finish(tally);
  result.named = named_counts(file, selection.named, every, options.background);
  add_decomposition(result, file, selection, every, charges, options.background);
  return result;
}

}  // namespace veltrane
