#include "apt/dataset.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "apt/epos_file.hpp"
#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::byte_builder;

namespace {

constexpr float nan_f = std::numeric_limits<float>::quiet_NaN();
constexpr float inf_f = std::numeric_limits<float>::infinity();

// n ions whose every column tells the ion and the column apart.
ion_columns numbered_ions(std::size_t n, float v_dc = 4500.0f) {
  ion_columns ions;
  for (std::size_t i = 0; i < n; ++i) {
    const auto f = static_cast<float>(i);
    ions.x.push_back(f + 0.1f);
    ions.y.push_back(f + 0.2f);
    ions.z.push_back(f + 0.3f);
    ions.mass.push_back(10.0f + f);
    ions.tof.push_back(500.0f + f);
    ions.v_dc.push_back(v_dc + f);
    ions.v_pulse.push_back(0.2f * v_dc);
    ions.det_x.push_back(-20.0f + f);
    ions.det_y.push_back(20.0f - f);
    ions.pulse_delta.push_back(static_cast<std::uint32_t>(i % 7));
    ions.multiplicity.push_back(i % 3 == 0 ? 2u : i % 3 == 1 ? 0u : 1u);
  }
  return ions;
}

// A dataset of hand-laid columns: `bytes`, with a mass column of n values
// from their start in the given encoding and order.
detail::dataset_layout layout_of(std::span<const std::byte> bytes, std::size_t n,
                                 std::size_t stride, detail::encoding stored, byte_order order) {
  detail::dataset_layout layout;
  layout.format = data_format::apt;
  layout.path = "hand.apt";
  layout.bytes = detail::byte_source(bytes);
  layout.ion_count = n;
  layout.sources[static_cast<std::size_t>(detail::field::mass)] = {true, 0, stride, stored, order};
  return layout;
}

std::string decode_message(const dataset& data, std::uint64_t first, std::size_t count) {
  ion_chunk chunk;
  try {
    data.decode(first, count, chunk);
  } catch (const read_error& e) {
    return e.what();
  }
  return {};
}

}  // namespace

TEST(VoltageUnit, VoltsAndKilovoltsAreToldApartByMagnitude) {
  const std::vector<float> volts = {0.0f, 3500.0f, 3600.5f};
  const std::vector<float> kilovolts = {3.5f, 3.6f, 12.0f, -4.0f};
  const std::vector<float> nothing = {0.0f, nan_f, inf_f};
  EXPECT_EQ(guess_voltage_unit(volts), voltage_unit::volts);
  EXPECT_EQ(guess_voltage_unit(kilovolts), voltage_unit::kilovolts);
  EXPECT_EQ(guess_voltage_unit(nothing), voltage_unit::unknown);
  EXPECT_EQ(guess_voltage_unit({}), voltage_unit::unknown);
  // One voltage of several hundred is enough to say volts: no kilovolt run
  // reaches 100 kV.
  const std::vector<float> late_volts = {50.0f, 80.0f, 600.0f};
  EXPECT_EQ(guess_voltage_unit(late_volts), voltage_unit::volts);
  EXPECT_EQ(unit_symbol(voltage_unit::volts), "V");
  EXPECT_EQ(unit_symbol(voltage_unit::kilovolts), "kV");
  EXPECT_EQ(unit_symbol(voltage_unit::unknown), "");
}

TEST(VoltageUnit, ADatasetGuessesFromASampleSpreadOverTheFile) {
  // 4097 ions: the sample takes every fourth, the first and the last among
  // them. Zeros everywhere say nothing.
  ion_columns ions = numbered_ions(4097);
  std::fill(ions.v_dc.begin(), ions.v_dc.end(), 0.0f);
  const auto unknown = encode_epos(ions);
  EXPECT_EQ(open_epos(unknown, "zeros.epos").voltages(), voltage_unit::unknown);
  ions.v_dc.back() = 5.5f;
  const auto kilovolts = encode_epos(ions);
  EXPECT_EQ(open_epos(kilovolts, "kv.epos").voltages(), voltage_unit::kilovolts);
  ions.v_dc[2048] = 5500.0f;
  const auto volts = encode_epos(ions);
  EXPECT_EQ(open_epos(volts, "v.epos").voltages(), voltage_unit::volts);
}

