// The accurate evaluation against the prescribed one (through its fast
// bit-exact twin) on the compute layer's own sweeps: every step of six
// built-in elements, for one ionisation and for as many as the element has
// data for; random fields within the sweeps; and the over-barrier fields,
// where Q stops being a number. And on the same sweeps against a tight
// reference: direction integrals by adaptive integration to 1e-13 and the
// flight sum in long double.
#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"
#include "model/accurate_model.hpp"
#include "model/constants.hpp"
#include "model/fast_model.hpp"
#include "model/model.hpp"

using namespace veltrane;

namespace {

// A number as "1.2e-13", for the recorded test properties.
std::string scientific(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2e", x);
  return text;
}

constexpr unsigned threads = 2;

struct element_case {
  const char* name;
  int most_ionisations;  // Beryllium has no fifth ionisation energy
};

const element_case elements[] = {{"Tungsten", 4},   {"Iron", 4}, {"Aluminium", 4},
                                 {"Molybdenum", 4}, {"Gold", 4}, {"Beryllium", 3}};

calc_request built_in_request(const char* element, int n) {
  const checked_request c = check_request({element, std::to_string(n), {}, {}});
  EXPECT_TRUE(c.request.has_value()) << element << ": " << c.message;
  return c.request.value_or(calc_request{});
}

double call(const model_function& f, const model_call& c) {
  return f(c.E, c.B, c.phi, c.m, c.n, c.m_ion, c.u);
}

// Compares the two evaluations call by call: NaN-ness identical, Q within
// 1e-5 relative and 1 - Q within 1e-5 relative (up to the rounding of Q).
struct tally {
  int numbers = 0;
  int nans = 0;
  double worst_q = 0.0;
  double worst_complement = 0.0;

  void compare(const std::vector<model_call>& calls, const std::vector<double>& accurate,
               const std::vector<double>& prescribed, const std::string& what) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const double a = accurate[i];
      const double p = prescribed[i];
      if (std::isnan(p)) {
        ++nans;
        EXPECT_TRUE(std::isnan(a)) << what << " call " << i << " F " << calls[i].E << ": " << a;
        continue;
      }
      ++numbers;
      ASSERT_FALSE(std::isnan(a)) << what << " call " << i << " F " << calls[i].E;
      const double dq = std::fabs(a - p);
      worst_q = std::max(worst_q, dq / p);
      worst_complement = std::max(worst_complement, dq / std::max(1.0 - p, 1e-300));
      EXPECT_LE(dq, 1e-5 * p) << what << " call " << i << " F " << calls[i].E;
      EXPECT_LE(dq, 1e-5 * (1.0 - p) + 4e-16) << what << " call " << i << " F " << calls[i].E;
    }
  }
};

std::vector<double> evaluate(const std::vector<model_call>& calls, const model_function& f) {
  auto r = evaluate_calls(calls, f, threads);
  EXPECT_TRUE(r.has_value());
  return r.value_or(std::vector<double>(calls.size(), 0.0));
}

}  // namespace

TEST(AccurateSweeps, EveryStepOfSixElementsAgreesWithThePrescribedEvaluation) {
  tally t;
  int steps = 0;
  for (const element_case& e : elements) {
    for (int n : {1, e.most_ionisations}) {
      const sweep_plan plan = plan_sweeps(built_in_request(e.name, n));
      steps += static_cast<int>(plan.curves.steps.size());
      const std::vector<double> accurate = evaluate(plan.calls, accurate_veltrane);
      const std::vector<double> prescribed = evaluate(plan.calls, fast_veltrane);
      t.compare(plan.calls, accurate, prescribed, std::string(e.name) + " n " + std::to_string(n));
    }
  }
  EXPECT_EQ(steps, 6 * 1 + 5 * 4 + 3);
  EXPECT_GT(t.numbers, 500);
  EXPECT_GT(t.nans, 100);
  RecordProperty("finite_points", t.numbers);
  RecordProperty("max_relative_dQ", scientific(t.worst_q));
  RecordProperty("max_relative_d(1-Q)", scientific(t.worst_complement));
}

namespace {

double transmission_of(double u, void* p) {
  return accurate_transmission(u, *static_cast<const flight_point*>(p));
}

// log Q with J by adaptive integration to 1e-13 (a break point at the kink),
// the band's rates from the prescribed rate, the flight sum in long double;
// false where a flight point's rate is NaN.
bool reference_log_q(const model_call& c, gsl_integration_workspace* w, long double& L) {
  double g[50];
  flight_grid(c.E, c.B, c.phi, c.m, c.n, g);
  long double t[50] = {};
  for (int i = 1; i <= 49; ++i) {
    const double s = g[i];
    flight_point p = make_flight_point(1.0 / s, c.E, c.B, c.m, c.n);
    long double R = 0.0L;
    switch (classify_rate(p)) {
      case rate_kind::not_a_number:
        return false;
      case rate_kind::narrow_band:
        R = fast_R(1.0 / s, c.E, c.B, c.phi, c.m, c.n);
        break;
      case rate_kind::number: {
        gsl_function f{&transmission_of, &p};
        double points[3] = {0.0, 1.0, 1.0};
        std::size_t count = 2;
        if (p.edge_is_outer && p.u_edge > 0.0 && p.u_edge < 1.0) {
          points[1] = p.u_edge;
          count = 3;
        }
        double J = 0.0;
        double err = 0.0;
        gsl_integration_qagp(&f, points, count, 0.0, 1e-13, 1000, w, &J, &err);
        R = (2.0L * c.B / c.m) * (J / 6.0L);
        break;
      }
    }
    t[i] = R / detail::ion_speed(s, c.E, c.n, c.m_ion, c.u) / (static_cast<long double>(s) * s);
  }
  L = 0.0L;
  for (int i = 1; i <= 48; ++i) {
    L -= (static_cast<long double>(g[i]) - g[i - 1]) / 6.0L * (t[49] + t[i]);
  }
  return true;
}

}  // namespace

