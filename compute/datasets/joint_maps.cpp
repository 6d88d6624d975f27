#include "compute/datasets/joint_maps.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <thread>
#include <unordered_map>

#include "compute/curves/number_format.hpp"
#include "compute/datasets/dataset_files.hpp"

namespace veltrane {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// More blocks than this are refused (as the pair's profile does).
constexpr std::uint64_t most_joint_blocks = 1000000;
// Bin numbers beyond this (either way) are refused: the bin is too small
// for where the ions lie.
constexpr double most_bin_index = 1073741824.0;  // 2^30

// The counters of one worker: per key (a bin or a block) every range's
// ions, then every range's background window's.
class keyed_counts {
 public:
  explicit keyed_counts(std::size_t ranges) : width_(2 * ranges) {}
  std::uint64_t* at(std::uint64_t key) {
    if (!(has_last_ && key == last_key_)) {
      const auto [it, added] = index_.try_emplace(key, store_.size());
      if (added) store_.resize(store_.size() + width_, 0);
      last_key_ = key;
      last_ = it->second;
      has_last_ = true;
    }
    return &store_[last_];
  }
  template <class function>
  void each(const function& f) const {
    for (const auto& [key, offset] : index_) f(key, &store_[offset]);
  }

 private:
  std::size_t width_;
  std::unordered_map<std::uint64_t, std::size_t> index_;
  std::vector<std::uint64_t> store_;
  std::uint64_t last_key_ = 0;
  std::size_t last_ = 0;
  bool has_last_ = false;
};

std::uint64_t bin_key(std::int64_t i, std::int64_t j) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(i)) << 32) |
         static_cast<std::uint32_t>(j);
}
std::pair<std::int64_t, std::int64_t> bin_of_key(std::uint64_t key) {
  return {static_cast<std::int32_t>(static_cast<std::uint32_t>(key >> 32)),
          static_cast<std::int32_t>(static_cast<std::uint32_t>(key & 0xffffffffu))};
}

// What one pass counts: the whole run, and every key's counters.
struct keyed_pass {
  range_tally total;
  std::map<std::uint64_t, std::vector<std::uint64_t>> keyed;  // by key
};

// One pass over the file: `key_of(chunk, n, key)` says the key of ion n
// (false: the ion has none, counted in the run alone). `per_ion(chunk, n,
// worker)` sees every ion that passes the filter (for sums of voltages).
template <class KeyOf>
keyed_pass count_by_key(const apt::dataset& data, const apt::range_file& file,
                        const counting_options& options, apt::columns wanted, KeyOf key_of) {
  const std::size_t R = file.ranges.size();
  std::vector<int> slots(R);
  std::iota(slots.begin(), slots.end(), 0);
  const detail::mass_lookup lookup(file, slots, options.background);
  const bool filter = options.single_hits && data.has(apt::columns::multiplicity);
  const unsigned workers = detail::worker_count(data, options);
  std::vector<range_tally> totals(workers);
  std::vector<keyed_counts> keyed(workers, keyed_counts(R));
  for (auto& t : totals) {
    t.counts.assign(R, 0);
    t.window.assign(R, 0);
  }
  detail::for_each_chunk_parallel(
      data, wanted | (filter ? apt::columns::multiplicity : apt::columns::none), options,
      [&](unsigned worker, const apt::ion_chunk& chunk, std::size_t) {
        range_tally& t = totals[worker];
        keyed_counts& k = keyed[worker];
        for (std::size_t n = 0; n < chunk.size(); ++n) {
          if (!detail::passes(chunk, n, filter)) continue;
          ++t.ions;
          const double m = static_cast<double>(chunk.mass[n]);
          bool in_range = false;
          const int s = lookup.slot(m, in_range);
          if (s >= 0) {
            ++t.counts[static_cast<std::size_t>(s)];
            std::uint64_t key = 0;
            if (key_of(chunk, n, key)) ++k.at(key)[s];
          } else if (!in_range && lookup.window_near(m)) {
            std::uint64_t key = 0;
            const bool keyed_ion = key_of(chunk, n, key);
            lookup.windows_holding(m, [&](int w) {
              ++t.window[static_cast<std::size_t>(w)];
              if (keyed_ion) ++k.at(key)[R + static_cast<std::size_t>(w)];
            });
          }
        }
      });
  keyed_pass out;
  out.total = totals.front();
  for (unsigned w = 1; w < workers; ++w) {
    out.total.ions += totals[w].ions;
    for (std::size_t r = 0; r < R; ++r) {
      out.total.counts[r] += totals[w].counts[r];
      out.total.window[r] += totals[w].window[r];
    }
  }
  for (const auto& k : keyed) {
    k.each([&](std::uint64_t key, const std::uint64_t* c) {
      auto& into = out.keyed[key];
      if (into.empty()) into.assign(2 * R, 0);
      for (std::size_t r = 0; r < 2 * R; ++r) into[r] += c[r];
    });
  }
  return out;
}

