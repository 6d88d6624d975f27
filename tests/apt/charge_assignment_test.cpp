#include "apt/charge_assignment.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "apt/read_error.hpp"

using namespace veltrane::apt;

namespace {

range_file rrng(std::string_view ranges, std::string_view ions = "") {
  return parse_range_text("[Ions]\n" + std::string(ions) + "[Ranges]\n" + std::string(ranges),
                          "run.rrng");
}

charge_assignment only(std::string_view range) {
  const range_file f = rrng("Range1=" + std::string(range) + "\n");
  return assign_charge(f.ranges.at(0), f.path);
}

std::vector<std::string> labels(const std::vector<isotope>& isotopes) {
  std::vector<std::string> result;
  for (const isotope& i : isotopes) result.push_back(i.label());
  return result;
}

}  // namespace

TEST(ChargeAssignment, OneFittingChargeIsTheRangesChargeWithTheIsotopesItCovers) {
  // 182W / 3 = 60.649 Da: only the 3+ of one isotope lies in the range.
  const charge_assignment w = only("60.55 60.75 W:1");
  EXPECT_EQ(w.status, charge_status::assigned);
  EXPECT_EQ(w.element, "W");
  EXPECT_EQ(w.charge, 3);
  EXPECT_EQ(w.fitting_charges, std::vector<int>{3});
  EXPECT_EQ(labels(w.isotopes), std::vector<std::string>{"182W"});
  EXPECT_DOUBLE_EQ(w.abundance_percent, 26.5);
  EXPECT_EQ(w.label(), "W3+");
  EXPECT_TRUE(w.message.empty());

  // A window over 183W3+ (60.983) and 184W3+ (61.317): their abundances add.
  const charge_assignment both = only("60.9 61.4 W:1");
  EXPECT_EQ(both.charge, 3);
  EXPECT_EQ(labels(both.isotopes), (std::vector<std::string>{"183W", "184W"}));
  EXPECT_DOUBLE_EQ(both.abundance_percent, 14.31 + 30.64);

  // The element is matched in any case and written as the table writes it.
  const charge_assignment fe = only("26.94 27.02 fe:1");
  EXPECT_EQ(fe.element, "Fe");
  EXPECT_EQ(fe.label(), "Fe2+");
  EXPECT_EQ(labels(fe.isotopes), std::vector<std::string>{"54Fe"});

  // The bounds hold their ends: 27Al+ is 26.98153844 Da; a hair beside it
  // is a miss, which only the mass tolerance forgives.
  EXPECT_EQ(only("26.98153844 27.1 Al:1").charge, 1);
  EXPECT_FALSE(only("26.98153844 27.1 Al:1").by_tolerance());
  EXPECT_TRUE(only("26.9 26.98153843 Al:1").by_tolerance());
  const range_file al = rrng("Range1=26.9 26.98153843 Al:1\n");
  EXPECT_EQ(assign_charge(al.ranges[0], al.path, charge_options{0.0, 0.0}).status,
            charge_status::no_isotope);
}

TEST(ChargeAssignment, NoFittingChargeOrSeveralIsAMessageAndNoCharge) {
  const charge_assignment none = only("70 70.5 W:1");
  EXPECT_EQ(none.status, charge_status::no_isotope);
  EXPECT_EQ(none.charge, 0);
  EXPECT_TRUE(none.isotopes.empty());
  // 186W3+ at 61.985 Da is the nearest, far beyond the tolerance there
  // (0.3 % of 61.985 Da).
  EXPECT_EQ(none.message,
            "run.rrng:3: no isotope of W at charges 1\u20138 lies in 70\u201370.5 Da, nor within "
            "the mass tolerance of it (the nearest, 186W3+ at 61.9848 Da, is 8.015 Da below it; "
            "the tolerance there is 0.186 Da)");
  EXPECT_EQ(none.label(), "W");
  EXPECT_TRUE(none.note.empty());

  // 16O+ (99.757 %) and 16O2+, 17O2+, 18O2+ (100 %): comparable, so
  // neither is taken.
  const charge_assignment o = only("7.9 16.1 O:1");
  EXPECT_EQ(o.status, charge_status::ambiguous);
  EXPECT_EQ(o.charge, 0);
  EXPECT_EQ(o.fitting_charges, (std::vector<int>{1, 2}));
  ASSERT_EQ(o.readings.size(), 2u);
  EXPECT_EQ(labels(o.readings[1].isotopes), (std::vector<std::string>{"16O", "17O", "18O"}));
  EXPECT_DOUBLE_EQ(o.abundance_percent, 0.0);
  EXPECT_TRUE(o.isotopes.empty());
  EXPECT_EQ(o.message,
            "run.rrng:3: the charge of the range 7.9\u201316.1 Da of O is ambiguous: it holds "
            "16O+ (99.757 %) and 16O2+, 17O2+, 18O2+ (100 %); the range is left out of every "
            "ratio");

  // Charges above 8 are not tried: 184W9+ is at 20.44 Da.
  EXPECT_EQ(only("20.4 20.5 W:1").status, charge_status::no_isotope);
  EXPECT_EQ(only("22.9 23.1 W:1").charge, 8);  // 184W8+ at 22.99 Da
}

