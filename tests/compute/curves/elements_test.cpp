#include "compute/curves/elements.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

using veltrane::element_table;
using veltrane::find_element;

TEST(ElementTable, HoldsTheListLetterForLetter) {
  ASSERT_EQ(element_table.size(), 44u);
  EXPECT_EQ(element_table.front().name, "Aluminium");
  EXPECT_EQ(element_table[8].name, "Calicum");  // written so in the list and the table
  EXPECT_EQ(element_table[9].name, "Titan");
  EXPECT_EQ(element_table.back().name, "Bismuth");
  std::set<std::string_view> keys;
  for (const auto& row : element_table) {
    EXPECT_TRUE(keys.insert(row.name).second) << "duplicate key " << row.name;
    EXPECT_GE(row.period, 2);
    EXPECT_LE(row.period, 6);
    EXPECT_GT(row.atomic_mass, 0.0);
  }
}

TEST(ElementTable, LookupIsExact) {
  const auto ca = find_element("Calicum");
  ASSERT_TRUE(ca);
  EXPECT_EQ(ca->period, 4);
  EXPECT_EQ(ca->atomic_mass, 40.078);
  const auto hg = find_element("Mercury");
  ASSERT_TRUE(hg);
  EXPECT_EQ(hg->period, 6);
  EXPECT_EQ(hg->atomic_mass, 200.592);
  EXPECT_FALSE(find_element("Calcium"));
  EXPECT_FALSE(find_element("tungsten"));
  EXPECT_FALSE(find_element(" Tungsten"));
  EXPECT_FALSE(find_element(""));
}
