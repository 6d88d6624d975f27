#include "compute/datasets/dataset_counts.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>

#include "apt/data_file.hpp"
#include "apt/read_error.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane;

namespace {

// Tungsten at 3+ (182, 183, 184, 186) and at 2+ without 186W, whose range is
// left out; an O2 range that takes the window below 186W3+; a range that fits
// 7+ and 8+ alike; one that fits no charge.
constexpr const char* tungsten_ranges =
    "[Ions]\n"
    "Number=2\n"
    "Ion1=W\n"
    "Ion2=O\n"
    "[Ranges]\n"
    "Number=10\n"
    "Range1=60.57 60.73 Vol:0.01585 W:1 Color:FF0000\n"
    "Range2=60.90 61.06 Vol:0.01585 W:1 Color:FF0000\n"
    "Range3=61.24 61.40 Vol:0.01585 W:1 Color:FF0000\n"
    "Range4=61.90 62.06 Vol:0.01585 W:1 Color:FF0000\n"
    "Range5=61.76 61.86 Vol:0.02 O:2 Color:00FF00\n"
    "Range6=90.85 91.09 Vol:0.01585 W:1 Color:0000FF\n"
    "Range7=91.30 91.60 Vol:0.01585 W:1 Color:0000FF\n"
    "Range8=91.86 92.10 Vol:0.01585 W:1 Color:0000FF\n"
    "Range9=22.5 26.6 Vol:0.01585 W:1\n"
    "Range10=70.0 70.2 Vol:0.01585 W:1\n";

// The file's ranges sorted by low bound: where each one ends up.
struct expected_range {
  double low, high;
  int charge;  // 0: not counted for W
};
const expected_range w_ranges[] = {
    {60.57, 60.73, 3}, {60.90, 61.06, 3}, {61.24, 61.40, 3}, {61.90, 62.06, 3},
    {90.85, 91.09, 2}, {91.30, 91.60, 2}, {91.86, 92.10, 2},
};

// The windows as the issue defines them: the range's width just below, else
// just above, holding no range. 91.30-91.60 has neither.
struct expected_window {
  double low, high;
  bool below;
};
const expected_window w_windows[] = {
    {60.41, 60.57, true},  {60.74, 60.90, true}, {61.08, 61.24, true},
    {62.06, 62.22, false}, {90.61, 90.85, true},
};

struct synthetic {
  apt::ion_columns ions;
  // By range of w_ranges: ions inside, and of them single hits.
  std::vector<std::uint64_t> inside, inside_single;
  // By window of w_windows.
  std::vector<std::uint64_t> window, window_single;
};

float inside_float(double low, double high, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(low + 1e-3, high - 1e-3);
  return static_cast<float>(u(rng));
}

// Ions with known places: in each range, in each window, elsewhere, and at
// the float32 just inside and just outside the bounds of 184W3+; pulses of
// one and of two hits (the first of two carries 2, the second 0).
synthetic make_ions(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  synthetic s;
  s.inside.assign(std::size(w_ranges), 0);
  s.inside_single.assign(std::size(w_ranges), 0);
  s.window.assign(std::size(w_windows), 0);
  s.window_single.assign(std::size(w_windows), 0);
  struct ion {
    float mass;
    int range, window;  // -1 when none
  };
  std::vector<ion> list;
  for (std::size_t r = 0; r < std::size(w_ranges); ++r) {
    const int n = 300 + 97 * static_cast<int>(r);
    for (int i = 0; i < n; ++i)
      list.push_back({inside_float(w_ranges[r].low, w_ranges[r].high, rng), int(r), -1});
  }
  for (std::size_t w = 0; w < std::size(w_windows); ++w) {
    const int n = 20 + 13 * static_cast<int>(w);
    for (int i = 0; i < n; ++i)
      list.push_back({inside_float(w_windows[w].low, w_windows[w].high, rng), -1, int(w)});
  }
  // Outside every range and window: the ambiguous and the unfitting range,
  // 180W3+ and the O2 range among them.
  for (double m : {10.0, 24.0, 25.5, 59.98, 61.8, 65.0, 70.1, 91.2, 150.0}) {
    for (int i = 0; i < 50; ++i) list.push_back({static_cast<float>(m), -1, -1});
  }
  // The float32 nearest to a bound may lie on either side of the double.
  constexpr float inf = std::numeric_limits<float>::infinity();
  const double low = 61.24, high = 61.40;
  float just_in_low = static_cast<float>(low), just_out_low = static_cast<float>(low);
  while (double(just_in_low) < low) just_in_low = std::nextafter(just_in_low, inf);
  while (double(just_out_low) >= low) just_out_low = std::nextafter(just_out_low, -inf);
  float just_in_high = static_cast<float>(high), just_out_high = static_cast<float>(high);
  while (double(just_in_high) > high) just_in_high = std::nextafter(just_in_high, -inf);
  while (double(just_out_high) <= high) just_out_high = std::nextafter(just_out_high, inf);
  for (int i = 0; i < 7; ++i) {
    list.push_back({just_in_low, 2, -1});
    list.push_back({just_in_high, 2, -1});
    list.push_back({just_out_low, -1, 2});  // in the window below 184W3+
    list.push_back({just_out_high, -1, -1});
  }
  std::shuffle(list.begin(), list.end(), rng);

  std::uniform_real_distribution<float> position(-40.0f, 40.0f);
  std::bernoulli_distribution two_hits(0.3);
  auto& c = s.ions;
  for (std::size_t i = 0; i < list.size(); ++i) {
    bool single = true;
    if (i + 1 < list.size() && two_hits(rng)) single = false;
    const std::size_t in_pulse = single ? 1 : 2;
    for (std::size_t h = 0; h < in_pulse; ++h) {
      const ion& x = list[i + h];
      c.mass.push_back(x.mass);
      c.multiplicity.push_back(single ? 1u : (h == 0 ? 2u : 0u));
      if (x.range >= 0) {
        ++s.inside[std::size_t(x.range)];
        if (single) ++s.inside_single[std::size_t(x.range)];
      }
      if (x.window >= 0) {
        ++s.window[std::size_t(x.window)];
        if (single) ++s.window_single[std::size_t(x.window)];
      }
    }
    i += in_pulse - 1;
  }
  for (std::size_t i = 0; i < c.mass.size(); ++i) {
    c.x.push_back(position(rng) / 2.0f);
    c.y.push_back(position(rng) / 2.0f);
    c.z.push_back(float(i) * 1e-3f);
    c.det_x.push_back(position(rng));
    c.det_y.push_back(position(rng));
    c.tof.push_back(500.0f);
    c.v_dc.push_back(5000.0f);
    c.v_pulse.push_back(1000.0f);
    c.pulse_delta.push_back(1);
  }
  return s;
}

// A data file in memory, owning its bytes.
struct data_in_memory {
  std::vector<std::byte> bytes;
  apt::dataset data;
  data_in_memory(apt::data_format format, const apt::ion_columns& ions)
      : bytes(apt::encode_data(format, ions)),
        data(apt::open_data(bytes, format, "run." + std::string(apt::format_name(format)))) {}
};

const synthetic& ions() {
  static const synthetic s = make_ions(20);
  return s;
}

apt::range_file ranges() { return apt::parse_range_text(tungsten_ranges, "W.rrng"); }

std::uint64_t sum_of(const std::vector<std::uint64_t>& v, std::size_t from, std::size_t to) {
  std::uint64_t n = 0;
  for (std::size_t i = from; i < to; ++i) n += v[i];
  return n;
}

counting_options with_threads(unsigned threads, std::size_t chunk = 1000) {
  counting_options o;
  o.threads = threads;
  o.chunk_ions = chunk;
  return o;
}

// A folder of its own for files written by a test, removed afterwards.
struct scratch_folder {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("veltrane-counts-" + std::to_string(::getpid()));
  scratch_folder() { std::filesystem::create_directories(dir); }
  ~scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  std::filesystem::path write(const std::string& name, const std::vector<std::byte>& bytes) const {
    std::ofstream out(dir / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return dir / name;
  }
};

// The element's charge states counted in ranges of their own (not those the
// decomposition alone adds).
std::size_t ranged_states(const dataset_counts& counts) {
  return static_cast<std::size_t>(
      std::count_if(counts.charges.begin(), counts.charges.end(),
                    [](const charge_count& q) { return !q.ranges.empty(); }));
}

bool mentions(const std::vector<std::string>& messages, const std::string& part) {
  return std::any_of(messages.begin(), messages.end(),
                     [&](const std::string& m) { return m.find(part) != std::string::npos; });
}

}  // namespace

TEST(DatasetCounts, EachIonIsCountedInItsRangeAtEveryBoundAndForEveryFormat) {
  const auto& s = ions();
  const auto file = ranges();
  for (auto format : {apt::data_format::epos, apt::data_format::pos, apt::data_format::apt}) {
    const data_in_memory in(format, s.ions);
    for (unsigned threads : {1u, 3u}) {
      SCOPED_TRACE(std::string(apt::format_name(format)) + ", threads " + std::to_string(threads));
      const auto counts = count_charge_states(in.data, file, "Tungsten", with_threads(threads));
      ASSERT_EQ(ranged_states(counts), 2u);
      ASSERT_EQ(counts.ranges.size(), std::size(w_ranges));
      for (std::size_t r = 0; r < std::size(w_ranges); ++r) {
        EXPECT_DOUBLE_EQ(counts.ranges[r].low, w_ranges[r].low);
        EXPECT_EQ(counts.ranges[r].charge, w_ranges[r].charge);
        EXPECT_EQ(counts.ranges[r].counts, s.inside[r]) << "range " << r;
      }
      const charge_count* two = counts.find(2);
      const charge_count* three = counts.find(3);
      ASSERT_TRUE(two && three);
      EXPECT_EQ(three->counts, sum_of(s.inside, 0, 4));
      EXPECT_EQ(two->counts, sum_of(s.inside, 4, 7));
      EXPECT_EQ(counts.ions, s.ions.size());
      EXPECT_EQ(counts.counted_ions, s.ions.size());
      // Without overlaps the decomposition is the isotope-corrected count.
      EXPECT_NEAR(two->decomposed, two->corrected, 1e-6 * two->corrected);
      EXPECT_NEAR(three->decomposed, three->corrected, 1e-6 * three->corrected);
      EXPECT_NEAR(two->decomposed_sigma, std::sqrt(two->corrected / (two->abundance_percent / 100)),
                  1e-6 * two->decomposed_sigma);
      // 22.5-26.6 Da holds W at 7+ and 8+ alike: both are species of the
      // decomposition, with no range of their own and no number of their own.
      const charge_count* seven = counts.find(7);
      const charge_count* eight = counts.find(8);
      ASSERT_TRUE(seven && eight);
      EXPECT_TRUE(seven->ranges.empty());
      EXPECT_EQ(seven->counts, 0u);
      EXPECT_TRUE(std::isnan(seven->decomposed));
      EXPECT_EQ(seven->inseparable_from, "W8+");
      EXPECT_EQ(eight->inseparable_from, "W7+");
    }
  }
}

TEST(DatasetCounts, IsotopeCorrectionCoversWhatTheRangesLeaveOut) {
  const data_in_memory in(apt::data_format::epos, ions().ions);
  const auto counts = count_charge_states(in.data, ranges(), "W", with_threads(2));
  const charge_count& two = *counts.find(2);
  const charge_count& three = *counts.find(3);
  // 180W (0.12 %) lies in no range at either charge, 186W (28.43 %) only at 3+.
  EXPECT_NEAR(three.abundance_percent, 26.5 + 14.31 + 30.64 + 28.43, 1e-9);
  EXPECT_NEAR(two.abundance_percent, 26.5 + 14.31 + 30.64, 1e-9);
  ASSERT_EQ(two.isotopes.size(), 3u);
  EXPECT_EQ(two.isotopes.back().mass_number, 184);
  EXPECT_DOUBLE_EQ(two.corrected, double(two.counts) / (two.abundance_percent / 100.0));
  EXPECT_NEAR(isotope_factor(two, three), 71.45 / 99.88, 1e-12);
  // Without background the net counts are the raw ones.
  EXPECT_EQ(two.net, double(two.counts));
  EXPECT_EQ(two.background, 0.0);
}

TEST(DatasetCounts, RangesWithoutOneChargeAreLeftOutWithTheirReason) {
  const data_in_memory in(apt::data_format::pos, ions().ions);
  const auto counts = count_charge_states(in.data, ranges(), "tungsten", with_threads(1));
  EXPECT_TRUE(mentions(counts.messages, "W.rrng:15:")) << "the range fitting 7+ and 8+";
  EXPECT_TRUE(mentions(counts.messages, "left out"));
  EXPECT_TRUE(mentions(counts.messages, "no isotope of W")) << "70.0-70.2 Da";
  for (const auto& r : counts.ranges) EXPECT_NE(r.low, 22.5);
}

TEST(DatasetCounts, SingleHitsKeepOnlyPulsesOfOneIon) {
  const auto& s = ions();
  counting_options o = with_threads(2);
  o.single_hits = true;
  for (auto format : {apt::data_format::epos, apt::data_format::apt}) {
    SCOPED_TRACE(apt::format_name(format));
    const data_in_memory in(format, s.ions);
    const auto counts = count_charge_states(in.data, ranges(), "W", o);
    EXPECT_TRUE(counts.single_hits);
    for (std::size_t r = 0; r < std::size(w_ranges); ++r) {
      EXPECT_EQ(counts.ranges[r].counts, s.inside_single[r]);
    }
    EXPECT_LT(counts.counted_ions, counts.ions);
  }
  // A .pos file has no multiplicity: every ion is counted, and it says so.
  const data_in_memory pos(apt::data_format::pos, s.ions);
  const auto counts = count_charge_states(pos.data, ranges(), "W", o);
  EXPECT_FALSE(counts.single_hits);
  EXPECT_TRUE(mentions(counts.messages, "run.pos: the file holds no multiplicity"));
  EXPECT_EQ(counts.find(3)->counts, sum_of(s.inside, 0, 4));
}

TEST(DatasetCounts, BackgroundComesFromAFreeWindowBelowElseAbove) {
  const auto& s = ions();
  const auto file = ranges();
  counting_options o = with_threads(3, 777);
  o.background = true;
  const data_in_memory in(apt::data_format::apt, s.ions);
  const auto counts = count_charge_states(in.data, file, "W", o);
  // By range of w_ranges: the window of w_windows, or none (91.30-91.60,
  // whose neighbours take both sides).
  const int window_of[] = {0, 1, 2, 3, 4, -1, -1};
  // The ranges 91.86-92.10: above (92.10, 92.34] is free, and below
  // [91.62, 91.86) as well; it takes the one below.
  std::uint64_t subtracted_two = 0, subtracted_three = 0;
  for (std::size_t r = 0; r < std::size(w_ranges); ++r) {
    const auto& c = counts.ranges[r];
    SCOPED_TRACE("range " + std::to_string(r));
    if (window_of[r] >= 0) {
      const auto& w = w_windows[window_of[r]];
      EXPECT_EQ(c.window.side, w.below ? background_side::below : background_side::above);
      EXPECT_NEAR(c.window.low, w.low, 1e-12);
      EXPECT_NEAR(c.window.high, w.high, 1e-12);
      EXPECT_EQ(c.window_counts, s.window[std::size_t(window_of[r])]);
    } else if (r == 5) {
      EXPECT_EQ(c.window.side, background_side::none);
      EXPECT_EQ(c.window_counts, 0u);
    } else {
      EXPECT_EQ(c.window.side, background_side::below);
      EXPECT_EQ(c.window_counts, 0u);  // no ion was put there
    }
    (c.charge == 2 ? subtracted_two : subtracted_three) += c.window_counts;
  }
  EXPECT_TRUE(mentions(counts.messages, "W.rrng:13: the range 91.3\u201391.6 Da"));
  const charge_count& two = *counts.find(2);
  EXPECT_EQ(two.background, double(subtracted_two));
  EXPECT_EQ(two.net, double(two.counts - subtracted_two));
  EXPECT_EQ(counts.find(3)->net, double(counts.find(3)->counts - subtracted_three));
  EXPECT_DOUBLE_EQ(two.corrected, two.net / (two.abundance_percent / 100.0));
}

TEST(DatasetCounts, EveryElementOfTheFileWhenNoneIsChosen) {
  const std::string text =
      "[Ions]\nNumber=2\nIon1=Fe\nIon2=Al\n[Ranges]\nNumber=3\n"
      "Range1=26.94 27.02 Vol:0.01 Fe:1\n"   // 54Fe2+, also 27Al+
      "Range2=27.85 28.05 Vol:0.01 Fe:1\n"   // 56Fe2+
      "Range3=13.45 13.55 Vol:0.01 Al:1\n";  // 27Al2+
  const auto file = apt::parse_range_text(text, "FeAl.rrng");
  apt::ion_columns c;
  for (int i = 0; i < 10; ++i) c.mass.push_back(26.98f);
  for (int i = 0; i < 20; ++i) c.mass.push_back(27.95f);
  for (int i = 0; i < 5; ++i) c.mass.push_back(13.5f);
  const data_in_memory in(apt::data_format::pos, c);
  const auto all = count_charge_states(in.data, file, "", with_threads(2));
  // In order of Z and charge: 27Al+ has no range of its own but shares
  // 26.94-27.02 with 54Fe2+; the decomposition gives it its ions there.
  ASSERT_EQ(all.charges.size(), 3u);
  EXPECT_EQ(all.charges[0].symbol, "Al");
  EXPECT_EQ(all.charges[0].charge, 1);
  EXPECT_TRUE(all.charges[0].ranges.empty());
  EXPECT_EQ(all.charges[1].symbol, "Al");
  EXPECT_EQ(all.charges[1].counts, 5u);
  EXPECT_EQ(all.charges[2].symbol, "Fe");
  EXPECT_EQ(all.charges[2].counts, 30u);
  // The amounts of greatest likelihood: 56Fe2+ (91.754 %) alone explains
  // 27.85-28.05, so Fe2+ = 20 / 0.91754 and 54Fe2+ (5.845 %) leaves the
  // rest of 26.94-27.02 to 27Al+.
  const auto& isotopes = apt::isotope_table::builtin();
  const double fe56 = isotopes.of("Fe")[1].abundance_percent / 100.0;
  const double fe54 = isotopes.of("Fe")[0].abundance_percent / 100.0;
  EXPECT_NEAR(all.charges[2].decomposed, 20.0 / fe56, 1e-6);
  EXPECT_NEAR(all.charges[0].decomposed, 10.0 - fe54 * 20.0 / fe56, 1e-6);
  EXPECT_NEAR(all.charges[1].decomposed, 5.0, 1e-6);
  const auto lines = counts_csv_lines(all);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0],
            "element,charge,ranges,counts,isotope_abundance_percent,corrected_counts,"
            "decomposed_counts,decomposed_sigma,range_miss_da");
  // Counts whole, derived numbers to 3 decimals, no abundance where there
  // are no ranges, the miss of each range (0: an isotope lies inside).
  EXPECT_EQ(lines[1].substr(0, 22), "Al,1+,,0,nan,nan,8.726") << lines[1];
  EXPECT_EQ(lines[2], "Al,2+,13.45-13.55,5,100,5,5,2.236,0");
  EXPECT_EQ(lines[3].substr(0, 32), "Fe,2+,26.94-27.02;27.85-28.05,30");

  // The interference of 54Fe2+ with 27Al+ is named when counting iron.
  const auto iron = count_charge_states(in.data, file, "Iron", with_threads(1));
  ASSERT_EQ(iron.interferences.size(), 1u);
  EXPECT_NE(iron.interferences[0].message.find("27Al+"), std::string::npos);
  EXPECT_EQ(iron.charges.size(), 1u);
}