TEST(ChargeAssignment, MoleculesUnknownElementsAndEmptyRangesGetNoCharge) {
  const charge_assignment oxide = only("66.6 66.75 W:1 O:1");
  EXPECT_EQ(oxide.status, charge_status::molecular);
  EXPECT_TRUE(oxide.message.empty());
  EXPECT_EQ(only("60 61 W:2").status, charge_status::molecular);
  EXPECT_EQ(only("1 2 Vol:0.1").status, charge_status::no_ion);
  // A name that is no element: no charge, and no message of its own (the
  // file's notes name such ions once).
  const charge_assignment unknown = only("1 2 Xy:1");
  EXPECT_EQ(unknown.status, charge_status::unknown_element);
  EXPECT_TRUE(unknown.message.empty());
  EXPECT_TRUE(unknown.element.empty());

  const range_file f = rrng("Range1=66.6 66.75 W:1 O:1\nRange2=60.55 60.75 W:1\n");
  const auto all = assign_charges(f);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].charge, 3);  // in the order of the sorted ranges
  EXPECT_EQ(all[1].status, charge_status::molecular);
  EXPECT_EQ(charge_suffix(1), "+");
  EXPECT_EQ(charge_suffix(4), "4+");
}

TEST(Interference, AWindowHoldingAnotherIonOfTheFileIsNamedWithBoth) {
  // 54Fe2+ at 26.970 Da and 27Al+ at 26.982 Da; 27Al2+ at 13.491 and 54Fe4+
  // at 13.485.
  const range_file f = rrng(
      "Range1=26.94 27.02 Fe:1\n"
      "Range2=27.9 28.05 Fe:1\n"
      "Range3=13.45 13.55 Al:1\n");
  const auto assignments = assign_charges(f);
  const auto fe = find_interferences(f, assignments, "Fe");
  ASSERT_EQ(fe.size(), 1u);
  EXPECT_EQ(f.ranges[fe[0].range].line, 3u);
  EXPECT_EQ(fe[0].own, "54Fe2+");
  EXPECT_EQ(fe[0].other, "27Al+");
  EXPECT_EQ(fe[0].other_charge, 1);
  EXPECT_EQ(fe[0].message,
            "run.rrng:3: the range 26.94\u201327.02 Da of 54Fe2+ also holds 27Al+ (26.982 Da)");

  const auto al = find_interferences(f, assignments, "al");
  ASSERT_EQ(al.size(), 1u);
  EXPECT_EQ(al[0].own, "27Al2+");
  EXPECT_EQ(al[0].other, "54Fe4+");
  EXPECT_EQ(find_interferences(f, assignments).size(), 2u);
  EXPECT_TRUE(find_interferences(f, assignments, "W").empty());
  EXPECT_TRUE(find_interferences(f, assignments, "Unobtainium").empty());
  // Assignments of another file are not mixed up with this one.
  EXPECT_TRUE(find_interferences(f, {}, "Fe").empty());
}