range_tally tally_of(const std::vector<std::uint64_t>& keyed, std::size_t ranges) {
  range_tally t;
  t.counts.assign(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(ranges));
  t.window.assign(keyed.begin() + static_cast<std::ptrdiff_t>(ranges), keyed.end());
  t.ions = std::accumulate(t.counts.begin(), t.counts.end(), std::uint64_t{0});
  return t;
}

// Fits every cell on `threads` threads, each from the run's field; the
// cells are independent, so the answers do not depend on the threads.
void fit_cells(const joint_setup& setup, const joint_request& request, double start,
               const std::string& counts_of, std::vector<joint_cell*>& cells,
               const std::vector<range_tally>& tallies, unsigned threads) {
  const joint_options options = fit_options(request, start, counts_of);
  std::atomic<std::size_t> next{0};
  auto work = [&]() {
    for (;;) {
      if (request.counting.cancel != nullptr && request.counting.cancel->load()) return;
      const std::size_t c = next.fetch_add(1);
      if (c >= cells.size()) return;
      cells[c]->ions = tallies[c].ions;
      cells[c]->answer = setup.model().fit(tallies[c].for_fit(setup.background()), options);
    }
  };
  const unsigned n = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(cells.size())));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < n; ++t) pool.emplace_back(work);
  work();
  for (auto& t : pool) t.join();
  if (request.counting.cancel != nullptr && request.counting.cancel->load()) {
    throw calculation_cancelled();
  }
}

unsigned fit_threads(const joint_request& request) {
  return request.counting.threads == 0 ? std::max(1u, std::thread::hardware_concurrency())
                                       : request.counting.threads;
}

// The numbers of one cell: the joint field, its interval, p and each
// element's own field (nan where masked or left out).
std::vector<double> cell_numbers(const joint_cell& cell, std::size_t elements) {
  const joint_answer& a = cell.answer;
  std::vector<double> v{static_cast<double>(cell.ions)};
  if (!a.field.found) {
    v.insert(v.end(), 4 + elements, nan);
    return v;
  }
  v.insert(v.end(), {a.field.E, a.field.low, a.field.high, a.test.p_value});
  for (std::size_t e = 0; e < elements; ++e) {
    const element_part& part = a.elements[e];
    v.push_back(part.used && part.own.found ? part.own.E : nan);
  }
  return v;
}

std::string csv_line(const std::vector<double>& values) {
  std::string line;
  for (double x : values) line += (line.empty() ? "" : ",") + shortest_number(x);
  return line;
}

std::string element_columns(const joint_run& run) {
  std::string out;
  for (const auto& symbol : run.setup->symbols()) out += ",E_" + symbol + "_V_per_nm";
  return out;
}

}  // namespace

double tip_radius_nm(std::optional<double> volts, double field_v_per_nm, double kf) {
  if (!volts) return nan;
  return *volts / (kf * field_v_per_nm);
}

void check_field_factor(std::optional<double> kf) {
  if (kf && !(*kf > 0.0 && std::isfinite(*kf))) {
    throw input_refused("the field factor k_f must be a finite number above 0, not " +
                        shortest_number(*kf));
  }
}

