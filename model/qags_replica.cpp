#include "model/qags_replica.hpp"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <vector>

// Written after GSL 2.7's integration/qags.c, qk.c, qk21.c, err.c, qpsrt.c,
// qpsrt2.c, qelg.c and util.c. The expressions keep GSL's order of
// operations and its comparisons (including how they treat NaN): the results
// are compared with GSL's to the last bit.

namespace veltrane::detail {

// The interval list of GSL's workspace.
struct replica_workspace::lists {
  std::size_t limit = 0, size = 0, nrmax = 0, i = 0, maximum_level = 0;
  std::vector<double> alist, blist, rlist, elist;
  std::vector<std::size_t> order, level;
  lists()
      : alist(most_intervals),
        blist(most_intervals),
        rlist(most_intervals),
        elist(most_intervals),
        order(most_intervals),
        level(most_intervals) {}
};

replica_workspace::replica_workspace() : lists_(std::make_unique<lists>()) {}
replica_workspace::~replica_workspace() = default;

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The 21-point Kronrod rule and the 10-point Gauss rule within it, as in
// GSL's qk21.c: abscissae (the Gauss ones at the odd indices) and weights.
constexpr double xgk[11] = {
    0.995657163025808080735527280689003, 0.973906528517171720077964012084452,
    0.930157491355708226001207180059508, 0.865063366688984510732096688423493,
    0.780817726586416897063717578345042, 0.679409568299024406234327365114874,
    0.562757134668604683339000099272694, 0.433395394129247190799265943165784,
    0.294392862701460198131126603103866, 0.148874338981631210884826001129720,
    0.000000000000000000000000000000000};
constexpr double wg[5] = {0.066671344308688137593568809893332, 0.149451349150580593145776339657697,
                          0.219086362515982043995534934228163, 0.269266719309996355091226921569469,
                          0.295524224714752870173892994651338};
constexpr double wgk[11] = {
    0.011694638867371874278064396062192, 0.032558162307964727478818972459390,
    0.054755896574351996031381300244580, 0.075039674810919952767043140916190,
    0.093125454583697605535065465083366, 0.109387158802297641899210590325805,
    0.123491976262065851077208292379888, 0.134709217311473325928054001771707,
    0.142775938577060080797094273138717, 0.147739104901338491374841515972068,
    0.149445554002916905664936468389821};

// GSL_MAX_DBL: the second argument when the comparison fails (a NaN).
double max_of(double a, double b) { return a > b ? a : b; }

// pow(x, 1.5) is below 1 only for x below 1 (and NaN for NaN), so it is
// formed only there: the same results, without most of the calls.
double rescale_error(double err, double result_abs, double result_asc) {
  err = std::fabs(err);
  if (result_asc != 0 && err != 0) {
    const double x = 200 * err / result_asc;
    const double scale = x < 1 ? std::pow(x, 1.5) : x;
    err = scale < 1 ? result_asc * scale : result_asc;
  }
  if (result_abs > DBL_MIN / (50 * DBL_EPSILON)) {
    const double min_err = 50 * DBL_EPSILON * result_abs;
    if (min_err > err) err = min_err;
  }
  return err;
}

struct rule_result {
  double result = 0.0, abserr = 0.0, resabs = 0.0, resasc = 0.0;
};

using interval_list = replica_workspace::lists;

// Keeps `order` sorted by decreasing error, as GSL's qpsrt.
void qpsrt(interval_list& w) {
  const std::size_t last = w.size - 1;
  const std::size_t limit = w.limit;
  const std::vector<double>& elist = w.elist;
  std::vector<std::size_t>& order = w.order;
  std::size_t i_nrmax = w.nrmax;
  std::size_t i_maxerr = order[i_nrmax];
  if (last < 2) {
    order[0] = 0;
    order[1] = 1;
    w.i = i_maxerr;
    return;
  }
  const double errmax = elist[i_maxerr];
  // After a subdivision that increased the error, start the insertion above
  // the nrmax-th largest error.
  while (i_nrmax > 0 && errmax > elist[order[i_nrmax - 1]]) {
    order[i_nrmax] = order[i_nrmax - 1];
    i_nrmax--;
  }
  // How many of the errors are kept in descending order.
  const int top =
      last < (limit / 2 + 2) ? static_cast<int>(last) : static_cast<int>(limit - last + 1);
  // Insert errmax top-down, errmin bottom-up.
  int i = static_cast<int>(i_nrmax) + 1;
  while (i < top && errmax < elist[order[static_cast<std::size_t>(i)]]) {
    order[static_cast<std::size_t>(i) - 1] = order[static_cast<std::size_t>(i)];
    i++;
  }
  order[static_cast<std::size_t>(i) - 1] = i_maxerr;
  const double errmin = elist[last];
  int k = top - 1;
  while (k > i - 2 && errmin >= elist[order[static_cast<std::size_t>(k)]]) {
    order[static_cast<std::size_t>(k) + 1] = order[static_cast<std::size_t>(k)];
    k--;
  }
  const int slot = k + 1;
  order[static_cast<std::size_t>(slot)] = last;
  w.i = order[i_nrmax];
  w.nrmax = i_nrmax;
}

// Replaces the bisected interval by its two halves (the one with the larger
// error in its place), as GSL's update.
void update(interval_list& w, double a1, double b1, const rule_result& r1, double a2, double b2,
            const rule_result& r2) {
  const std::size_t i_max = w.i;
  const std::size_t i_new = w.size;
  const std::size_t new_level = w.level[i_max] + 1;
  if (r2.abserr > r1.abserr) {
    w.alist[i_max] = a2;
    w.rlist[i_max] = r2.result;
    w.elist[i_max] = r2.abserr;
    w.level[i_max] = new_level;
    w.alist[i_new] = a1;
    w.blist[i_new] = b1;
    w.rlist[i_new] = r1.result;
    w.elist[i_new] = r1.abserr;
    w.level[i_new] = new_level;
  } else {
    w.blist[i_max] = b1;
    w.rlist[i_max] = r1.result;
    w.elist[i_max] = r1.abserr;
    w.level[i_max] = new_level;
    w.alist[i_new] = a2;
    w.blist[i_new] = b2;
    w.rlist[i_new] = r2.result;
    w.elist[i_new] = r2.abserr;
    w.level[i_new] = new_level;
  }
  w.size++;
  if (new_level > w.maximum_level) w.maximum_level = new_level;
  qpsrt(w);
}

double sum_results(const interval_list& w) {
  double result_sum = 0;
  for (std::size_t k = 0; k < w.size; k++) result_sum += w.rlist[k];
  return result_sum;
}

bool subinterval_too_small(double a1, double a2, double b2) {
  const double tmp = (1 + 100 * DBL_EPSILON) * (std::fabs(a2) + 1000 * DBL_MIN);
  return std::fabs(a1) <= tmp && std::fabs(b2) <= tmp;
}

bool increase_nrmax(interval_list& w) {
  const std::size_t last = w.size - 1;
  const int jupbnd =
      last > (1 + w.limit / 2) ? static_cast<int>(w.limit + 1 - last) : static_cast<int>(last);
  for (int k = static_cast<int>(w.nrmax); k <= jupbnd; k++) {
    const std::size_t i_max = w.order[w.nrmax];
    w.i = i_max;
    if (w.level[i_max] < w.maximum_level) return true;
    w.nrmax++;
  }
  return false;
}

bool large_interval(const interval_list& w) { return w.level[w.i] < w.maximum_level; }

void reset_nrmax(interval_list& w) {
  w.nrmax = 0;
  w.i = w.order[0];
}

// Wynn's epsilon table of the successive approximations, as GSL's.
struct extrapolation_table {
  std::size_t n = 0;
  double rlist2[52] = {};
  std::size_t nres = 0;
  double res3la[3] = {};
  void append(double y) { rlist2[n++] = y; }
};

// The epsilon algorithm on the table: the extrapolated result and its error.
void qelg(extrapolation_table& table, double& result, double& abserr) {
  double* epstab = table.rlist2;
  double* res3la = table.res3la;
  const std::size_t n = table.n - 1;
  const double current = epstab[n];
  const double absolute = DBL_MAX;
  const double relative = 5 * DBL_EPSILON * std::fabs(current);
  const std::size_t newelm = n / 2;
  const std::size_t n_orig = n;
  std::size_t n_final = n;
  const std::size_t nres_orig = table.nres;
  result = current;
  abserr = DBL_MAX;
  if (n < 2) {
    result = current;
    abserr = max_of(absolute, relative);
    return;
  }
  epstab[n + 2] = epstab[n];
  epstab[n] = DBL_MAX;
  for (std::size_t i = 0; i < newelm; i++) {
    double res = epstab[n - 2 * i + 2];
    const double e0 = epstab[n - 2 * i - 2];
    const double e1 = epstab[n - 2 * i - 1];
    const double e2 = res;
    const double e1abs = std::fabs(e1);
    const double delta2 = e2 - e1;
    const double err2 = std::fabs(delta2);
    const double tol2 = max_of(std::fabs(e2), e1abs) * DBL_EPSILON;
    const double delta3 = e1 - e0;
    const double err3 = std::fabs(delta3);
    const double tol3 = max_of(e1abs, std::fabs(e0)) * DBL_EPSILON;
    if (err2 <= tol2 && err3 <= tol3) {
      // e0, e1 and e2 equal to the rounding: convergence assumed.
      result = res;
      abserr = err2 + err3;
      abserr = max_of(abserr, 5 * DBL_EPSILON * std::fabs(result));
      return;
    }
    const double e3 = epstab[n - 2 * i];
    epstab[n - 2 * i] = e1;
    const double delta1 = e1 - e3;
    const double err1 = std::fabs(delta1);
    const double tol1 = max_of(e1abs, std::fabs(e3)) * DBL_EPSILON;
    // Two elements very close: the rest of the table is left out.
    if (err1 <= tol1 || err2 <= tol2 || err3 <= tol3) {
      n_final = 2 * i;
      break;
    }
    const double ss = (1 / delta1 + 1 / delta2) - 1 / delta3;
    // Irregular behaviour in the table: the rest is left out.
    if (std::fabs(ss * e1) <= 0.0001) {
      n_final = 2 * i;
      break;
    }
    res = e1 + 1 / ss;
    epstab[n - 2 * i] = res;
    const double error = err2 + std::fabs(res - e2) + err3;
    if (error <= abserr) {
      abserr = error;
      result = res;
    }
  }
  // Shift the table.
  constexpr std::size_t limexp = 50 - 1;
  if (n_final == limexp) n_final = 2 * (limexp / 2);
  if (n_orig % 2 == 1) {
    for (std::size_t i = 0; i <= newelm; i++) epstab[1 + i * 2] = epstab[i * 2 + 3];
  } else {
    for (std::size_t i = 0; i <= newelm; i++) epstab[i * 2] = epstab[i * 2 + 2];
  }
  if (n_orig != n_final) {
    for (std::size_t i = 0; i <= n_final; i++) epstab[i] = epstab[n_orig - n_final + i];
  }
  table.n = n_final + 1;
  if (nres_orig < 3) {
    res3la[nres_orig] = result;
    abserr = DBL_MAX;
  } else {
    abserr = (std::fabs(result - res3la[2]) + std::fabs(result - res3la[1]) +
              std::fabs(result - res3la[0]));
    res3la[0] = res3la[1];
    res3la[1] = res3la[2];
    res3la[2] = result;
  }
  table.nres = nres_orig + 1;
  abserr = max_of(abserr, 5 * DBL_EPSILON * std::fabs(result));
}

// The integrand and its count of evaluations.
class sampler {
 public:
  explicit sampler(const replica_integrand& f) : f_(f) {}

