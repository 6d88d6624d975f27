#include "compute/datasets/field_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <tuple>

#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/field_profile.hpp"
#include "tests/support/apt_writers.hpp"

using namespace veltrane;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Tungsten, n = 4, on the accurate evaluation, and the inversion of its
// 3+/2+ ratio: built once for every test (the table costs a few thousand
// model calls).
charge_states& tungsten() {
  static charge_states states = [] {
    const auto model = model_for(evaluation::accurate);
    charge_states s(*check_request({"Tungsten", "4", std::nullopt, std::nullopt}).request,
                    model.function, 2);
    s.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    return s;
  }();
  return states;
}

ratio_inverter& three_over_two() {
  static ratio_inverter inverter(tungsten(), 2);
  return inverter;
}

// The ranges of 182W, 183W, 184W and 186W at 3+ and of all but 186W at 2+, so
// that the isotope correction matters; an O2 range beside 186W3+.
constexpr const char* tungsten_ranges =
    "[Ions]\nNumber=2\nIon1=W\nIon2=O\n[Ranges]\nNumber=8\n"
    "Range1=60.57 60.73 Vol:0.01585 W:1 Color:FF0000\n"
    "Range2=60.90 61.06 Vol:0.01585 W:1 Color:FF0000\n"
    "Range3=61.24 61.40 Vol:0.01585 W:1 Color:FF0000\n"
    "Range4=61.90 62.06 Vol:0.01585 W:1 Color:FF0000\n"
    "Range5=61.76 61.86 Vol:0.02 O:2 Color:00FF00\n"
    "Range6=90.85 91.09 Vol:0.01585 W:1 Color:0000FF\n"
    "Range7=91.30 91.60 Vol:0.01585 W:1 Color:0000FF\n"
    "Range8=91.86 92.10 Vol:0.01585 W:1 Color:0000FF\n";

apt::range_file ranges() { return apt::parse_range_text(tungsten_ranges, "W.rrng"); }

// The model's fractions f2, f3, f4 of tungsten between 32 and 38 V/nm, for
// drawing charge states: linear between fields a hundredth of a V/nm apart.
struct fractions {
  std::vector<double> E;
  std::vector<std::vector<double>> f;
  fractions() {
    std::string message;
    E = *field_grid(32.0, 38.0, 0.01, &message);
    f = fraction_table_at(tungsten(), E).f;
  }
  // f_q at E (q = 2, 3, 4).
  double at(int q, double field) const {
    const double position = (field - E.front()) / (E[1] - E[0]);
    const auto i = std::min(E.size() - 2, static_cast<std::size_t>(std::max(0.0, position)));
    const double t = position - static_cast<double>(i);
    const auto& row = f[static_cast<std::size_t>(q) - 1];
    return row[i] + (row[i + 1] - row[i]) * t;
  }
};

const fractions& tungsten_fractions() {
  static const fractions f;
  return f;
}

// An ion of tungsten at `field`: its charge from the model's fractions, its
// isotope by natural abundance, its mass-to-charge with a peak width.
float tungsten_ion(double field, std::mt19937_64& rng) {
  const auto& f = tungsten_fractions();
  const double f2 = f.at(2, field), f3 = f.at(3, field), f4 = f.at(4, field);
  std::uniform_real_distribution<double> u(0.0, f2 + f3 + f4);
  const double draw = u(rng);
  const int q = draw < f2 ? 2 : draw < f2 + f3 ? 3 : 4;
  const auto isotopes = apt::isotope_table::builtin().of("W");
  std::uniform_real_distribution<double> percent(0.0, 100.0);
  double p = percent(rng);
  std::size_t i = 0;
  while (i + 1 < isotopes.size() && p >= isotopes[i].abundance_percent) {
    p -= isotopes[i].abundance_percent;
    ++i;
  }
  std::normal_distribution<double> width(0.0, 0.03 / q);
  return static_cast<float>(isotopes[i].mass_u / q + width(rng));
}