joint_field_map map_joint_field(const apt::dataset& data, const apt::range_file& file,
                                const joint_request& request, map_plane over, double bin) {
  check_joint_request(request);
  if (!(bin > 0.0 && std::isfinite(bin))) {
    throw input_refused("the bin size must be a finite number above 0, not " +
                        shortest_number(bin));
  }
  const bool over_detector = over == map_plane::detector;
  if (over_detector && !data.has(apt::columns::detector)) {
    throw input_refused(data.path() + ": the file holds no detector coordinates (" +
                        std::string(apt::format_name(data.format())) +
                        "); map over the specimen instead");
  }
  if (!over_detector && !data.has(apt::columns::position)) {
    throw input_refused(data.path() + ": the file holds no reconstructed positions");
  }
  std::atomic<std::uint64_t> without_position{0}, beyond{0};
  const keyed_pass pass = count_by_key(
      data, file, request.counting, over_detector ? apt::columns::detector : apt::columns::position,
      [&](const apt::ion_chunk& chunk, std::size_t n, std::uint64_t& key) {
        const float x = over_detector ? chunk.det_x[n] : chunk.x[n];
        const float y = over_detector ? chunk.det_y[n] : chunk.y[n];
        if (!std::isfinite(x) || !std::isfinite(y)) {
          without_position.fetch_add(1, std::memory_order_relaxed);
          return false;
        }
        const double i = std::floor(static_cast<double>(x) / bin);
        const double j = std::floor(static_cast<double>(y) / bin);
        if (!(std::abs(i) < most_bin_index && std::abs(j) < most_bin_index)) {
          beyond.fetch_add(1, std::memory_order_relaxed);
          return false;
        }
        key = bin_key(static_cast<std::int64_t>(i), static_cast<std::int64_t>(j));
        return true;
      });
  if (beyond.load() > 0) {
    throw input_refused("the bin size (--bin) of " + shortest_number(bin) +
                        (over_detector ? " mm" : " nm") +
                        " is too small for the coordinates: " + std::to_string(beyond.load()) +
                        " ions lie so far out that their bins cannot be numbered; take a larger "
                        "bin");
  }
  joint_field_map map;
  map.over = over;
  map.bin = bin;
  map.overall = joint_field_of_counts(file, request, pass.total);
  map.without_position = without_position.load();
  map.messages = map.overall.setup->messages();
  const std::size_t R = file.ranges.size();
  std::vector<range_tally> tallies;
  std::vector<std::pair<std::int64_t, std::int64_t>> where;
  for (const auto& [key, counters] : pass.keyed) {
    range_tally t = tally_of(counters, R);
    if (t.ions == 0) continue;  // background windows alone
    where.push_back(bin_of_key(key));
    tallies.push_back(std::move(t));
  }
  // By i, then by j.
  std::vector<std::size_t> order(where.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return where[a] < where[b]; });
  map.bins.resize(order.size());
  std::vector<range_tally> sorted(order.size());
  std::vector<joint_cell*> cells;
  for (std::size_t k = 0; k < order.size(); ++k) {
    joint_map_bin& b = map.bins[k];
    b.i = where[order[k]].first;
    b.j = where[order[k]].second;
    b.x = (static_cast<double>(b.i) + 0.5) * bin;
    b.y = (static_cast<double>(b.j) + 0.5) * bin;
    sorted[k] = std::move(tallies[order[k]]);
    cells.push_back(&b);
  }
  const double start = map.overall.answer.field.found ? map.overall.answer.field.top : nan;
  fit_cells(*map.overall.setup, request, start, "bin", cells, sorted, fit_threads(request));
  if (map.without_position > 0) {
    map.messages.push_back(std::to_string(map.without_position) +
                           " ions in ranges have no finite coordinates and are in no bin.");
  }
  return map;
}

std::vector<std::string> joint_map_csv_lines(const joint_field_map& map) {
  const bool detector = map.over == map_plane::detector;
  std::vector<std::string> lines;
  lines.push_back(std::string(detector ? "x_mm,y_mm" : "x_nm,y_nm") +
                  ",ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value" +
                  element_columns(map.overall));
  const std::size_t elements = map.overall.setup->symbols().size();
  for (const auto& b : map.bins) {
    std::vector<double> v{b.x, b.y};
    const std::vector<double> rest = cell_numbers(b, elements);
    v.insert(v.end(), rest.begin(), rest.end());
    lines.push_back(csv_line(v));
  }
  return lines;
}