  // Whether the rule on [a, b] samples a point from which on f is NaN: its
  // largest node, as the rule forms it, passes the integrand's test.
  bool meets_nan_range(double a, double b) const {
    if (f_.nan_from == nullptr) return false;
    const double center = 0.5 * (a + b);
    const double half_length = 0.5 * (b - a);
    return f_.nan_from(center + half_length * xgk[0], f_.params);
  }

  // GSL's gsl_integration_qk with the 21-point rule. The 21 values are
  // taken at once (the integrand is a function of x alone, so the order in
  // which they are formed changes nothing) and summed in GSL's order.
  rule_result qk21(double a, double b) {
    constexpr int n = 11;
    const double center = 0.5 * (a + b);
    const double half_length = 0.5 * (b - a);
    const double abs_half_length = std::fabs(half_length);
    // x[0] the centre, x[2j+1] and x[2j+2] the pair at xgk[j].
    double x[21];
    double y[21];
    x[0] = center;
    for (std::size_t j = 0; j < n - 1; j++) {
      const double abscissa = half_length * xgk[j];
      x[2 * j + 1] = center - abscissa;
      x[2 * j + 2] = center + abscissa;
    }
    f_.f(x, y, 21, f_.params);
    count_ += 21;
    double fv1[11] = {};
    double fv2[11] = {};
    for (std::size_t j = 0; j < n - 1; j++) {
      fv1[j] = y[2 * j + 1];
      fv2[j] = y[2 * j + 2];
    }
    const double f_center = y[0];
    double result_gauss = 0;
    double result_kronrod = f_center * wgk[n - 1];
    double result_abs = std::fabs(result_kronrod);
    for (std::size_t j = 0; j < (n - 1) / 2; j++) {
      const std::size_t jtw = j * 2 + 1;
      const double fval1 = fv1[jtw];
      const double fval2 = fv2[jtw];
      const double fsum = fval1 + fval2;
      result_gauss += wg[j] * fsum;
      result_kronrod += wgk[jtw] * fsum;
      result_abs += wgk[jtw] * (std::fabs(fval1) + std::fabs(fval2));
    }
    for (std::size_t j = 0; j < n / 2; j++) {
      const std::size_t jtwm1 = j * 2;
      const double fval1 = fv1[jtwm1];
      const double fval2 = fv2[jtwm1];
      result_kronrod += wgk[jtwm1] * (fval1 + fval2);
      result_abs += wgk[jtwm1] * (std::fabs(fval1) + std::fabs(fval2));
    }
    const double mean = result_kronrod * 0.5;
    double result_asc = wgk[n - 1] * std::fabs(f_center - mean);
    for (std::size_t j = 0; j < n - 1; j++) {
      result_asc += wgk[j] * (std::fabs(fv1[j] - mean) + std::fabs(fv2[j] - mean));
    }
    // Scaled by the width of the interval.
    const double err = (result_kronrod - result_gauss) * half_length;
    result_kronrod *= half_length;
    result_abs *= abs_half_length;
    result_asc *= abs_half_length;
    return {result_kronrod, rescale_error(err, result_abs, result_asc), result_abs, result_asc};
  }