// The field over the detector (mm): rising along x, with a bump.
double field_at(double x, double y) {
  const double dx = x - 12.0, dy = y + 8.0;
  return 34.3 + 0.035 * x + 1.2 * std::exp(-(dx * dx + dy * dy) / (2.0 * 9.0 * 9.0));
}

// 2e5 ions on a detector of radius 38 mm, 2 % of them a flat background from
// 1 to 100 Da; the specimen's x and y are the detector's times 0.4 nm/mm.
struct synthetic_run {
  apt::ion_columns ions;
  std::vector<double> field;  // of each tungsten ion, NaN for background
};

const synthetic_run& run() {
  static const synthetic_run r = [] {
    synthetic_run s;
    std::mt19937_64 rng(2026);
    std::uniform_real_distribution<double> disc(-38.0, 38.0), background(1.0, 100.0),
        unit(0.0, 1.0);
    auto& c = s.ions;
    while (c.mass.size() < 200000) {
      const double x = disc(rng), y = disc(rng);
      if (x * x + y * y > 38.0 * 38.0) continue;
      if (unit(rng) < 0.02) {
        c.mass.push_back(static_cast<float>(background(rng)));
        s.field.push_back(std::nan(""));
      } else {
        s.field.push_back(field_at(x, y));
        c.mass.push_back(tungsten_ion(s.field.back(), rng));
      }
      c.det_x.push_back(static_cast<float>(x));
      c.det_y.push_back(static_cast<float>(y));
      c.x.push_back(static_cast<float>(0.4 * x));
      c.y.push_back(static_cast<float>(0.4 * y));
      c.z.push_back(static_cast<float>(c.mass.size()) * 1e-4f);
      c.multiplicity.push_back(1);
    }
    return s;
  }();
  return r;
}

struct data_in_memory {
  std::vector<std::byte> bytes;
  apt::dataset data;
  data_in_memory(apt::data_format format, const apt::ion_columns& ions)
      : bytes(apt::encode_data(format, ions)),
        data(apt::open_data(bytes, format, "run." + std::string(apt::format_name(format)))) {}
};

map_options detector_map(double bin, unsigned threads = 2) {
  map_options o;
  o.bin = bin;
  o.counting.threads = threads;
  o.counting.chunk_ions = 4096;
  o.min_ions_per_worker = 4096;  // as many workers as threads, on these 200,000 ions
  return o;
}

}  // namespace

TEST(RatioInverter, GivesTheFieldOfFieldFromRatio) {
  ratio_inverter& inverter = three_over_two();
  // Across the curve, and above every finite ratio, where the answer is the
  // over-barrier field of 2+.
  const std::vector<double> ratios{0.2, 1.0, 4.7, 1e-4, 30.0, 0.2, 1e4};
  const auto E = inverter.fields_of(ratios);
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    const auto expected = field_from_ratio(tungsten(), 2, ratios[i]).field();
    ASSERT_TRUE(expected);
    EXPECT_NEAR(E[i], *expected, 1.5e-6) << "ratio " << ratios[i];
  }
  // No field has a ratio of 0, infinity or NaN.
  for (double E_none : inverter.fields_of({0.0, inf, std::nan(""), -1.0})) {
    EXPECT_TRUE(std::isnan(E_none));
  }
  EXPECT_THROW(ratio_inverter(tungsten(), 5), input_refused);
}

// Ratios from 1e-4 to 1e4, many of them above every finite ratio (where the
// model's values end just below the over-barrier field of 2+): the model's
// own ratio changes sides within 1e-6 V/nm of every field returned, a field
// without a ratio counting as lying above.
TEST(RatioInverter, EveryFieldLiesWithinAMillionthOfTheModelsRoot) {
  ratio_inverter& inverter = three_over_two();
  std::vector<double> ratios;
  for (int i = 0; i <= 400; ++i) ratios.push_back(std::pow(10.0, -4.0 + 0.02 * i));
  const auto E = inverter.fields_of(ratios);
  std::vector<double> F;
  for (double field : E) {
    ASSERT_FALSE(std::isnan(field));
    F.push_back((field - 1e-6) / vnm_per_au);
    F.push_back((field + 1e-6) / vnm_per_au);
  }
  const auto r = tungsten().ratios_at(2, F);
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    const double below = r[2 * i], above = r[2 * i + 1];
    EXPECT_TRUE(!std::isnan(below) && below < ratios[i])
        << "ratio " << ratios[i] << " at " << E[i] - 1e-6 << " V/nm: " << below;
    EXPECT_FALSE(!std::isnan(above) && above < ratios[i])
        << "ratio " << ratios[i] << " at " << E[i] + 1e-6 << " V/nm: " << above;
  }
}