TEST(AccurateSweeps, EveryStepOfSixElementsAgreesWithATightReference) {
  gsl_set_error_handler_off();
  gsl_integration_workspace* w = gsl_integration_workspace_alloc(1000);
  ASSERT_NE(w, nullptr);
  int numbers = 0;
  double worst_q = 0.0;
  double worst_complement = 0.0;
  for (const element_case& e : elements) {
    for (int n : {1, e.most_ionisations}) {
      const sweep_plan plan = plan_sweeps(built_in_request(e.name, n));
      for (const model_call& c : plan.calls) {
        const double Q = call(accurate_veltrane, c);
        if (std::isnan(Q)) continue;
        long double L = 0.0L;
        ASSERT_TRUE(reference_log_q(c, w, L)) << e.name << " F " << c.E;
        ++numbers;
        const double ref_q = static_cast<double>(std::exp(L));
        const double ref_c = static_cast<double>(-std::expm1(L));
        const double C = call(accurate_veltrane_complement, c);
        worst_q = std::max(worst_q, std::fabs(Q - ref_q) / ref_q);
        if (ref_c > 0.0)
          worst_complement = std::max(worst_complement, std::fabs(C - ref_c) / ref_c);
        EXPECT_LT(std::fabs(Q - ref_q), 1e-12 * ref_q) << e.name << " step " << c.n << " F " << c.E;
        EXPECT_LE(std::fabs(C - ref_c), 1e-12 * ref_c + 1e-300)
            << e.name << " step " << c.n << " F " << c.E;
      }
    }
  }
  gsl_integration_workspace_free(w);
  EXPECT_GT(numbers, 500);
  RecordProperty("max_relative_dQ", scientific(worst_q));
  RecordProperty("max_relative_d(1-Q)", scientific(worst_complement));
}

TEST(AccurateSweeps, RandomFieldsWithinTheSweeps) {
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<model_call> calls;
  for (const element_case& e : elements) {
    const calc_request r = built_in_request(e.name, e.most_ionisations);
    for (int k = 0; k < 24; ++k) {
      const int j = 1 + k % e.most_ionisations;
      const step_range range = sweep_range(r, j);
      // A little beyond both ends, where the sweeps' NaN edges lie.
      const double F = range.start + (range.end - range.start) * (1.1 * unit(rng) - 0.05);
      calls.push_back(step_model_call(r, j, F));
    }
  }
  tally t;
  t.compare(calls, evaluate(calls, accurate_veltrane), evaluate(calls, fast_veltrane), "random");
  EXPECT_GT(t.numbers, 40);
  EXPECT_GT(t.nans, 10);
}

TEST(AccurateSweeps, OverBarrierFieldsAgreeToAMicrovoltPerNanometre) {
  // Where a step's sweep passes from numbers to NaN, the accurate edge is
  // found by bisection; the prescribed evaluation must be a number 1e-6 V/nm
  // below it and NaN 1e-6 V/nm above it.
  const double delta = 1e-6 / vnm_per_au;
  int edges = 0;
  for (const char* name : {"Tungsten", "Iron", "Gold"}) {
    const calc_request r = built_in_request(name, 4);
    const sweep_plan plan = plan_sweeps(r);
    for (const step_curve& curve : plan.curves.steps) {
      const auto& pts = curve.points;
      for (std::size_t i = 1; i < pts.size(); ++i) {
        const auto q = [&](double F) {
          return call(accurate_veltrane, step_model_call(r, curve.j, F));
        };
        if (std::isnan(q(pts[i - 1].F)) || !std::isnan(q(pts[i].F))) continue;
        double lo = pts[i - 1].F;
        double hi = pts[i].F;
        while (hi - lo > 0.1 * delta) {
          const double mid = 0.5 * (lo + hi);
          (std::isnan(q(mid)) ? hi : lo) = mid;
        }
        ++edges;
        const double below = call(fast_veltrane, step_model_call(r, curve.j, lo - delta));
        const double above = call(fast_veltrane, step_model_call(r, curve.j, hi + delta));
        EXPECT_FALSE(std::isnan(below)) << name << " step " << curve.j << " F " << lo;
        EXPECT_TRUE(std::isnan(above)) << name << " step " << curve.j << " F " << hi;
        break;
      }
    }
  }
  EXPECT_GE(edges, 6);
}