TEST(Interference, IonsOfTheIonListAndMoleculesCountAsWell) {
  // Al is listed but not ranged; O2 is ranged as a molecule at 2+.
  const range_file f = rrng(
      "Range1=26.94 27.02 Fe:1\n"
      "Range2=31.9 32.1 S:1\n"
      "Range3=15.95 16.05 O:2\n",
      "Ion1=Fe\nIon2=S\nIon3=O\nIon4=Al\n");
  const auto assignments = assign_charges(f);
  const auto fe = find_interferences(f, assignments, "Fe");
  ASSERT_EQ(fe.size(), 1u);
  EXPECT_EQ(fe[0].other, "27Al+");
  // 32S+ at 31.972 Da and (16O2)+ (the molecule, one charge) at 31.990.
  const auto s = find_interferences(f, assignments, "S");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].own, "32S+");
  EXPECT_EQ(s[0].other, "(16O2)+");
  EXPECT_EQ(s[0].message,
            "run.rrng:8: the range 31.9\u201332.1 Da of 32S+ also holds (16O2)+ (31.990 Da)");
}

TEST(Interference, OnlyAssignedRangesAreLookedAtAndCombinationsAreMultisets) {
  // 184W16O2 at 4+ is 53.985 Da, inside the first range; but no W isotope
  // lies there, so the range has no charge and is not looked at.
  const range_file f = rrng(
      "Range1=53.9 54.05 W:1\n"
      "Range2=61.25 61.40 W:1\n"
      "Range3=72.0 72.1 W:1 O:2\n");
  const auto assignments = assign_charges(f);
  EXPECT_EQ(assignments[0].status, charge_status::no_isotope);
  EXPECT_TRUE(find_interferences(f, assignments, "W").empty());

  // 33S+ at 32.971 Da; of O2 at 1+ only 16O17O (32.994) lies in the window,
  // one combination, not 16O17O and 17O16O.
  const range_file o = rrng("Range1=32.9 33.1 S:1\nRange2=15.95 16.05 O:2\n");
  const auto s = find_interferences(o, assign_charges(o), "S");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].own, "33S+");
  EXPECT_EQ(s[0].other, "(16O 17O)+");
}

// ---- Charges and isotopes as real peaks sit

TEST(ChargeAssignment, ARangeBesideItsPeakTakesTheNearestIsotopeWithinTheTolerance) {
  // A real range around the measured 28Si2+ peak misses its tabulated m/q
  // (13.98846 Da) by 0.0025 Da.
  const charge_assignment si = only("13.991 14.039 Si:1");
  EXPECT_EQ(si.status, charge_status::assigned);
  EXPECT_EQ(si.label(), "Si2+");
  EXPECT_EQ(labels(si.isotopes), std::vector<std::string>{"28Si"});
  EXPECT_DOUBLE_EQ(si.abundance_percent, 92.2297);
  EXPECT_TRUE(si.by_tolerance());
  EXPECT_DOUBLE_EQ(si.miss_da, 27.9769265327 / 2 - 13.991);
  EXPECT_EQ(si.tolerance_da, 0.05);
  EXPECT_TRUE(si.message.empty());
  EXPECT_EQ(si.note,
            "run.rrng:3: no isotope of Si lies in the range 13.991\u201314.039 Da; it is read as "
            "28Si2+ at 13.9885 Da, 0.002537 Da below it (within the mass tolerance of 0.05 Da)");

  // Above the range too; and at higher m/q the tolerance is 0.3 % of it:
  // 184W3+ (61.317 Da) lies 0.133 Da below 61.45, within 0.184 Da.
  const charge_assignment above = only("27.9 27.96 Fe:1");  // 56Fe2+ at 27.9675
  EXPECT_EQ(above.label(), "Fe2+");
  EXPECT_GT(above.miss_da, 0.0);
  EXPECT_NE(above.note.find("0.007471 Da above it"), std::string::npos) << above.note;
  const charge_assignment w = only("61.45 61.6 W:1");
  EXPECT_EQ(w.label(), "W3+");
  EXPECT_EQ(labels(w.isotopes), std::vector<std::string>{"184W"});
  EXPECT_DOUBLE_EQ(w.tolerance_da, 0.003 * 183.9509326 / 3);

  // A range that holds isotopes is read by them alone: 182W2+ (90.974 Da)
  // lies 0.026 Da below this one and is not counted as covered.
  const charge_assignment w2 = only("91.0 93.5 W:1");
  EXPECT_EQ(labels(w2.isotopes), (std::vector<std::string>{"183W", "184W", "186W"}));
  EXPECT_FALSE(w2.by_tolerance());
  EXPECT_TRUE(w2.note.empty());
}