// Where the table's smoothness settles a field, the model's check would
// have given the same: every pair of Tungsten, ratios from 1e-6 to 1e6 and
// beyond every finite ratio, inverted with and without every check, give
// the same fields to the bit.
TEST(RatioInverter, TheTablesSmoothnessSettlesFieldsAsTheModelsChecksWould) {
  std::vector<double> ratios;
  for (int i = 0; i <= 1200; ++i) ratios.push_back(std::pow(10.0, -6.0 + 0.01 * i));
  for (int k = 1; k <= 3; ++k) {
    ratio_inverter smooth(tungsten(), k);
    ratio_inverter checked(tungsten(), k, 1e-6, ratio_inverter::checks::every_estimate);
    const auto E = smooth.fields_of(ratios);
    const auto E_checked = checked.fields_of(ratios);
    EXPECT_EQ(checked.settled_unchecked(), 0u);
    EXPECT_GT(smooth.settled_unchecked(), ratios.size() / 2) << "pair " << k;
    for (std::size_t i = 0; i < ratios.size(); ++i) {
      if (std::isnan(E_checked[i])) {
        EXPECT_TRUE(std::isnan(E[i])) << "pair " << k << ", ratio " << ratios[i];
      } else {
        EXPECT_EQ(E[i], E_checked[i]) << "pair " << k << ", ratio " << ratios[i];
      }
    }
  }
}

TEST(CorrectedRatio, MapsWilsonsShareWithTheIsotopeFactor) {
  const auto r = corrected_ratio(400.0, 300.0, 0.7, 0.95);
  EXPECT_DOUBLE_EQ(r.ratio, 300.0 / 400.0 * 0.7);
  const auto [p_low, p_high] = wilson_interval(300.0, 700.0, 0.95);
  EXPECT_DOUBLE_EQ(r.low, p_low / (1.0 - p_low) * 0.7);
  EXPECT_DOUBLE_EQ(r.high, p_high / (1.0 - p_high) * 0.7);
  // One state without ions: an open end.
  EXPECT_EQ(corrected_ratio(50.0, 0.0, 0.7, 0.95).low, 0.0);
  EXPECT_EQ(corrected_ratio(0.0, 50.0, 0.7, 0.95).high, inf);
  EXPECT_EQ(corrected_ratio(0.0, 50.0, 0.7, 0.95).ratio, inf);
  EXPECT_TRUE(std::isnan(corrected_ratio(0.0, 0.0, 0.7, 0.95).ratio));
}

