#include "compute/datasets/poisson_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace veltrane {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The scoring stops when the log-likelihood can rise by less than this
// (half the Newton decrement): far below any difference an interval or a
// test looks at (1.92 for 95 %).
constexpr double likelihood_tolerance = 1e-10;
constexpr int max_scoring_steps = 200;
// Steps of the expectation-maximisation that bring a first guess near the
// maximum before scoring takes over.
constexpr int em_steps = 4;
// A column whose part outside the span of the others is below this share of
// its length is taken as lying in that span.
constexpr double dependence_tolerance = 1e-9;

// Cholesky factor of the symmetric positive definite m x m matrix h (lower
// triangle used), in place; false when it is not positive definite.
bool cholesky(std::vector<double>& h, std::size_t m) {
  for (std::size_t j = 0; j < m; ++j) {
    double d = h[j * m + j];
    for (std::size_t k = 0; k < j; ++k) d -= h[j * m + k] * h[j * m + k];
    if (!(d > 0.0)) return false;
    d = std::sqrt(d);
    h[j * m + j] = d;
    for (std::size_t i = j + 1; i < m; ++i) {
      double v = h[i * m + j];
      for (std::size_t k = 0; k < j; ++k) v -= h[i * m + k] * h[j * m + k];
      h[i * m + j] = v / d;
    }
  }
  return true;
}

// Solves L L^T x = b with the factor of cholesky(), in place.
void cholesky_solve(const std::vector<double>& l, std::size_t m, std::vector<double>& b) {
  for (std::size_t i = 0; i < m; ++i) {
    double v = b[i];
    for (std::size_t k = 0; k < i; ++k) v -= l[i * m + k] * b[k];
    b[i] = v / l[i * m + i];
  }
  for (std::size_t i = m; i-- > 0;) {
    double v = b[i];
    for (std::size_t k = i + 1; k < m; ++k) v -= l[k * m + i] * b[k];
    b[i] = v / l[i * m + i];
  }
}

// The Fisher information sum_r a_rs a_rt / mu_r over the columns `cols`,
// m x m; ranges without a mean carry none.
std::vector<double> fisher_information(const share_matrix& a, std::span<const double> means,
                                       std::span<const std::size_t> cols,
                                       std::span<const double> counts = {}) {
  const std::size_t m = cols.size();
  std::vector<double> h(m * m, 0.0);
  for (std::size_t r = 0; r < a.ranges(); ++r) {
    if (!(means[r] > 0.0)) continue;
    // The expected information, or with counts the observed one
    // n_r / mu_r^2, the log-likelihood's own curvature.
    const double w = counts.empty() ? 1.0 / means[r] : counts[r] / (means[r] * means[r]);
    if (w == 0.0) continue;
    for (std::size_t i = 0; i < m; ++i) {
      const double ai = a(r, cols[i]);
      if (ai == 0.0) continue;
      for (std::size_t j = 0; j <= i; ++j) h[i * m + j] += w * ai * a(r, cols[j]);
    }
  }
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < i; ++j) h[j * m + i] = h[i * m + j];
  }
  return h;
}

// A first guess: each range's counts above its background shared among its
// species in proportion to their shares there, each species' part divided
// by its total share.
std::vector<double> proportional_guess(const share_matrix& a, std::span<const double> counts,
                                       std::span<const double> background) {
  const std::size_t S = a.species();
  std::vector<double> got(S, 0.0), total(S, 0.0);
  for (std::size_t r = 0; r < a.ranges(); ++r) {
    double row = 0.0;
    for (std::size_t s = 0; s < S; ++s) row += a(r, s);
    if (row == 0.0) continue;
    const double n = std::max(counts[r] - (background.empty() ? 0.0 : background[r]), 0.0);
    for (std::size_t s = 0; s < S; ++s) {
      got[s] += n * a(r, s) / row;
      total[s] += a(r, s);
    }
  }
  for (std::size_t s = 0; s < S; ++s) got[s] = total[s] > 0.0 ? got[s] / total[s] : 0.0;
  return got;
}

// One step of the expectation-maximisation of Poisson mixtures:
// A_s <- A_s sum_r a_rs n_r / mu_r / sum_r a_rs. It never lowers the
// likelihood and keeps every amount at or above 0.
void em_step(const share_matrix& a, std::span<const double> counts, std::vector<double>& A,
             const std::vector<double>& mu) {
  for (std::size_t s = 0; s < a.species(); ++s) {
    double up = 0.0, total = 0.0;
    for (std::size_t r = 0; r < a.ranges(); ++r) {
      const double w = a(r, s);
      if (w == 0.0) continue;
      total += w;
      if (counts[r] > 0.0) up += w * counts[r] / mu[r];
    }
    A[s] = total > 0.0 ? A[s] * up / total : 0.0;
  }
}

