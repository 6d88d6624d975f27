#include "compute/datasets/joint_fit.hpp"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// A log-likelihood this close to the top is the top: the counts cannot tell
// such fields apart.
constexpr double plateau = 1e-6;

// Brent's minimisation of -l on [a, b] around x (l(x) above l at both
// ends): golden sections, with parabolic steps where the last three points
// allow one. Infinite values (a field where a counted range can have no
// ions) only ever take golden steps.
template <class F>
double brent_maximum(F&& l, double a, double b, double x, double fx_l, double tolerance) {
  const double golden = 0.3819660112501051;
  double w = x, v = x;
  double fx = -fx_l, fw = fx, fv = fx;
  double d = 0.0, e = 0.0;
  for (int iteration = 0; iteration < 200; ++iteration) {
    const double m = 0.5 * (a + b);
    const double tol1 = tolerance / 3.0 + 1e-12 * std::abs(x);
    const double tol2 = 2.0 * tol1;
    if (std::abs(x - m) <= tol2 - 0.5 * (b - a)) break;
    bool golden_step = true;
    if (std::abs(e) > tol1 && std::isfinite(fx) && std::isfinite(fw) && std::isfinite(fv)) {
      double r = (x - w) * (fx - fv);
      double q = (x - v) * (fx - fw);
      double p = (x - v) * q - (x - w) * r;
      q = 2.0 * (q - r);
      if (q > 0.0) p = -p;
      q = std::abs(q);
      const double e_before = e;
      if (std::abs(p) < std::abs(0.5 * q * e_before) && p > q * (a - x) && p < q * (b - x)) {
        e = d;
        d = p / q;
        const double u = x + d;
        if (u - a < tol2 || b - u < tol2) d = x < m ? tol1 : -tol1;
        golden_step = false;
      }
    }
    if (golden_step) {
      e = (x < m ? b : a) - x;
      d = golden * e;
    }
    const double u = std::abs(d) >= tol1 ? x + d : x + (d > 0.0 ? tol1 : -tol1);
    const double fu = -l(u);
    if (fu <= fx) {
      (u < x ? b : a) = x;
      v = w;
      fv = fw;
      w = x;
      fw = fx;
      x = u;
      fx = fu;
    } else {
      (u < x ? a : b) = u;
      if (fu <= fw || w == x) {
        v = w;
        fv = fw;
        w = u;
        fw = fu;
      } else if (fu <= fv || v == x || v == w) {
        v = u;
        fv = fu;
      }
    }
  }
  return x;
}

// The field between `inside` (l above the cut) and `outside` (l at or below
// it) where l crosses the cut, to the tolerance: regula falsi with the
// Illinois correction while both values are finite, bisection otherwise.
template <class F>
double crossing(F&& l, double cut, double inside, double l_inside, double outside, double l_outside,
                double tolerance) {
  double gi = l_inside - cut, go = l_outside - cut;
  int side = 0;
  for (int iteration = 0; iteration < 200 && std::abs(outside - inside) > tolerance; ++iteration) {
    double x = 0.5 * (inside + outside);
    if (std::isfinite(gi) && std::isfinite(go) && gi != go) {
      x = inside + (outside - inside) * gi / (gi - go);
      // Keep the point away from the ends so that the bracket shrinks.
      const double span = outside - inside;
      const double t = std::clamp((x - inside) / span, 0.01, 0.99);
      x = inside + t * span;
    }
    const double gx = l(x) - cut;
    if (gx > 0.0) {
      inside = x;
      gi = gx;
      if (side == 1) go /= 2.0;
      side = 1;
    } else {
      outside = x;
      go = gx;
      if (side == -1) gi /= 2.0;
      side = -1;
    }
  }
  return 0.5 * (inside + outside);
}

}  // namespace

