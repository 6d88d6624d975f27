#include <benchmark/benchmark.h>

#include "model/fast_model.hpp"
#include "model/model.hpp"

// One probability at the example point (finite everywhere along the grid).
static void BM_veltrane_finite(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::veltrane(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1));
  }
}
BENCHMARK(BM_veltrane_finite)->Unit(benchmark::kMillisecond);

// One probability at E = 0.1, where the rate is NaN near zc: the integrator
// subdivides to its limit on the NaN integrand.
static void BM_veltrane_nan(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::veltrane(0.1, 0.7, 0.16, 3, 1, 26.981, 0.1));
  }
}
BENCHMARK(BM_veltrane_nan)->Unit(benchmark::kMillisecond);

// One rate at 12 bohr, beyond zc.
static void BM_R(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::R(12.0, 0.05, 0.7, 0.16, 3, 1));
  }
}
BENCHMARK(BM_R)->Unit(benchmark::kMicrosecond);

// The same points with the fast evaluation.
static void BM_fast_veltrane_finite(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::fast_veltrane(0.05, 0.7, 0.16, 3, 1, 26.981, 0.1));
  }
}
BENCHMARK(BM_fast_veltrane_finite)->Unit(benchmark::kMillisecond);

static void BM_fast_veltrane_nan(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::fast_veltrane(0.1, 0.7, 0.16, 3, 1, 26.981, 0.1));
  }
}
BENCHMARK(BM_fast_veltrane_nan)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