// The gradient of the log-likelihood: sum_r a_rs (n_r / mu_r - 1).
std::vector<double> gradient(const share_matrix& a, std::span<const double> counts,
                             const std::vector<double>& mu) {
  std::vector<double> g(a.species(), 0.0);
  for (std::size_t r = 0; r < a.ranges(); ++r) {
    const double q = counts[r] > 0.0 ? counts[r] / mu[r] - 1.0 : -1.0;
    for (std::size_t s = 0; s < a.species(); ++s) g[s] += a(r, s) * q;
  }
  return g;
}

}  // namespace

share_matrix share_matrix::columns(std::span<const std::size_t> which) const {
  share_matrix out(ranges_, which.size());
  for (std::size_t r = 0; r < ranges_; ++r) {
    for (std::size_t i = 0; i < which.size(); ++i) out(r, i) = (*this)(r, which[i]);
  }
  return out;
}

double poisson_log_likelihood(std::span<const double> counts, std::span<const double> means) {
  double sum = 0.0;
  for (std::size_t r = 0; r < counts.size(); ++r) {
    if (counts[r] > 0.0) {
      if (!(means[r] > 0.0)) return -infinity;
      sum += counts[r] * std::log(means[r]);
    }
    sum -= means[r];
  }
  return sum;
}

double poisson_deviance(std::span<const double> counts, std::span<const double> means) {
  double sum = 0.0;
  for (std::size_t r = 0; r < counts.size(); ++r) {
    const double n = counts[r], mu = means[r];
    if (n > 0.0) {
      if (!(mu > 0.0)) return infinity;
      sum += n * std::log(n / mu) - (n - mu);
    } else {
      sum += mu;
    }
  }
  return 2.0 * sum;
}

std::vector<double> poisson_means(const share_matrix& a, std::span<const double> amounts,
                                  std::span<const double> background) {
  std::vector<double> mu(a.ranges(), 0.0);
  for (std::size_t r = 0; r < a.ranges(); ++r) {
    double m = background.empty() ? 0.0 : background[r];
    for (std::size_t s = 0; s < a.species(); ++s) m += a(r, s) * amounts[s];
    mu[r] = m;
  }
  return mu;
}

