#include "compute/curves/evaluation.hpp"

#include "compute/curves/model_cache.hpp"
#include "model/accurate_model.hpp"
#include "model/fast_model.hpp"

namespace veltrane {

std::optional<evaluation> evaluation_named(std::string_view name) {
  if (name == "accurate") return evaluation::accurate;
  if (name == "exact") return evaluation::exact;
  return std::nullopt;
}

namespace {

constexpr double accurate_tolerance = 1e-6;  // V/nm
constexpr double exact_tolerance = 1e-3;     // V/nm

// A model (and its NaN test) that remembers its values for as long as it (or
// a copy) lives.
charge_state_model remembering(model_function f, nan_test_function has_no_value, double tolerance) {
  auto cache = std::make_shared<model_cache>(std::move(f), model_cache::default_capacity,
                                             std::move(has_no_value));
  charge_state_model m;
  m.function = [cache](double E, double B, double phi, int m_, int n, double m_ion, double u) {
    return (*cache)(E, B, phi, m_, n, m_ion, u);
  };
  m.has_no_value = [cache](double E, double B, double phi, int m_, int n, double m_ion, double u) {
    return cache->has_no_value(E, B, phi, m_, n, m_ion, u);
  };
  m.ratio_tolerance_v_per_nm = tolerance;
  return m;
}

}  // namespace

charge_state_model model_for(evaluation e) {
  if (e == evaluation::accurate) {
    return {accurate_veltrane, accurate_tolerance, accurate_veltrane_is_nan};
  }
  return remembering(fast_veltrane, {}, exact_tolerance);
}

charge_state_model remembering_model_for(evaluation e) {
  if (e == evaluation::accurate) {
    return remembering(accurate_veltrane, accurate_veltrane_is_nan, accurate_tolerance);
  }
  return model_for(e);
}

model_function prescribed_model() { return fast_veltrane; }

}  // namespace veltrane