TEST(Dataset, DecodesAnyRangeAndOnlyTheColumnsAskedFor) {
  const ion_columns ions = numbered_ions(1000);
  const auto bytes = encode_epos(ions);
  const dataset data = open_epos(bytes, "/data/run 7.epos");
  EXPECT_EQ(data.file_name(), "run 7.epos");
  EXPECT_EQ(data.ion_count(), 1000u);
  EXPECT_TRUE(data.has(columns::all));

  ion_chunk chunk;
  data.decode(997, 3, chunk);
  EXPECT_EQ(chunk.first, 997u);
  ASSERT_EQ(chunk.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const std::size_t i = 997 + k;
    EXPECT_EQ(chunk.mass[k], ions.mass[i]);
    EXPECT_EQ(chunk.x[k], ions.x[i]);
    EXPECT_EQ(chunk.z[k], ions.z[i]);
    EXPECT_EQ(chunk.det_y[k], ions.det_y[i]);
    EXPECT_EQ(chunk.v_pulse[k], ions.v_pulse[i]);
    EXPECT_EQ(chunk.pulse_delta[k], ions.pulse_delta[i]);
    EXPECT_EQ(chunk.multiplicity[k], ions.multiplicity[i]);
  }

  // Reusing the chunk for fewer columns clears the others.
  data.decode(10, 4, chunk, columns::detector | columns::multiplicity);
  EXPECT_EQ(chunk.mass.size(), 4u);
  EXPECT_EQ(chunk.det_x.size(), 4u);
  EXPECT_EQ(chunk.multiplicity.size(), 4u);
  EXPECT_TRUE(chunk.x.empty());
  EXPECT_TRUE(chunk.tof.empty());
  EXPECT_TRUE(chunk.v_dc.empty());
  EXPECT_TRUE(chunk.pulse_delta.empty());
  EXPECT_EQ(chunk.det_x[3], ions.det_x[13]);

  data.decode(1000, 0, chunk, columns::none);
  EXPECT_EQ(chunk.size(), 0u);
  EXPECT_THROW(data.decode(999, 2, chunk), std::out_of_range);
  EXPECT_THROW(data.decode(std::numeric_limits<std::uint64_t>::max(), 1, chunk), std::out_of_range);
}

TEST(Dataset, ChunksCoverTheFileInOrderAndCanBeStopped) {
  const ion_columns ions = numbered_ions(1000);
  const auto bytes = encode_epos(ions);
  const dataset data = open_epos(bytes, "run.epos");
  std::vector<float> masses;
  std::vector<std::uint64_t> firsts;
  EXPECT_TRUE(data.for_each_chunk(
      [&](const ion_chunk& c) {
        firsts.push_back(c.first);
        masses.insert(masses.end(), c.mass.begin(), c.mass.end());
        EXPECT_TRUE(c.x.empty());
        return true;
      },
      300, columns::none));
  EXPECT_EQ(firsts, (std::vector<std::uint64_t>{0, 300, 600, 900}));
  EXPECT_EQ(masses, ions.mass);

  int calls = 0;
  EXPECT_FALSE(data.for_each_chunk([&](const ion_chunk&) { return ++calls < 2; }, 100));
  EXPECT_EQ(calls, 2);
  EXPECT_THROW(data.for_each_chunk([](const ion_chunk&) { return true; }, 0),
               std::invalid_argument);

  const ion_columns all = data.read_all(columns::position);
  EXPECT_EQ(all.mass, ions.mass);
  EXPECT_EQ(all.y, ions.y);
  EXPECT_TRUE(all.det_x.empty());
}