field_profile_likelihood::field_profile_likelihood(const joint_problem& problem,
                                                   const fit_counts& counts, std::vector<bool> tied)
    : problem_(&problem), counts_(&counts), tied_(std::move(tied)) {
  for (std::size_t e = 0; e < problem.curves.size(); ++e) {
    if (tied_[e]) tied_elements_.push_back(static_cast<int>(e));
  }
  for (std::size_t s = 0; s < problem.species.size(); ++s) {
    const fit_species& sp = problem.species[s];
    const bool modelled =
        sp.element >= 0 && tied_[static_cast<std::size_t>(sp.element)] && sp.charge >= 1 &&
        sp.charge <= problem.curves[static_cast<std::size_t>(sp.element)]->n() + 1;
    if (!modelled) free_columns_.push_back(s);
  }
  std::size_t most = 1;
  for (const fraction_curves* c : problem.curves) {
    most = std::max(most, static_cast<std::size_t>(c->n()) + 1);
  }
  f_.resize(most);
}

share_matrix field_profile_likelihood::columns_at(double E) const {
  const share_matrix& a = problem_->shares;
  share_matrix out(a.ranges(), tied_elements_.size() + free_columns_.size());
  std::vector<double>& f = f_;
  for (std::size_t t = 0; t < tied_elements_.size(); ++t) {
    const auto e = static_cast<std::size_t>(tied_elements_[t]);
    const fraction_curves& curves = *problem_->curves[e];
    curves.fractions_at(E, std::span<double>(f.data(), static_cast<std::size_t>(curves.n()) + 1));
    for (std::size_t s = 0; s < problem_->species.size(); ++s) {
      const fit_species& sp = problem_->species[s];
      if (sp.element != static_cast<int>(e) || sp.charge < 1 || sp.charge > curves.n() + 1) {
        continue;
      }
      const double share = f[static_cast<std::size_t>(sp.charge) - 1];
      if (share == 0.0) continue;
      for (std::size_t r = 0; r < a.ranges(); ++r) out(r, t) += share * a(r, s);
    }
  }
  for (std::size_t i = 0; i < free_columns_.size(); ++i) {
    for (std::size_t r = 0; r < a.ranges(); ++r) {
      out(r, tied_elements_.size() + i) = a(r, free_columns_[i]);
    }
  }
  return out;
}

double field_profile_likelihood::operator()(double E) {
  const share_matrix columns = columns_at(E);
  const amounts_fit fit = fit_amounts(columns, counts_->counts, counts_->background, warm_);
  if (std::isfinite(fit.log_likelihood)) warm_ = fit.amounts;
  return fit.log_likelihood;
}

void field_profile_likelihood::amounts_into(const amounts_fit& fit, likelihood_field& out) const {
  out.element_amounts.assign(problem_->curves.size(), 0.0);
  out.species_amounts.assign(problem_->species.size(), 0.0);
  for (std::size_t t = 0; t < tied_elements_.size(); ++t) {
    out.element_amounts[static_cast<std::size_t>(tied_elements_[t])] = fit.amounts[t];
  }
  for (std::size_t i = 0; i < free_columns_.size(); ++i) {
    out.species_amounts[free_columns_[i]] = fit.amounts[tied_elements_.size() + i];
  }
  out.means = fit.means;
  out.log_likelihood = fit.log_likelihood;
}

likelihood_field field_profile_likelihood::at(double E) {
  const share_matrix columns = columns_at(E);
  const amounts_fit fit = fit_amounts(columns, counts_->counts, counts_->background, warm_);
  likelihood_field out;
  out.E = E;
  out.top = E;
  out.found = std::isfinite(fit.log_likelihood);
  amounts_into(fit, out);
  return out;
}

double field_profile_likelihood::free_log_likelihood() const {
  return fit_amounts(problem_->shares, counts_->counts, counts_->background).log_likelihood;
}

