#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "apt/charge_assignment.hpp"
#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "apt/range_file.hpp"
#include "compute/datasets/joint_dataset.hpp"
#include "compute/datasets/joint_field.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/range_design.hpp"

// The joint field of an alloy. BM_decompose: the decomposition of the
// range counts of a run of seven heavy elements with many isotopes (tin,
// xenon, cadmium, mercury, osmium and ytterbium at 1+ to 3+, dysprosium at
// 1+ and 2+: 20 species), every isotope ranged at every charge, the peaks
// that overlap (isobars, and 3+ of one element on 2+ of another) in one
// range: about 150 ranges. BM_range_design makes the design of those
// ranges (the shares and which species can be told apart).
//
// With VELTRANE_BENCH_ALLOY_DATA and VELTRANE_BENCH_ALLOY_RANGES naming a
// run and its range file (scripts/synthetic-dataset --alloy steel --ions
// 1e7 writes one), what the command line does with them, opening
// included: BM_joint_field_file (field --data ... : the whole run's joint
// field, every element's own field and the decomposition), BM_joint_map_file
// (map --elements all --bin 4), BM_joint_profile_file (blocks of 1e6 ions),
// and the parts of the first: BM_joint_count_file (counting every range),
// BM_joint_setup (the elements' models) and BM_joint_fit (the fits).
namespace {

using namespace veltrane;

struct ranged_species {
  const char* symbol;
  int highest_charge;
};

const ranged_species heavy_alloy[] = {{"Sn", 3}, {"Xe", 3}, {"Cd", 3}, {"Hg", 3},
                                      {"Os", 3}, {"Yb", 3}, {"Dy", 2}};

// Every isotope of the elements at every charge ranged 0.04 Da wide around
// its m/q; overlapping ranges merged into one, named after the element of
// its first isotope.
std::string heavy_alloy_ranges() {
  struct peak {
    double low, high;
    std::string symbol;
  };
  std::vector<peak> peaks;
  for (const auto& e : heavy_alloy) {
    for (const auto& i : apt::isotope_table::builtin().of(e.symbol)) {
      for (int q = 1; q <= e.highest_charge; ++q) {
        peaks.push_back({i.mass_u / q - 0.02, i.mass_u / q + 0.02, e.symbol});
      }
    }
  }
  std::sort(peaks.begin(), peaks.end(), [](const peak& a, const peak& b) { return a.low < b.low; });
  std::vector<peak> merged;
  for (const auto& p : peaks) {
    if (!merged.empty() && p.low <= merged.back().high) {
      merged.back().high = std::max(merged.back().high, p.high);
    } else {
      merged.push_back(p);
    }
  }
  std::ostringstream out;
  out.precision(10);
  out << "[Ions]\nNumber=" << std::size(heavy_alloy) << "\n";
  int n = 1;
  for (const auto& e : heavy_alloy) out << "Ion" << n++ << "=" << e.symbol << "\n";
  out << "[Ranges]\nNumber=" << merged.size() << "\n";
  n = 1;
  for (const auto& p : merged) {
    out << "Range" << n++ << "=" << p.low << " " << p.high << " Vol:0.02 " << p.symbol
        << ":1 Color:FF0000\n";
  }
  return out.str();
}

struct heavy_run {
  apt::range_file file = apt::parse_range_text(heavy_alloy_ranges(), "heavy.rrng");
  range_design design =
      design_ranges(file, apt::assign_charges(file, apt::charge_options{}), apt::charge_options{});
  fit_counts counts;