amounts_fit fit_amounts(const share_matrix& a, std::span<const double> counts,
                        std::span<const double> background, std::span<const double> start) {
  const std::size_t S = a.species();
  amounts_fit fit;
  std::vector<double> A = start.size() == S ? std::vector<double>(start.begin(), start.end())
                                            : proportional_guess(a, counts, background);
  std::vector<double> mu = poisson_means(a, A, background);
  double ll = poisson_log_likelihood(counts, mu);
  if (start.size() != S || !std::isfinite(ll)) {
    if (start.size() == S) {
      // A warm start that leaves a counted range without a mean: begin anew.
      A = proportional_guess(a, counts, background);
      mu = poisson_means(a, A, background);
    }
    for (int i = 0; i < em_steps; ++i) {
      em_step(a, counts, A, mu);
      mu = poisson_means(a, A, background);
    }
    ll = poisson_log_likelihood(counts, mu);
  }

  for (int step = 0; step < max_scoring_steps; ++step) {
    fit.iterations = step + 1;
    const std::vector<double> g = gradient(a, counts, mu);
    // The species free to move: above 0, or at 0 with the likelihood
    // rising away from it.
    std::vector<std::size_t> free;
    for (std::size_t s = 0; s < S; ++s) {
      if (A[s] > 0.0 || g[s] > 0.0) free.push_back(s);
    }
    // The scoring direction over the free species; a species at 0 that it
    // would drive below 0 is held there and the direction solved again
    // without it (the others' step must not count on its moving).
    std::vector<double> d;
    bool solved = false;
    while (!free.empty()) {
      const std::size_t m = free.size();
      std::vector<double> h = fisher_information(a, mu, free, counts);
      // A trace-scaled ridge keeps columns the ranges cannot tell apart
      // from making the system singular; it changes the step, not the
      // maximum.
      double trace = 0.0;
      for (std::size_t i = 0; i < m; ++i) trace += h[i * m + i];
      const double ridge = 1e-12 * (trace > 0.0 ? trace / static_cast<double>(m) : 1.0);
      for (std::size_t i = 0; i < m; ++i) h[i * m + i] += ridge;
      d.assign(m, 0.0);
      for (std::size_t i = 0; i < m; ++i) d[i] = g[free[i]];
      if (!cholesky(h, m)) break;
      cholesky_solve(h, m, d);
      std::vector<std::size_t> kept;
      for (std::size_t i = 0; i < m; ++i) {
        if (!(A[free[i]] == 0.0 && d[i] < 0.0)) kept.push_back(free[i]);
      }
      if (kept.size() == m) {
        solved = true;
        break;
      }
      free.swap(kept);
    }
    if (free.empty()) {
      fit.converged = true;
      break;
    }
    double decrement = 0.0;
    if (solved) {
      for (std::size_t i = 0; i < free.size(); ++i) decrement += g[free[i]] * d[i];
      if (decrement / 2.0 < likelihood_tolerance) {
        fit.converged = true;
        break;
      }
    }
    // The scoring step, as far as the first amount it brings to 0 (which
    // then stays there until the likelihood draws it up again), shortened
    // until the likelihood rises. A full step that gains next to nothing is
    // the maximum; a shortened one is not, however little it gains.
    bool rose = false;
    if (solved) {
      double reach = 1.0;
      std::size_t stop = free.size();  // the amount that reaches 0 first
      for (std::size_t i = 0; i < free.size(); ++i) {
        if (d[i] < 0.0 && A[free[i]] < -reach * d[i]) {
          reach = A[free[i]] / -d[i];
          stop = i;
        }
      }
      std::vector<double> next = A;
      for (double t = reach; t > 1e-12 * reach; t /= 2.0) {
        for (std::size_t i = 0; i < free.size(); ++i) {
          next[free[i]] = std::max(0.0, A[free[i]] + t * d[i]);
        }
        if (t == reach && stop < free.size()) next[free[stop]] = 0.0;
        std::vector<double> next_mu = poisson_means(a, next, background);
        const double next_ll = poisson_log_likelihood(counts, next_mu);
        if (next_ll > ll) {
          const double gain = next_ll - ll;
          A.swap(next);
          mu.swap(next_mu);
          ll = next_ll;
          rose = true;
          if (t == 1.0 && gain < likelihood_tolerance) fit.converged = true;
          break;
        }
      }
    }
    if (!rose) {
      // No step along the scoring direction rises (or none could be
      // solved for): a step of the expectation-maximisation, which never
      // lowers the likelihood; when it gains next to nothing either, the
      // maximum to the precision of the arithmetic.
      std::vector<double> next = A;
      em_step(a, counts, next, mu);
      std::vector<double> next_mu = poisson_means(a, next, background);
      const double next_ll = poisson_log_likelihood(counts, next_mu);
      if (!(next_ll > ll + likelihood_tolerance)) {
        fit.converged = true;
        break;
      }
      A.swap(next);
      mu.swap(next_mu);
      ll = next_ll;
    }
    if (fit.converged) break;
  }
  fit.amounts = std::move(A);
  fit.means = std::move(mu);
  fit.log_likelihood = ll;
  return fit;
}

