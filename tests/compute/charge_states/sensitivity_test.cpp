#include "compute/charge_states/sensitivity.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/inputs.hpp"
#include "model/constants.hpp"

using namespace veltrane;

namespace {

// Q_j falls through 1/2 at a field that grows with the binding energy of
// step j (I_(j+1)) and falls with the work function; NaN from far above.
double stand_in(double F, double B, double phi, int, int, double, double) {
  const double E = F * vnm_per_au;
  const double middle = 30.0 * B / 0.6 - 5.0 * phi / 0.167;
  if (E > 3.0 * middle) return std::nan("");
  return 1.0 / (1.0 + std::exp((E - middle) * 2.0));
}

}  // namespace

TEST(Sensitivity, OnlyTheInputsOfThePairMoveTheField) {
  const calc_request r = *check_request({"Tungsten", "3", std::nullopt, std::nullopt}).request;
  const charge_state_model model{stand_in, 1e-6};
  charge_states states(r, model.function, 2);
  states.set_ratio_tolerance(1e-6);
  const int k = 1;
  const auto found = field_from_ratio(states, k, 1.0);
  ASSERT_TRUE(found.field());
  const auto shifts = field_sensitivity(r, k, 1.0, *found.field(), model, 2, nullptr);
  // The work function, then I2 and I3: pair 2+/1+ needs steps 1 and 2, which
  // bind with I2 and I3; I1 enters no step of n >= 2.
  ASSERT_EQ(shifts.size(), 3u);
  EXPECT_EQ(shifts[0].input, "work function \u00b10.1 eV");
  EXPECT_EQ(shifts[1].input, "I2 \u00b11 %");
  EXPECT_EQ(shifts[2].input, "I3 \u00b11 %");
  // A higher work function lowers the stand-in's fields; a higher I2 (the
  // binding energy of step 1) raises them.
  EXPECT_GT(shifts[0].minus, 0.0);
  EXPECT_LT(shifts[0].plus, 0.0);
  EXPECT_LT(shifts[1].minus, 0.0);
  EXPECT_GT(shifts[1].plus, 0.0);
}

TEST(Sensitivity, TheInputsOfEachPair) {
  const charge_state_model model{stand_in, 1e-6};
  auto inputs = [&](int n, int k) {
    const calc_request r =
        *check_request({"Tungsten", std::to_string(n), std::nullopt, std::nullopt}).request;
    charge_states states(r, model.function, 2);
    states.set_ratio_tolerance(1e-6);
    const auto found = field_from_ratio(states, k, 1.0);
    std::string names;
    if (!found.field()) return names;
    for (const auto& s : field_sensitivity(r, k, 1.0, *found.field(), model, 2, nullptr)) {
      names += (names.empty() ? "" : ",") + s.input.substr(0, s.input.find(' '));
    }
    return names;
  };
  // n = 1: the single step's offset takes I1, its binding energy is I2.
  EXPECT_EQ(inputs(1, 1), "work,I1,I2");
  // 3+/2+ of n = 3: steps 2 and 3, binding with I3 and I4, offsets from I2
  // and I3; 4+/3+ of n = 3 is step 3 alone.
  EXPECT_EQ(inputs(3, 2), "work,I2,I3,I4");
  EXPECT_EQ(inputs(3, 3), "work,I2,I3,I4");
  EXPECT_EQ(inputs(2, 2), "work,I2,I3");
}
