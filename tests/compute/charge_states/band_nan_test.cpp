// Whether the prescribed rate is a number in the narrow band (the flight
// points where only the adaptive integrator's own samples decide), as the
// accurate evaluation now decides it, by a replica of the integration that
// stops once the outcome is certain, against the prescribed rate integrated
// in full: on dense field grids around every over-barrier field of every
// built-in element (as many ionisations as its data allow), where band
// points crowd. Each band point costs a millisecond or so of the prescribed
// rate, so this runs on demand (ctest -L long; a few minutes).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"
#include "model/accurate_model.hpp"
#include "model/fast_model.hpp"
#include "model/model.hpp"
#include "model/replica_rate.hpp"

using namespace veltrane;

namespace {

calc_request built_in_request(const element_data& e) {
  const checked_request c = check_request({e.name, std::to_string(largest_n(e)), {}, {}});
  EXPECT_TRUE(c.request.has_value()) << e.name << ": " << c.message;
  return c.request.value_or(calc_request{});
}

std::uint64_t bits(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

struct tally {
  std::atomic<long> calls{0};
  std::atomic<long> band_points{0};
  std::atomic<long> band_nans{0};
  std::atomic<long> nan_calls{0};
};

// At one model call: every band point's NaN-ness (and, at the grid points
// whose rate enters the flight sum, the rate's bits) against the prescribed
// rate, and Q's NaN-ness against the one those rates give. Returns the
// number of disagreements.
double check_call(const model_call& c, tally& t) {
  ++t.calls;
  double g[50];
  flight_grid(c.E, c.B, c.phi, c.m, c.n, g);
  bool any_nan = false;
  double wrong = 0.0;
  for (int i = 1; i <= 49; ++i) {
    for (const bool is_grid : {true, false}) {
      const double s = is_grid ? g[i] : (g[i - 1] + g[i]) * 0.5;
      const flight_point p = make_flight_point(1.0 / s, c.E, c.B, c.m, c.n);
      const rate_kind kind = classify_rate(p);
      if (kind == rate_kind::not_a_number) any_nan = true;
      if (kind != rate_kind::narrow_band) continue;
      ++t.band_points;
      const double prescribed = fast_R(p.z, c.E, c.B, c.phi, c.m, c.n);
      if (std::isnan(prescribed)) {
        ++t.band_nans;
        any_nan = true;
      }
      if (replica_R_is_nan(p.z, c.E, c.B, c.phi, c.m, c.n) != std::isnan(prescribed)) {
        ADD_FAILURE() << "NaN-ness at z " << p.z << " E " << c.E << " B " << c.B;
        wrong += 1.0;
      }
      if (is_grid && bits(replica_R(p.z, c.E, c.B, c.phi, c.m, c.n)) != bits(prescribed) &&
          !std::isnan(prescribed)) {
        ADD_FAILURE() << "rate at z " << p.z << " E " << c.E << " B " << c.B;
        wrong += 1.0;
      }
    }
  }
  const double Q = accurate_veltrane(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u);
  if (std::isnan(Q)) ++t.nan_calls;
  // The over-barrier searches ask the NaN test alone: it must say what Q says.
  if (accurate_veltrane_is_nan(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u) != std::isnan(Q)) {
    ADD_FAILURE() << "NaN test at E " << c.E << " B " << c.B;
    wrong += 1.0;
  }
  // Where the speeds fail the prescribed evaluation answers for both.
  if (std::isnan(Q) != any_nan &&
      std::isnan(Q) != std::isnan(fast_veltrane(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u))) {
    ADD_FAILURE() << "Q's NaN-ness at E " << c.E << " B " << c.B;
    wrong += 1.0;
  }
  return wrong;
}

}  // namespace

TEST(NarrowBand, SameNanNessAroundEveryOverBarrierField) {
  // Every 0.002 V/nm within 0.1 V/nm of each step's over-barrier field, and
  // every 0.02 V/nm within 1 V/nm.
  tally t;
  int edges = 0;
  for (const element_data& e : element_data_table()) {
    const calc_request request = built_in_request(e);
    charge_states states(request, model_for(evaluation::accurate).function);
    std::vector<model_call> calls;
    for (int j = 1; j <= request.n; ++j) {
      const over_barrier& ob = states.over_barrier_field(j);
      if (!ob.found) continue;
      ++edges;
      const double at = ob.at_v_per_nm();
      for (int k = -50; k <= 50; ++k) {
        calls.push_back(step_model_call(request, j, (at + 0.002 * k) / vnm_per_au));
        calls.push_back(step_model_call(request, j, (at + 0.02 * k) / vnm_per_au));
      }
    }
    const auto wrong = evaluate_calls(
        calls, [&t](double E, double B, double phi, int m, int n, double m_ion, double u) {
          return check_call({E, B, phi, m, n, m_ion, u}, t);
        });
    ASSERT_TRUE(wrong.has_value());
    double total = 0.0;
    for (double w : *wrong) total += w;
    EXPECT_EQ(total, 0.0) << e.name;
  }
  EXPECT_GE(edges, 100);
  EXPECT_GT(t.band_points.load(), 10000);
  EXPECT_GT(t.band_nans.load(), 2000);
  RecordProperty("model_calls", static_cast<int>(t.calls.load()));
  RecordProperty("nan_calls", static_cast<int>(t.nan_calls.load()));
  RecordProperty("band_points", static_cast<int>(t.band_points.load()));
  RecordProperty("band_points_nan", static_cast<int>(t.band_nans.load()));
}
