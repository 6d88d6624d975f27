// The charge-state calculations of the Tungsten example (n = 4, built-in
// data) by the prescribed evaluation: fractions over the default range every
// 0.5 V/nm, and one measured ratio turned into a field, on one and two
// threads. Each run starts with an empty cache, as a new command does.
#include <benchmark/benchmark.h>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/evaluation.hpp"
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

// The same calculations with the accurate evaluation, as `fractions` and
// the charge-state window run them: Tungsten n = 4 (argument 0) and
// Beryllium n = 3 over its default range to about 1,400 V/nm (argument 1).
// The over-barrier search alone, whose edge meets the narrow band, then the
// whole default table every 0.5 V/nm; each with a new charge_states, on one
// and on two threads.
calc_request element_request(const benchmark::State& state) {
  const bool beryllium = state.range(0) == 1;
  return *check_request({beryllium ? "Beryllium" : "Tungsten", beryllium ? "3" : "4", std::nullopt,
                         std::nullopt})
              .request;
}

void BM_charge_states_over_barrier_accurate(benchmark::State& state) {
  const calc_request request = element_request(state);
  for (auto _ : state) {
    charge_states states(request, model_for(evaluation::accurate).function,
                         static_cast<unsigned>(state.range(1)));
    benchmark::DoNotOptimize(states.over_barrier_fields());
  }
}
BENCHMARK(BM_charge_states_over_barrier_accurate)
    ->ArgNames({"Be", "threads"})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_fractions_accurate(benchmark::State& state) {
  const calc_request request = element_request(state);
  std::size_t fields = 0;
  for (auto _ : state) {
    charge_states states(request, model_for(evaluation::accurate).function,
                         static_cast<unsigned>(state.range(1)));
    const auto [from, to] = default_field_range(states);
    const auto grid = field_grid(from, to, 0.5, nullptr);
    fields = grid->size();
    benchmark::DoNotOptimize(fraction_table_at(states, *grid));
  }
  state.counters["fields"] = static_cast<double>(fields);
}
BENCHMARK(BM_fractions_accurate)
    ->ArgNames({"Be", "threads"})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