TEST(DatasetCounts, BadInputIsRefusedWithWhatIsWrong) {
  const data_in_memory in(apt::data_format::epos, ions().ions);
  const auto file = ranges();
  try {
    count_charge_states(in.data, file, "Tungstn", with_threads(1));
    FAIL() << "unknown element accepted";
  } catch (const input_refused& e) {
    EXPECT_NE(std::string(e.what()).find("Tungsten"), std::string::npos) << e.what();
  }
  try {
    count_charge_states(in.data, file, "Gold", with_threads(1));
    FAIL() << "an element without ranges accepted";
  } catch (const input_refused& e) {
    EXPECT_EQ(std::string(e.what()),
              "W.rrng: no range of Au alone has a charge that its isotopes fit");
  }
  // A mass that is no number anywhere in the file: nothing is counted.
  apt::ion_columns broken = ions().ions;
  broken.mass[broken.mass.size() - 3] = std::numeric_limits<float>::quiet_NaN();
  const data_in_memory bad(apt::data_format::epos, broken);
  for (unsigned threads : {1u, 4u}) {
    try {
      count_charge_states(bad.data, file, "W", with_threads(threads, 500));
      FAIL() << "a file with a non-finite mass was counted";
    } catch (const dataset_file_error& e) {
      EXPECT_NE(std::string(e.what()).find("run.epos: the mass of ion " +
                                           std::to_string(broken.mass.size() - 3)),
                std::string::npos)
          << e.what();
    }
  }
  // Cancelled before the first chunk.
  std::atomic<bool> cancel{true};
  counting_options o = with_threads(2);
  o.cancel = &cancel;
  EXPECT_THROW(count_charge_states(in.data, file, "W", o), calculation_cancelled);
}

