#include "apt/apt_file.hpp"

#include <gtest/gtest.h>

#include <optional>

#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::byte_builder;

namespace {

// The 540-byte file header, laid out by hand.
byte_builder file_header(std::uint64_t ions, std::int32_t header_size = 540) {
  byte_builder b;
  b.text(std::string_view("APT\0", 4)).le_i32(header_size).le_i32(2);
  b.utf16("run.apt", 256).le64(1700000000).le64(ions);
  if (header_size > 540) b.zeros(static_cast<std::size_t>(header_size) - 540);
  return b;
}

// One section with every header field settable; the data as given.
struct section {
  std::string name;
  std::vector<std::byte> data;
  std::uint64_t records = 0;
  std::int32_t record_size = 4;
  std::uint32_t data_type = 3;  // float
  std::int32_t bits = 32;
  std::uint32_t relationship = 1;
  std::uint32_t record_type = 1;
  std::int32_t header_size = 148;
  std::optional<std::uint64_t> byte_count;  // the data's size unless given
  std::string unit;
};

section sec(std::string name, std::vector<std::byte> data, std::uint64_t records,
            std::int32_t record_size = 4, std::uint32_t data_type = 3, std::int32_t bits = 32,
            std::uint32_t relationship = 1, std::uint32_t record_type = 1,
            std::int32_t header_size = 148) {
  section s;
  s.name = std::move(name);
  s.data = std::move(data);
  s.records = records;
  s.record_size = record_size;
  s.data_type = data_type;
  s.bits = bits;
  s.relationship = relationship;
  s.record_type = record_type;
  s.header_size = header_size;
  return s;
}

void add(byte_builder& b, const section& s) {
  b.text(std::string_view("SEC\0", 4)).le_i32(s.header_size).le_i32(2);
  b.utf16(s.name, 32).le_i32(1).le32(s.relationship).le32(s.record_type);
  b.le32(s.data_type).le_i32(s.bits).le_i32(s.record_size).utf16(s.unit, 16);
  b.le64(s.records).le64(s.byte_count.value_or(s.data.size()));
  if (s.header_size > 148) b.zeros(static_cast<std::size_t>(s.header_size) - 148);
  b.append(s.data);
}

std::vector<std::byte> floats(std::initializer_list<float> values) {
  byte_builder b;
  for (const float v : values) b.le_float(v);
  return b.bytes();
}

std::vector<std::byte> uints(std::initializer_list<std::uint32_t> values) {
  byte_builder b;
  for (const std::uint32_t v : values) b.le32(v);
  return b.bytes();
}

section mass(std::initializer_list<float> values) {
  section s = sec("Mass", floats(values), values.size());
  s.unit = "Da";
  return s;
}

std::string open_message(std::span<const std::byte> bytes) {
  try {
    open_apt(bytes, "bad.apt");
  } catch (const read_error& e) {
    return e.what();
  }
  return {};
}

}  // namespace

TEST(AptFile, ReadsMassPositionDetectorAndMultiplicity) {
  byte_builder b = file_header(2);
  add(b, mass({60.65f, 30.3f}));
  // Position: a 172-byte header (its bounding box follows the 148 bytes).
  add(b, sec("Position", floats({1, 2, 3, -4, -5, -6}), 2, 12, 3, 32, 1, 1, 172));
  add(b, sec("Detector Coordinates", floats({10.5f, -11.5f, 12, 13}), 2, 8));
  add(b, sec("Multiplicity", uints({2, 0}), 2, 4, 2));
  const dataset data = open_apt(b.bytes(), "hand.apt");
  EXPECT_EQ(data.format(), data_format::apt);
  EXPECT_EQ(data.ion_count(), 2u);
  EXPECT_EQ(data.present(), columns::position | columns::detector | columns::multiplicity);
  EXPECT_TRUE(data.notes().empty());
  const ion_columns ions = data.read_all();
  EXPECT_EQ(ions.mass, (std::vector<float>{60.65f, 30.3f}));
  EXPECT_EQ(ions.x, (std::vector<float>{1, -4}));
  EXPECT_EQ(ions.y, (std::vector<float>{2, -5}));
  EXPECT_EQ(ions.z, (std::vector<float>{3, -6}));
  EXPECT_EQ(ions.det_x, (std::vector<float>{10.5f, 12}));
  EXPECT_EQ(ions.det_y, (std::vector<float>{-11.5f, 13}));
  EXPECT_EQ(ions.multiplicity, (std::vector<std::uint32_t>{2, 0}));
  EXPECT_TRUE(ions.tof.empty());
}

