#include "compute/curves/model_cache.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

namespace veltrane {

namespace {

// The seven arguments as raw bits: equal keys mean identical arguments,
// NaN and the sign of zero included.
using key = std::array<std::uint64_t, 7>;

std::uint64_t bits(double x) {
  std::uint64_t b = 0;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

struct key_hash {
  std::size_t operator()(const key& k) const {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint64_t part : k) {
      h ^= part + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    }
    return h;
  }
};

key key_of(double E, double B, double phi, int m, int n, double m_ion, double u) {
  return {bits(E),
          bits(B),
          bits(phi),
          static_cast<std::uint64_t>(static_cast<std::uint32_t>(m)),
          static_cast<std::uint64_t>(static_cast<std::uint32_t>(n)),
          bits(m_ion),
          bits(u)};
}

// Results by their arguments, forgetting the oldest beyond a capacity.
template <class value>
struct memory {
  std::unordered_map<key, value, key_hash> results;
  std::deque<key> order;  // oldest first

  void keep(const key& k, value v, std::size_t capacity) {
    if (results.emplace(k, v).second) {
      order.push_back(k);
      while (order.size() > capacity) {
        results.erase(order.front());
        order.pop_front();
      }
    }
  }
};

}  // namespace

struct model_cache::state {
  model_function model;
  nan_test_function has_no_value;
  std::size_t capacity;
  mutable std::mutex mutex;
  memory<double> values;
  memory<bool> nan_ness;  // of arguments whose value was not formed
  std::size_t hits = 0;
};

model_cache::model_cache(model_function model, std::size_t capacity, nan_test_function has_no_value)
    : state_(std::make_unique<state>()) {
  state_->model = std::move(model);
  state_->has_no_value = std::move(has_no_value);
  state_->capacity = capacity;
}

model_cache::~model_cache() = default;

double model_cache::operator()(double E, double B, double phi, int m, int n, double m_ion,
                               double u) {
  const key k = key_of(E, B, phi, m, n, m_ion, u);
  {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->values.results.find(k);
    if (found != state_->values.results.end()) {
      ++state_->hits;
      return found->second;
    }
  }
  // Evaluated outside the lock: the model is slow and the threads must not
  // wait for each other. Two threads asking for the same point compute the
  // same value.
  const double Q = state_->model(E, B, phi, m, n, m_ion, u);
  std::lock_guard lock(state_->mutex);
  state_->values.keep(k, Q, state_->capacity);
  return Q;
}

bool model_cache::has_no_value(double E, double B, double phi, int m, int n, double m_ion,
                               double u) {
  if (!state_->has_no_value) return std::isnan((*this)(E, B, phi, m, n, m_ion, u));
  const key k = key_of(E, B, phi, m, n, m_ion, u);
  {
    std::lock_guard lock(state_->mutex);
    const auto value = state_->values.results.find(k);
    if (value != state_->values.results.end()) {
      ++state_->hits;
      return std::isnan(value->second);
    }
    const auto found = state_->nan_ness.results.find(k);
    if (found != state_->nan_ness.results.end()) {
      ++state_->hits;
      return found->second;
    }
  }
  const bool none = state_->has_no_value(E, B, phi, m, n, m_ion, u);
  std::lock_guard lock(state_->mutex);
  state_->nan_ness.keep(k, none, state_->capacity);
  return none;
}

model_function model_cache::function() {
  return [this](double E, double B, double phi, int m, int n, double m_ion, double u) {
    return (*this)(E, B, phi, m, n, m_ion, u);
  };
}

std::size_t model_cache::hits() const {
  std::lock_guard lock(state_->mutex);
  return state_->hits;
}

std::size_t model_cache::size() const {
  std::lock_guard lock(state_->mutex);
  return state_->values.results.size();
}

}  // namespace veltrane