TEST(DatasetCounts, AFileOfNoIonsCountsZeroInEveryRange) {
  const scratch_folder folder;
  const auto file = ranges();
  for (const auto format : {apt::data_format::pos, apt::data_format::epos, apt::data_format::apt}) {
    const std::string name = "none." + std::string(apt::format_name(format));
    const apt::dataset data =
        apt::open_data(folder.write(name, apt::encode_data(format, apt::ion_columns{})));
    ASSERT_EQ(data.ion_count(), 0u) << name;
    for (const unsigned threads : {1u, 3u}) {
      counting_options o = with_threads(threads);
      o.background = true;
      o.single_hits = true;
      const dataset_counts counts = count_charge_states(data, file, "W", o);
      EXPECT_EQ(counts.ions, 0u) << name;
      EXPECT_EQ(counts.counted_ions, 0u) << name;
      ASSERT_EQ(ranged_states(counts), 2u) << name;  // W2+ and W3+ have ranges
      for (const charge_count& c : counts.charges) {
        EXPECT_EQ(c.counts, 0u) << name << " " << c.charge;
        EXPECT_EQ(c.net, 0.0) << name << " " << c.charge;
        EXPECT_EQ(c.corrected, 0.0) << name << " " << c.charge;
      }
    }
  }
}

TEST(DatasetCounts, AFileCutShortBeforeItIsCountedIsAReadError) {
  const scratch_folder folder;
  const auto file = ranges();
  for (const auto format : {apt::data_format::epos, apt::data_format::apt}) {
    const std::string name = "cut." + std::string(apt::format_name(format));
    const auto path = folder.write(name, apt::encode_data(format, ions().ions));
    const apt::dataset data = apt::open_data(path);
    // A tenth is left: also of an .apt, whose masses come first.
    std::filesystem::resize_file(path, std::filesystem::file_size(path) / 10);
    for (const unsigned threads : {1u, 4u}) {
      try {
        count_charge_states(data, file, "W", with_threads(threads, 700));
        ADD_FAILURE() << name << ": a file cut short was counted";
      } catch (const dataset_file_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind(path.string() +
                                                  ": cannot be read: it was cut off while being "
                                                  "read",
                                              0),
                  0u)
            << e.what();
      }
    }
  }
}

