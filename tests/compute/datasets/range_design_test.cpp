#include "compute/datasets/range_design.hpp"

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

range_design design_of(const std::string& text, const std::vector<std::string>& extra = {}) {
  const apt::range_file file = apt::parse_range_text(text, "steel.rrng");
  const apt::charge_options options;
  return design_ranges(file, apt::assign_charges(file, options), options, extra);
}

// A steel's ranges around 26-29 Da and 54 Da, labelled as a user would:
// the 27 Da peak (54Fe2+, 54Cr2+, 27Al+) as Fe, 28 Da (56Fe2+, 28Si+) as
// Fe, 29 Da (58Fe2+, 58Ni2+, 29Si+) as Ni, 54 Da (54Fe+, 54Cr+) as Fe.
const char* steel =
    "[Ions]\nNumber=5\nIon1=Fe\nIon2=Cr\nIon3=Ni\nIon4=Si\nIon5=Al\n"
    "[Ranges]\nNumber=9\n"
    "Range1=25.90 26.05 Cr:1\n"   // 52Cr2+
    "Range2=26.40 26.55 Cr:1\n"   // 53Cr2+
    "Range3=26.92 27.05 Fe:1\n"   // 54Fe2+ 54Cr2+ 27Al+
    "Range4=27.90 28.05 Fe:1\n"   // 56Fe2+ 28Si+
    "Range5=28.42 28.55 Fe:1\n"   // 57Fe2+
    "Range6=28.92 29.05 Ni:1\n"   // 58Ni2+ 58Fe2+ 29Si+
    "Range7=29.90 30.05 Ni:1\n"   // 60Ni2+, 30Si+ at 29.974
    "Range8=53.85 54.05 Fe:1\n"   // 54Fe+ 54Cr+
    "Range9=55.85 56.05 Fe:1\n";  // 56Fe+

double share(const range_design& d, std::size_t range, const std::string& symbol, int charge) {
  const int s = d.find(symbol, charge);
  return s < 0 ? 0.0 : d.shares(range, static_cast<std::size_t>(s));
}

}  // namespace

TEST(RangeDesign, SharedPeaksHoldEveryIonWhoseIsotopesLieInThem) {
  const range_design d = design_of(steel);
  // The species the file's labels give, Cr2+, Fe+, Fe2+, Ni2+, and those
  // of the elements it lists at the lower charges where their isotopes lie:
  // Al+ (27 Da), Si+ (28, 29, 30 Da), Cr+ (54 Da). Nothing at 3+ (no range
  // is named after any element at 3+), no Al2+ (13.5 Da is not ranged).
  for (const auto& [symbol, charge] : std::vector<std::pair<std::string, int>>{
           {"Fe", 1}, {"Fe", 2}, {"Cr", 1}, {"Cr", 2}, {"Ni", 2}, {"Al", 1}, {"Si", 1}}) {
    EXPECT_GE(d.find(symbol, charge), 0) << symbol << charge;
  }
  EXPECT_LT(d.find("Al", 2), 0);
  EXPECT_LT(d.find("Fe", 3), 0);
  EXPECT_DOUBLE_EQ(share(d, 2, "Al", 1), 1.0);
  // 27 Da: 5.845 % of Fe2+ and 2.365 % of Cr2+.
  EXPECT_DOUBLE_EQ(share(d, 2, "Fe", 2), 0.05845);
  EXPECT_DOUBLE_EQ(share(d, 2, "Cr", 2), 0.02365);
  // 29 Da: 58Fe2+ and 58Ni2+.
  EXPECT_DOUBLE_EQ(share(d, 5, "Fe", 2), 0.00282);
  EXPECT_DOUBLE_EQ(share(d, 5, "Ni", 2), 0.680769);
  // 54 Da: 54Fe+ and 54Cr+.
  EXPECT_DOUBLE_EQ(share(d, 7, "Fe", 1), 0.05845);
  EXPECT_DOUBLE_EQ(share(d, 7, "Cr", 1), 0.02365);
  // Every column of Fe2+ sums to the abundance its ranges cover.
  double fe2 = 0.0;
  for (std::size_t r = 0; r < d.shares.ranges(); ++r) fe2 += share(d, r, "Fe", 2);
  EXPECT_NEAR(fe2, 1.0, 1e-12);
  EXPECT_TRUE(d.separable.groups.empty());
}

TEST(RangeDesign, ElementsTheUserNamesAreLookedForWhereTheirIsotopesLie) {
  // Without Si and Al in the file's list, the user names them.
  std::string unlisted = steel;
  unlisted.replace(unlisted.find("Number=5"), 8, "Number=3");
  unlisted.erase(unlisted.find("Ion4=Si\n"), 8);
  unlisted.erase(unlisted.find("Ion5=Al\n"), 8);
  EXPECT_LT(design_of(unlisted).find("Al", 1), 0);
  const range_design d = design_of(unlisted, {"Al", "Si"});
  EXPECT_DOUBLE_EQ(share(d, 2, "Al", 1), 1.0);
  EXPECT_DOUBLE_EQ(share(d, 3, "Si", 1), 0.922297);
  EXPECT_DOUBLE_EQ(share(d, 5, "Si", 1), 0.046832);
  EXPECT_DOUBLE_EQ(share(d, 6, "Si", 1), 0.030872);
  EXPECT_FALSE(d.notes.empty());
  // 27Al+ lies only at 27 Da, with 54Fe2+ and 54Cr2+: the three cannot be
  // told apart there, but Fe2+ and Cr2+ have ranges of their own, so Al+
  // is separable by them.
  EXPECT_TRUE(d.separable.separable[static_cast<std::size_t>(d.find("Al", 1))]);
}

TEST(RangeDesign, SpeciesInOneRangeAloneAreInseparable) {
  // 54Fe+ and 54Cr+ with no other range of either at 1+.
  const range_design d = design_of(
      "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=1\nRange1=53.85 54.05 Fe:1\n", {"Cr"});
  ASSERT_EQ(d.separable.groups.size(), 1u);
  EXPECT_EQ(d.separable.groups[0].size(), 2u);
}

TEST(RangeDesign, RangesOffTheTabulatedMassAndRangesOfTheirOwn) {
  // Si 13.991-14.039 misses 28Si2+ (13.9885 Da) by 0.0025 Da; WO and a
  // name that is no element are amounts of their own.
  const range_design d = design_of(
      "[Ions]\nNumber=3\nIon1=Si\nIon2=W\nIon3=Uo1\n[Ranges]\nNumber=4\n"
      "Range1=13.991 14.039 Si:1\nRange2=14.40 14.55 Si:1\n"
      "Range3=99.9 100.3 W:1 O:1\nRange4=120.0 121.0 Uo1:1\n");
  EXPECT_DOUBLE_EQ(share(d, 0, "Si", 2), 0.922297);
  EXPECT_DOUBLE_EQ(share(d, 1, "Si", 2), 0.046832);
  std::size_t own = 0;
  for (const auto& s : d.species) own += s.element ? 0 : 1;
  EXPECT_EQ(own, 2u);
  EXPECT_EQ(d.species.back().label(), "Uo1");
  EXPECT_EQ(d.shares(3, d.species.size() - 1), 1.0);
}
