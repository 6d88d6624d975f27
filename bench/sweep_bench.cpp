// Whole calculations, the literal serial evaluation against the fast one on
// one and on all threads. Each fast run also checks that its text export is
// byte for byte the literal one's.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "bench/literal_baseline.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/curves/text_export.hpp"
#include "model/fast_model.hpp"

namespace {

using namespace veltrane;

struct input {
  const char* name;
  int n, period;
  double mass, work_function;
  std::vector<double> energies;
};

const input inputs[] = {
    {"Tungsten_n4", 4, 6, 183.84, 4.55, {7.864, 16.37, 26.0, 38.2, 51.6}},
    {"Iron_n4", 4, 4, 55.845, 4.5, {7.902, 16.19, 30.65, 54.8, 75.0}},
    {"Aluminium_n3", 3, 3, 26.981, 4.28, {5.986, 18.83, 28.45, 119.99}},
    {"Tungsten_n1", 1, 6, 183.84, 4.55, {7.864, 16.37}},
    {"Tungsten_n2", 2, 6, 183.84, 4.55, {7.864, 16.37, 26.0}},
    {"Tungsten_n3", 3, 6, 183.84, 4.55, {7.864, 16.37, 26.0, 38.2}},
};

calc_request request_of(const input& in) {
  calc_request r;
  r.element = in.name;
  r.n = in.n;
  r.period = in.period;
  r.atomic_mass = in.mass;
  r.work_function_ev = in.work_function;
  r.energies_ev = in.energies;
  return r;
}

std::string export_text(const curve_set& c) {
  std::string text;
  for (const auto& line : text_export_lines(c)) text += line + "\n";
  return text;
}

std::map<std::string, std::string>& literal_texts() {
  static std::map<std::string, std::string> texts;
  return texts;
}

void BM_literal(benchmark::State& state, const input& in) {
  for (auto _ : state) {
    const auto curves = compute_curves(request_of(in), bench::literal_veltrane, 1);
    literal_texts()[in.name] = export_text(curves);
  }
}

void BM_fast(benchmark::State& state, const input& in) {
  const unsigned threads = static_cast<unsigned>(state.range(0));
  std::string text;
  for (auto _ : state) {
    text = export_text(compute_curves(request_of(in), fast_veltrane, threads));
  }
  const auto literal = literal_texts().find(in.name);
  if (literal != literal_texts().end()) {
    const bool same = literal->second == text;
    state.counters["bytes_identical"] = same ? 1 : 0;
    if (!same) {
      std::cerr << "MISMATCH: the fast export of " << in.name << " differs from the literal one\n";
      std::exit(1);
    }
  }
}

// The literal runs first, so that the fast runs can compare their bytes.
[[maybe_unused]] const bool registered = [] {
  const bool with_literal = std::getenv("VELTRANE_BENCH_NO_LITERAL") == nullptr;
  for (const auto& in : inputs) {
    if (with_literal && in.n >= 3) {
      benchmark::RegisterBenchmark((std::string("literal/") + in.name).c_str(), BM_literal, in)
          ->Unit(benchmark::kSecond)
          ->Iterations(1)
          ->UseRealTime();
    }
  }
  for (const auto& in : inputs) {
    benchmark::RegisterBenchmark((std::string("fast/") + in.name).c_str(), BM_fast, in)
        ->Unit(benchmark::kMillisecond)
        ->Arg(1)
        ->Arg(2)
        ->Iterations(in.n >= 3 ? 3 : 5)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace
