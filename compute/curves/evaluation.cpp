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

// A model function that remembers its values for as long as it (or a copy)
// lives.
model_function remembering(model_function f) {
  auto cache = std::make_shared<model_cache>(std::move(f));
  return [cache](double E, double B, double phi, int m, int n, double m_ion, double u) {
    return (*cache)(E, B, phi, m, n, m_ion, u);
  };
}

}  // namespace

charge_state_model model_for(evaluation e) {
  if (e == evaluation::accurate) return {accurate_veltrane, accurate_tolerance};
  return {remembering(fast_veltrane), exact_tolerance};
}

charge_state_model remembering_model_for(evaluation e) {
  if (e == evaluation::accurate) return {remembering(accurate_veltrane), accurate_tolerance};
  return model_for(e);
}

model_function prescribed_model() { return fast_veltrane; }

}  // namespace veltrane