TEST(DatasetCounts, ProgressCountsEveryIon) {
  const data_in_memory in(apt::data_format::pos, ions().ions);
  std::atomic<std::uint64_t> done{0};
  counting_options o = with_threads(2, 333);
  o.ions_done = &done;
  count_charge_states(in.data, ranges(), "W", o);
  EXPECT_EQ(done.load(), ions().ions.size());
}

TEST(DatasetCounts, TheMassTableAnswersAsTheRangesDoAtEveryFloat) {
  const auto file = ranges();
  std::vector<int> slot_of_range(file.ranges.size());
  for (std::size_t i = 0; i < slot_of_range.size(); ++i) {
    slot_of_range[i] = i % 3 == 2 ? -1 : static_cast<int>(i);  // some ranges not counted
  }
  for (const bool background : {false, true}) {
    SCOPED_TRACE(background ? "with background" : "without background");
    const detail::mass_lookup lookup(file, slot_of_range, background);
    std::vector<background_window> windows;
    for (std::size_t i = 0; i < file.ranges.size(); ++i) {
      windows.push_back(background && slot_of_range[i] >= 0 ? background_window_of(file, i)
                                                            : background_window{});
    }
    // The masses: a few floats on either side of every edge of a range or a
    // window, and many at random.
    std::vector<float> masses;
    const auto around = [&masses](double edge) {
      float m = static_cast<float>(edge);
      for (int step = 0; step < 6; ++step) m = std::nextafter(m, -1.0f);
      for (int step = 0; step < 13; ++step, m = std::nextafter(m, 1e9f)) masses.push_back(m);
    };
    for (std::size_t i = 0; i < file.ranges.size(); ++i) {
      around(file.ranges[i].low);
      around(file.ranges[i].high);
      if (windows[i].side != background_side::none) {
        around(windows[i].low);
        around(windows[i].high);
      }
    }
    std::mt19937 random(11);
    std::uniform_real_distribution<float> anywhere(-5.0f, 400.0f);
    for (int n = 0; n < 200000; ++n) masses.push_back(anywhere(random));
    masses.push_back(std::numeric_limits<float>::quiet_NaN());
    masses.push_back(std::numeric_limits<float>::infinity());

    for (const float f : masses) {
      const double m = f;
      int expected_slot = -1;
      bool expected_in_range = false;
      for (std::size_t i = 0; i < file.ranges.size(); ++i) {
        if (file.ranges[i].low <= m && m <= file.ranges[i].high) {
          expected_in_range = true;
          expected_slot = slot_of_range[i];
        }
      }
      std::vector<int> expected_windows;
      for (std::size_t i = 0; i < windows.size() && !expected_in_range; ++i) {
        const auto& w = windows[i];
        const bool holds = w.side == background_side::below   ? (w.low <= m && m < w.high)
                           : w.side == background_side::above ? (w.low < m && m <= w.high)
                                                              : false;
        if (holds) expected_windows.push_back(slot_of_range[i]);
      }
      bool in_range = !expected_in_range;
      ASSERT_EQ(lookup.slot(m, in_range), expected_slot) << m;
      ASSERT_EQ(in_range, expected_in_range) << m;
      std::vector<int> found;
      if (!in_range && lookup.window_near(m)) {
        lookup.windows_holding(m, [&found](int s) { found.push_back(s); });
      }
      std::sort(found.begin(), found.end());
      std::sort(expected_windows.begin(), expected_windows.end());
      ASSERT_EQ(found, expected_windows) << m;
    }
  }
}

