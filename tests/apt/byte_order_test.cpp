#include "apt/byte_order.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>

#include "tests/apt/test_files.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::byte_builder;

// Numbers as the files store them: the bytes written by hand, most
// significant first for big-endian, read back at every alignment.
TEST(ByteOrder, ReadsNumbersInEitherOrderAtAnyAlignment) {
  for (std::size_t offset = 0; offset < 8; ++offset) {
    byte_builder b;
    b.zeros(offset)
        .be32(0x3f800000u)
        .be32(0xdeadbeefu)
        .le32(0xc0490fdbu)
        .le64(0x0123456789abcdefull);
    const std::byte* p = b.bytes().data() + offset;
    EXPECT_EQ(load_be<float>(p), 1.0f) << offset;
    EXPECT_EQ(load_be<std::uint32_t>(p + 4), 0xdeadbeefu) << offset;
    EXPECT_EQ(load_le<float>(p + 8), -3.14159274f) << offset;
    EXPECT_EQ(load_le<std::uint64_t>(p + 12), 0x0123456789abcdefull) << offset;
    // The same bytes in the other order are another number.
    EXPECT_EQ(load_le<std::uint32_t>(p + 4), 0xefbeaddeu) << offset;
  }
}

TEST(ByteOrder, StoreIsTheInverseOfLoadAndWritesTheFileOrder) {
  std::array<std::byte, 8> bytes{};
  store(1.0f, bytes.data(), byte_order::big);
  EXPECT_EQ(bytes[0], std::byte{0x3f});
  EXPECT_EQ(bytes[1], std::byte{0x80});
  EXPECT_EQ(bytes[3], std::byte{0x00});
  store(std::int32_t{-2}, bytes.data(), byte_order::little);
  EXPECT_EQ(bytes[0], std::byte{0xfe});
  EXPECT_EQ(bytes[3], std::byte{0xff});

  const double values[] = {0.0, -0.0, 60.55, std::numeric_limits<double>::denorm_min(),
                           std::numeric_limits<double>::infinity()};
  for (const double v : values) {
    for (const auto order : {byte_order::big, byte_order::little}) {
      store(v, bytes.data(), order);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(load<double>(bytes.data(), order)),
                std::bit_cast<std::uint64_t>(v));
    }
  }
  // A NaN keeps its bits (a payload is not turned into another number).
  const float nan = std::bit_cast<float>(0x7fc00123u);
  store(nan, bytes.data(), byte_order::big);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(load_be<float>(bytes.data())), 0x7fc00123u);
}