TEST(AptFile, ReadsSeparateDetectorSectionsAndDoubleMasses) {
  byte_builder doubles;
  doubles.le_double(27.5).le_double(13.25);
  byte_builder b = file_header(2, 560);  // a longer file header is skipped
  add(b, sec("XDet_mm", floats({1, 2}), 2));
  add(b, sec("mass", doubles.bytes(), 2, 8, 3, 64));  // any case
  add(b, sec("YDet_mm", floats({3, 4}), 2));
  const ion_columns ions = open_apt(b.bytes(), "hand.apt").read_all();
  EXPECT_EQ(ions.mass, (std::vector<float>{27.5f, 13.25f}));
  EXPECT_EQ(ions.det_x, (std::vector<float>{1, 2}));
  EXPECT_EQ(ions.det_y, (std::vector<float>{3, 4}));

  // Without its partner an XDet_mm is not read.
  byte_builder alone = file_header(2);
  add(alone, mass({1, 2}));
  add(alone, sec("XDet_mm", floats({1, 2}), 2));
  const dataset data = open_apt(alone.bytes(), "alone.apt");
  EXPECT_FALSE(data.has(columns::detector));
  ASSERT_EQ(data.notes().size(), 1u);
  EXPECT_NE(data.notes()[0].find("YDet_mm is missing"), std::string::npos) << data.notes()[0];
}

TEST(AptFile, SkipsUnknownSectionsAndThoseNotOnePerIonWithANote) {
  byte_builder b = file_header(3);
  // An unknown section with a record layout of its own and a longer header.
  add(b, sec("Pulse Shape", std::vector<std::byte>(37, std::byte{0x55}), 1, 37, 2, 8, 1, 2, 200));
  add(b, mass({1, 2, 3}));
  // A Position of another relationship (not one per ion): skipped.
  add(b, sec("Position", floats({9, 9, 9}), 1, 12, 3, 32, 3));
  // A Multiplicity of a type not read: skipped, the file is still read.
  add(b, sec("Multiplicity", std::vector<std::byte>(3, std::byte{1}), 3, 1, 2, 8));
  add(b, sec("Detector Coordinates", floats({1, 2, 3, 4, 5, 6}), 3, 8));
  const dataset data = open_apt(b.bytes(), "hand.apt");
  EXPECT_EQ(data.present(), columns::detector);
  ASSERT_EQ(data.notes().size(), 3u);
  EXPECT_NE(data.notes()[0].find("'Pulse Shape' at byte 540 is not read"), std::string::npos)
      << data.notes()[0];
  EXPECT_NE(data.notes()[1].find("'Position'"), std::string::npos) << data.notes()[1];
  EXPECT_NE(data.notes()[1].find("not one per ion"), std::string::npos) << data.notes()[1];
  EXPECT_NE(data.notes()[2].find("uint of 8 bits"), std::string::npos) << data.notes()[2];
  EXPECT_EQ(data.read_all().det_y, (std::vector<float>{2, 4, 6}));
}

TEST(AptFile, AFileOfNoIonsIsReadWithANote) {
  byte_builder b = file_header(0);
  add(b, mass({}));
  add(b, sec("Detector Coordinates", {}, 0, 8));
  const dataset data = open_apt(b.bytes(), "none.apt");
  EXPECT_EQ(data.ion_count(), 0u);
  EXPECT_EQ(data.present(), columns::detector);
  EXPECT_EQ(data.notes(),
            std::vector<std::string>{"the file holds no ions: its header counts none"});
  EXPECT_EQ(data.read_all().det_x.size(), 0u);
}