TEST(Dataset, ThreadsDecodingDisjointRangesSeeWhatOneThreadSees) {
  const ion_columns ions = numbered_ions(20000);
  const auto bytes = encode_epos(ions);
  const dataset data = open_epos(bytes, "run.epos");
  constexpr std::size_t threads = 4, share = 5000;
  std::vector<std::vector<float>> seen(threads);
  std::vector<std::thread> workers;
  for (std::size_t t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      ion_chunk chunk;
      for (std::size_t first = t * share; first < (t + 1) * share; first += 512) {
        data.decode(first, std::min<std::size_t>(512, (t + 1) * share - first), chunk,
                    columns::detector);
        seen[t].insert(seen[t].end(), chunk.det_x.begin(), chunk.det_x.end());
      }
    });
  }
  for (auto& w : workers) w.join();
  std::vector<float> joined;
  for (const auto& s : seen) joined.insert(joined.end(), s.begin(), s.end());
  EXPECT_EQ(joined, ions.det_x);
}

TEST(Dataset, ANonFiniteMassNamesTheFileAndTheIon) {
  ion_columns ions = numbered_ions(100);
  ions.mass[41] = nan_f;
  ions.mass[77] = -inf_f;
  const auto bytes = encode_epos(ions);
  const dataset data = open_epos(bytes, "bad.epos");
  EXPECT_EQ(decode_message(data, 0, 100),
            "bad.epos: the mass of ion 41 (counted from 0) is not a finite number (nan)");
  EXPECT_EQ(decode_message(data, 42, 58),
            "bad.epos: the mass of ion 77 (counted from 0) is not a finite number (-inf)");
  EXPECT_EQ(decode_message(data, 0, 41), "");
  // Nothing is handed on from a file with such a mass.
  int chunks = 0;
  EXPECT_THROW(data.for_each_chunk([&](const ion_chunk&) { return ++chunks > 0; }, 40), read_error);
  EXPECT_EQ(chunks, 1);
  EXPECT_THROW(data.read_all(), read_error);
  // Other columns may hold anything.
  ions = numbered_ions(10);
  ions.x[3] = nan_f;
  ions.tof[4] = inf_f;
  const auto fine = encode_epos(ions);
  EXPECT_NO_THROW(open_epos(fine, "fine.epos").read_all());
}

TEST(Dataset, DecodesDoublesAndSignedMultiplicitiesOfHandLaidColumns) {
  // Masses as little-endian doubles with 4 bytes between the records.
  byte_builder b;
  const double masses[] = {1.5, 60.625, 1e300};
  for (const double m : masses) b.le_double(m).le32(0xffffffffu);
  detail::dataset_layout layout =
      layout_of(b.bytes(), 2, 12, detail::encoding::f64, byte_order::little);
  ion_chunk chunk;
  dataset(layout).decode(0, 2, chunk);
  EXPECT_EQ(chunk.mass, (std::vector<float>{1.5f, 60.625f}));
  // A double beyond the range of float32 is no finite mass.
  layout.ion_count = 3;
  EXPECT_NE(decode_message(dataset(layout), 2, 1).find("ion 2 (counted from 0)"),
            std::string::npos);

  // A multiplicity stored as int32: negative values are refused.
  byte_builder m;
  m.le_float(10.0f).le_i32(1).le_float(11.0f).le_i32(-3);
  layout = layout_of(m.bytes(), 2, 8, detail::encoding::f32, byte_order::little);
  layout.sources[static_cast<std::size_t>(detail::field::multiplicity)] = {
      true, 4, 8, detail::encoding::i32, byte_order::little};
  const dataset signed_multiplicity(layout);
  EXPECT_TRUE(signed_multiplicity.has(columns::multiplicity));
  EXPECT_FALSE(signed_multiplicity.has(columns::position));
  EXPECT_EQ(signed_multiplicity.voltages(), voltage_unit::none);
  EXPECT_EQ(decode_message(signed_multiplicity, 1, 1),
            "hand.apt: the multiplicity of ion 1 (counted from 0) is negative (-3)");
  signed_multiplicity.decode(0, 1, chunk);
  EXPECT_EQ(chunk.multiplicity, std::vector<std::uint32_t>{1});
}
