#pragma once

// GSL's adaptive integration gsl_integration_qags (GSL 2.7: the 21-point
// Gauss-Kronrod rule, bisection of the interval with the largest error,
// Wynn's epsilon extrapolation), step for step, in the same order of
// operations: for the same integrand it samples the same points and returns
// the same bits. What it adds is a view of how the integration is going,
// so that it can stop as soon as its outcome is certain:
//  - once a rule samples an integrand that is NaN from that point to the end
//    of the range, the result is fixed: NaN when no extrapolated result has
//    been accepted yet, the accepted one otherwise (the running sums are NaN
//    from then on, so neither the tolerance nor a better extrapolation can
//    be reached again, and the interval holding the NaN keeps one through
//    every bisection);
//  - once an extrapolated result has been accepted, the result is a number,
//    whatever is sampled later.
// The prescribed rate's direction integral uses it to say whether the rate
// is a number without integrating on (model/fast_model.hpp).

#include <cstddef>
#include <memory>

namespace veltrane::detail {

/// The integrand of a replica: f(x[i], params) into y[i] for i < count (at
/// most 21: the nodes of one rule), and optionally a test that is true at x
/// only if the integrand is NaN at x and at every larger x of the range (an
/// exact test, not an estimate: the replica relies on it). `nan_from` may be
/// null.
struct replica_integrand {
  void (*f)(const double* x, double* y, int count, void* params) = nullptr;
  bool (*nan_from)(double x, void* params) = nullptr;
  void* params = nullptr;
};

/// How far a replica goes.
enum class replica_goal {
  value,     ///< the result, bit for bit (it still stops at a NaN that fixes the result)
  nan_ness,  ///< only whether the result is NaN: stops as soon as that is certain
};

struct replica_result {
  bool is_nan = false;  ///< the result gsl_integration_qags gives is NaN
  /// That result, bit for bit, for replica_goal::value; for nan_ness, NaN
  /// where the replica stopped before it knew the number.
  double value = 0.0;
  std::size_t evaluations = 0;  ///< integrand values taken
};

/// The interval list of one integration (as a GSL workspace of 1000
/// intervals). Integrations that run inside another one's integrand need
/// their own.
class replica_workspace {
 public:
  static constexpr std::size_t most_intervals = 1000;
  replica_workspace();
  ~replica_workspace();
  replica_workspace(const replica_workspace&) = delete;
  replica_workspace& operator=(const replica_workspace&) = delete;
  struct lists;
  lists& get() { return *lists_; }

 private:
  std::unique_ptr<lists> lists_;
};

/// gsl_integration_qags(f, a, b, 0, epsrel, limit, ...) as GSL performs it
/// with a workspace of `limit` intervals (epsabs 0; epsrel at least 50
/// times the double epsilon and 1 <= limit <= 1000, as GSL requires, or the
/// result is 0 as there), stopping where `goal` allows. Any of the
/// integration's error statuses leaves the result that GSL leaves (the
/// replica reports none).
replica_result qags_replica(const replica_integrand& f, double a, double b, double epsrel,
                            std::size_t limit, replica_goal goal, replica_workspace& workspace);

}  // namespace veltrane::detail