  heavy_run() {
    // Some 10^4 to 10^5 ions of every species, drawn by Poisson.
    std::mt19937_64 rng(5);
    std::vector<double> A(design.species.size());
    for (std::size_t s = 0; s < A.size(); ++s) A[s] = 1e4 * static_cast<double>(1 + s % 10);
    for (double mu : poisson_means(design.shares, A, {})) {
      counts.counts.push_back(static_cast<double>(std::poisson_distribution<long>(mu)(rng)));
    }
  }
};

const heavy_run& heavy() {
  static const heavy_run run;
  return run;
}

void BM_decompose(benchmark::State& state) {
  const heavy_run& run = heavy();
  for (auto _ : state) benchmark::DoNotOptimize(decompose(run.design, run.counts));
  state.counters["ranges"] = static_cast<double>(run.design.shares.ranges());
  state.counters["species"] = static_cast<double>(run.design.species.size());
}
BENCHMARK(BM_decompose)->Unit(benchmark::kMillisecond);

void BM_range_design(benchmark::State& state) {
  const heavy_run& run = heavy();
  for (auto _ : state) {
    benchmark::DoNotOptimize(design_ranges(
        run.file, apt::assign_charges(run.file, apt::charge_options{}), apt::charge_options{}));
  }
}
BENCHMARK(BM_range_design)->Unit(benchmark::kMillisecond);

// The files of the alloy run, when named.
struct alloy_files {
  std::string data, ranges;
};

std::optional<alloy_files> alloy_files_named() {
  const char* data = std::getenv("VELTRANE_BENCH_ALLOY_DATA");
  const char* ranges = std::getenv("VELTRANE_BENCH_ALLOY_RANGES");
  if (data == nullptr || ranges == nullptr) return std::nullopt;
  return alloy_files{data, ranges};
}

void joint_field_file(benchmark::State& state, const alloy_files& files) {
  for (auto _ : state) {
    const apt::dataset data = apt::open_data(files.data);
    const apt::range_file file = apt::read_range_file(files.ranges);
    benchmark::DoNotOptimize(joint_field_of_run(data, file, {}));
  }
}

void joint_map_file(benchmark::State& state, const alloy_files& files) {
  std::size_t bins = 0;
  for (auto _ : state) {
    const apt::dataset data = apt::open_data(files.data);
    const apt::range_file file = apt::read_range_file(files.ranges);
    const joint_field_map map = map_joint_field(data, file, {}, map_plane::detector, 4.0);
    bins = map.bins.size();
    benchmark::DoNotOptimize(map);
  }
  state.counters["bins"] = static_cast<double>(bins);
}

void joint_profile_file(benchmark::State& state, const alloy_files& files) {
  for (auto _ : state) {
    const apt::dataset data = apt::open_data(files.data);
    const apt::range_file file = apt::read_range_file(files.ranges);
    benchmark::DoNotOptimize(profile_joint_field(data, file, {}, 1000000, 3.3));
  }
}

void joint_count_file(benchmark::State& state, const alloy_files& files) {
  for (auto _ : state) {
    const apt::dataset data = apt::open_data(files.data);
    const apt::range_file file = apt::read_range_file(files.ranges);
    benchmark::DoNotOptimize(count_every_range(data, file, {}));
  }
}

void joint_setup_of(benchmark::State& state, const alloy_files& files) {
  const apt::dataset data = apt::open_data(files.data);
  const apt::range_file file = apt::read_range_file(files.ranges);
  const range_tally run = count_every_range(data, file, {});
  for (auto _ : state) benchmark::DoNotOptimize(joint_setup(file, {}, run));
}

void joint_fit(benchmark::State& state, const alloy_files& files) {
  const apt::dataset data = apt::open_data(files.data);
  const apt::range_file file = apt::read_range_file(files.ranges);
  const range_tally run = count_every_range(data, file, {});
  const joint_setup setup(file, {}, run);
  const fit_counts counts = run.for_fit(false);
  const joint_options options = fit_options({}, std::nan(""), "run");
  for (auto _ : state) {
    benchmark::DoNotOptimize(setup.model().fit(counts, options));
    benchmark::DoNotOptimize(decompose(setup.design(), counts));
  }
}

const bool alloy_files_registered = [] {
  const auto files = alloy_files_named();
  if (!files) return false;
  for (const auto& [name, function] :
       {std::pair{"BM_joint_field_file", &joint_field_file},
        std::pair{"BM_joint_map_file", &joint_map_file},
        std::pair{"BM_joint_profile_file", &joint_profile_file},
        std::pair{"BM_joint_count_file", &joint_count_file},
        std::pair{"BM_joint_setup", &joint_setup_of}, std::pair{"BM_joint_fit", &joint_fit}}) {
    benchmark::RegisterBenchmark(name, function, *files)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(2.0);
  }
  return true;
}();

}  // namespace
BENCHMARK_MAIN();