// The mass tolerance as every door takes it: a term in Da, a term in per cent
// of m/q, or both; 0 alone switches it off.
TEST(MassTolerance, ReadsEitherTermOrBothAndRefusesTheRest) {
  struct good {
    const char* text;
    double da, percent;
  };
  for (const good g :
       {good{"0.08", 0.08, 0.3}, good{"0.5%", 0.05, 0.5}, good{"0.08,0.5%", 0.08, 0.5},
        good{"0.5%, 0.08", 0.08, 0.5}, good{"0", 0.0, 0.0}, good{"0,0%", 0.0, 0.0},
        good{"0%", 0.05, 0.0}, good{"1", 1.0, 0.3}, good{"1%", 0.05, 1.0}}) {
    std::string message;
    const auto o = parse_mass_tolerance(g.text, &message);
    ASSERT_TRUE(o) << g.text << ": " << message;
    EXPECT_EQ(o->tolerance_da, g.da) << g.text;
    EXPECT_EQ(o->tolerance_percent, g.percent) << g.text;
    EXPECT_EQ(o->dominance, apt::charge_options{}.dominance);
  }
  struct bad {
    const char* text;
    const char* message;
  };
  const std::string usage = "a mass tolerance is a mass in Da (0.05), a share of m/q in per cent";
  for (const bad b :
       {bad{"", usage.c_str()}, bad{"x", usage.c_str()}, bad{"0.05 Da", usage.c_str()},
        bad{"0.1,0.2", usage.c_str()}, bad{"1%,2%", usage.c_str()}, bad{"%", usage.c_str()},
        bad{"0.05,", usage.c_str()},
        bad{"-1", "the mass tolerance must be a finite number of at least 0, not -1 Da"},
        bad{"nan", "the mass tolerance must be a finite number of at least 0"},
        bad{"1.5", "the mass tolerance 1.5 Da is above the largest, 1 Da"},
        bad{"2%", "the mass tolerance 2 % is above the largest, 1 %"},
        bad{"1e300", "the mass tolerance 1e+300 Da is above the largest, 1 Da"}}) {
    std::string message;
    EXPECT_FALSE(parse_mass_tolerance(b.text, &message)) << b.text;
    EXPECT_EQ(message.rfind(b.message, 0), 0u) << b.text << ": " << message;
  }
  EXPECT_EQ(mass_tolerance_text({}), "0.05 Da or 0.3 % of m/q, whichever is larger");
  EXPECT_EQ(mass_tolerance_text(*parse_mass_tolerance("0", nullptr)), "none");
  EXPECT_EQ(mass_tolerance_text(*parse_mass_tolerance("0.1,0%", nullptr)), "0.1 Da");
}

