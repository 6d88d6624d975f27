#include "compute/evaluation.hpp"

#include "compute/model_cache.hpp"
#include "model/accurate_model.hpp"
#include "model/fast_model.hpp"

namespace veltrane {

std::string_view evaluation_name(evaluation e) {
  return e == evaluation::accurate ? "accurate" : "exact";
}

std::optional<evaluation> evaluation_named(std::string_view name) {
  if (name == "accurate") return evaluation::accurate;
  if (name == "exact") return evaluation::exact;
  return std::nullopt;
}

charge_state_model model_for(evaluation e) {
  constexpr double accurate_tolerance = 1e-6;  // V/nm
  constexpr double exact_tolerance = 1e-3;     // V/nm
  if (e == evaluation::accurate) return {accurate_veltrane, accurate_tolerance};
  // The cache lives as long as the function that refers to it.
  auto cache = std::make_shared<model_cache>(fast_veltrane);
  model_function remembered = [cache](double E, double B, double phi, int m, int n, double m_ion,
                                      double u) { return (*cache)(E, B, phi, m, n, m_ion, u); };
  return {std::move(remembered), exact_tolerance};
}

model_function prescribed_model() { return fast_veltrane; }

}  // namespace veltrane
