#include "compute/datasets/field_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <tuple>
#include <type_traits>
#include <unordered_map>

#include "compute/curves/number_format.hpp"

namespace veltrane {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

struct bin_key {
  std::int64_t i, j;
  bool operator==(const bin_key&) const = default;
};
struct bin_hash {
  std::size_t operator()(const bin_key& b) const {
    const auto a = static_cast<std::uint64_t>(b.i), c = static_cast<std::uint64_t>(b.j);
    return static_cast<std::size_t>((a * 0x9E3779B97F4A7C15ull) ^ (c + 0x7F4A7C159E3779B9ull));
  }
};
using bin_counts = detail::pair_counts;

// Bin numbers of at most this size (and not NaN) are counted; beyond it
// they would pass what 63 bits can number.
constexpr double largest_bin_number = 4e18;

// floor(q) for |q| < largest_bin_number, by truncation: std::floor is a
// library call on the baseline instruction set. A double that large is a
// whole number, so |q| below the bound is |floor(q)| below it.
std::int64_t floor_index(double q) {
  const auto t = static_cast<std::int64_t>(q);
  return static_cast<double>(t) > q ? t - 1 : t;
}

// The counts of one worker's bins: a dense square of bins around the
// origin, where a detector's or a specimen's bins lie, and a hash map for
// any bin beyond it. The square's memory comes zeroed from the system, so
// only the pages of bins that are counted are ever touched (when summing
// the square, they are only read).
class bin_tally {
 public:
  bin_tally() : dense_(zeroed_square()) {}

  bin_counts& at(std::int64_t i, std::int64_t j) {
    const auto di = static_cast<std::uint64_t>(i + half), dj = static_cast<std::uint64_t>(j + half);
    if (di < side && dj < side) return dense_.get()[di * side + dj];
    return sparse_[{i, j}];
  }
  // Calls f(i, j, counts) for every bin with counts.
  template <class function>
  void each(const function& f) const {
    for (std::size_t d = 0; d < side * side; ++d) {
      const bin_counts& c = dense_.get()[d];
      if (c[0] + c[1] + c[2] + c[3] == 0) continue;
      f(static_cast<std::int64_t>(d / side) - half, static_cast<std::int64_t>(d % side) - half, c);
    }
    for (const auto& [key, c] : sparse_) f(key.i, key.j, c);
  }

 private:
  static constexpr std::int64_t half = 256;
  static constexpr std::uint64_t side = 2 * half;
  struct release {
    void operator()(bin_counts* p) const { std::free(p); }
  };
  using square = std::unique_ptr<bin_counts[], release>;
  static square zeroed_square() {
    // Arrays of whole numbers: zeroed bytes are zero counts.
    static_assert(std::is_trivially_copyable_v<bin_counts>);
    auto* p = static_cast<bin_counts*>(std::calloc(side * side, sizeof(bin_counts)));
    if (p == nullptr) throw std::bad_alloc();
    return square(p);
  }
  square dense_;
  std::unordered_map<bin_key, bin_counts, bin_hash> sparse_;
};

void check_map_options(const apt::dataset& data, const map_options& options) {
  if (const std::string fault = bin_fault(options.bin); !fault.empty()) throw input_refused(fault);
  check_confidence(options.confidence);
  if (options.over == map_plane::detector && !data.has(apt::columns::detector)) {
    throw input_refused(data.path() + ": the file holds no detector coordinates (" +
                        std::string(apt::format_name(data.format())) +
                        "); map over the specimen instead");
  }
  if (options.over == map_plane::specimen && !data.has(apt::columns::position)) {
    throw input_refused(data.path() + ": the file holds no reconstructed positions");
  }
}

// What one pass over the dataset counts for a map: every range of the
// element (per worker), and the pair's ions by bin, merged in bin order.
struct binned_counts {
  std::vector<detail::counting_pass::tally> counts;
  std::map<std::pair<std::int64_t, std::int64_t>, bin_counts> bins;
  std::uint64_t without_position = 0;
  // Ions with finite coordinates whose bin numbers would pass 63 bits.
  std::uint64_t beyond_bins = 0;
};

}  // namespace

