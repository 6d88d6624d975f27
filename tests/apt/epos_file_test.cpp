#include "apt/epos_file.hpp"

#include <gtest/gtest.h>

#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::byte_builder;

namespace {

// One record laid out by hand: eleven numbers, each distinct, in file order.
void record(byte_builder& b, float base, std::uint32_t delta, std::uint32_t hits) {
  for (int k = 0; k < 9; ++k) b.be_float(base + static_cast<float>(k));
  b.be32(delta).be32(hits);
}

}  // namespace

TEST(EposFile, ReadsEveryColumnAtItsPlaceInTheRecord) {
  byte_builder b;
  record(b, 100.0f, 3, 2);  // a pulse of two hits: N on the first record
  record(b, 200.0f, 0, 0);  // and 0 on the other
  record(b, 300.0f, 70000, 1);
  const dataset data = open_epos(b.bytes(), "hand.epos");
  EXPECT_EQ(data.format(), data_format::epos);
  EXPECT_EQ(data.ion_count(), 3u);
  EXPECT_EQ(data.present(), columns::all);
  // DC voltages of 105, 205 and 305: above 100, so volts.
  EXPECT_EQ(data.voltages(), voltage_unit::volts);

  const ion_columns ions = data.read_all();
  const auto column = [](float base) {
    return std::vector<float>{base + 100.0f, base + 200.0f, base + 300.0f};
  };
  EXPECT_EQ(ions.x, column(0));
  EXPECT_EQ(ions.y, column(1));
  EXPECT_EQ(ions.z, column(2));
  EXPECT_EQ(ions.mass, column(3));
  EXPECT_EQ(ions.tof, column(4));
  EXPECT_EQ(ions.v_dc, column(5));
  EXPECT_EQ(ions.v_pulse, column(6));
  EXPECT_EQ(ions.det_x, column(7));
  EXPECT_EQ(ions.det_y, column(8));
  EXPECT_EQ(ions.pulse_delta, (std::vector<std::uint32_t>{3, 0, 70000}));
  EXPECT_EQ(ions.multiplicity, (std::vector<std::uint32_t>{2, 0, 1}));
}

TEST(EposFile, ASizeThatIsNoWholeNumberOfRecordsIsRefused) {
  byte_builder b;
  b.zeros(44 * 2 + 16);  // a .pos of 7 ions is no .epos
  try {
    open_epos(b.bytes(), "run.epos");
    FAIL() << "no error";
  } catch (const read_error& e) {
    EXPECT_STREQ(e.what(), "run.epos: 104 bytes is not a whole number of 44-byte records");
  }
  const dataset empty = open_epos({}, "empty.epos");
  EXPECT_EQ(empty.ion_count(), 0u);
  EXPECT_EQ(empty.voltages(), voltage_unit::unknown);
  EXPECT_EQ(empty.notes(), std::vector<std::string>{"the file holds no ions: it is empty"});
  EXPECT_TRUE(empty.for_each_chunk([](const ion_chunk&) { return false; }));
}

TEST(EposFile, WritesWhatItReads) {
  ion_columns ions;
  ions.mass = {27.97f, 60.65f};
  ions.x = {1, 2};
  ions.y = {3, 4};
  ions.z = {5, 6};
  ions.tof = {400, 500};
  ions.v_dc = {5.1f, 5.2f};
  ions.v_pulse = {1.0f, 1.1f};
  ions.det_x = {-12.5f, 30};
  ions.det_y = {7, -8};
  ions.pulse_delta = {1, 4000000000u};
  ions.multiplicity = {1, 1};
  const auto bytes = encode_epos(ions);
  ASSERT_EQ(bytes.size(), 2 * epos_record_size);
  // Big-endian multiplicity in the last four bytes of a record.
  EXPECT_EQ(bytes[43], std::byte{1});
  EXPECT_EQ(bytes[40], std::byte{0});
  const dataset data = open_epos(bytes, "back.epos");
  EXPECT_EQ(data.voltages(), voltage_unit::kilovolts);
  const ion_columns back = data.read_all();
  EXPECT_EQ(back.mass, ions.mass);
  EXPECT_EQ(back.det_x, ions.det_x);
  EXPECT_EQ(back.v_pulse, ions.v_pulse);
  EXPECT_EQ(back.pulse_delta, ions.pulse_delta);
  EXPECT_EQ(back.multiplicity, ions.multiplicity);

  // Columns not given are zeros.
  ion_columns masses_only;
  masses_only.mass = {1.0f};
  const ion_columns zeros = open_epos(encode_epos(masses_only), "m.epos").read_all();
  EXPECT_EQ(zeros.det_y, std::vector<float>{0.0f});
  EXPECT_EQ(zeros.multiplicity, std::vector<std::uint32_t>{0});
}