// The counting gives ranges their charges by the options, says which were
// read by the tolerance, and counts names that are no element under them.
TEST(DatasetCounts, TheMassToleranceReachesTheCountingAndIsSaid) {
  const auto file = apt::parse_range_text(
      "[Ions]\nNumber=2\nIon1=Si\nIon2=Uo1\n[Ranges]\nNumber=3\n"
      "Range1=27.95 28.00 Vol:0.02 Si:1\n"
      "Range2=13.991 14.039 Vol:0.02 Si:1\n"
      "Range3=39.9 40.1 Vol:0.02 Uo1:1\n",
      "Si.rrng");
  apt::ion_columns c;
  for (int i = 0; i < 6; ++i) c.mass.push_back(14.01f);
  for (int i = 0; i < 4; ++i) c.mass.push_back(40.0f);
  const data_in_memory in(apt::data_format::pos, c);
  const auto counts = count_charge_states(in.data, file, "", with_threads(1));
  ASSERT_NE(counts.find(2, "Si"), nullptr);
  EXPECT_EQ(counts.find(2, "Si")->counts, 6u);
  EXPECT_TRUE(mentions(counts.messages, "Si.rrng:8: no isotope of Si lies in the range"));
  const auto near = std::find_if(counts.ranges.begin(), counts.ranges.end(),
                                 [](const counted_range& r) { return r.charge == 2; });
  ASSERT_NE(near, counts.ranges.end());
  EXPECT_NEAR(near->miss_da, 27.9769265325 / 2 - 13.991, 1e-9);
  EXPECT_EQ(near->tolerance_da, 0.05);
  ASSERT_EQ(counts.named.size(), 1u);
  EXPECT_EQ(counts.named[0].name, "Uo1");
  EXPECT_EQ(counts.named[0].counts, 4u);
  EXPECT_EQ(counts.named[0].decomposed, 4.0);

  apt::charge_options off;
  off.tolerance_da = off.tolerance_percent = 0.0;
  const auto strict = count_charge_states(in.data, file, "", with_threads(1), off);
  EXPECT_EQ(strict.find(2, "Si"), nullptr);
  EXPECT_EQ(strict.charging.tolerance_da, 0.0);
  EXPECT_TRUE(mentions(strict.messages, "nor within the mass tolerance"));
  // Counting one element leaves the names of their own out.
  EXPECT_TRUE(count_charge_states(in.data, file, "Si", with_threads(1)).named.empty());
}

