#include "compute/curves/model_cache.hpp"

#include <array>
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

}  // namespace

struct model_cache::state {
  model_function model;
  std::size_t capacity;
  mutable std::mutex mutex;
  std::unordered_map<key, double, key_hash> results;
  std::deque<key> order;  // oldest first
  std::size_t hits = 0;
};

model_cache::model_cache(model_function model, std::size_t capacity)
    : state_(std::make_unique<state>()) {
  state_->model = std::move(model);
  state_->capacity = capacity;
}

model_cache::~model_cache() = default;

double model_cache::operator()(double E, double B, double phi, int m, int n, double m_ion,
                               double u) {
  const key k{bits(E),
              bits(B),
              bits(phi),
              static_cast<std::uint64_t>(static_cast<std::uint32_t>(m)),
              static_cast<std::uint64_t>(static_cast<std::uint32_t>(n)),
              bits(m_ion),
              bits(u)};
  {
    std::lock_guard lock(state_->mutex);
    const auto found = state_->results.find(k);
    if (found != state_->results.end()) {
      ++state_->hits;
      return found->second;
    }
  }
  // Evaluated outside the lock: the model is slow and the threads must not
  // wait for each other. Two threads asking for the same point compute the
  // same value.
  const double Q = state_->model(E, B, phi, m, n, m_ion, u);
  std::lock_guard lock(state_->mutex);
  if (state_->results.emplace(k, Q).second) {
    state_->order.push_back(k);
    while (state_->order.size() > state_->capacity) {
      state_->results.erase(state_->order.front());
      state_->order.pop_front();
    }
  }
  return Q;
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
  return state_->results.size();
}

}  // namespace veltrane
