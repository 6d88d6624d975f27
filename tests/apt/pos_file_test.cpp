#include "apt/pos_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::byte_builder;

namespace {

std::string open_message(std::span<const std::byte> bytes) {
  try {
    open_pos(bytes, "cut.pos");
  } catch (const read_error& e) {
    return e.what();
  }
  return {};
}

}  // namespace

TEST(PosFile, ReadsBigEndianRecordsOfPositionAndMass) {
  byte_builder b;
  b.be_float(1.25f).be_float(-2.5f).be_float(130.0f).be_float(60.65f);
  b.be_float(0.0f).be_float(3.0f).be_float(-4.0f).be_float(91.5f);
  const dataset data = open_pos(b.bytes(), "hand.pos");
  EXPECT_EQ(data.format(), data_format::pos);
  EXPECT_EQ(data.ion_count(), 2u);
  EXPECT_EQ(data.present(), columns::position);
  EXPECT_EQ(data.voltages(), voltage_unit::none);
  EXPECT_TRUE(data.notes().empty());
  const ion_columns ions = data.read_all();
  EXPECT_EQ(ions.x, (std::vector<float>{1.25f, 0.0f}));
  EXPECT_EQ(ions.y, (std::vector<float>{-2.5f, 3.0f}));
  EXPECT_EQ(ions.z, (std::vector<float>{130.0f, -4.0f}));
  EXPECT_EQ(ions.mass, (std::vector<float>{60.65f, 91.5f}));
  // What the format does not hold stays empty, whatever is asked for.
  EXPECT_TRUE(ions.det_x.empty());
  EXPECT_TRUE(ions.multiplicity.empty());
}

TEST(PosFile, ASizeThatIsNoWholeNumberOfRecordsIsRefused) {
  byte_builder b;
  b.zeros(16 * 3 + 5);
  EXPECT_EQ(open_message(b.bytes()), "cut.pos: 53 bytes is not a whole number of 16-byte records");
  EXPECT_EQ(open_message(std::span(b.bytes()).first(15)),
            "cut.pos: 15 bytes is not a whole number of 16-byte records");
  // Three records and one float more: whole floats, but no whole record.
  EXPECT_EQ(open_message(std::span(b.bytes()).first(52)),
            "cut.pos: 52 bytes is not a whole number of 16-byte records");
  // An empty file holds no ions, and says so.
  const dataset empty = open_pos({}, "empty.pos");
  EXPECT_EQ(empty.ion_count(), 0u);
  EXPECT_TRUE(empty.read_all().mass.empty());
  EXPECT_EQ(empty.notes(), std::vector<std::string>{"the file holds no ions: it is empty"});
}

TEST(PosFile, WritesWhatItReadsAndZerosForAMissingPosition) {
  ion_columns ions;
  ions.mass = {60.5f, 61.0f, 91.0f};
  ions.x = {1.0f, 2.0f, 3.0f};
  ions.z = {7.0f, 8.0f, 9.0f};
  ions.det_x = {5.0f, 5.0f, 5.0f};  // not in the format
  const auto bytes = encode_pos(ions);
  ASSERT_EQ(bytes.size(), 3 * pos_record_size);
  // The mass of the second record, big-endian at byte 16 + 12.
  byte_builder expected;
  expected.be_float(61.0f);
  EXPECT_TRUE(std::equal(expected.bytes().begin(), expected.bytes().end(), bytes.begin() + 28));

  const ion_columns back = open_pos(bytes, "back.pos").read_all();
  EXPECT_EQ(back.mass, ions.mass);
  EXPECT_EQ(back.x, ions.x);
  EXPECT_EQ(back.y, (std::vector<float>{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(back.z, ions.z);

  ions.y = {1.0f};
  EXPECT_THROW(encode_pos(ions), std::invalid_argument);
}

TEST(PosFile, WritesToAFileInBlocksAndReportsAFailedWrite) {
  ion_columns ions;
  for (int i = 0; i < 10000; ++i) ions.mass.push_back(static_cast<float>(i) * 0.01f);
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(write_pos(out, ions), 0);
  EXPECT_EQ(std::ftell(out), 10000L * 16);
  std::fclose(out);

  std::FILE* full = std::fopen("/dev/full", "wb");
  if (full == nullptr) GTEST_SKIP() << "/dev/full is not there to fill";
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_NE(write_pos(full, ions), 0);
  std::fclose(full);
}
