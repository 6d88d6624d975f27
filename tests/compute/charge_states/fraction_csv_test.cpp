#include "compute/charge_states/fraction_csv.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "compute/charge_states/field_grid.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "model/constants.hpp"

using namespace veltrane;

namespace {

calc_request tungsten(int n) {
  return *check_request({"Tungsten", std::to_string(n), std::nullopt, std::nullopt}).request;
}

// Kingham-like steps: Q_j falls through 1/2 at its own field, no value from
// an over-barrier field on.
constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
constexpr double barrier[] = {22.6, 38.8, 63.25, 92.5};

double stand_in(double F, double, double, int, int j, double, double) {
  const double E = F * vnm_per_au;
  const std::size_t i = static_cast<std::size_t>(j) - 1;
  if (E >= barrier[i]) return std::nan("");
  const double x = (E - half[i]) * 2.0;
  return x < -20.0 ? 1.0 : 1.0 / (1.0 + std::exp(x));
}

}  // namespace

TEST(FractionCsv, ColumnsInTheOrderOfTheirHeader) {
  charge_states states(tungsten(3), stand_in, 2);
  const auto t = fraction_table_at(states, {36.0});
  const auto lines = fraction_csv_lines(states.request(), t);
  ASSERT_EQ(lines[lines.size() - 2], "E_V_per_nm,Q1,Q2,Q3,f1,f2,f3,f4");
  std::vector<double> values;
  std::stringstream row(lines.back());
  for (std::string cell; std::getline(row, cell, ',');) values.push_back(std::stod(cell));
  ASSERT_EQ(values.size(), 8u);
  EXPECT_EQ(values[0], 36.0);
  for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(values[1 + j], t.Q_tilde[j][0]) << "Q" << j + 1;
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(values[4 + k], t.f[k][0]) << "f" << k + 1;
  // 36 V/nm lies between the steps: Q2 is neither 0 nor 1, and differs from Q3.
  EXPECT_GT(t.Q_tilde[1][0], 0.0);
  EXPECT_LT(t.Q_tilde[1][0], 1.0);
  EXPECT_NE(t.Q_tilde[1][0], t.Q_tilde[2][0]);
}

TEST(FractionCsv, TheShortestTextOfEveryField) {
  std::string message;
  const auto fine = field_grid(100.0001, 100.0004, 0.0001, &message);
  ASSERT_TRUE(fine) << message;
  // The CSV writes the shortest text that reads back to the same double.
  charge_states states(tungsten(1), stand_in, 2);
  const auto t = fraction_table_at(states, *fine);
  const auto lines = fraction_csv_lines(states.request(), t);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 5], "E_V_per_nm,Q1,f1,f2");
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string& line = lines[lines.size() - 4 + i];
    const std::string E = line.substr(0, line.find(','));
    EXPECT_EQ(std::stod(E), (*fine)[i]);
    EXPECT_EQ(E, std::vector<std::string>({"100.0001", "100.0002", "100.0003", "100.0004"})[i]);
  }
}

TEST(FractionCsv, TungstenWithTheAccurateEvaluationKeepsEveryByte) {
  // The fractions of Tungsten, n = 4, with its built-in data over the default
  // range every 0.5 V/nm, as the command line writes them: every digit of the
  // committed file (scripts/regen-golden remakes it for review), on any
  // number of threads.
  std::ifstream in(std::string(VELTRANE_TEST_DATA) + "/tungsten_n4_fractions.csv");
  ASSERT_TRUE(in) << "tests/data/tungsten_n4_fractions.csv";
  std::vector<std::string> golden;
  for (std::string line; std::getline(in, line);) golden.push_back(line);
  for (const unsigned threads : {1u, 2u, 4u}) {
    charge_states states(tungsten(4), model_for(evaluation::accurate).function, threads);
    const auto [from, to] = default_field_range(states);
    std::string message;
    const auto grid = field_grid(from, to, 0.5, &message);
    ASSERT_TRUE(grid) << message;
    EXPECT_EQ(fraction_csv_lines(states.request(), fraction_table_at(states, *grid)), golden)
        << threads << " threads";
  }
}