TEST(ChargeAssignment, TheMassToleranceIsAnOption) {
  EXPECT_EQ(mass_tolerance(10.0), 0.05);
  EXPECT_DOUBLE_EQ(mass_tolerance(100.0), 0.3);
  EXPECT_EQ(mass_tolerance(100.0, {0.5, 0.3}), 0.5);

  const range_file f = rrng("Range1=13.991 14.039 Si:1\nRange2=61.45 61.6 W:1\n");
  const auto strict = assign_charges(f, charge_options{0.001, 0.0});
  EXPECT_EQ(strict[0].status, charge_status::no_isotope);
  EXPECT_NE(strict[0].message.find("the tolerance there is 0.001 Da"), std::string::npos);
  EXPECT_EQ(strict[1].status, charge_status::no_isotope);
  const auto absolute = assign_charges(f, charge_options{0.05, 0.0});
  EXPECT_TRUE(absolute[0].assigned());
  EXPECT_FALSE(absolute[1].assigned());  // 0.133 Da off, more than 0.05 Da

  EXPECT_EQ(charge_options_problem({}), "");
  EXPECT_EQ(charge_options_problem({-1.0, 0.3}),
            "the mass tolerance -1 Da is not a finite number of at least 0");
  EXPECT_EQ(charge_options_problem({0.05, std::nan("")}),
            "the mass tolerance nan % is not a finite number of at least 0");
  EXPECT_EQ(charge_options_problem({0.05, 0.3, 0.5}),
            "the dominance factor 0.5 is not a number of at least 1");
  EXPECT_EQ(charge_options_problem({0.05, 0.3, std::numeric_limits<double>::infinity()}), "");
  try {
    assign_charges(f, charge_options{std::numeric_limits<double>::infinity(), 0.3});
    FAIL() << "an infinite tolerance accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "the mass tolerance inf Da is not a finite number of at least 0");
  }
  EXPECT_THROW(assign_charge(f.ranges[0], f.path, charge_options{0.05, -0.3}),
               std::invalid_argument);
}

TEST(ChargeAssignment, AReadingOfFarMoreAbundanceIsTakenAndTheOtherMentioned) {
  // 1H+ (1.00783 Da, 99.9885 %) and 2H2+ (1.00705 Da, 0.0115 %) both lie in
  // every H range at 1 Da.
  const charge_assignment h = only("1 1.02 H:1");
  EXPECT_EQ(h.status, charge_status::assigned);
  EXPECT_EQ(h.label(), "H+");
  EXPECT_EQ(labels(h.isotopes), std::vector<std::string>{"1H"});
  EXPECT_DOUBLE_EQ(h.abundance_percent, 99.9885);
  EXPECT_EQ(h.fitting_charges, (std::vector<int>{1, 2}));
  EXPECT_FALSE(h.by_tolerance());
  EXPECT_TRUE(h.message.empty());
  EXPECT_EQ(h.note,
            "run.rrng:3: the range 1\u20131.02 Da of H is read as 1H+ (99.9885 %), though it also "
            "fits 2H2+ (0.0115 %, 8,695 times less abundant)");

  // Both beside the range, within the tolerance: the same choice.
  const charge_assignment near = only("1.02 1.05 H:1");
  EXPECT_EQ(near.label(), "H+");
  EXPECT_DOUBLE_EQ(near.miss_da, 1.0078250321 - 1.02);
  EXPECT_EQ(near.note,
            "run.rrng:3: no isotope of H lies in the range 1.02\u20131.05 Da; it is read as 1H+ at "
            "1.0078 Da, 0.01217 Da below it (within the mass tolerance of 0.05 Da), though it "
            "also fits 2H2+ (0.0115 %, 0.01295 Da below it, 8,695 times less abundant)");

  // The factor is an option: 8,695 is not more than a million.
  const range_file f = rrng("Range1=1 1.02 H:1\n");
  charge_options strict;
  strict.dominance = 1e6;
  const charge_assignment left_out = assign_charge(f.ranges[0], f.path, strict);
  EXPECT_EQ(left_out.status, charge_status::ambiguous);
  EXPECT_EQ(left_out.message,
            "run.rrng:3: the charge of the range 1\u20131.02 Da of H is ambiguous: it holds 1H+ "
            "(99.9885 %) and 2H2+ (0.0115 %); the range is left out of every ratio");
}