unsigned detail::map_worker_count(const apt::dataset& data, const map_options& options) {
  const std::uint64_t per_worker = std::max<std::uint64_t>(options.min_ions_per_worker, 1);
  const std::uint64_t most = std::max<std::uint64_t>(1, data.ion_count() / per_worker);
  return static_cast<unsigned>(
      std::min<std::uint64_t>(detail::worker_count(data, options.counting), most));
}

namespace {

// One worker's counts of a map: the pass's tally and the pair's ions by bin.
struct map_tally {
  detail::counting_pass::tally counts;
  bin_tally bins;
  std::uint64_t without_position = 0, beyond_bins = 0;

  // Counts an ion at (x, y) in counter c of its bin of side b: 0 and 1 the
  // pair's states in their ranges, 2 and 3 in their background windows.
  // Inlined into the loop over the ions, where it runs for most of them.
  [[gnu::always_inline]] void add(float x, float y, double b, std::size_t c) {
    const double i = static_cast<double>(x) / b;
    const double j = static_cast<double>(y) / b;
    if (std::abs(i) < largest_bin_number && std::abs(j) < largest_bin_number) {
      ++bins.at(floor_index(i), floor_index(j))[c];
    } else if (std::isfinite(x) && std::isfinite(y)) {
      ++beyond_bins;  // the bin is too small for where the ion lies
    } else if (c < 2) {
      ++without_position;
    }
  }
};

binned_counts count_by_bin(const apt::dataset& data, const detail::counting_pass& pass, int k,
                           const map_options& options) {
  const bool over_detector = options.over == map_plane::detector;
  const std::vector<int> pair_of_slot = detail::pair_of_slots(pass, k);
  counting_options counting = options.counting;
  counting.threads = detail::map_worker_count(data, options);
  std::vector<map_tally> tallies(detail::worker_count(data, counting));
  for (map_tally& t : tallies) t.counts = pass.new_tally();
  const bool filter = pass.single_hits();
  const apt::columns wanted =
      (over_detector ? apt::columns::detector : apt::columns::position) | pass.columns();
  const double b = options.bin;
  detail::for_each_chunk_parallel(
      data, wanted, counting, [&](unsigned worker, const apt::ion_chunk& chunk, std::size_t) {
        map_tally& t = tallies[worker];
        const float* xs = over_detector ? chunk.det_x.data() : chunk.x.data();
        const float* ys = over_detector ? chunk.det_y.data() : chunk.y.data();
        const float* mass = chunk.mass.data();
        const int* pairs = pair_of_slot.data();
        const std::uint32_t* multiplicity =
            filter && !chunk.multiplicity.empty() ? chunk.multiplicity.data() : nullptr;
        const std::size_t size = chunk.size();
        for (std::size_t n = 0; n < size; ++n) {
          if (multiplicity != nullptr && multiplicity[n] != 1) continue;
          const int slot = pass.place(static_cast<double>(mass[n]), t.counts, [&](int window) {
            const int pair = pairs[static_cast<std::size_t>(window)];
            if (pair >= 0) t.add(xs[n], ys[n], b, 2 + static_cast<std::size_t>(pair));
          });
          if (slot < 0) continue;
          const int pair = pairs[static_cast<std::size_t>(slot)];
          if (pair >= 0) t.add(xs[n], ys[n], b, static_cast<std::size_t>(pair));
        }
      });
  binned_counts result;
  for (const auto& t : tallies) {
    result.counts.push_back(t.counts);
    result.without_position += t.without_position;
    result.beyond_bins += t.beyond_bins;
    t.bins.each([&result](std::int64_t i, std::int64_t j, const bin_counts& c) {
      bin_counts& into = result.bins[{i, j}];
      for (std::size_t s = 0; s < 4; ++s) into[s] += c[s];
    });
  }
  return result;
}

// The bins with ions of the pair, each with its counts and ratio; a bin
// with fewer ions than the options ask for is masked and gets no ratio.
void add_bins(field_map& map, const binned_counts& counted, int k, const map_options& options) {
  for (const auto& [key, c] : counted.bins) {
    if (c[0] + c[1] == 0) continue;  // background alone
    map_bin bin;
    bin.i = key.first;
    bin.j = key.second;
    bin.x = (static_cast<double>(bin.i) + 0.5) * map.bin;
    bin.y = (static_cast<double>(bin.j) + 0.5) * map.bin;
    bin.masked = c[0] + c[1] < options.min_counts;
    bin.field = detail::pair_of_counts(k, c, map.overall.factor, options.confidence);
    if (bin.masked) bin.field.ratio = bin.field.ratio_low = bin.field.ratio_high = nan_value;
    map.bins.push_back(bin);
    if (map.i_max < map.i_min) {
      map.i_min = map.i_max = bin.i;
      map.j_min = map.j_max = bin.j;
    }
    map.i_min = std::min(map.i_min, bin.i);
    map.i_max = std::max(map.i_max, bin.i);
    map.j_min = std::min(map.j_min, bin.j);
    map.j_max = std::max(map.j_max, bin.j);
  }
}

}  // namespace

