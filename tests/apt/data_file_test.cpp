#include "apt/data_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "apt/read_error.hpp"
#include "tests/apt/test_files.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane::apt;
using veltrane::apt::testing::temp_folder;

namespace {

ion_columns some_ions() {
  ion_columns ions;
  for (int i = 0; i < 257; ++i) {
    const auto f = static_cast<float>(i);
    ions.mass.push_back(20.0f + 0.25f * f);
    ions.x.push_back(f);
    ions.y.push_back(-f);
    ions.z.push_back(2 * f);
    ions.det_x.push_back(-30.0f + 0.2f * f);
    ions.det_y.push_back(30.0f - 0.2f * f);
    ions.multiplicity.push_back(i % 2 == 0 ? 1u : 2u);
    ions.v_dc.push_back(5000.0f + f);
  }
  return ions;
}

std::string open_message(const std::filesystem::path& path) {
  try {
    open_data(path);
  } catch (const read_error& e) {
    return e.what();
  }
  return {};
}

}  // namespace

TEST(DataFile, TheExtensionNamesTheFormatInAnyCase) {
  EXPECT_EQ(format_of_extension("a/run.pos"), data_format::pos);
  EXPECT_EQ(format_of_extension("run.EPOS"), data_format::epos);
  EXPECT_EQ(format_of_extension("run.Apt"), data_format::apt);
  EXPECT_EQ(format_of_extension("run.rrng"), std::nullopt);
  EXPECT_EQ(format_of_extension("pos"), std::nullopt);
  EXPECT_EQ(format_name(data_format::epos), "epos");
}

TEST(DataFile, TheSameIonsReadAlikeFromEachFormatOnDisk) {
  temp_folder folder;
  const ion_columns ions = some_ions();
  for (const auto format : {data_format::pos, data_format::epos, data_format::apt}) {
    const std::string name = "run." + std::string(format_name(format));
    std::FILE* out = std::fopen((folder.path() / name).c_str(), "wb");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(write_data(out, format, ions), 0);
    std::fclose(out);
    const dataset data = open_data(folder.path() / name);
    EXPECT_EQ(data.format(), format) << name;
    EXPECT_EQ(data.ion_count(), ions.size()) << name;
    const ion_columns back = data.read_all();
    EXPECT_EQ(back.mass, ions.mass) << name;
    EXPECT_EQ(back.y, ions.y) << name;
    if (format != data_format::pos) {
      EXPECT_EQ(back.det_x, ions.det_x) << name;
      EXPECT_EQ(back.multiplicity, ions.multiplicity) << name;
    }
    EXPECT_EQ(data.has(columns::dc_voltage), format == data_format::epos) << name;
  }
}

TEST(DataFile, TheDatasetKeepsItsFileOpenAfterTheFileIsGone) {
  temp_folder folder;
  const auto path = folder.write("run.epos", encode_data(data_format::epos, some_ions()));
  std::optional<dataset> kept;
  {
    const dataset data = open_data(path);
    kept = data;  // a copy shares the open file
  }
  std::filesystem::remove(path);
  EXPECT_EQ(kept->read_all(columns::none).mass, some_ions().mass);
  EXPECT_EQ(kept->path(), path.string());
}

TEST(DataFile, AnUnknownFormatIsReadOnlyWhenItStartsAsAnAptFile) {
  temp_folder folder;
  const auto apt = folder.write("run.dat", encode_data(data_format::apt, some_ions()));
  EXPECT_EQ(open_data(apt).format(), data_format::apt);
  const auto other = folder.write("run.txt", encode_data(data_format::pos, some_ions()));
  EXPECT_EQ(open_message(other), other.string() +
                                     ": the format is not known (the extension is not .pos, "
                                     ".epos or .apt, and the file does not start with the .apt "
                                     "signature)");
  // A fault of the format's reader names the file by its path.
  const auto cut = folder.write("cut.epos", std::string_view("0123456789"));
  EXPECT_EQ(open_message(cut),
            cut.string() + ": 10 bytes is not a whole number of 44-byte records");
  EXPECT_NE(open_message(folder.path() / "none.pos").find("none.pos: "), std::string::npos);
}

