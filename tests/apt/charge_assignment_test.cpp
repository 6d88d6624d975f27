#include "apt/charge_assignment.hpp"

#include <gtest/gtest.h>

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

  // The bounds hold their ends: 27Al+ is 26.98153844 Da.
  EXPECT_EQ(only("26.98153844 27.1 Al:1").charge, 1);
  EXPECT_EQ(only("26.9 26.98153843 Al:1").status, charge_status::no_isotope);
}

TEST(ChargeAssignment, NoFittingChargeOrSeveralIsAMessageAndNoCharge) {
  const charge_assignment none = only("70 70.5 W:1");
  EXPECT_EQ(none.status, charge_status::no_isotope);
  EXPECT_EQ(none.charge, 0);
  EXPECT_TRUE(none.isotopes.empty());
  EXPECT_EQ(none.message,
            "run.rrng:3: no isotope of W at charges 1\u20138 lies in 70\u201370.5 Da");
  EXPECT_EQ(none.label(), "W");

  // 1H+ at 1.00783 Da and 2H2+ at 1.00705 Da.
  const charge_assignment h = only("1 1.02 H:1");
  EXPECT_EQ(h.status, charge_status::ambiguous);
  EXPECT_EQ(h.charge, 0);
  EXPECT_EQ(h.fitting_charges, (std::vector<int>{1, 2}));
  EXPECT_DOUBLE_EQ(h.abundance_percent, 0.0);
  EXPECT_EQ(h.message,
            "run.rrng:3: the charge of the range 1\u20131.02 Da of H is ambiguous: it holds 1H+ "
            "and 2H2+; the range is left out of every ratio");

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
  const charge_assignment unknown = only("1 2 Xy:1");
  EXPECT_EQ(unknown.status, charge_status::unknown_element);
  EXPECT_EQ(unknown.message,
            "run.rrng:3: the element 'Xy' of the range 1\u20132 Da is not in the isotope table: "
            "its charge is not known");

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
  // 32S+ at 31.972 Da and 16O2+ (the molecule, one charge) at 31.990.
  const auto s = find_interferences(f, assignments, "S");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].own, "32S+");
  EXPECT_EQ(s[0].other, "16O2+");
  EXPECT_EQ(s[0].message,
            "run.rrng:8: the range 31.9\u201332.1 Da of 32S+ also holds 16O2+ (31.990 Da)");
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
  EXPECT_EQ(s[0].other, "16O17O+");
}
