#pragma once

#include <cstddef>
#include <memory>

#include "compute/curves/sweep.hpp"

namespace veltrane {

/// Remembers the model's results by their exact arguments (compared bit for
/// bit), so that pressing Calculate again, or changing only the energy of a
/// later step, recomputes only the points whose arguments changed. The model
/// is deterministic, so a remembered result is the result. Safe to use from
/// several threads; holds at most `capacity` results and forgets the oldest.
class model_cache {
 public:
  static constexpr std::size_t default_capacity = 50000;

  /// `has_no_value` (optional) says whether the model is NaN at given
  /// arguments more cheaply than its value: see has_no_value().
  explicit model_cache(model_function model, std::size_t capacity = default_capacity,
                       nan_test_function has_no_value = {});
  ~model_cache();
  model_cache(const model_cache&) = delete;
  model_cache& operator=(const model_cache&) = delete;

  /// The model's result for these arguments, computed at most once.
  double operator()(double E, double B, double phi, int m, int n, double m_ion, double u);

  /// Whether the model's result for these arguments is NaN: from its value
  /// when that is remembered, else from the NaN test (remembered as well;
  /// without a test, from the value, computed and remembered).
  bool has_no_value(double E, double B, double phi, int m, int n, double m_ion, double u);

  /// A model function that evaluates through this cache (which must outlive it).
  model_function function();

  std::size_t hits() const;
  std::size_t size() const;

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace veltrane