std::string bin_fault(double bin) {
  if (bin > 0.0 && std::isfinite(bin)) return {};
  return "the bin size must be a finite number above 0, not " + format_number(bin);
}

field_map map_field(const apt::dataset& data, const apt::range_file& file, ratio_inverter& inverter,
                    const map_options& options) {
  check_map_options(data, options);
  field_map map;
  map.over = options.over;
  map.bin = options.bin;
  const detail::counting_pass pass(data, file, inverter.states().request().element,
                                   options.counting, options.charges);
  const int k = inverter.k();
  detail::check_pair_counted(pass, file, k);
  const binned_counts counted = count_by_bin(data, pass, k, options);
  if (counted.beyond_bins > 0) {
    const std::string unit = options.over == map_plane::detector ? " mm" : " nm";
    throw input_refused(
        "the bin size (--bin) of " + format_number(options.bin) + unit +
        " is too small for the coordinates: " + std::to_string(counted.beyond_bins) +
        " ions lie so far out that their bins cannot be numbered; take a larger "
        "bin");
  }
  map.without_position = counted.without_position;
  map.overall = detail::overall_of(pass.finish(counted.counts), file, inverter, options.confidence);
  map.messages = map.overall.counts.messages;
  for (const auto& w : map.overall.counts.warnings) map.messages.push_back(w);
  if (map.without_position > 0) {
    map.messages.push_back(data.path() + ": " + std::to_string(map.without_position) +
                           " ions of the pair have no finite coordinates and are not mapped");
  }
  add_bins(map, counted, k, options);
  std::vector<pair_field*> open;
  for (auto& bin : map.bins) {
    if (!bin.masked) open.push_back(&bin.field);
  }
  set_fields(open, inverter);
  return map;
}

std::uint64_t map_grid::cells() const {
  if (i_max < i_min || j_max < j_min) return 0;
  return static_cast<std::uint64_t>(i_max - i_min + 1) *
         static_cast<std::uint64_t>(j_max - j_min + 1);
}