TEST(FieldMap, IntervalsHoldTheFieldPutIn) {
  const auto& s = run();
  const auto file = ranges();
  const data_in_memory epos(apt::data_format::epos, s.ions);
  const field_map map = map_field(epos.data, file, three_over_two(), detector_map(4.0));

  // The overall counts are the ions inside the ranges, background included.
  std::uint64_t in_two = 0, in_three = 0;
  for (float m : s.ions.mass) {
    for (const auto& r : file.ranges) {
      if (!r.contains(static_cast<double>(m)) || r.count_of("W") == 0) continue;
      (r.low > 80.0 ? in_two : in_three) += 1;
    }
  }
  EXPECT_EQ(map.overall.field.count_lower, double(in_two));
  EXPECT_EQ(map.overall.field.count_upper, double(in_three));
  EXPECT_NEAR(map.overall.factor, 71.45 / 99.88, 1e-12);

  // Each bin's true field: the model's ratio of the expected counts of its
  // ions, each at its own field.
  std::map<std::pair<std::int64_t, std::int64_t>, std::pair<double, double>> expected;
  for (std::size_t n = 0; n < s.ions.size(); ++n) {
    if (std::isnan(s.field[n])) continue;
    const auto key = std::pair{static_cast<std::int64_t>(std::floor(s.ions.det_x[n] / 4.0)),
                               static_cast<std::int64_t>(std::floor(s.ions.det_y[n] / 4.0))};
    expected[key].first += tungsten_fractions().at(2, s.field[n]);
    expected[key].second += tungsten_fractions().at(3, s.field[n]);
  }
  std::vector<double> true_ratios;
  std::vector<const map_bin*> open;
  double lower_sum = 0.0, upper_sum = 0.0;
  for (const auto& bin : map.bins) {
    lower_sum += bin.field.count_lower;
    upper_sum += bin.field.count_upper;
    EXPECT_EQ(bin.masked, bin.field.count_lower + bin.field.count_upper < 100.0);
    EXPECT_DOUBLE_EQ(bin.x, (double(bin.i) + 0.5) * 4.0);
    if (bin.masked) continue;
    const auto& e = expected.at({bin.i, bin.j});
    true_ratios.push_back(e.second / e.first);
    open.push_back(&bin);
  }
  EXPECT_EQ(lower_sum, map.overall.field.count_lower);
  EXPECT_EQ(upper_sum, map.overall.field.count_upper);
  ASSERT_GT(open.size(), 250u);
  const auto true_fields = three_over_two().fields_of(true_ratios);
  std::size_t covered = 0;
  double lowest = inf, highest = -inf;
  for (std::size_t b = 0; b < open.size(); ++b) {
    const auto& f = open[b]->field;
    ASSERT_TRUE(std::isfinite(f.E) && f.E_low < f.E && f.E < f.E_high);
    if (f.E_low <= true_fields[b] && true_fields[b] <= f.E_high) ++covered;
    lowest = std::min(lowest, f.E);
    highest = std::max(highest, f.E);
  }
  EXPECT_GE(double(covered), 0.85 * double(open.size()))
      << covered << " of " << open.size() << " bins";
  EXPECT_GT(highest - lowest, 2.0) << "the map shows the field's change over the detector";

  // Without the isotope correction the overall field would lie well outside
  // its interval.
  const auto& o = map.overall.field;
  EXPECT_DOUBLE_EQ(o.ratio, o.count_upper / o.count_lower * map.overall.factor);
  const auto raw = three_over_two().fields_of({o.count_upper / o.count_lower});
  EXPECT_GT(raw[0], o.E_high + 0.1);
}

TEST(FieldMap, SameIonsGiveTheSameMapInEveryFormatAndOnEveryThreadCount) {
  const auto& s = run();
  const auto file = ranges();
  const data_in_memory epos(apt::data_format::epos, s.ions);
  const data_in_memory apt_file(apt::data_format::apt, s.ions);
  const data_in_memory pos(apt::data_format::pos, s.ions);
  const auto reference =
      map_csv_lines(map_field(epos.data, file, three_over_two(), detector_map(4.0, 1)));
  EXPECT_EQ(map_csv_lines(map_field(epos.data, file, three_over_two(), detector_map(4.0, 3))),
            reference);
  EXPECT_EQ(map_csv_lines(map_field(apt_file.data, file, three_over_two(), detector_map(4.0))),
            reference);
  map_options specimen = detector_map(2.0);
  specimen.over = map_plane::specimen;
  const auto from_pos = map_csv_lines(map_field(pos.data, file, three_over_two(), specimen));
  EXPECT_EQ(from_pos, map_csv_lines(map_field(epos.data, file, three_over_two(), specimen)));
  ASSERT_FALSE(from_pos.empty());
  EXPECT_EQ(from_pos[0],
            "x_nm,y_nm,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm");
  EXPECT_EQ(reference[0],
            "x_mm,y_mm,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm");
}

