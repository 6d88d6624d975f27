#include "apt/isotopes.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <stdexcept>

using namespace veltrane::apt;

TEST(Isotopes, TheBuiltInTableHoldsTheNaturalIsotopesOfHToU) {
  const isotope_table& table = isotope_table::builtin();
  const auto symbols = table.symbols();
  ASSERT_FALSE(symbols.empty());
  EXPECT_EQ(symbols.front(), "H");
  EXPECT_EQ(symbols.back(), "U");
  // Tc and Pm have no natural isotopes.
  EXPECT_FALSE(table.knows("Tc"));
  EXPECT_FALSE(table.knows("Pm"));

  // Each element's abundances add up to 100 % within the rounding of the
  // source, and its masses lie near its mass numbers.
  std::map<std::string, double> sums;
  for (const isotope& i : table.all()) {
    sums[i.symbol] += i.abundance_percent;
    EXPECT_LT(std::abs(i.mass_u - i.mass_number), 0.1) << i.label();
  }
  for (const auto& [symbol, sum] : sums) EXPECT_NEAR(sum, 100.0, 0.01) << symbol;

  const auto tungsten = table.of("W");
  ASSERT_EQ(tungsten.size(), 5u);
  EXPECT_EQ(tungsten[0].label(), "180W");
  EXPECT_EQ(tungsten[3].mass_number, 184);
  EXPECT_DOUBLE_EQ(tungsten[3].mass_u, 183.9509326);
  EXPECT_DOUBLE_EQ(tungsten[3].abundance_percent, 30.64);
  EXPECT_EQ(tungsten[3].atomic_number, 74);
}

TEST(Isotopes, LooksUpBySymbolInAnyCaseAndByAtomicNumber) {
  const isotope_table& table = isotope_table::builtin();
  EXPECT_EQ(table.of("FE").size(), 4u);
  EXPECT_EQ(table.of("fe").front().symbol, "Fe");
  EXPECT_EQ(table.canonical_symbol("al"), "Al");
  EXPECT_EQ(table.canonical_symbol("Xx"), "");
  EXPECT_TRUE(table.of("").empty());
  EXPECT_TRUE(table.of("Tungsten").empty());
  // "Co" is cobalt, not carbon and oxygen.
  EXPECT_EQ(table.of("CO").front().atomic_number, 27);
  EXPECT_EQ(table.of_atomic_number(13).front().label(), "27Al");
  EXPECT_EQ(table.of_atomic_number(1).size(), 2u);
  EXPECT_TRUE(table.of_atomic_number(43).empty());
  EXPECT_TRUE(table.of_atomic_number(0).empty());
  EXPECT_TRUE(table.of_atomic_number(93).empty());
}

TEST(Isotopes, ATableThatDoesNotReadIsRefusedNamingTheLine) {
  const std::string header = "# comment\nsymbol,Z,A,mass_u,abundance_percent\n";
  const auto message = [&](const std::string& rows) {
    try {
      isotope_table::parse(header + rows);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(isotope_table::parse(header + "H,1,1,1.0078,99.9\r\nH,1,2,2.014,0.1\n").all().size(),
            2u);
  EXPECT_EQ(message("H,1,1,1.0078\n"), "isotopes.csv:3: 5 values expected, 4 found");
  EXPECT_EQ(message("H,1,1,x,99\n"), "isotopes.csv:3: the mass is not a positive number");
  EXPECT_EQ(message("H,1,1,1.0,101\n"),
            "isotopes.csv:3: the abundance is not a number from 0 to 100");
  EXPECT_NE(message("H,1,2,2.0,1\nH,1,1,1.0,99\n").find(":4: the isotopes are not in order"),
            std::string::npos);
  EXPECT_NE(message("H,1,1,1.0,99\nHe,1,2,2.0,1\n").find(":4: the symbol and Z"),
            std::string::npos);
  EXPECT_THROW(isotope_table::parse("symbol,Z\n"), std::invalid_argument);
  EXPECT_THROW(isotope_table::parse("# only comments\n"), std::invalid_argument);
}
