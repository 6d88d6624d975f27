#include "compute/charge_states/charge_spec.hpp"

#include <cmath>
#include <limits>

#include "compute/curves/number_format.hpp"

namespace veltrane {

std::string charge_label(int k) { return std::to_string(k) + "+"; }

std::string pair_label(int k) { return charge_label(k + 1) + "/" + charge_label(k); }

namespace {

// "3+" -> 3; nothing for anything else.
std::optional<int> read_charge_label(std::string text) {
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.size() < 2 || text.size() > 3 || text.back() != '+') return std::nullopt;
  int value = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

bool refuse(std::string* message, std::string text) {
  if (message != nullptr) *message = std::move(text);
  return false;
}

// A count beyond this is a typing slip, not ions of one run.
constexpr double max_count = 1e15;

bool check_state(int state, int n, std::string* message) {
  if (state < 1 || state > n + 1) {
    return refuse(message, charge_label(state) + " is not a charge state of " + std::to_string(n) +
                               (n == 1 ? " ionisation" : " ionisations") + " (1+ to " +
                               charge_label(n + 1) + ")");
  }
  return true;
}

std::string not_a_count(const std::string& typed) {
  return "a count must be a whole number of at least 0, not \"" + typed + "\"";
}

}  // namespace

std::optional<int> check_pair(int a, int b, int n, std::string* message) {
  if (!check_state(a, n, message) || !check_state(b, n, message)) return std::nullopt;
  if (std::abs(a - b) != 1) {
    refuse(message,
           charge_label(a) + " and " + charge_label(b) + " are not neighbouring charge states");
    return std::nullopt;
  }
  return std::min(a, b);
}

std::string ratio_fault(double ratio) {
  if (std::isnan(ratio)) return "is not a number";
  if (std::isinf(ratio)) return "is not finite";
  if (!(ratio > 0.0)) return "is not above 0";
  return {};
}

std::string count_fault(double count) {
  if (std::isnan(count)) return "is not a number";
  if (count < 0.0) return "is below 0";
  if (count > max_count) return "is above 1e15";
  if (count != std::trunc(count)) return "is not a whole number";
  return {};
}

std::optional<ratio_spec> check_ratio(int k, double ratio, const std::string& typed,
                                      std::string* message) {
  if (!ratio_fault(ratio).empty()) {
    refuse(message, "a ratio must be a finite number above 0, not \"" + typed + "\"");
    return std::nullopt;
  }
  return ratio_spec{k, ratio};
}

bool check_counts(int k, double lower, double upper, const std::string& typed_lower,
                  const std::string& typed_upper, std::string* message) {
  if (!count_fault(lower).empty()) return refuse(message, not_a_count(typed_lower));
  if (!count_fault(upper).empty()) return refuse(message, not_a_count(typed_upper));
  if (lower == 0.0 && upper == 0.0) {
    return refuse(message, "the counts of " + charge_label(k) + " and " + charge_label(k + 1) +
                               " are both zero");
  }
  return true;
}

std::optional<ratio_spec> parse_ratio_spec(const std::string& text, int n, std::string* message) {
  const std::size_t slash = text.find('/');
  const std::size_t equals = text.find('=');
  const auto upper =
      slash == std::string::npos ? std::nullopt : read_charge_label(text.substr(0, slash));
  const auto lower = (slash == std::string::npos || equals == std::string::npos || equals < slash)
                         ? std::nullopt
                         : read_charge_label(text.substr(slash + 1, equals - slash - 1));
  if (!upper || !lower) {
    refuse(message, "a ratio is written as 3+/2+=0.8, not \"" + text + "\"");
    return std::nullopt;
  }
  const auto k = check_pair(*upper, *lower, n, message);
  if (!k) return std::nullopt;
  const std::string value_text = text.substr(equals + 1);
  const double value = parse_number(value_text, plain_number_format())
                           .value_or(std::numeric_limits<double>::quiet_NaN());
  if (!check_ratio(*k, value, value_text, message)) return std::nullopt;
  return ratio_spec{*k, *upper > *lower ? value : 1.0 / value};
}

std::optional<int> parse_pair_spec(const std::string& text, int n, std::string* message) {
  if (text.find('=') != std::string::npos) {
    refuse(message, "a pair is written as 3+/2+, not \"" + text + "\"");
    return std::nullopt;
  }
  std::string ratio_message;
  const auto pair_ratio = parse_ratio_spec(text + "=1", n, &ratio_message);
  if (pair_ratio) return pair_ratio->k;
  refuse(message, ratio_message.starts_with("a ratio is written")
                      ? "a pair is written as 3+/2+, not \"" + text + "\""
                      : ratio_message);
  return std::nullopt;
}

std::optional<std::vector<double>> parse_counts_spec(const std::string& text, int n,
                                                     std::string* message) {
  std::vector<double> counts(static_cast<std::size_t>(n) + 2, -1.0);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(start, end - start);
    const std::size_t equals = item.find('=');
    const auto state =
        equals == std::string::npos ? std::nullopt : read_charge_label(item.substr(0, equals));
    if (!state) {
      refuse(message, "counts are written as 2+=1200,3+=960, not \"" + item + "\"");
      return std::nullopt;
    }
    if (!check_state(*state, n, message)) return std::nullopt;
    const std::string value_text = item.substr(equals + 1);
    const auto value = parse_number(value_text, plain_number_format());
    if (!value || !count_fault(*value).empty()) {
      refuse(message, not_a_count(value_text));
      return std::nullopt;
    }
    auto& slot = counts[static_cast<std::size_t>(*state)];
    if (slot >= 0.0) {
      refuse(message, charge_label(*state) + " is counted twice");
      return std::nullopt;
    }
    slot = *value == 0.0 ? 0.0 : *value;  // no negative zero
    start = end + 1;
  }
  return counts;
}

std::optional<std::vector<int>> counted_pairs(const std::vector<double>& counts,
                                              std::string* message) {
  std::vector<int> pairs;
  for (std::size_t k = 1; k + 1 < counts.size(); ++k) {
    if (counts[k] < 0.0 || counts[k + 1] < 0.0) continue;
    if (counts[k] == 0.0 && counts[k + 1] == 0.0) {
      refuse(message, "the counts of " + charge_label(static_cast<int>(k)) + " and " +
                          charge_label(static_cast<int>(k) + 1) + " are both zero");
      return std::nullopt;
    }
    pairs.push_back(static_cast<int>(k));
  }
  if (pairs.empty()) {
    refuse(message, "counts of two neighbouring charge states are needed, such as 2+=1200,3+=960");
    return std::nullopt;
  }
  return pairs;
}

}  // namespace veltrane
