#pragma once

// The choices of a joint field as typed on the command line (and given as
// text in Python): which elements, and n of each element's model.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace veltrane {

/// The elements of a joint field as typed: names or symbols separated by
/// commas ("Fe,Cr,Nickel"; spaces around each are ignored), or "all" (any
/// case) for the default choice, which is returned as an empty list (every
/// element of the range file with ions at two charges). Throws
/// input_refused for an empty text or an empty name between commas.
std::vector<std::string> joint_elements_of(const std::string& text);

/// n of the elements' models as typed: one whole number for every element
/// ("3"), or per element ("Fe:2,Cr:3", names or symbols), or both ("3,Fe:2":
/// 3 for every element but iron).
struct joint_ionisations {
  std::optional<int> all;
  std::map<std::string, int> by_element;  ///< by the name or symbol as typed
};

/// Throws input_refused naming the part that is neither a whole number nor
/// an element and a whole number, and an element named twice. The numbers
/// themselves (1 to 4, what an element's data allow) are checked when the
/// elements' models are made.
joint_ionisations joint_ionisations_of(const std::string& text);

}  // namespace veltrane