namespace {

// The index range along one axis that holds the bulk of the ions: the
// 0.1 % and 99.9 % points of the weights, widened by half their distance
// and a bin on either side, within [lowest, highest].
std::pair<std::int64_t, std::int64_t> bulk_of(std::vector<std::pair<std::int64_t, double>> at,
                                              std::int64_t lowest, std::int64_t highest) {
  std::sort(at.begin(), at.end());
  double total = 0.0;
  for (const auto& [index, weight] : at) total += weight;
  const auto point = [&](double share) {
    double sum = 0.0;
    for (const auto& [index, weight] : at) {
      sum += weight;
      if (sum >= share * total) return index;
    }
    return at.back().first;
  };
  const std::int64_t low = point(0.001), high = point(0.999);
  // In doubles: the bins of a far-out ion may lie near the ends of 64 bits.
  const double margin = (static_cast<double>(high) - static_cast<double>(low)) / 2.0 + 1.0;
  const double from = std::max(static_cast<double>(low) - margin, static_cast<double>(lowest));
  const double to = std::min(static_cast<double>(high) + margin, static_cast<double>(highest));
  return {static_cast<std::int64_t>(std::floor(from)), static_cast<std::int64_t>(std::ceil(to))};
}

}  // namespace

map_grid grid_of(const field_map& map) {
  map_grid grid;
  if (map.bins.empty()) return grid;
  std::vector<std::pair<std::int64_t, double>> along_i, along_j;
  for (const auto& b : map.bins) {
    const double ions = b.field.count_lower + b.field.count_upper;
    along_i.emplace_back(b.i, ions);
    along_j.emplace_back(b.j, ions);
  }
  std::tie(grid.i_min, grid.i_max) = bulk_of(std::move(along_i), map.i_min, map.i_max);
  std::tie(grid.j_min, grid.j_max) = bulk_of(std::move(along_j), map.j_min, map.j_max);
  if (static_cast<double>(grid.i_max - grid.i_min + 1) *
          static_cast<double>(grid.j_max - grid.j_min + 1) >
      static_cast<double>(most_grid_cells)) {
    const std::string unit = map.over == map_plane::detector ? " mm" : " nm";
    throw input_refused("the bins of " + format_number(map.bin) + unit + " make a grid of " +
                        std::to_string(grid.i_max - grid.i_min + 1) + " x " +
                        std::to_string(grid.j_max - grid.j_min + 1) +
                        " bins over the bulk of the ions, more than " +
                        std::to_string(most_grid_cells) + "; take larger bins");
  }
  for (std::size_t b = 0; b < map.bins.size(); ++b) {
    const map_bin& bin = map.bins[b];
    if (bin.i < grid.i_min || bin.i > grid.i_max || bin.j < grid.j_min || bin.j > grid.j_max) {
      grid.outside.push_back(b);
      grid.ions_outside +=
          static_cast<std::uint64_t>(bin.field.count_lower + bin.field.count_upper);
    }
  }
  return grid;
}

std::string outside_grid_message(const field_map& map, const map_grid& grid) {
  if (grid.outside.empty()) return {};
  const std::string unit = map.over == map_plane::detector ? " mm" : " nm";
  const auto edge = [&map](std::int64_t i) {
    return format_number(static_cast<double>(i) * map.bin);
  };
  return std::to_string(grid.ions_outside) + (grid.ions_outside == 1 ? " ion" : " ions") +
         " of the pair in " + std::to_string(grid.outside.size()) +
         (grid.outside.size() == 1 ? " bin" : " bins") +
         (grid.ions_outside == 1 ? " lies" : " lie") + " outside the grid of x from " +
         edge(grid.i_min) + " to " + edge(grid.i_max + 1) + unit + ", y from " + edge(grid.j_min) +
         " to " + edge(grid.j_max + 1) + unit +
         ", far from the bulk of the ions; their bins are given apart";
}

std::optional<std::pair<double, double>> field_span(const field_map& map) {
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  for (const auto& b : map.bins) {
    if (b.masked || !std::isfinite(b.field.E)) continue;
    low = std::min(low, b.field.E);
    high = std::max(high, b.field.E);
  }
  if (!(low <= high)) return std::nullopt;
  return std::pair{low, high};
}

}  // namespace veltrane