TEST(FieldMap, WorkersFollowTheIonsNotTheThreads) {
  // Each worker holds a dense square of bins: 64 threads over 200,000 ions
  // get one worker by default (one per 2^19 ions), the threads asked for
  // where the ions are plenty, and the map is the same.
  const data_in_memory epos(apt::data_format::epos, run().ions);
  map_options o = detector_map(4.0, 64);
  o.min_ions_per_worker = map_options{}.min_ions_per_worker;
  EXPECT_EQ(detail::map_worker_count(epos.data, o), 1u);
  const auto one = map_csv_lines(map_field(epos.data, ranges(), three_over_two(), o));
  o.min_ions_per_worker = 50000;
  EXPECT_EQ(detail::map_worker_count(epos.data, o), 4u);
  o.min_ions_per_worker = 0;  // taken as 1: the chunks (49 of 4,096 ions) bound them
  EXPECT_EQ(detail::map_worker_count(epos.data, o), 49u);
  o.counting.threads = 3;
  EXPECT_EQ(detail::map_worker_count(epos.data, o), 3u);
  EXPECT_EQ(map_csv_lines(map_field(epos.data, ranges(), three_over_two(), o)), one);
}

TEST(FieldMap, EmptyStatesMaskedBinsAndBackgroundAreWrittenAsTheyAre) {
  // Hand-placed bins of 2 mm: 2+ alone at (-0.5, -0.5), 3+ alone at (10, 10),
  // too few ions at (20, 20), both states with background at (30, 30).
  apt::ion_columns c;
  const auto add = [&c](int count, float mass, float x, float y) {
    for (int i = 0; i < count; ++i) {
      c.mass.push_back(mass);
      c.det_x.push_back(x);
      c.det_y.push_back(y);
    }
  };
  const float w184_2 = 91.975f, w184_3 = 61.317f, below_182_3 = 60.5f;
  add(150, w184_2, -0.5f, -0.5f);
  add(150, w184_3, 10.0f, 10.0f);
  add(30, w184_2, 20.0f, 20.0f);
  add(20, w184_3, 20.0f, 20.0f);
  add(200, w184_2, 30.0f, 30.0f);
  add(200, w184_3, 30.0f, 30.0f);
  add(50, below_182_3, 30.0f, 30.0f);
  add(3, w184_3, std::nanf(""), 1.0f);
  const data_in_memory epos(apt::data_format::epos, c);
  map_options o = detector_map(2.0);
  o.counting.background = true;
  const field_map map = map_field(epos.data, ranges(), three_over_two(), o);
  ASSERT_EQ(map.bins.size(), 4u);
  EXPECT_EQ(map.without_position, 3u);
  EXPECT_EQ(map.i_min, -1);
  EXPECT_EQ(map.j_max, 15);
  const auto lines = map_csv_lines(map);
  ASSERT_EQ(lines.size(), 5u);

  const auto& only_two = map.bins[0].field;  // bin (-1, -1)
  EXPECT_EQ(map.bins[0].x, -1.0);
  EXPECT_EQ(only_two.ratio, 0.0);
  EXPECT_TRUE(std::isnan(only_two.E));
  EXPECT_EQ(only_two.E_low, -inf);
  EXPECT_TRUE(std::isfinite(only_two.E_high));
  EXPECT_EQ(lines[1].substr(0, 20), "-1,-1,150,0,0,nan,-i");

  const auto& only_three = map.bins[1].field;
  EXPECT_EQ(only_three.ratio, inf);
  EXPECT_TRUE(std::isnan(only_three.E));
  EXPECT_TRUE(std::isfinite(only_three.E_low));
  EXPECT_EQ(only_three.E_high, inf);
  EXPECT_EQ(lines[2].substr(0, 20), "11,11,0,150,inf,nan,");

  EXPECT_TRUE(map.bins[2].masked);
  EXPECT_EQ(lines[3], "21,21,30,20,nan,nan,nan,nan");

  // The window below 182W3+ holds 50 ions in the last bin: subtracted there.
  const auto& with_background = map.bins[3].field;
  EXPECT_EQ(with_background.count_upper, 200.0);
  EXPECT_EQ(with_background.net_upper, 150.0);
  EXPECT_EQ(with_background.net_lower, 200.0);
  EXPECT_DOUBLE_EQ(with_background.ratio, 150.0 / 200.0 * map.overall.factor);
  EXPECT_EQ(map.overall.field.net_upper, 370.0 + 3.0 - 50.0);
}

