#include <benchmark/benchmark.h>

#include <cmath>

#include "model/accurate_model.hpp"
#include "model/constants.hpp"
#include "model/fast_model.hpp"

// One finite probability of Tungsten's first step (I2 = 16.37 eV, work
// function 4.55 eV, period 6, 183.84 u) at the start, the middle and the end
// of its sweep, F = I2^2/14, I2^2/11 and I2^2/8.8: the prescribed evaluation
// (its fast bit-exact twin) and the accurate one side by side, so that the
// speed-up can be read off.
namespace {

const double phi = 4.55 / veltrane::ev_per_hartree;
const double I2 = 16.37 / veltrane::ev_per_hartree;

double field(const benchmark::State& state) {
  return I2 * I2 / (static_cast<double>(state.range(0)) / 10.0);
}

void field_args(benchmark::internal::Benchmark* b) {
  b->ArgName("I2^2/F*10")->Arg(140)->Arg(110)->Arg(88);
}

void BM_tungsten_Q_prescribed(benchmark::State& state) {
  const double E = field(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::fast_veltrane(E, I2, phi, 6, 1, 183.84, 0.0));
  }
}
BENCHMARK(BM_tungsten_Q_prescribed)->Apply(field_args)->Unit(benchmark::kMillisecond);

void BM_tungsten_Q_accurate(benchmark::State& state) {
  const double E = field(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltrane::accurate_veltrane(E, I2, phi, 6, 1, 183.84, 0.0));
  }
}
BENCHMARK(BM_tungsten_Q_accurate)->Apply(field_args)->Unit(benchmark::kMicrosecond);

}  // namespace
