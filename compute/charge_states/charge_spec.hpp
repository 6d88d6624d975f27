#pragma once

#include <optional>
#include <string>
#include <vector>

namespace veltrane {

/// "3+": the label of charge state k.
std::string charge_label(int k);

/// "3+/2+": the label of the pair of states k+ and (k+1)+, upper over lower.
std::string pair_label(int k);

/// The ratio N((k+1)+)/N(k+) of the pair of states k and k + 1.
struct ratio_spec {
  int k = 0;
  double ratio = 0.0;
};

/// The pair of neighbouring states a and b, either way round: k of the lower
/// one. Both states between 1+ and (n+1)+, and neighbours.
std::optional<int> check_pair(int a, int b, int n, std::string* message);

/// Why a number cannot be a ratio of counts ("is not above 0"); empty when it
/// can.
std::string ratio_fault(double ratio);

/// Why a number cannot be a count of ions ("is not a whole number"); empty
/// when it can.
std::string count_fault(double count);

/// A ratio N((k+1)+)/N(k+) given as a number; `typed` is its text as the
/// user wrote it, for the message.
std::optional<ratio_spec> check_ratio(int k, double ratio, const std::string& typed,
                                      std::string* message);

/// The counts of the pair k (N(k+), N((k+1)+)), whole numbers of at least 0
/// and not both zero; `typed_*` their texts as written.
bool check_counts(int k, double lower, double upper, const std::string& typed_lower,
                  const std::string& typed_upper, std::string* message);

/// A ratio of neighbouring states as typed: "3+/2+=0.8" gives k = 2 and 0.8;
/// "2+/3+=1.25" the same pair with 1/1.25. Checked against n: both states
/// between 1+ and (n+1)+, neighbours, a finite ratio above 0.
std::optional<ratio_spec> parse_ratio_spec(const std::string& text, int n, std::string* message);

/// A pair of neighbouring states as typed: "3+/2+" (or "2+/3+") gives
/// k = 2. Checked against n as a ratio's pair is.
std::optional<int> parse_pair_spec(const std::string& text, int n, std::string* message);

/// Counts of charge states as typed: "2+=1200,3+=960". Every state between 1+
/// and (n+1)+ at most once, whole numbers of at least 0. Returns the counts
/// by charge (index 1 .. n+1; -1 where not given).
std::optional<std::vector<double>> parse_counts_spec(const std::string& text, int n,
                                                     std::string* message);

/// The neighbouring pairs k of counted states, each with both counts given
/// and not both zero; a message when there is none or one is 0 and 0.
std::optional<std::vector<int>> counted_pairs(const std::vector<double>& counts,
                                              std::string* message);

}  // namespace veltrane