TEST(DataFile, AFileDecodesAsItsBytesInMemoryDoInAnyRangeAndThread) {
  // Enough ions for several blocks of the file's reading, in every layout:
  // .epos records, .pos records, and .apt sections (with both detector
  // layouts), decoded in ranges that start and end anywhere.
  ion_columns ions;
  for (std::uint32_t i = 0; i < 30011; ++i) {
    const auto f = static_cast<float>(i);
    ions.mass.push_back(1.0f + 0.01f * f);
    ions.x.push_back(f);
    ions.y.push_back(-f);
    ions.z.push_back(0.5f * f);
    ions.det_x.push_back(-f - 0.25f);
    ions.det_y.push_back(f + 0.75f);
    ions.tof.push_back(3.0f * f);
    ions.v_dc.push_back(4000.0f + f);
    ions.v_pulse.push_back(800.0f + f);
    ions.pulse_delta.push_back(i % 5);
    ions.multiplicity.push_back(i % 3);
  }
  temp_folder folder;
  struct layout {
    std::string name;
    data_format format;
    std::vector<std::byte> bytes;
  };
  const layout layouts[] = {
      {"run.pos", data_format::pos, encode_data(data_format::pos, ions)},
      {"run.epos", data_format::epos, encode_data(data_format::epos, ions)},
      {"run.apt", data_format::apt, encode_apt(ions)},
      {"separate.apt", data_format::apt, encode_apt(ions, {"separate.apt", true})},
  };
  const auto same = [](const ion_columns& a, const ion_columns& b) {
    return a.mass == b.mass && a.x == b.x && a.y == b.y && a.z == b.z && a.det_x == b.det_x &&
           a.det_y == b.det_y && a.tof == b.tof && a.v_dc == b.v_dc && a.v_pulse == b.v_pulse &&
           a.pulse_delta == b.pulse_delta && a.multiplicity == b.multiplicity;
  };
  for (const auto& l : layouts) {
    const dataset memory = open_data(l.bytes, l.format, l.name);
    const dataset file = open_data(folder.write(l.name, l.bytes));
    EXPECT_EQ(file.present(), memory.present()) << l.name;
    EXPECT_EQ(file.voltages(), memory.voltages()) << l.name;
    EXPECT_TRUE(same(file.read_all(), memory.read_all())) << l.name;
    ion_chunk from_file, from_memory;
    for (const auto wanted : {columns::none, columns::detector | columns::multiplicity,
                              columns::position | columns::dc_voltage}) {
      file.decode(12345, 6789, from_file, wanted);
      memory.decode(12345, 6789, from_memory, wanted);
      EXPECT_TRUE(same(from_file, from_memory)) << l.name;
      file.decode(30010, 1, from_file, wanted);
      memory.decode(30010, 1, from_memory, wanted);
      EXPECT_TRUE(same(from_file, from_memory)) << l.name;
    }
    // Two threads on one open file, each with its own chunk.
    std::vector<float> halves[2];
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        ion_chunk chunk;
        for (std::uint64_t first = 1000 * t; first < 30011; first += 2000) {
          file.decode(first, std::min<std::uint64_t>(1000, 30011 - first), chunk,
                      columns::detector);
          halves[t].insert(halves[t].end(), chunk.det_y.begin(), chunk.det_y.end());
        }
      });
    }
    for (auto& t : threads) t.join();
    // The thousands interleaved again (none for a .pos, which has no detector).
    const std::vector<float> expected = memory.read_all(columns::detector).det_y;
    ASSERT_EQ(halves[0].size() + halves[1].size(), expected.size()) << l.name;
    std::vector<float> woven;
    for (std::size_t k = 0; k < expected.size(); ++k) {
      const std::size_t t = (k / 1000) % 2, at = (k / 2000) * 1000 + k % 1000;
      woven.push_back(halves[t][at]);
    }
    EXPECT_EQ(woven, expected) << l.name;
  }
}

