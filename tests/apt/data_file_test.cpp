#include "apt/data_file.hpp"

#include <gtest/gtest.h>

#include <cstdio>

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

TEST(DataFile, TheDatasetKeepsItsFileMappedAfterTheFileIsGone) {
  temp_folder folder;
  const auto path = folder.write("run.epos", encode_data(data_format::epos, some_ions()));
  std::optional<dataset> kept;
  {
    const dataset data = open_data(path);
    kept = data;  // a copy shares the mapping
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

TEST(DataFile, BytesInMemoryOpenAsAnyFormat) {
  const auto bytes = encode_data(data_format::pos, some_ions());
  EXPECT_EQ(open_data(bytes, data_format::pos, "memory").ion_count(), 257u);
  // 257 * 16 bytes are no whole number of .epos records, and no .apt file.
  EXPECT_THROW(open_data(bytes, data_format::epos, "memory"), read_error);
  EXPECT_THROW(open_data(bytes, data_format::apt, "memory"), read_error);
}
