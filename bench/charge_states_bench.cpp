// The charge-state calculations of the Tungsten example (n = 4, built-in
// data): fractions over the default range every 0.5 V/nm, and one measured
// ratio turned into a field, on one and two threads. Each run starts with an
// empty cache, as a new command does.
#include <benchmark/benchmark.h>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/model_cache.hpp"
#include "model/fast_model.hpp"

namespace {

using namespace veltrane;

calc_request tungsten() {
  return *check_request({"Tungsten", "4", std::nullopt, std::nullopt}).request;
}

void BM_fractions_default_range(benchmark::State& state) {
  std::size_t fields = 0;
  for (auto _ : state) {
    model_cache cache(fast_veltrane);
    charge_states states(tungsten(), cache.function(), static_cast<unsigned>(state.range(0)));
    const auto [from, to] = default_field_range(states);
    const auto grid = field_grid(from, to, 0.5, nullptr);
    fields = grid->size();
    benchmark::DoNotOptimize(fraction_table_at(states, *grid));
  }
  state.counters["fields"] = static_cast<double>(fields);
}
BENCHMARK(BM_fractions_default_range)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

// How the time grows with the number of fields: the same range, finer steps.
void BM_fractions_by_step(benchmark::State& state) {
  const double step = 1.0 / static_cast<double>(state.range(0));
  for (auto _ : state) {
    model_cache cache(fast_veltrane);
    charge_states states(tungsten(), cache.function(), 2);
    benchmark::DoNotOptimize(fraction_table_at(states, *field_grid(13.0, 93.0, step, nullptr)));
  }
  state.counters["fields"] = 80.0 / step + 1.0;
}
BENCHMARK(BM_fractions_by_step)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->UseRealTime();

void BM_ratio_to_field(benchmark::State& state) {
  for (auto _ : state) {
    model_cache cache(fast_veltrane);
    charge_states states(tungsten(), cache.function(), 2);
    benchmark::DoNotOptimize(field_from_ratio(states, 2, 0.8));
  }
}
BENCHMARK(BM_ratio_to_field)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