TEST(AptFile, RefusesAHeaderThatIsNotThere) {
  byte_builder short_file = file_header(0);
  short_file.bytes().resize(300);
  EXPECT_EQ(open_message(short_file.bytes()),
            "bad.apt: 300 bytes is too short for the 540-byte header of an .apt file");
  byte_builder wrong = file_header(0);
  wrong.bytes()[0] = std::byte{'X'};
  EXPECT_EQ(open_message(wrong.bytes()), "bad.apt: does not start with the .apt signature \"APT\"");
  byte_builder huge = file_header(0, 100000);
  huge.bytes().resize(600);
  EXPECT_NE(open_message(huge.bytes()).find("gives its size as 100000 bytes"), std::string::npos);
  byte_builder small = file_header(0, 12);
  EXPECT_NE(open_message(small.bytes()).find("gives its size as 12 bytes"), std::string::npos);
  // A header without sections holds no masses.
  EXPECT_EQ(open_message(file_header(0).bytes()),
            "bad.apt: has no Mass section, so no mass-to-charge to read");
}

TEST(AptFile, RefusesSectionsCutOffOrAtOddsWithTheFile) {
  {  // The data of the last section runs past the end of the file.
    byte_builder b = file_header(3);
    add(b, mass({1, 2, 3}));
    b.bytes().resize(b.size() - 1);
    EXPECT_EQ(open_message(b.bytes()),
              "bad.apt: the section 'Mass' at byte 540 is cut off: it holds 12 bytes of data, "
              "but only 11 follow its header");
  }
  {  // A section header cut off.
    byte_builder b = file_header(3);
    add(b, mass({1, 2, 3}));
    add(b, sec("Position", floats({1, 2, 3, 4, 5, 6, 7, 8, 9}), 3, 12, 3, 32, 1, 1, 172));
    b.bytes().resize(540 + 148 + 12 + 100);
    EXPECT_NE(open_message(b.bytes()).find("the section at byte 700 is cut off: 100 bytes"),
              std::string::npos)
        << open_message(b.bytes());
  }
  {  // A header size that runs past the end, and one that is too small.
    byte_builder b = file_header(1);
    add(b, sec("Mass", floats({1}), 1, 4, 3, 32, 1, 1, 4000));
    b.bytes().resize(540 + 160);
    EXPECT_NE(open_message(b.bytes()).find("gives its header size as 4000 bytes"),
              std::string::npos);
    byte_builder c = file_header(1);
    add(c, sec("Mass", floats({1}), 1, 4, 3, 32, 1, 1, 100));
    EXPECT_NE(open_message(c.bytes()).find("gives its header size as 100 bytes"),
              std::string::npos);
  }
  {  // Garbage where the next section should start.
    byte_builder b = file_header(1);
    add(b, mass({1}));
    b.zeros(148);
    EXPECT_EQ(open_message(b.bytes()), "bad.apt: no section signature \"SEC\" at byte 692");
  }
  {  // Records for other ions than the file header's.
    byte_builder b = file_header(4);
    add(b, mass({1, 2, 3}));
    EXPECT_EQ(open_message(b.bytes()),
              "bad.apt: the section 'Mass' at byte 540 holds 3 records for the 4 ions of the "
              "file header");
  }
  {  // A byte count that is not records times record size.
    byte_builder b = file_header(3);
    section m = mass({1, 2, 3});
    m.data.resize(16);
    add(b, m);
    EXPECT_EQ(open_message(b.bytes()),
              "bad.apt: the section 'Mass' at byte 540 holds 16 bytes, not 3 records of 4 bytes");
  }
  {  // A mass in whole numbers is no mass.
    byte_builder b = file_header(1);
    add(b, sec("Mass", uints({7}), 1, 4, 2));
    EXPECT_NE(open_message(b.bytes()).find("holds uint of 32 bits, which is not read"),
              std::string::npos);
  }
  {  // A record size that does not hold the values.
    byte_builder b = file_header(1);
    add(b, sec("Mass", floats({1, 2}), 1, 8));
    EXPECT_NE(open_message(b.bytes()).find("gives its record size as 8 bytes"), std::string::npos);
  }
  {  // Two Mass sections: which holds the ions?
    byte_builder b = file_header(1);
    add(b, mass({1}));
    add(b, mass({2}));
    EXPECT_NE(open_message(b.bytes()).find("second of its kind"), std::string::npos);
  }
  // Both detector layouts at once, whole or with only one of the separate
  // sections: which coordinates hold the ions is not clear either way.
  for (const auto& separate :
       {std::vector<std::string>{"XDet_mm", "YDet_mm"}, std::vector<std::string>{"XDet_mm"},
        std::vector<std::string>{"YDet_mm"}}) {
    byte_builder b = file_header(1);
    add(b, mass({1}));
    add(b, sec("Detector Coordinates", floats({1, 2}), 1, 8));
    for (const auto& name : separate) add(b, sec(name, floats({1}), 1));
    EXPECT_EQ(open_message(b.bytes()),
              "bad.apt: holds both Detector Coordinates and XDet_mm/YDet_mm: which to read is not "
              "clear")
        << separate.size() << " " << separate.front();
  }
  {  // A record count so large that records times size wraps around 64 bits.
    byte_builder b = file_header(0x4000000000000001ull);
    add(b, sec("Mass", floats({1}), 0x4000000000000001ull, 4));
    EXPECT_NE(open_message(b.bytes()).find("holds 4 bytes, not 4611686018427387905 records"),
              std::string::npos)
        << open_message(b.bytes());
  }
}