TEST(DataFile, AFileCutShortWhileItIsReadIsAReadError) {
  // 1000 ions in chunks of 100: after the first chunk the file is cut to
  // 250 ions. The second chunk still lies in the file; the third does not.
  temp_folder folder;
  ion_columns ions;
  for (int i = 0; i < 1000; ++i) {
    ions.mass.push_back(1.0f + static_cast<float>(i));
    ions.det_x.push_back(static_cast<float>(-i));
    ions.det_y.push_back(static_cast<float>(i));
  }
  for (const auto format : {data_format::pos, data_format::epos, data_format::apt}) {
    const std::string name = "run." + std::string(format_name(format));
    const auto path = folder.write(name, encode_data(format, ions));
    const auto size = std::filesystem::file_size(path);
    const dataset data = open_data(path);
    // Where the 250th ion's record ends: the .apt keeps the masses first.
    const std::uintmax_t cut = format == data_format::pos    ? 250 * pos_record_size
                               : format == data_format::epos ? 250 * epos_record_size
                                                             : 540 + 148 + 250 * 4;
    std::vector<float> seen;
    try {
      data.for_each_chunk(
          [&](const ion_chunk& chunk) {
            if (chunk.first == 0) std::filesystem::resize_file(path, cut);
            seen.insert(seen.end(), chunk.mass.begin(), chunk.mass.end());
            return true;
          },
          100, columns::none);
      ADD_FAILURE() << name << ": read to the end";
    } catch (const open_error& e) {
      ADD_FAILURE() << name << ": " << e.what();
    } catch (const read_error& e) {
      EXPECT_EQ(std::string(e.what()),
                path.string() + ": cannot be read: it was cut off while being read (" +
                    std::to_string(size) + " bytes when opened, " + std::to_string(cut) + " now)");
    }
    EXPECT_EQ(seen, std::vector<float>(ions.mass.begin(), ions.mass.begin() + 200)) << name;
    // Any later read fails alike, also of the columns that are still there.
    ion_chunk chunk;
    EXPECT_NO_THROW(data.decode(0, 250, chunk, columns::none)) << name;
    EXPECT_THROW(data.decode(0, 1000, chunk, columns::none), read_error) << name;
    if (format == data_format::apt) {
      EXPECT_THROW(data.decode(0, 1, chunk, columns::detector), read_error) << name;
    }
    std::filesystem::resize_file(path, 0);
    EXPECT_THROW(data.read_all(), read_error) << name;
  }
}

TEST(DataFile, AnEmptyFileHoldsNoIonsWithANote) {
  temp_folder folder;
  for (const char* name : {"empty.pos", "empty.epos"}) {
    const dataset data = open_data(folder.write(name, std::string_view()));
    EXPECT_EQ(data.ion_count(), 0u) << name;
    EXPECT_EQ(data.notes(), std::vector<std::string>{"the file holds no ions: it is empty"})
        << name;
    EXPECT_TRUE(data.read_all().mass.empty()) << name;
  }
  // An empty .apt has not even its header; one that counts no ions opens.
  const auto apt = folder.write("empty.apt", std::string_view());
  try {
    open_data(apt);
    ADD_FAILURE() << "an empty .apt opened";
  } catch (const open_error& e) {
    ADD_FAILURE() << e.what();
  } catch (const read_error& e) {
    EXPECT_EQ(std::string(e.what()),
              apt.string() + ": 0 bytes is too short for the 540-byte header of an .apt file");
  }
  const dataset none = open_data(folder.write("none.apt", encode_data(data_format::apt, {})));
  EXPECT_EQ(none.ion_count(), 0u);
  EXPECT_EQ(none.notes(),
            std::vector<std::string>{"the file holds no ions: its header counts none"});
}

TEST(DataFile, BytesInMemoryOpenAsAnyFormat) {
  const auto bytes = encode_data(data_format::pos, some_ions());
  EXPECT_EQ(open_data(bytes, data_format::pos, "memory").ion_count(), 257u);
  // 257 * 16 bytes are no whole number of .epos records, and no .apt file.
  EXPECT_THROW(open_data(bytes, data_format::epos, "memory"), read_error);
  EXPECT_THROW(open_data(bytes, data_format::apt, "memory"), read_error);
}
