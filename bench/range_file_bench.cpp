// Reading range files of the largest size accepted (16 MiB) and searching
// the interferences of a file of many molecular ions: reading is linear in
// the file, and the search stays within its budget.
//   build/release/bench/veltrane_range_file_bench
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "apt/charge_assignment.hpp"
#include "apt/range_file.hpp"
#include "apt/read_error.hpp"

namespace {

using namespace veltrane::apt;

constexpr std::size_t file_size = (std::size_t{16} << 20) - 4096;  // just under the limit

constexpr std::array<const char*, 12> symbols = {"H",  "C",  "N",  "O",  "Al", "Si",
                                                 "Fe", "Ni", "Cr", "Mo", "W",  "Sb"};

std::string fixed(double value) {
  char buffer[32];
  const int n = std::snprintf(buffer, sizeof buffer, "%.4f", value);
  return std::string(buffer, static_cast<std::size_t>(n));
}

// An .rrng of distinct ranges, one after another, as an instrument writes
// them (about 290,000 ranges).
const std::string& distinct_rrng() {
  static const std::string text = [] {
    std::string t = "[Ions]\r\nNumber=12\r\n";
    for (std::size_t e = 0; e < symbols.size(); ++e) {
      t += "Ion" + std::to_string(e + 1) + "=" + symbols[e] + "\r\n";
    }
    t += "[Ranges]\r\n";
    std::string lines;
    std::size_t n = 0;
    while (t.size() + lines.size() < file_size - 100) {
      const double low = 1.0 + static_cast<double>(n) * 0.01;
      lines += "Range" + std::to_string(n + 1) + "=" + fixed(low) + " " + fixed(low + 0.008) +
               " Vol:0.01234 " + symbols[n % symbols.size()] + ":1 Color:FF00AA\r\n";
      ++n;
    }
    return t + "Number=" + std::to_string(n) + "\r\n" + lines;
  }();
  return text;
}

// An .rrng that repeats 48 ranges over and over, as one real file does
// (every copy merged into the first).
const std::string& repeated_rrng() {
  static const std::string text = [] {
    std::string t = "[Ions]\nNumber=1\nIon1=W\n[Ranges]\n";
    std::size_t n = 0;
    while (t.size() < file_size - 100) {
      const double low = 10.0 + static_cast<double>(n % 48);
      t += "Range1=" + fixed(low) + " " + fixed(low + 0.5) + " Vol:0.01585 W:1 Color:FF0000\n";
      ++n;
    }
    return t;
  }();
  return text;
}

// An .rng with 1,000 element columns (each range line some 2 kB).
const std::string& wide_rng() {
  static const std::string text = [] {
    constexpr std::size_t columns = 1000;
    std::string head = std::to_string(columns) + " ";
    std::string ions, header = "----------------";
    for (std::size_t e = 0; e < columns; ++e) {
      const std::string name = "Ion" + std::to_string(e);
      ions += "Long name " + std::to_string(e) + "\n" + name + " 0.5 0.5 0.5\n";
      header += " " + name;
    }
    std::string lines;
    std::size_t n = 0;
    while (head.size() + ions.size() + header.size() + lines.size() < file_size - 4000) {
      const double low = 1.0 + static_cast<double>(n) * 0.01;
      lines += std::to_string(n + 1) + " " + fixed(low) + " " + fixed(low + 0.008);
      for (std::size_t e = 0; e < columns; ++e) lines += e == n % columns ? " 1" : " 0";
      lines += "\n";
      ++n;
    }
    return head + std::to_string(n) + "\n" + ions + header + "\n" + lines;
  }();
  return text;
}

// An .rng of twelve elements and many range lines (about 330,000).
const std::string& long_rng() {
  static const std::string text = [] {
    std::string ions, header = "-------------------";
    for (const char* s : symbols) {
      ions += std::string(s) + "\n" + s + " 1.0 0.0 0.0\n";
      header += std::string(" ") + s;
    }
    std::string lines;
    std::size_t n = 0;
    while (ions.size() + header.size() + lines.size() < file_size - 100) {
      const double low = 1.0 + static_cast<double>(n) * 0.01;
      lines += ". " + fixed(low) + " " + fixed(low + 0.008);
      for (std::size_t e = 0; e < symbols.size(); ++e) lines += e == n % 12 ? " 1" : " 0";
      lines += "\n";
      ++n;
    }
    return "12 " + std::to_string(n) + "\n" + ions + header + "\n" + lines;
  }();
  return text;
}

// 1,000 ranges of Sn3 Xe2 X_k molecules (45 kB) besides single-atom ranges
// of Sn and Xe, whose interferences are searched.
const std::string& molecular_rrng() {
  static const std::string text = [] {
    std::string t =
        "[Ions]\nNumber=2\nIon1=Sn\nIon2=Xe\n[Ranges]\nNumber=1005\n"
        "Range1=59.9 60.05 Sn:1\nRange2=117.8 118.0 Sn:1\nRange3=119.8 120.0 Sn:1\n"
        "Range4=128.8 129.0 Xe:1\nRange5=131.8 132.0 Xe:1\n";
    // 1,000 different molecules: X one of twelve elements, k from 1 to 84.
    constexpr std::array<const char*, 12> x = {"O",  "C",  "N", "H",  "Fe", "Cr",
                                               "Ni", "Mo", "W", "Al", "Si", "Ti"};
    for (std::size_t i = 0; i < 1000; ++i) {
      const double low = 200.0 + static_cast<double>(i) * 0.5;
      t += "Range" + std::to_string(i + 6) + "=" + fixed(low) + " " + fixed(low + 0.3) +
           " Sn:3 Xe:2 " + x[i % x.size()] + ":" + std::to_string(1 + i / x.size()) + "\n";
    }
    return t;
  }();
  return text;
}

void read_text(benchmark::State& state, const std::string& text, const char* name) {
  std::size_t ranges = 0;
  for (auto _ : state) {
    try {
      const range_file f = parse_range_text(text, name);
      ranges = f.ranges.size();
    } catch (const read_error& e) {
      state.SkipWithError(e.what());
      return;
    }
    benchmark::DoNotOptimize(ranges);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.counters["ranges"] = static_cast<double>(ranges);
  state.counters["MiB"] = static_cast<double>(text.size()) / (1 << 20);
}

void BM_read_distinct_rrng(benchmark::State& state) {
  read_text(state, distinct_rrng(), "distinct.rrng");
}
void BM_read_repeated_rrng(benchmark::State& state) {
  read_text(state, repeated_rrng(), "repeated.rrng");
}
void BM_read_wide_rng(benchmark::State& state) { read_text(state, wide_rng(), "wide.rng"); }
void BM_read_long_rng(benchmark::State& state) { read_text(state, long_rng(), "long.rng"); }

// Charges of every range of the distinct .rrng, read once.
void BM_assign_charges_distinct_rrng(benchmark::State& state) {
  const range_file f = parse_range_text(distinct_rrng(), "distinct.rrng");
  for (auto _ : state) benchmark::DoNotOptimize(assign_charges(f));
  state.counters["ranges"] = static_cast<double>(f.ranges.size());
}

// Reading, charges and the interferences of every element of the
// molecular file.
void BM_molecular_interferences(benchmark::State& state) {
  std::size_t found = 0, incomplete = 0;
  for (auto _ : state) {
    const range_file f = parse_range_text(molecular_rrng(), "molecular.rrng");
    const auto assignments = assign_charges(f);
    const auto x = find_interferences(f, assignments);
    found = x.size();
    incomplete = 0;
    for (const interference& i : x) incomplete += i.incomplete ? 1 : 0;
  }
  state.counters["affected_ranges"] = static_cast<double>(found);
  state.counters["incomplete"] = static_cast<double>(incomplete);
  state.counters["kB"] = static_cast<double>(molecular_rrng().size()) / 1000.0;
}

}  // namespace

BENCHMARK(BM_read_distinct_rrng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_repeated_rrng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_wide_rng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_long_rng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_assign_charges_distinct_rrng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_molecular_interferences)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