TEST(AptFile, WritesWhatItReadsInEitherDetectorLayout) {
  ion_columns ions;
  ions.mass = {60.65f, 91.0f, 30.3f};
  ions.x = {1, 2, 3};
  ions.y = {-1, -2, -3};
  ions.z = {10, 20, 5};
  ions.det_x = {4, 5, 6};
  ions.det_y = {7, 8, 9};
  ions.multiplicity = {1, 2, 0};
  ions.tof = {1, 2, 3};  // not written
  for (const bool separate : {false, true}) {
    const auto bytes = encode_apt(ions, {"synthetic.apt", separate});
    // The ion count at byte 532 of the header, little-endian.
    EXPECT_EQ(bytes[532], std::byte{3});
    const dataset data = open_apt(bytes, "back.apt");
    EXPECT_TRUE(data.notes().empty());
    EXPECT_EQ(data.present(), columns::position | columns::detector | columns::multiplicity);
    const ion_columns back = data.read_all();
    EXPECT_EQ(back.mass, ions.mass);
    EXPECT_EQ(back.x, ions.x);
    EXPECT_EQ(back.z, ions.z);
    EXPECT_EQ(back.det_x, ions.det_x);
    EXPECT_EQ(back.det_y, ions.det_y);
    EXPECT_EQ(back.multiplicity, ions.multiplicity);
  }
  // The Position section's bounding box: minimum x, y, z, then maximum.
  const auto bytes = encode_apt(ions);
  const std::size_t position = 540 + 148 + 3 * 4;
  float box[6];
  for (std::size_t k = 0; k < 6; ++k) {
    std::uint32_t raw = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      raw |= std::to_integer<std::uint32_t>(bytes[position + 148 + 4 * k + i]) << (8 * i);
    }
    box[k] = std::bit_cast<float>(raw);
  }
  EXPECT_EQ(std::vector<float>(box, box + 6), (std::vector<float>{1, -3, 5, 3, -1, 20}));

  ion_columns masses_only;
  masses_only.mass = {1.0f};
  const dataset data = open_apt(encode_apt(masses_only), "m.apt");
  EXPECT_EQ(data.present(), columns::none);
}