likelihood_field maximise_field(field_profile_likelihood& profile, const field_search& search) {
  const double lo = search.from, hi = search.to;
  auto l = [&profile](double E) { return profile(E); };
  // A bracket [a, b] around the best field seen, x.
  double x = nan, lx = -inf, a = lo, b = hi;
  if (std::isnan(search.start)) {
    const auto steps = static_cast<std::size_t>(std::ceil((hi - lo) / search.coarse_step));
    std::vector<double> grid, value;
    for (std::size_t i = 0; i <= steps; ++i) {
      grid.push_back(std::min(hi, lo + static_cast<double>(i) * search.coarse_step));
      value.push_back(l(grid.back()));
    }
    const auto best =
        static_cast<std::size_t>(std::max_element(value.begin(), value.end()) - value.begin());
    x = grid[best];
    lx = value[best];
    a = grid[best == 0 ? 0 : best - 1];
    b = grid[std::min(best + 1, grid.size() - 1)];
  } else {
    // Step out from the start, in growing steps, until the likelihood falls
    // on both sides.
    x = std::clamp(search.start, lo, hi);
    lx = l(x);
    double step = search.coarse_step;
    a = std::max(lo, x - step);
    double la = l(a);
    b = std::min(hi, x + step);
    double lb = l(b);
    for (int i = 0; i < 60 && (la > lx || lb > lx || !std::isfinite(lx)); ++i) {
      if (la > lx && la >= lb) {
        b = x;
        lb = lx;
        x = a;
        lx = la;
        step *= 2.0;
        a = std::max(lo, x - step);
        la = a < x ? l(a) : -inf;
      } else if (lb > lx) {
        a = x;
        la = lx;
        x = b;
        lx = lb;
        step *= 2.0;
        b = std::min(hi, x + step);
        lb = b > x ? l(b) : -inf;
      } else {
        // Nowhere finite near the start: scan as without one.
        field_search whole = search;
        whole.start = nan;
        return maximise_field(profile, whole);
      }
    }
  }
  likelihood_field out;
  if (!std::isfinite(lx)) {
    out.found = false;
    out.E = nan;
    out.top = nan;
    out.low = nan;
    out.high = nan;
    return out;
  }
  if (b > a) x = brent_maximum(l, a, b, x, lx, search.tolerance);
  out = profile.at(x);
  const double top = out.log_likelihood;
  const double cut = top - gsl_cdf_chisq_Pinv(search.confidence, 1.0) / 2.0;

  // Each end: out from the top in doubling steps until the likelihood falls
  // below the cut, then its crossing.
  auto end = [&](double direction, double limit) {
    double step = std::max(10.0 * search.tolerance, 0.01);
    double inside = x, l_inside = top;
    for (;;) {
      double next = x + direction * step;
      if (direction < 0.0 ? next <= limit : next >= limit) next = limit;
      const double l_next = l(next);
      if (!(l_next > cut)) {
        return crossing(l, cut, inside, l_inside, next, l_next, search.tolerance);
      }
      if (next == limit) return direction * inf;
      inside = next;
      l_inside = l_next;
      step *= 2.0;
    }
  };
  out.low = x > lo ? end(-1.0, lo) : -inf;
  out.high = x < hi ? end(1.0, hi) : inf;
  out.E = x;
  out.top = x;
  // A top that reaches an end of the fields searched is a plateau (the
  // counts say only that the field lies below, or above, some value): no
  // field is named, only the interval's one end.
  if ((out.low == -inf && !(l(lo) < top - plateau)) ||
      (out.high == inf && !(l(hi) < top - plateau))) {
    out.E = nan;
  }
  return out;
}

agreement_test likelihood_ratio_test(double free_log_likelihood, double tied_log_likelihood,
                                     int dof) {
  agreement_test t;
  t.dof = dof;
  t.G2 = std::max(0.0, 2.0 * (free_log_likelihood - tied_log_likelihood));
  if (!std::isfinite(tied_log_likelihood)) t.G2 = inf;
  t.p_value = dof >= 1 ? gsl_cdf_chisq_Q(t.G2, static_cast<double>(dof)) : nan;
  return t;
}

}  // namespace veltrane
