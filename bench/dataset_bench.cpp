#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "apt/data_file.hpp"
#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/field_map.hpp"
#include "tests/support/apt_writers.hpp"

// Counting and mapping a synthetic Tungsten run held in memory as .epos
// bytes: every ion on a detector disc of 38 mm radius, 2+, 3+ or 4+ with a
// ratio of 3+ to 2+ that rises from 0.25 to 4 across the detector, an
// isotope by natural abundance, plus 2 % of flat background; the ranges
// cover 182W, 183W, 184W and 186W at each charge. The map is of the pair
// 3+/2+ in 2 mm bins with the accurate model (n = 3), all cores.
// BM_count_charge_states_file counts the same bytes from a file. BM_map_file
// does the same with the files named by VELTRANE_BENCH_DATA and
// VELTRANE_BENCH_RANGES (scripts/bench-dataset writes them), opening
// included, and is only there with them.
namespace {

using namespace veltrane;

struct isotope_line {
  double mass;
  double abundance;
};

// Tungsten as in apt/data/isotopes.csv, 180W (0.12 %) left out.
const std::vector<isotope_line> tungsten_isotopes = {
    {181.948206, 26.5}, {182.9502245, 14.31}, {183.9509326, 30.64}, {185.954362, 28.43}};

const double half_width = 0.05;  // Da

std::string range_text() {
  std::ostringstream out;
  out.precision(17);
  const int charges[] = {2, 3, 4};
  out << "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=" << 3 * tungsten_isotopes.size() << "\n";
  int index = 1;
  for (const int q : charges) {
    for (const isotope_line& iso : tungsten_isotopes) {
      const double centre = iso.mass / q;
      out << "Range" << index++ << "=" << centre - half_width << " " << centre + half_width
          << " Vol:0.01585 W:1 Color:0000FF\n";
    }
  }
  return out.str();
}

// The .epos bytes of `ions` synthetic ions (made once per size and kept).
struct prepared {
  std::vector<std::byte> bytes;
  std::optional<apt::dataset> data;
};

const prepared& dataset_of(std::size_t ions) {
  static std::map<std::size_t, std::unique_ptr<prepared>> made;
  std::unique_ptr<prepared>& slot = made[ions];
  if (slot) return *slot;
  apt::ion_columns c;
  for (std::vector<float>* column :
       {&c.x, &c.y, &c.z, &c.mass, &c.det_x, &c.det_y, &c.tof, &c.v_dc, &c.v_pulse}) {
    column->resize(ions);
  }
  c.pulse_delta.assign(ions, 0);
  c.multiplicity.assign(ions, 1);
  std::mt19937_64 rng(1);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<double> cumulative;
  double total = 0.0;
  for (const isotope_line& iso : tungsten_isotopes) cumulative.push_back(total += iso.abundance);
  const double pi = std::acos(-1.0);
  for (std::size_t i = 0; i < ions; ++i) {
    const double r = 38.0 * std::sqrt(unit(rng));
    const double angle = 2.0 * pi * unit(rng);
    const double dx = r * std::cos(angle), dy = r * std::sin(angle);
    c.det_x[i] = static_cast<float>(dx);
    c.det_y[i] = static_cast<float>(dy);
    c.x[i] = static_cast<float>(0.4 * dx);
    c.y[i] = static_cast<float>(0.4 * dy);
    c.z[i] = static_cast<float>(100.0 * static_cast<double>(i) / static_cast<double>(ions));
    c.v_dc[i] = 5000.0f;
    c.v_pulse[i] = 1000.0f;
    c.tof[i] = 500.0f;
    double m = 0.0;
    if (unit(rng) < 0.02) {
      m = 1.0 + 199.0 * unit(rng);
    } else {
      // Shares 1 : ratio : ratio^2 / 20 of 2+, 3+ and 4+.
      const double ratio = 0.25 * std::exp(std::log(16.0) * (dx + 38.0) / 76.0);
      const double shares = 1.0 + ratio + ratio * ratio / 20.0;
      const double u = unit(rng) * shares;
      const int q = u < 1.0 ? 2 : (u < 1.0 + ratio ? 3 : 4);
      const double v = unit(rng) * total;
      std::size_t k = 0;
      while (k + 1 < cumulative.size() && v >= cumulative[k]) ++k;
      m = tungsten_isotopes[k].mass / q + 0.04 * (unit(rng) - 0.5);
    }
    c.mass[i] = static_cast<float>(m);
  }
  slot = std::make_unique<prepared>();
  slot->bytes = apt::encode_data(apt::data_format::epos, c);
  slot->data.emplace(apt::open_data(slot->bytes, apt::data_format::epos, "synthetic.epos"));
  return *slot;
}

const apt::range_file& ranges() {
  static const apt::range_file file = apt::parse_range_text(range_text(), "synthetic.rrng");
  return file;
}

calc_request tungsten_3() {
  return *check_request({"Tungsten", "3", std::nullopt, std::nullopt}).request;
}

void ion_args(benchmark::internal::Benchmark* b) {
  b->ArgName("ions")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

void set_rate(benchmark::State& state, std::uint64_t ions) {
  state.counters["ions_per_s"] =
      benchmark::Counter(static_cast<double>(ions) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

// Counting on all cores (threads:0) or on the benchmark's own thread
// (threads:1), whose CPU time is then the counting's, reading included:
// steadier than the wall time on a busy machine.
void count_args(benchmark::internal::Benchmark* b) {
  b->ArgNames({"ions", "threads"})
      ->ArgsProduct({{1000000, 10000000}, {0, 1}})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

void BM_count_charge_states(benchmark::State& state) {
  const prepared& p = dataset_of(static_cast<std::size_t>(state.range(0)));
  counting_options options;
  options.threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(count_charge_states(*p.data, ranges(), "Tungsten", options));
  }
  set_rate(state, p.data->ion_count());
}
BENCHMARK(BM_count_charge_states)->Apply(count_args);

// The same .epos written to a file in the temporary folder (once per size,
// removed at exit), as the command line counts it: opening included, each
// iteration a fresh open, so that nothing of one pass's reading is kept for
// the next but the system's page cache.
const std::string& file_of(std::size_t ions) {
  static std::map<std::size_t, std::string> written;
  std::string& path = written[ions];
  if (!path.empty()) return path;
  path = "/tmp/veltrane-bench-" + std::to_string(ions) + "-" + std::to_string(::getpid()) + ".epos";
  std::FILE* out = std::fopen(path.c_str(), "wb");
  const auto& bytes = dataset_of(ions).bytes;
  if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
      std::fclose(out) != 0) {
    std::abort();
  }
  static const struct remover {
    ~remover() {
      for (const auto& [n, name] : written) std::remove(name.c_str());
    }
  } remove_at_exit;
  return path;
}

void BM_count_charge_states_file(benchmark::State& state) {
  const std::string& path = file_of(static_cast<std::size_t>(state.range(0)));
  counting_options options;
  options.threads = static_cast<unsigned>(state.range(1));
  std::uint64_t ions = 0;
  for (auto _ : state) {
    const apt::dataset data = apt::open_data(path);
    benchmark::DoNotOptimize(count_charge_states(data, ranges(), "Tungsten", options));
    ions = data.ion_count();
  }
  set_rate(state, ions);
}
BENCHMARK(BM_count_charge_states_file)->Apply(count_args);

void map_counters(benchmark::State& state, const field_map& map) {
  std::size_t finite = 0;
  for (const map_bin& bin : map.bins)
    if (std::isfinite(bin.field.E)) ++finite;
  state.counters["bins"] = static_cast<double>(map.bins.size());
  state.counters["bins_with_E"] = static_cast<double>(finite);
}

// What a map command does after opening the files: the model, the
// inverter's table and the map, from scratch each time.
void BM_map_field(benchmark::State& state) {
  const prepared& p = dataset_of(static_cast<std::size_t>(state.range(0)));
  const charge_state_model model = model_for(evaluation::accurate);
  const map_options options;
  std::optional<field_map> last;
  for (auto _ : state) {
    charge_states states(tungsten_3(), model.function);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    ratio_inverter inverter(states, 2, model.ratio_tolerance_v_per_nm);
    last.emplace(map_field(*p.data, ranges(), inverter, options));
    benchmark::DoNotOptimize(*last);
  }
  map_counters(state, *last);
  set_rate(state, p.data->ion_count());
}
BENCHMARK(BM_map_field)->Apply(ion_args);

// The map with an inverter whose table is already made: counting, binning
// and inverting the bins' ratios.
void BM_map_field_tabulated(benchmark::State& state) {
  const prepared& p = dataset_of(static_cast<std::size_t>(state.range(0)));
  const charge_state_model model = model_for(evaluation::accurate);
  charge_states states(tungsten_3(), model.function);
  states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
  ratio_inverter inverter(states, 2, model.ratio_tolerance_v_per_nm);
  benchmark::DoNotOptimize(inverter.fields());
  const map_options options;
  std::optional<field_map> last;
  for (auto _ : state) {
    last.emplace(map_field(*p.data, ranges(), inverter, options));
    benchmark::DoNotOptimize(*last);
  }
  map_counters(state, *last);
  set_rate(state, p.data->ion_count());
}
BENCHMARK(BM_map_field_tabulated)->Apply(ion_args);

// The inverter's table alone (fields 1, 1.01, ... V/nm up to the
// over-barrier field of 2+), with a new model each time.
void BM_inverter_table(benchmark::State& state) {
  const charge_state_model model = model_for(evaluation::accurate);
  std::size_t rows = 0;
  for (auto _ : state) {
    charge_states states(tungsten_3(), model.function);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    ratio_inverter inverter(states, 2, model.ratio_tolerance_v_per_nm);
    rows = inverter.fields().size();
    benchmark::DoNotOptimize(rows);
  }
  state.counters["table_fields"] = static_cast<double>(rows);
}
BENCHMARK(BM_inverter_table)->Unit(benchmark::kMillisecond)->UseRealTime();

// Opening the files, counting and mapping: one iteration per run. Only
// registered when both files are named.
void map_file(benchmark::State& state, const std::string& data_path,
              const std::string& ranges_path) {
  const charge_state_model model = model_for(evaluation::accurate);
  const map_options options;
  std::optional<field_map> last;
  std::uint64_t ions = 0;
  for (auto _ : state) {
    const apt::dataset data = apt::open_data(data_path);
    const apt::range_file file = apt::read_range_file(ranges_path);
    charge_states states(tungsten_3(), model.function);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    ratio_inverter inverter(states, 2, model.ratio_tolerance_v_per_nm);
    last.emplace(map_field(data, file, inverter, options));
    benchmark::DoNotOptimize(*last);
    ions = data.ion_count();
  }
  map_counters(state, *last);
  state.counters["ions"] = static_cast<double>(ions);
}

const bool map_file_registered = [] {
  const char* data_path = std::getenv("VELTRANE_BENCH_DATA");
  const char* ranges_path = std::getenv("VELTRANE_BENCH_RANGES");
  if (data_path == nullptr || ranges_path == nullptr) return false;
  benchmark::RegisterBenchmark("BM_map_file", map_file, std::string(data_path),
                               std::string(ranges_path))
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  return true;
}();

}  // namespace