TEST(FieldMap, AnIonOnABinsEdgeCountsInTheBinAboveIt) {
  // Bins of 2 mm: [-2, 0) is bin -1 and [0, 2) bin 0; -0 lies in bin 0, a
  // coordinate just below 0 in bin -1; far out, bin numbers near 2^52.
  apt::ion_columns c;
  const auto add = [&c](float x, float y) {
    c.mass.push_back(91.975f);  // 184W2+
    c.det_x.push_back(x);
    c.det_y.push_back(y);
  };
  add(-2.0f, 0.0f);
  add(-1e-30f, -0.0f);
  add(-0.0f, 1.9999999f);
  add(2.0f, -4.0000005f);
  add(-9e15f, 9e15f);
  const data_in_memory epos(apt::data_format::epos, c);
  map_options o = detector_map(2.0);
  o.min_counts = 1;
  const field_map map = map_field(epos.data, ranges(), three_over_two(), o);
  std::vector<std::tuple<std::int64_t, std::int64_t, double>> bins;
  for (const auto& b : map.bins) bins.emplace_back(b.i, b.j, b.field.count_lower);
  const auto far = static_cast<std::int64_t>(9e15f) / 2;  // 9e15f is even
  const std::vector<std::tuple<std::int64_t, std::int64_t, double>> expected{
      {-far, far, 1.0}, {-1, 0, 2.0}, {0, 0, 1.0}, {1, -3, 1.0}};
  EXPECT_EQ(bins, expected);
}