// ---- Interferences

namespace {

// An iron range that four other ions of the file reach at 1+: CO and Si,
// which the file has at 1+, and N2 and C2H4, which it has at 2+ only.
constexpr std::string_view crowded =
    "Range1=27.5 28.5 Fe:1\n"         // 56Fe2+, 57Fe2+
    "Range2=29.9 30.1 Si:1\n"         // 30Si+
    "Range3=28.95 29.05 C:1 O:1\n"    // 13C16O+, 12C17O+
    "Range4=13.995 14.01 N:2\n"       // 14N2 2+
    "Range5=14.012 14.02 C:2 H:4\n";  // 12C2 1H4 2+

}  // namespace

TEST(Interference, EachRangeNamesItsThreeLikeliestInterferersThenCountsTheRest) {
  const range_file f = rrng(crowded);
  const auto assignments = assign_charges(f);
  const auto fe = find_interferences(f, assignments, "Fe");
  ASSERT_EQ(fe.size(), 1u);
  const interference& x = fe[0];
  EXPECT_EQ(x.own, "56Fe2+, 57Fe2+");
  // The ions the file has at that charge first, then by natural abundance:
  // 12C16O (98.69 %) and 28Si (92.23 %), then 14N2 (99.27 %) and 12C2 1H4.
  ASSERT_EQ(x.interferers.size(), 4u);
  EXPECT_EQ(x.interferers[0].label, "(12C 16O)+");
  EXPECT_EQ(x.interferers[0].species, "CO");
  EXPECT_TRUE(x.interferers[0].charge_in_file);
  EXPECT_DOUBLE_EQ(x.interferers[0].share, 0.9893 * 0.99757);
  EXPECT_EQ(x.interferers[1].label, "28Si+");
  EXPECT_TRUE(x.interferers[1].charge_in_file);
  EXPECT_EQ(x.interferers[2].label, "(14N2)+");
  EXPECT_FALSE(x.interferers[2].charge_in_file);
  EXPECT_DOUBLE_EQ(x.interferers[2].share, 0.99632 * 0.99632);
  EXPECT_EQ(x.interferers[3].label, "(12C2 1H4)+");
  EXPECT_EQ(x.interferers[3].charge, 1);
  EXPECT_DOUBLE_EQ(x.interferers[3].mass_to_charge, 24.0 + 4 * 1.0078250321);
  EXPECT_EQ(x.other, "(12C 16O)+");
  EXPECT_EQ(x.other_charge, 1);
  EXPECT_FALSE(x.incomplete);
  EXPECT_EQ(x.message,
            "run.rrng:3: the range 27.5\u201328.5 Da of 56Fe2+, 57Fe2+ also holds (12C 16O)+ "
            "(27.995 Da), 28Si+ (27.977 Da), (14N2)+ (28.006 Da) and 1 less likely ion");
  // Every one, for a full listing.
  EXPECT_EQ(x.listing(),
            "run.rrng:3: the range 27.5\u201328.5 Da of 56Fe2+, 57Fe2+ also holds (12C 16O)+ "
            "(27.995 Da), 28Si+ (27.977 Da), (14N2)+ (28.006 Da), (12C2 1H4)+ (28.031 Da)");
  EXPECT_EQ(x.listing(1),
            "run.rrng:3: the range 27.5\u201328.5 Da of 56Fe2+, 57Fe2+ also holds (12C 16O)+ "
            "(27.995 Da) and 3 less likely ions");

  // Fewer kept: the rest are counted.
  interference_options two;
  two.kept = 2;
  const auto kept = find_interferences(f, assignments, "Fe", two);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].interferers.size(), 2u);
  EXPECT_EQ(kept[0].more, 2u);
  EXPECT_EQ(kept[0].interferers[1].label, "28Si+");
  EXPECT_NE(kept[0].message.find("28Si+ (27.977 Da) and 2 more ions"), std::string::npos)
      << kept[0].message;
}