separability separability_of(const share_matrix& a) {
  const std::size_t R = a.ranges(), S = a.species();
  separability out;
  if (S == 0) return out;
  out.separable = std::vector<bool>(S, true);
  // Householder QR with column pivoting of the columns scaled to length 1:
  // the columns past the rank are combinations of the pivoted ones before.
  std::vector<double> q(R * S);
  std::vector<double> norm(S, 0.0);
  for (std::size_t s = 0; s < S; ++s) {
    double n2 = 0.0;
    for (std::size_t r = 0; r < R; ++r) n2 += a(r, s) * a(r, s);
    norm[s] = std::sqrt(n2);
    for (std::size_t r = 0; r < R; ++r) q[r * S + s] = norm[s] > 0.0 ? a(r, s) / norm[s] : 0.0;
  }
  std::vector<std::size_t> order(S);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::vector<double> left(S);  // squared length of each column below the rows done
  for (std::size_t s = 0; s < S; ++s) left[s] = norm[s] > 0.0 ? 1.0 : 0.0;
  const std::size_t steps = std::min(R, S);
  std::size_t rank = 0;
  for (std::size_t k = 0; k < steps; ++k) {
    std::size_t best = k;
    for (std::size_t j = k + 1; j < S; ++j) {
      if (left[order[j]] > left[order[best]]) best = j;
    }
    std::swap(order[k], order[best]);
    const std::size_t p = order[k];
    double n2 = 0.0;
    for (std::size_t r = k; r < R; ++r) n2 += q[r * S + p] * q[r * S + p];
    if (std::sqrt(n2) <= dependence_tolerance) break;
    const double alpha = q[k * S + p] > 0.0 ? -std::sqrt(n2) : std::sqrt(n2);
    std::vector<double> v(R - k);  // the Householder vector, x - alpha e_k
    for (std::size_t r = k; r < R; ++r) v[r - k] = q[r * S + p] - (r == k ? alpha : 0.0);
    double v2 = 0.0;
    for (double x : v) v2 += x * x;
    for (std::size_t j = k; j < S; ++j) {
      const std::size_t c = order[j];
      double dot = 0.0;
      for (std::size_t r = k; r < R; ++r) dot += v[r - k] * q[r * S + c];
      const double f = v2 > 0.0 ? 2.0 * dot / v2 : 0.0;
      for (std::size_t r = k; r < R; ++r) q[r * S + c] -= f * v[r - k];
    }
    for (std::size_t j = k + 1; j < S; ++j) {
      const std::size_t c = order[j];
      left[c] = 0.0;
      for (std::size_t r = k + 1; r < R; ++r) left[c] += q[r * S + c] * q[r * S + c];
    }
    rank = k + 1;
  }
  out.basis.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(rank));
  std::sort(out.basis.begin(), out.basis.end());

  // Each column past the rank is x_1 col_1 + ... of the basis columns: solve
  // the triangle R11 x = R12[:, d] and tie d to every basis column with a
  // share in it.
  std::vector<std::size_t> parent(S);
  std::iota(parent.begin(), parent.end(), std::size_t{0});
  auto root = [&](std::size_t s) {
    while (parent[s] != s) s = parent[s] = parent[parent[s]];
    return s;
  };
  for (std::size_t j = rank; j < S; ++j) {
    const std::size_t d = order[j];
    out.separable[d] = false;
    if (norm[d] == 0.0) continue;  // in no range: nothing to tie it to
    std::vector<double> x(rank);
    for (std::size_t i = rank; i-- > 0;) {
      double v = q[i * S + d];
      for (std::size_t k = i + 1; k < rank; ++k) v -= q[i * S + order[k]] * x[k];
      x[i] = v / q[i * S + order[i]];
    }
    for (std::size_t i = 0; i < rank; ++i) {
      if (std::abs(x[i]) > dependence_tolerance) {
        out.separable[order[i]] = false;
        parent[root(order[i])] = root(d);
      }
    }
  }
  std::vector<std::vector<std::size_t>> by_root(S);
  for (std::size_t s = 0; s < S; ++s) {
    if (!out.separable[s]) by_root[root(s)].push_back(s);
  }
  for (auto& g : by_root) {
    if (!g.empty()) out.groups.push_back(std::move(g));
  }
  std::sort(out.groups.begin(), out.groups.end());
  return out;
}

std::vector<double> amount_errors(const share_matrix& a, std::span<const double> means,
                                  std::span<const std::size_t> which) {
  std::vector<double> sigma(a.species(), std::numeric_limits<double>::quiet_NaN());
  // A species whose ranges all have no mean carries no information here
  // (its amount is pinned at 0 by ranges without ions): it is left out of
  // the inversion, and keeps NaN.
  std::vector<std::size_t> informed;
  for (std::size_t s : which) {
    bool any = false;
    for (std::size_t r = 0; r < a.ranges() && !any; ++r) any = a(r, s) > 0.0 && means[r] > 0.0;
    if (any) informed.push_back(s);
  }
  which = informed;
  const std::size_t m = which.size();
  if (m == 0) return sigma;
  std::vector<double> h = fisher_information(a, means, which);
  if (!cholesky(h, m)) return sigma;
  // The diagonal of the inverse, one column at a time.
  for (std::size_t i = 0; i < m; ++i) {
    std::vector<double> e(m, 0.0);
    e[i] = 1.0;
    cholesky_solve(h, m, e);
    sigma[which[i]] = e[i] >= 0.0 ? std::sqrt(e[i]) : std::numeric_limits<double>::quiet_NaN();
  }
  return sigma;
}

}  // namespace veltrane
