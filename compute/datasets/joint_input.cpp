#include "compute/datasets/joint_input.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

#include "compute/curves/inputs.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

namespace {

std::string trimmed(const std::string& text) {
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  auto first = std::find_if_not(text.begin(), text.end(), space);
  auto last = std::find_if_not(text.rbegin(), text.rend(), space).base();
  return first < last ? std::string(first, last) : std::string();
}

bool same_ignoring_case_ascii(const std::string& a, const char* b) {
  std::string lower = a;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == b;
}

// A whole number of a few digits, as n is typed; nothing for anything else.
std::optional<int> whole_number(const std::string& text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

std::vector<std::string> joint_elements_of(const std::string& text) {
  const std::string whole = trimmed(text);
  if (whole.empty()) {
    throw input_refused("--elements: name the elements, e.g. Fe,Cr,Ni, or all");
  }
  if (same_ignoring_case_ascii(whole, "all")) return {};
  std::vector<std::string> names;
  for (const auto& part : split_commas(whole)) {
    const std::string name = trimmed(part);
    if (name.empty()) {
      throw input_refused("--elements: an empty name in \"" + whole +
                          "\"; name the elements separated by commas, e.g. Fe,Cr,Ni");
    }
    names.push_back(name);
  }
  return names;
}

joint_ionisations joint_ionisations_of(const std::string& text) {
  joint_ionisations out;
  const std::string whole = trimmed(text);
  for (const auto& raw : split_commas(whole)) {
    const std::string part = trimmed(raw);
    const auto colon = part.find(':');
    if (colon == std::string::npos) {
      const auto n = whole_number(part);
      if (!n) {
        throw input_refused("--ionisations: \"" + part +
                            "\" is not a whole number for every element or an element and its "
                            "number, e.g. 3 or Fe:2,Cr:3");
      }
      if (out.all)
        throw input_refused("--ionisations: one number for every element is given twice");
      out.all = *n;
      continue;
    }
    const std::string element = trimmed(part.substr(0, colon));
    const auto n = whole_number(trimmed(part.substr(colon + 1)));
    if (element.empty() || !n) {
      throw input_refused("--ionisations: \"" + part +
                          "\" is not an element and a whole number, e.g. Fe:2");
    }
    if (!out.by_element.emplace(element, *n).second) {
      throw input_refused("--ionisations: " + element + " is given twice");
    }
  }
  return out;
}

}  // namespace veltrane
