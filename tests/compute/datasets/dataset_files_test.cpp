#include "compute/datasets/dataset_files.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>

#include "apt/data_file.hpp"
#include "compute/datasets/field_profile.hpp"
#include "compute/datasets/mass_spectrum.hpp"
#include "tests/support/apt_writers.hpp"

// The dataset's files as every door opens them, the spectrum a window draws
// and the block of a profile read at a glance.

using namespace veltrane;

namespace {

// A scratch folder of its own, removed afterwards.
struct folder {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("veltrane-files-" + std::to_string(getpid()));
  folder() { std::filesystem::create_directories(dir); }
  ~folder() { std::filesystem::remove_all(dir); }
  std::filesystem::path write(const std::string& name, const std::string& text) const {
    std::ofstream(dir / name, std::ios::binary) << text;
    return dir / name;
  }
  std::filesystem::path write(const std::string& name, const std::vector<std::byte>& bytes) const {
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return dir / name;
  }
};

constexpr const char* ranges_text =
    "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=1\nRange1=60.5 62.5 Vol:0.01 W:1 Color:FF0000\n";

apt::ion_columns masses(const std::vector<float>& m) {
  apt::ion_columns c;
  c.mass = m;
  return c;
}

// The message and the kind of the fault that `open` throws.
template <class Open>
std::pair<std::string, bool> fault_of(const Open& open) {
  try {
    open();
  } catch (const dataset_file_error& e) {
    return {e.what(), e.unopened()};
  }
  return {"nothing thrown", false};
}

}  // namespace

TEST(DatasetFiles, EveryFaultNamesTheFileAndSaysWhetherItOpened) {
  const folder f;
  const auto good = f.write("run.pos", apt::encode_data(apt::data_format::pos, masses({61.0f})));
  const auto ranges = f.write("W.rrng", std::string(ranges_text));
  const auto cut = f.write("cut.pos", std::string(17, '\0'));
  const auto missing = f.dir / "missing.pos";

  const dataset_inputs in = read_inputs(good, ranges);
  EXPECT_EQ(in.data.ion_count(), 1u);
  EXPECT_EQ(in.ranges.ranges.size(), 1u);

  EXPECT_EQ(
      fault_of([&] { (void)open_dataset(missing); }),
      std::pair(missing.string() + ": cannot be opened for reading: No such file or directory",
                true));
  EXPECT_EQ(fault_of([&] { (void)open_range_file(f.dir); }),
            std::pair(f.dir.string() + ": is not a regular file (a folder)", true));
  const auto [message, unopened] = fault_of([&] { (void)open_dataset(cut); });
  EXPECT_EQ(message, cut.string() + ": 17 bytes is not a whole number of 16-byte records");
  EXPECT_FALSE(unopened);
  // Both files at fault: the range file is read first.
  EXPECT_EQ(fault_of([&] { (void)read_inputs(missing, f.dir); }).first,
            f.dir.string() + ": is not a regular file (a folder)");
  const auto broken_ranges = f.write("broken.rrng", std::string("[Ranges]\nRange1=x\n"));
  EXPECT_EQ(
      fault_of([&] { (void)read_inputs(cut, broken_ranges); }).first.find(broken_ranges.string()),
      0u);
  // What apt/ finds while the ions are read is said the same way.
  const auto nan_mass = f.write(
      "nan.pos", apt::encode_data(apt::data_format::pos,
                                  masses({61.0f, std::numeric_limits<float>::quiet_NaN()})));
  const apt::dataset data = open_dataset(nan_mass);
  const auto [later, opened_later] = fault_of([&] { (void)mass_spectrum(data, {}); });
  EXPECT_NE(later.find("nan.pos: the mass of ion 1"), std::string::npos) << later;
  EXPECT_FALSE(opened_later);
}

TEST(DatasetFiles, SpectrumAndBlocks) {
  const folder f;
  const auto path = f.write(
      "run.pos", apt::encode_data(apt::data_format::pos, masses({0.0f, 0.04f, 0.05f, 61.0f, 61.01f,
                                                                 999.99f, 1000.0f, -1.0f})));
  const apt::dataset data = open_dataset(path);
  std::atomic<std::uint64_t> read{0};
  spectrum_options options;
  options.ions_done = &read;
  const auto spectrum = mass_spectrum(data, options);
  // Bins of 0.05 Da from 0 up to the last that holds an ion below 1000 Da.
  ASSERT_EQ(spectrum.size(), 20000u);
  EXPECT_EQ(spectrum[0], 2u);
  EXPECT_EQ(spectrum[1], 1u);
  EXPECT_EQ(spectrum[1220], 2u);
  EXPECT_EQ(spectrum.back(), 1u);
  EXPECT_EQ(std::accumulate(spectrum.begin(), spectrum.end(), std::uint64_t{0}), 6u);
  EXPECT_EQ(read.load(), 8u);
  const std::atomic<bool> cancel{true};
  options.cancel = &cancel;
  EXPECT_THROW((void)mass_spectrum(data, options), calculation_cancelled);

  EXPECT_EQ(block_for(285, 50), 6u);
  EXPECT_EQ(block_for(300, 50), 6u);
  EXPECT_EQ(block_for(0, 50), 1u);
  EXPECT_EQ(block_for(10, 50), 1u);
}

// An output that is the data or the range file, by its own path or another
// (a link, "./"), would replace the dataset: refused. Any other path, and
// one that does not exist yet, is not.
TEST(DatasetFiles, AnOutputThatIsAnInputIsRefused) {
  const folder f;
  const auto data = f.write("run.epos", "x"), ranges = f.write("W.rrng", "y");
  std::filesystem::create_symlink(data, f.dir / "link.epos");
  const auto refusal = [&](const std::filesystem::path& output) {
    try {
      check_output_apart(output, data, ranges);
    } catch (const input_refused& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(refusal(data),
            data.string() + " is the data file " + data.string() + ": writing it would replace it");
  EXPECT_EQ(refusal(f.dir / "." / "W.rrng"), (f.dir / "." / "W.rrng").string() +
                                                 " is the range file " + ranges.string() +
                                                 ": writing it would replace it");
  EXPECT_NE(refusal(f.dir / "link.epos").find("is the data file"), std::string::npos);
  EXPECT_EQ(refusal(f.dir / "map.csv"), "");  // not there yet
  EXPECT_EQ(refusal(f.write("other.csv", "z")), "");
}
