#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "model/accurate_model.hpp"
#include "model/constants.hpp"
#include "model/fast_model.hpp"
#include "model/model.hpp"
#include "model/replica_rate.hpp"

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

// The narrow band: 21 flight points of Tungsten's first step beyond its
// over-barrier field (F = I2^2/7.6) whose barrier top u* lies between the
// first rule's largest node (0.99783) and u = 1, where whether the
// prescribed rate is a number depends on the directions its integrator
// samples (about a third of them are NaN). Per point: the prescribed rate
// integrated in full, against its replica that stops once the NaN-ness is
// certain (what the accurate evaluation asks at a midpoint).
std::vector<double> band_distances(double E) {
  const double W = I2 - veltrane::E_stark(E, I2, 6);
  const double top_node = 0.5 + 0.5 * 0.995657163025808;
  std::vector<double> z;
  for (int k = 0; k <= 20; ++k) {
    const double u_top = top_node + (1.0 - top_node) * k / 20.0;
    z.push_back(4.5 / (W * W / (4.0 * E * u_top) - 2.0));
  }
  return z;
}

void BM_band_point_prescribed(benchmark::State& state) {
  const double E = I2 * I2 / 7.6;
  const std::vector<double> z = band_distances(E);
  for (auto _ : state) {
    for (double zi : z) benchmark::DoNotOptimize(veltrane::fast_R(zi, E, I2, phi, 6, 1));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(z.size()));
}
BENCHMARK(BM_band_point_prescribed)->Unit(benchmark::kMillisecond);

void BM_band_point_replica(benchmark::State& state) {
  const double E = I2 * I2 / 7.6;
  const std::vector<double> z = band_distances(E);
  for (auto _ : state) {
    for (double zi : z) benchmark::DoNotOptimize(veltrane::replica_R_is_nan(zi, E, I2, phi, 6, 1));
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(z.size()));
}
BENCHMARK(BM_band_point_replica)->Unit(benchmark::kMillisecond);

}  // namespace