TEST(Interference, TheSearchStopsAtItsBudgetAndSaysSo) {
  const range_file f = rrng(crowded);
  const auto assignments = assign_charges(f);
  interference_options small;
  small.budget = 3;
  const auto x = find_interferences(f, assignments, "", small);
  ASSERT_EQ(x.size(), 1u);
  EXPECT_EQ(f.ranges[x[0].range].line, 3u);
  EXPECT_TRUE(x[0].incomplete);
  EXPECT_EQ(x[0].unchecked, 1u);  // the Si range
  EXPECT_NE(x[0].message.find(
                "too many isotope combinations to check: the search for other ions in it stopped "
                "here, and 1 further range was not searched"),
            std::string::npos)
      << x[0].message;
  EXPECT_EQ(x[0].message.rfind("run.rrng:3: the range 27.5\u201328.5 Da of 56Fe2+, 57Fe2+", 0), 0u);
  // The full search of this file fits in a budget of a few hundred steps.
  small.budget = 500;
  const auto whole = find_interferences(f, assignments, "", small);
  ASSERT_FALSE(whole.empty());
  for (const interference& i : whole) EXPECT_FALSE(i.incomplete) << i.message;
}

TEST(Interference, OnlyWhatTheAskedRangesNeedIsBuilt) {
  // 1,000 ranges of heavy Sn3 Xe2 X_k molecules (over 600 Da) and ranges of
  // single Sn and Xe atoms.
  const auto molecules = [](std::string singles) {
    constexpr std::array<const char*, 12> x = {"O",  "C",  "N", "H",  "Fe", "Cr",
                                               "Ni", "Mo", "W", "Al", "Si", "Ti"};
    std::string text = std::move(singles);
    for (std::size_t i = 0; i < 1000; ++i) {
      text += "Range1=" + std::to_string(200 + i) + ".25 " + std::to_string(200 + i) +
              ".75 Sn:3 Xe:2 " + x[i % x.size()] + ":" + std::to_string(1 + i / x.size()) + "\n";
    }
    return rrng(text);
  };
  // No molecule reaches the 120Sn2+ range at charges up to 8: nothing is
  // built, so a budget of ten steps is enough.
  const range_file low = molecules("Range1=59.9 60.05 Sn:1\n");
  interference_options ten;
  ten.budget = 10;
  EXPECT_TRUE(find_interferences(low, assign_charges(low), "Sn", ten).empty());

  // At 120Sn+ they do at 5+ to 8+, with millions of combinations: the search
  // stops at its budget and says so, for the Sn range asked (the Xe range
  // is not asked for).
  const range_file high = molecules("Range1=119.8 120.0 Sn:1\nRange1=131.8 132.0 Xe:1\n");
  interference_options small;
  small.budget = 20000;
  const auto sn = find_interferences(high, assign_charges(high), "Sn", small);
  ASSERT_EQ(sn.size(), 1u);
  EXPECT_EQ(sn[0].own, "120Sn+");
  EXPECT_TRUE(sn[0].incomplete);
  EXPECT_EQ(sn[0].unchecked, 0u);
  EXPECT_FALSE(sn[0].interferers.empty());
  EXPECT_GE(sn[0].interferers.back().charge, 5);
}

// A caller's cancel flag stops the search within a thousand combinations or
// so; lowered, the search is the same as without one.
TEST(Interference, TheSearchStopsWhenTheCancelFlagIsRaised) {
  const range_file f = rrng(crowded);
  const auto assignments = assign_charges(f);
  std::atomic<bool> cancel{false};
  interference_options options;
  options.cancel = &cancel;
  const auto whole = find_interferences(f, assignments, "", options);
  EXPECT_EQ(whole.size(), find_interferences(f, assignments).size());
  cancel = true;
  EXPECT_THROW(find_interferences(f, assignments, "", options), cancelled);
}