TEST(FieldMap, BadInputIsRefusedWithWhatIsWrong) {
  apt::ion_columns ions;
  for (int i = 0; i < 300; ++i) {
    ions.mass.push_back(i % 2 == 0 ? 91.975f : 61.317f);
    ions.x.push_back(0.5f);
    ions.y.push_back(0.5f);
  }
  const data_in_memory pos(apt::data_format::pos, ions);
  const auto file = ranges();
  const auto refused = [&](const map_options& o, const std::string& part) {
    try {
      map_field(pos.data, file, three_over_two(), o);
      ADD_FAILURE() << "accepted; expected " << part;
    } catch (const input_refused& e) {
      EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
  };
  refused(detector_map(2.0), "run.pos: the file holds no detector coordinates (pos)");
  map_options o = detector_map(0.0);
  o.over = map_plane::specimen;
  refused(o, "the bin size must be a finite number above 0");
  // Bins so small that the ions' bin numbers would pass 63 bits: the bin is
  // named, not the coordinates, which are finite.
  o.bin = 1e-300;
  refused(o,
          "the bin size (--bin) of 1e-300 nm is too small for the coordinates: 300 ions lie so far "
          "out that their bins cannot be numbered; take a larger bin");
  o.bin = 1e-19;  // 0.5 nm is 5e18 bins from 0
  refused(o, "the bin size (--bin) of 1e-19 nm is too small");
  o.bin = 2.0;
  o.confidence = 1.0;
  refused(o, "the confidence must lie between 0 and 1");
  // 4+/3+: no range of 4+.
  ratio_inverter four_over_three(tungsten(), 3);
  o.confidence = 0.95;
  try {
    map_field(pos.data, file, four_over_three, o);
    ADD_FAILURE() << "a pair without ranges accepted";
  } catch (const input_refused& e) {
    EXPECT_EQ(std::string(e.what()),
              "W.rrng: no range of W4+ is counted, so the pair 4+/3+ has no ratio");
  }
}

TEST(FieldProfile, BlocksFollowTheRunAndItsVoltage) {
  // Four blocks of 20000 ions at rising fields and a last one of 10000; the
  // DC voltage rises with the block.
  const double fields[] = {33.5, 34.5, 35.5, 36.5, 36.5};
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> jitter(-1.0f, 1.0f);
  apt::ion_columns c;
  for (std::size_t b = 0; b < 5; ++b) {
    const int count = b < 4 ? 20000 : 10000;
    for (int i = 0; i < count; ++i) {
      c.mass.push_back(tungsten_ion(fields[b], rng));
      c.det_x.push_back(0.0f);
      c.det_y.push_back(0.0f);
      c.v_dc.push_back(4000.0f + 250.0f * float(b) + jitter(rng));
    }
  }
  const data_in_memory epos(apt::data_format::epos, c);
  const data_in_memory pos(apt::data_format::pos, c);
  profile_options o;
  o.block = 20000;
  o.confidence = 0.999;
  o.counting.threads = 1;
  o.counting.chunk_ions = 3000;
  const field_profile profile = profile_field(epos.data, ranges(), three_over_two(), o);
  ASSERT_EQ(profile.blocks.size(), 5u);
  EXPECT_EQ(profile.blocks[4].first_ion, 80000u);
  EXPECT_EQ(profile.blocks[4].last_ion, 89999u);
  EXPECT_EQ(profile.voltages, apt::voltage_unit::volts);
  double total = 0.0;
  for (std::size_t b = 0; b < 5; ++b) {
    const auto& f = profile.blocks[b].field;
    EXPECT_LE(f.E_low, fields[b]) << "block " << b;
    EXPECT_GE(f.E_high, fields[b]) << "block " << b;
    if (b > 0 && b < 4) {
      EXPECT_GT(f.E, profile.blocks[b - 1].field.E + 0.5);
    }
    ASSERT_TRUE(profile.blocks[b].mean_v_dc);
    EXPECT_NEAR(*profile.blocks[b].mean_v_dc, 4000.0 + 250.0 * double(b), 0.05);
    total += f.count_lower + f.count_upper;
  }
  EXPECT_EQ(total, profile.overall.field.count_lower + profile.overall.field.count_upper);

  // The same numbers on three threads, to the last bit; no voltage in .pos.
  o.counting.threads = 3;
  const field_profile threaded = profile_field(epos.data, ranges(), three_over_two(), o);
  EXPECT_EQ(profile_csv_lines(threaded), profile_csv_lines(profile));
  for (std::size_t b = 0; b < 5; ++b) {
    EXPECT_EQ(*threaded.blocks[b].mean_v_dc, *profile.blocks[b].mean_v_dc);
  }
  const field_profile from_pos = profile_field(pos.data, ranges(), three_over_two(), o);
  EXPECT_FALSE(from_pos.blocks[0].mean_v_dc);
  const auto lines = profile_csv_lines(profile);
  EXPECT_EQ(lines[0],
            "first_ion,last_ion,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,"
            "V_dc_V,kfR_nm");
  EXPECT_EQ(lines[1].substr(0, 8), "0,19999,");
  // The same fields without voltages: V_dc and the radius nan.
  const auto pos_lines = profile_csv_lines(from_pos);
  ASSERT_EQ(pos_lines.size(), lines.size());
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string columns = lines[i].substr(0, lines[i].rfind(',', lines[i].rfind(',') - 1));
    EXPECT_EQ(pos_lines[i], columns + ",nan,nan");
  }
  // The tip radius V / (k_f E) of each block, the voltage in volts.
  const auto with_kf = profile_csv_lines(profile, 3.3);
  EXPECT_EQ(with_kf[0].substr(with_kf[0].rfind(',')), ",R_nm");
  const auto& first = profile.blocks[0];
  EXPECT_EQ(with_kf[1].substr(with_kf[1].rfind(',') + 1),
            shortest_number(*first.mean_v_dc / (3.3 * first.field.E)));
  EXPECT_EQ(lines[1].substr(lines[1].rfind(',') + 1),
            shortest_number(*first.mean_v_dc / first.field.E));

  o.block = 0;
  EXPECT_THROW(profile_field(epos.data, ranges(), three_over_two(), o), input_refused);
}