// A state whose ranges hold less than a tenth of its isotopes is warned of,
// with the factor its count is multiplied by.
TEST(DatasetCounts, AFewPerCentOfTheIsotopesIsWarnedOfWithTheFactor) {
  const auto file = apt::parse_range_text(
      "[Ions]\nNumber=1\nIon1=O\n[Ranges]\nNumber=2\n"
      "Range1=17.98 18.02 Vol:0.01 O:1\n"  // 18O+ alone: 0.205 %
      "Range2=7.98 8.01 Vol:0.01 O:1\n",   // 16O2+: 99.757 %
      "O.rrng");
  apt::ion_columns c;
  for (int i = 0; i < 3; ++i) c.mass.push_back(18.0f);
  const data_in_memory in(apt::data_format::pos, c);
  const auto counts = count_charge_states(in.data, file, "O", with_threads(1));
  ASSERT_EQ(counts.warnings.size(), 1u);
  EXPECT_EQ(counts.warnings[0],
            "O+: its ranges cover only 0.205 % of O's isotopes (18O), so its corrected count is "
            "487.805 times the ions counted; a field read from it rests on that factor");
  EXPECT_EQ(isotope_coverage_warning(*counts.find(2)), "");
  charge_count exactly = *counts.find(1);
  exactly.abundance_percent = least_isotope_coverage_percent;
  EXPECT_EQ(isotope_coverage_warning(exactly), "");
}

