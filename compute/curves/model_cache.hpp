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
  explicit model_cache(model_function model, std::size_t capacity = 50000);
  ~model_cache();
  model_cache(const model_cache&) = delete;
  model_cache& operator=(const model_cache&) = delete;

  /// The model's result for these arguments, computed at most once.
  double operator()(double E, double B, double phi, int m, int n, double m_ion, double u);

  /// A model function that evaluates through this cache (which must outlive it).
  model_function function();

  std::size_t hits() const;
  std::size_t size() const;

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace veltrane