// The dense arrays of a map cover the bulk of its ions; a stray bin far out
// is left beside them (and said), never made part of a grid of millions of
// cells.
TEST(FieldMap, TheGridHoldsTheBulkAndLeavesFarBinsApart) {
  field_map map;
  map.bin = 2.0;
  const auto add = [&map](std::int64_t i, std::int64_t j, double ions) {
    map_bin b;
    b.i = i;
    b.j = j;
    b.field.count_lower = ions;
    map.bins.push_back(b);
    map.i_min = std::min(map.bins.size() == 1 ? i : map.i_min, i);
    map.i_max = std::max(map.bins.size() == 1 ? i : map.i_max, i);
    map.j_min = std::min(map.bins.size() == 1 ? j : map.j_min, j);
    map.j_max = std::max(map.bins.size() == 1 ? j : map.j_max, j);
  };
  // A detector of 40 x 40 bins, its rim thinly populated.
  for (std::int64_t i = -20; i < 20; ++i) {
    for (std::int64_t j = -20; j < 20; ++j) add(i, j, (i * i + j * j < 300) ? 500.0 : 1.0);
  }
  map_grid grid = grid_of(map);
  EXPECT_EQ(grid.i_min, -20);
  EXPECT_EQ(grid.i_max, 19);
  EXPECT_EQ(grid.j_min, -20);
  EXPECT_EQ(grid.j_max, 19);
  EXPECT_TRUE(grid.outside.empty());
  EXPECT_EQ(outside_grid_message(map, grid), "");
  // One ion at 30,000 mm.
  add(15000, 15000, 1.0);
  grid = grid_of(map);
  // The bulk's 0.1 % to 99.9 % points lie at about -17 and 17: widened by
  // 18 bins, up to bin 35 (below, the bins end at -20).
  EXPECT_EQ(grid.i_min, -20);
  EXPECT_EQ(grid.i_max, 35);
  EXPECT_EQ(grid.cells(), 56u * 56u);
  ASSERT_EQ(grid.outside.size(), 1u);
  EXPECT_EQ(map.bins[grid.outside[0]].i, 15000);
  EXPECT_EQ(grid.ions_outside, 1u);
  EXPECT_EQ(outside_grid_message(map, grid),
            "1 ion of the pair in 1 bin lies outside the grid of x from -40 to 72 mm, y from -40 "
            "to 72 mm, far from the bulk of the ions; their bins are given apart");
  // And one at the far end of what bins can number.
  add(-4'000'000'000'000'000'000, 0, 2.0);
  grid = grid_of(map);
  EXPECT_EQ(grid.i_min, -35);
  EXPECT_EQ(grid.i_max, 35);
  EXPECT_EQ(grid.outside.size(), 2u);
  EXPECT_EQ(grid.ions_outside, 3u);

  // Bins too small for the data's bulk itself are refused.
  field_map fine;
  fine.bin = 1e-6;
  for (std::int64_t i = 0; i < 3000; ++i) {
    map_bin b;
    b.i = i * 1000;
    b.j = i * 1000;
    b.field.count_lower = 1.0;
    fine.bins.push_back(b);
  }
  fine.i_min = fine.j_min = 0;
  fine.i_max = fine.j_max = 2'999'000;
  try {
    grid_of(fine);
    ADD_FAILURE() << "a grid of 9e12 cells was made";
  } catch (const input_refused& e) {
    EXPECT_NE(std::string(e.what()).find("; take larger bins"), std::string::npos) << e.what();
  }
  EXPECT_EQ(grid_of(field_map{}).cells(), 0u);
  EXPECT_EQ(bin_fault(2.0), "");
  EXPECT_EQ(bin_fault(-0.0), "the bin size must be a finite number above 0, not -0");
  EXPECT_EQ(bin_fault(INFINITY), "the bin size must be a finite number above 0, not inf");
}
