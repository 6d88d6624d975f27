#include "compute/charge_states/fraction_curves.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/curves/sweep.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Lagrange's cubic through (x[i], y[i]), i = 0..3, at x0.
double cubic(const double* x, const double* y, double x0) {
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) {
    double w = 1.0;
    for (int k = 0; k < 4; ++k) {
      if (k != i) w *= (x0 - x[k]) / (x[i] - x[k]);
    }
    sum += w * y[i];
  }
  return sum;
}

}  // namespace

fraction_curves::fraction_curves(charge_states& states, double from_v_per_nm, double to_v_per_nm,
                                 double step_v_per_nm) {
  const auto& barriers = states.over_barrier_fields();
  double highest = 0.0;
  for (const auto& ob : barriers) highest = std::max(highest, ob.at_v_per_nm());
  from_ = from_v_per_nm;
  to_ = std::min(to_v_per_nm, highest);
  if (!(to_ > from_)) to_ = from_;
  const auto points = static_cast<std::size_t>(std::ceil((to_ - from_) / step_v_per_nm)) + 1;
  std::vector<double> F;
  F.reserve(points + barriers.size());
  for (std::size_t i = 0; i < points; ++i) {
    F.push_back((from_ + static_cast<double>(i) * step_v_per_nm) / vnm_per_au);
  }
  // The last field below each edge where the step still has a value, so
  // that the table reaches the edge itself.
  const std::size_t grid = F.size();
  for (const auto& ob : barriers) {
    if (ob.found && !ob.everywhere) F.push_back(ob.below);
  }
  const auto Qt = states.certain_above_barrier(F);
  steps_.resize(barriers.size());
  std::size_t extra = grid;
  for (std::size_t j = 0; j < barriers.size(); ++j) {
    step& s = steps_[j];
    s.edge = barriers[j].at_v_per_nm();
    for (std::size_t i = 0; i < grid; ++i) {
      const double E = F[i] * vnm_per_au;
      if (!(E < s.edge)) break;
      if (!std::isnan(Qt[j][i])) {
        s.E.push_back(E);
        s.g.push_back(-std::log(Qt[j][i]));
      }
    }
    if (barriers[j].found && !barriers[j].everywhere) {
      const double E = F[extra] * vnm_per_au;
      const double Q = Qt[j][extra];
      ++extra;
      if ((s.E.empty() || E > s.E.back()) && E < s.edge && !std::isnan(Q)) {
        s.E.push_back(E);
        s.g.push_back(-std::log(Q));
      }
    }
  }
}

double fraction_curves::g_at(const step& s, double E) const {
  const std::size_t size = s.E.size();
  if (size == 0) return inf;
  if (size == 1) return s.g[0];
  // The table interval [E_k, E_(k+1)] holding E, and the four points around
  // it, shifted inwards at the table's ends.
  const auto above = std::upper_bound(s.E.begin(), s.E.end(), E);
  std::size_t k = above == s.E.begin() ? 0 : static_cast<std::size_t>(above - s.E.begin()) - 1;
  k = std::min(k, size - 2);
  const double t = (E - s.E[k]) / (s.E[k + 1] - s.E[k]);
  if (size < 4) return s.g[k] + t * (s.g[k + 1] - s.g[k]);
  const std::size_t first = std::min(k == 0 ? 0 : k - 1, size - 4);
  double y[4];
  for (std::size_t i = 0; i < 4; ++i) {
    const double g = s.g[first + i];
    if (!(g > 0.0) || !std::isfinite(g)) return s.g[k] + t * (s.g[k + 1] - s.g[k]);
    y[i] = std::log(g);
  }
  return std::exp(cubic(&s.E[first], y, E));
}

double fraction_curves::step_probability(int j, double E) const {
  const step& s = steps_[static_cast<std::size_t>(j) - 1];
  if (!(E < s.edge)) return 0.0;
  return std::exp(-g_at(s, std::clamp(E, from_, std::max(from_, to_))));
}

void fraction_curves::fractions_at(double E, std::span<double> f) const {
  double survived = 1.0;  // prod_{i<k} (1 - Q~_i)
  const double at = std::clamp(E, from_, std::max(from_, to_));
  for (std::size_t k = 0; k < steps_.size(); ++k) {
    const step& s = steps_[k];
    double Q = 0.0, not_Q = 1.0;
    if (E < s.edge) {
      const double g = g_at(s, at);
      Q = std::exp(-g);
      not_Q = -std::expm1(-g);
    }
    f[k] = Q * survived;
    survived = survived * not_Q;
  }
  f[steps_.size()] = survived;
}

}  // namespace veltrane