  std::size_t evaluations() const { return count_; }

 private:
  const replica_integrand& f_;
  std::size_t count_ = 0;
};

}  // namespace

replica_result qags_replica(const replica_integrand& f, double a, double b, double epsrel,
                            std::size_t limit, replica_goal goal, replica_workspace& workspace) {
  sampler s(f);
  replica_result out;
  // The result once it is certain: NaN, or the number x.
  const auto nan_result = [&s, &out] {
    out.is_nan = true;
    out.value = nan_value;
    out.evaluations = s.evaluations();
    return out;
  };
  const auto number = [&s, &out](double x) {
    out.is_nan = std::isnan(x);
    out.value = x;
    out.evaluations = s.evaluations();
    return out;
  };
  // GSL refuses these before it integrates, with the result 0.
  if (limit == 0 || limit > replica_workspace::most_intervals) return number(0.0);
  if (epsrel < 50 * DBL_EPSILON || epsrel < 0.5e-28) return number(0.0);
  constexpr double epsabs = 0.0;

  interval_list& w = workspace.get();
  w.limit = limit;
  w.size = 0;
  w.nrmax = 0;
  w.i = 0;
  w.alist[0] = a;
  w.blist[0] = b;
  w.rlist[0] = 0.0;
  w.elist[0] = 0.0;
  w.order[0] = 0;
  w.level[0] = 0;
  w.maximum_level = 0;

  // The first rule over the whole range. A NaN there that holds to the end
  // of the range makes the result NaN (no extrapolation can be accepted).
  if (s.meets_nan_range(a, b)) return nan_result();
  const rule_result r0 = s.qk21(a, b);
  w.size = 1;
  w.rlist[0] = r0.result;
  w.elist[0] = r0.abserr;
  double tolerance = max_of(epsabs, epsrel * std::fabs(r0.result));
  if (r0.abserr <= 100 * DBL_EPSILON * r0.resabs && r0.abserr > tolerance) {
    return number(r0.result);  // roundoff on the first attempt
  }
  if ((r0.abserr <= tolerance && r0.abserr != r0.resasc) || r0.abserr == 0.0) {
    return number(r0.result);
  }
  if (limit == 1) return number(r0.result);

  extrapolation_table table;
  table.append(r0.result);
  double area = r0.result;
  double errsum = r0.abserr;
  double res_ext = r0.result;
  double err_ext = DBL_MAX;
  double ertest = 0;
  double error_over_large_intervals = 0;
  double reseps = 0;
  double abseps = 0;
  double correc = 0;
  std::size_t ktmin = 0;
  int roundoff_type1 = 0;
  int roundoff_type2 = 0;
  int roundoff_type3 = 0;
  int error_type = 0;
  int error_type2 = 0;
  bool extrapolate = false;
  bool disallow_extrapolation = false;
  std::size_t iteration = 1;

  bool to_result_sum = false;
  do {
    // Bisect the interval with the largest error estimate.
    const std::size_t current_level = w.level[w.i] + 1;
    const double a_i = w.alist[w.i];
    const double b_i = w.blist[w.i];
    const double r_i = w.rlist[w.i];
    const double e_i = w.elist[w.i];
    const double a1 = a_i;
    const double b1 = 0.5 * (a_i + b_i);
    const double a2 = b1;
    const double b2 = b_i;
    iteration++;

    // The upper half's largest node lies above every node of the lower
    // half. Once it is in the range where the integrand stays NaN, the
    // sums turn NaN for good and the result is what it is now: NaN, or the
    // extrapolation accepted before.
    if (s.meets_nan_range(a2, b2)) {
      return err_ext == DBL_MAX ? nan_result() : number(res_ext);
    }
    const rule_result r1 = s.qk21(a1, b1);
    const rule_result r2 = s.qk21(a2, b2);
    const double area12 = r1.result + r2.result;
    const double error12 = r1.abserr + r2.abserr;
    const double last_e_i = e_i;

    // The running sums, written as QUADPACK writes them.
    errsum = errsum + error12 - e_i;
    area = area + area12 - r_i;
    tolerance = max_of(epsabs, epsrel * std::fabs(area));
    if (r1.resasc != r1.abserr && r2.resasc != r2.abserr) {
      const double delta = r_i - area12;
      if (std::fabs(delta) <= 1.0e-5 * std::fabs(area12) && error12 >= 0.99 * e_i) {
        if (!extrapolate) {
          roundoff_type1++;
        } else {
          roundoff_type2++;
        }
      }
      if (iteration > 10 && error12 > e_i) roundoff_type3++;
    }
    if (roundoff_type1 + roundoff_type2 >= 10 || roundoff_type3 >= 20) error_type = 2;
    if (roundoff_type2 >= 5) error_type2 = 1;
    if (subinterval_too_small(a1, a2, b2)) error_type = 4;

    update(w, a1, b1, r1, a2, b2, r2);
    if (errsum <= tolerance) {
      to_result_sum = true;
      break;
    }
    if (error_type != 0) break;
    if (iteration >= limit - 1) {
      error_type = 1;
      break;
    }
    if (iteration == 2) {
      error_over_large_intervals = errsum;
      ertest = tolerance;
      table.append(area);
      continue;
    }
    if (disallow_extrapolation) continue;
    error_over_large_intervals += -last_e_i;
    if (current_level < w.maximum_level) error_over_large_intervals += error12;
    if (!extrapolate) {
      // Is the interval to be bisected next the smallest one?
      if (large_interval(w)) continue;
      extrapolate = true;
      w.nrmax = 1;
    }
    if (error_type2 == 0 && error_over_large_intervals > ertest) {
      if (increase_nrmax(w)) continue;
    }
    table.append(area);
    qelg(table, reseps, abseps);
    ktmin++;
    if (ktmin > 5 && err_ext < 0.001 * errsum) error_type = 5;
    if (abseps < err_ext) {
      ktmin = 0;
      err_ext = abseps;
      res_ext = reseps;
      correc = error_over_large_intervals;
      ertest = max_of(epsabs, epsrel * std::fabs(reseps));
      // From here on the result is a number: this one, a better
      // extrapolation, or the sum over the intervals once within tolerance.
      if (goal == replica_goal::nan_ness) {
        out.is_nan = false;
        out.value = nan_value;
        out.evaluations = s.evaluations();
        return out;
      }
      if (err_ext <= ertest) break;
    }
    if (table.n == 1) disallow_extrapolation = true;
    if (error_type == 5) break;
    // Work on the interval with the largest error.
    reset_nrmax(w);
    extrapolate = false;
    error_over_large_intervals = errsum;
  } while (iteration < limit);

  if (to_result_sum || err_ext == DBL_MAX) return number(sum_results(w));
  if (error_type != 0 || error_type2 != 0) {
    if (error_type2 != 0) err_ext += correc;
    if (res_ext != 0.0 && area != 0.0) {
      if (err_ext / std::fabs(res_ext) > errsum / std::fabs(area)) return number(sum_results(w));
    } else if (err_ext > errsum) {
      return number(sum_results(w));
    } else if (area == 0.0) {
      return number(res_ext);
    }
  }
  // GSL's tests on divergence set only the status.
  return number(res_ext);
}

}  // namespace veltrane::detail
