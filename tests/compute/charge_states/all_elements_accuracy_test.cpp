// The accurate evaluation against the prescribed one for every built-in
// element, each with as many ionisations as its data allow: the probability
// at every sweep point, the over-barrier fields and the equal-abundance
// fields. The prescribed side costs about a quarter of an hour on two
// cores, so these run on demand (ctest -L long), not with every build.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"
#include "model/accurate_model.hpp"
#include "model/fast_model.hpp"

using namespace veltrane;

namespace {

constexpr unsigned threads = 0;  // all cores

std::string scientific(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2e", x);
  return text;
}

calc_request built_in_request(const element_data& e) {
  const checked_request c = check_request({e.name, std::to_string(largest_n(e)), {}, {}});
  EXPECT_TRUE(c.request.has_value()) << e.name << ": " << c.message;
  return c.request.value_or(calc_request{});
}

std::vector<double> evaluate(const std::vector<model_call>& calls, const model_function& f) {
  auto r = evaluate_calls(calls, f, threads);
  EXPECT_TRUE(r.has_value());
  return r.value_or(std::vector<double>(calls.size(), 0.0));
}

// Both searched to a millionth of a V/nm: the prescribed side's root itself,
// not the thousandth that `--exact` bisects to.
charge_states states_of(const calc_request& request, evaluation e) {
  charge_states states(request, model_for(e).function, threads);
  states.set_ratio_tolerance(1e-6);
  return states;
}

}  // namespace

TEST(AllElements, EverySweepPointAgreesWithThePrescribedEvaluation) {
  double worst_q = 0.0, worst_complement = 0.0;
  int numbers = 0, nans = 0;
  for (const element_data& e : element_data_table()) {
    const sweep_plan plan = plan_sweeps(built_in_request(e));
    const auto accurate = evaluate(plan.calls, accurate_veltrane);
    const auto prescribed = evaluate(plan.calls, fast_veltrane);
    for (std::size_t i = 0; i < plan.calls.size(); ++i) {
      const double a = accurate[i], p = prescribed[i];
      if (std::isnan(p)) {
        ++nans;
        EXPECT_TRUE(std::isnan(a))
            << e.name << " step " << plan.calls[i].n << " F " << plan.calls[i].E << ": " << a;
        continue;
      }
      ++numbers;
      ASSERT_FALSE(std::isnan(a)) << e.name << " F " << plan.calls[i].E;
      const double dq = std::fabs(a - p);
      worst_q = std::max(worst_q, dq / p);
      worst_complement = std::max(worst_complement, dq / std::max(1.0 - p, 1e-300));
      EXPECT_LE(dq, 1e-5 * p) << e.name << " step " << plan.calls[i].n << " F " << plan.calls[i].E;
      EXPECT_LE(dq, 1e-5 * (1.0 - p) + 4e-16)
          << e.name << " step " << plan.calls[i].n << " F " << plan.calls[i].E;
    }
  }
  EXPECT_EQ(element_data_table().size(), 44u);
  RecordProperty("finite_points", numbers);
  RecordProperty("nan_points", nans);
  RecordProperty("max_relative_dQ", scientific(worst_q));
  RecordProperty("max_relative_d(1-Q)", scientific(worst_complement));
}

TEST(AllElements, OverBarrierAndEqualAbundanceFieldsAgreeWithThePrescribedEvaluation) {
  double worst_barrier = 0.0, worst_equal = 0.0;
  for (const element_data& e : element_data_table()) {
    const calc_request request = built_in_request(e);
    charge_states accurate = states_of(request, evaluation::accurate);
    charge_states exact = states_of(request, evaluation::exact);
    const auto a = accurate.over_barrier_fields();
    const auto x = exact.over_barrier_fields();
    ASSERT_EQ(a.size(), x.size());
    for (std::size_t j = 0; j < a.size(); ++j) {
      EXPECT_EQ(a[j].found, x[j].found) << e.name << " step " << j + 1;
      EXPECT_EQ(a[j].everywhere, x[j].everywhere) << e.name << " step " << j + 1;
      if (!a[j].found || !x[j].found) continue;
      const double d = std::fabs(a[j].at_v_per_nm() - x[j].at_v_per_nm());
      worst_barrier = std::max(worst_barrier, d);
      EXPECT_LE(d, 1e-6) << e.name << " E_ob of step " << j + 1;
    }
    for (int k = 1; k <= request.n; ++k) {
      const auto fa = equal_abundance(accurate, k).field();
      const auto fx = equal_abundance(exact, k).field();
      ASSERT_EQ(fa.has_value(), fx.has_value()) << e.name << " pair " << k;
      if (!fa) continue;
      const double d = std::fabs(*fa - *fx);
      worst_equal = std::max(worst_equal, d);
      EXPECT_LE(d, 1e-5) << e.name << " equal abundance of " << k + 1 << "+/" << k << "+";
    }
  }
  RecordProperty("max_dE_ob_V_per_nm", scientific(worst_barrier));
  RecordProperty("max_dE_equal_V_per_nm", scientific(worst_equal));
}