joint_field_profile profile_joint_field(const apt::dataset& data, const apt::range_file& file,
                                        const joint_request& request, std::uint64_t block,
                                        std::optional<double> kf) {
  check_joint_request(request);
  if (block == 0) throw input_refused("a block must hold at least 1 ion");
  check_field_factor(kf);
  const std::uint64_t ions = data.ion_count();
  const std::uint64_t blocks = ions / block + (ions % block != 0 ? 1 : 0);
  if (blocks > most_joint_blocks) {
    throw input_refused("blocks of " + std::to_string(block) + " ions make " +
                        std::to_string(blocks) + " blocks of " + std::to_string(ions) +
                        " ions, more than " + std::to_string(most_joint_blocks) +
                        "; take larger blocks");
  }
  const keyed_pass pass =
      count_by_key(data, file, request.counting, apt::columns::none,
                   [block](const apt::ion_chunk& chunk, std::size_t n, std::uint64_t& key) {
                     key = (chunk.first + n) / block;
                     return true;
                   });
  // The mean DC voltage of every block, summed in file order (so that it
  // does not depend on the threads).
  const double volts_per_unit = data.voltages() == apt::voltage_unit::kilovolts ? 1000.0
                                : data.voltages() == apt::voltage_unit::volts   ? 1.0
                                                                                : nan;
  std::vector<double> v_sum(apt::to_size(blocks), 0.0);
  std::vector<std::uint64_t> v_count(apt::to_size(blocks), 0);
  if (data.has(apt::columns::dc_voltage) && std::isfinite(volts_per_unit)) {
    reading_dataset([&] {
      data.for_each_chunk(
          [&](const apt::ion_chunk& chunk) {
            for (std::size_t n = 0; n < chunk.size(); ++n) {
              if (!std::isfinite(chunk.v_dc[n])) continue;
              const auto b = apt::to_size((chunk.first + n) / block);
              v_sum[b] += static_cast<double>(chunk.v_dc[n]);
              ++v_count[b];
            }
            return request.counting.cancel == nullptr || !request.counting.cancel->load();
          },
          apt::default_chunk_ions, apt::columns::dc_voltage);
    });
  }

  joint_field_profile profile;
  profile.block = block;
  profile.kf = kf;
  profile.overall = joint_field_of_counts(file, request, pass.total);
  profile.messages = profile.overall.setup->messages();
  const std::size_t R = file.ranges.size();
  profile.blocks.resize(apt::to_size(blocks));
  std::vector<range_tally> tallies(profile.blocks.size());
  std::vector<joint_cell*> cells;
  for (std::size_t b = 0; b < profile.blocks.size(); ++b) {
    joint_profile_block& p = profile.blocks[b];
    p.first_ion = b * block;
    p.last_ion = std::min(ions, p.first_ion + block) - 1;
    if (v_count[b] > 0) p.mean_v_dc = v_sum[b] / static_cast<double>(v_count[b]) * volts_per_unit;
    const auto it = pass.keyed.find(b);
    tallies[b] = it == pass.keyed.end() ? tally_of(std::vector<std::uint64_t>(2 * R, 0), R)
                                        : tally_of(it->second, R);
    cells.push_back(&p);
  }
  const double start = profile.overall.answer.field.found ? profile.overall.answer.field.top : nan;
  fit_cells(*profile.overall.setup, request, start, "block", cells, tallies, fit_threads(request));
  return profile;
}

std::vector<std::string> joint_profile_csv_lines(const joint_field_profile& profile) {
  std::vector<std::string> lines;
  lines.push_back("first_ion,last_ion,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value" +
                  element_columns(profile.overall) + ",V_dc_V," + (profile.kf ? "R_nm" : "kfR_nm"));
  const std::size_t elements = profile.overall.setup->symbols().size();
  for (const auto& b : profile.blocks) {
    // Ion numbers as whole numbers ("100000", not "1e+05").
    std::vector<double> v = cell_numbers(b, elements);
    v.push_back(b.mean_v_dc.value_or(nan));
    v.push_back(b.answer.field.found
                    ? tip_radius_nm(b.mean_v_dc, b.answer.field.E, profile.kf.value_or(1.0))
                    : nan);
    lines.push_back(std::to_string(b.first_ion) + "," + std::to_string(b.last_ion) + "," +
                    csv_line(v));
  }
  return lines;
}

}  // namespace veltrane