// A raised cancel flag stops the reading of the range file and the counting
// (the search for interferences included) with calculation_cancelled.
TEST(DatasetCounts, ACancelFlagStopsReadingAndCounting) {
  const scratch_folder folder;
  std::ofstream(folder.dir / "W.rrng") << tungsten_ranges;
  std::atomic<bool> cancel{true};
  EXPECT_THROW(open_range_file(folder.dir / "W.rrng", &cancel), calculation_cancelled);
  const data_in_memory in(apt::data_format::pos, ions().ions);
  counting_options o = with_threads(2);
  o.cancel = &cancel;
  EXPECT_THROW(count_charge_states(in.data, ranges(), "W", o), calculation_cancelled);
  EXPECT_THROW(count_charge_states(in.data, ranges(), "", o), calculation_cancelled);
  cancel = false;
  EXPECT_EQ(open_range_file(folder.dir / "W.rrng", &cancel).ranges.size(), 10u);
  EXPECT_EQ(count_charge_states(in.data, ranges(), "W", o).find(2)->counts,
            count_charge_states(in.data, ranges(), "W", with_threads(2)).find(2)->counts);
}

// A range file of more ranges and species than the decomposition is made
// for is counted all the same, with the decomposition left out and said.
TEST(DatasetCounts, TooManyRangesToDecomposeAreCountedWithoutIt) {
  std::string text = "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=400\n";
  for (int i = 0; i < 400; ++i) {
    text += "Range1=" + std::to_string(200 + i) + ".25 " + std::to_string(200 + i) +
            ".75 W:1 O:" + std::to_string(1 + i % 90) + "\n";
  }
  text += "Range1=61.24 61.40 W:1\n";
  const auto file = apt::parse_range_text(text, "many.rrng");
  apt::ion_columns c;
  for (int i = 0; i < 5; ++i) c.mass.push_back(61.3f);
  const data_in_memory in(apt::data_format::pos, c);
  const auto counts = count_charge_states(in.data, file, "", with_threads(1));
  EXPECT_EQ(counts.find(3, "W")->counts, 5u);
  EXPECT_TRUE(std::isnan(counts.find(3, "W")->decomposed));
  EXPECT_EQ(counts.named.size(), 90u);  // WO to WO90, each a name of its own
  EXPECT_TRUE(mentions(counts.messages, "many.rrng: the counts are not decomposed"));
}
