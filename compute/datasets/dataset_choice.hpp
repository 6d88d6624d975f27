#pragma once

// What a range file offers a field, before anything is counted: the elements
// its ranges are named after and at which charges, why an element cannot
// give a field, the pairs of neighbouring states an element has ranges of,
// and the model a pair's field is read with.

#include <optional>
#include <string>
#include <vector>

#include "apt/charge_assignment.hpp"
#include "apt/range_file.hpp"
#include "compute/curves/request.hpp"

namespace veltrane {

/// An element the ranges of a file are named after (one atom of it, a
/// charge assigned).
struct range_file_element {
  std::string symbol;  ///< "Fe"
  /// As the element list writes it ("Iron", "Calicum"); empty for an element
  /// without model data (not in the element table).
  std::string name;
  std::vector<int> charges;  ///< of its ranges, rising, each once
  /// Why no field can be read from it: no model data, or ranges at one
  /// charge only; empty when a field can.
  std::string problem;
};

/// The elements of `file`'s ranges, in order of Z, with the charges
/// assign_charges gives their ranges under `options`. Throws
/// std::invalid_argument for options that charge_options_problem refuses.
std::vector<range_file_element> elements_of_ranges(const apt::range_file& file,
                                                   const apt::charge_options& options = {});

/// Why `element` (name or symbol, any case) cannot give a field with
/// `file`, in the words of the joint field's refusals:
///   "<path>: the range file has no W ranges; it has Cr, Fe, Ni"
///   "<path>: Cr is ranged at 2+ only; a field needs ranges at two charges"
///   "<path>: Mo has no model data (it is not in the element table)"
/// and the unknown-element message for a name that is no element. Empty when
/// it can.
std::string element_range_problem(const apt::range_file& file, const std::string& element,
                                  const apt::charge_options& options = {});

/// The pairs k (k+ and (k+1)+) whose both states `e` has ranges of, rising.
std::vector<int> ranged_pairs(const range_file_element& e);

/// The model the field of pair k of an element is read with.
struct pair_model {
  calc_request request;
  /// True when it is `typed`, the user's own inputs; false: the element's
  /// built-in values.
  bool typed = false;
};

/// `typed` (the inputs the user typed for the charge-state curves) when it
/// is of `e`'s element with n >= k; else the element's built-in work
/// function and energies with n its highest ranged charge, at least k and
/// at most what its data allow. Throws input_refused for an element
/// without model data or a pair its data cannot reach.
pair_model pair_model_for(const range_file_element& e, int k,
                          const std::optional<calc_request>& typed);

/// The decimals that show a field's interval [low, high]: enough that its
/// ends differ by at least two units of the last one (34.511 to 34.518 for
/// a width of 0.007 V/nm), at least 2, at most 6; 2 when either end is not
/// finite or the width is not above 0.
int interval_decimals(double low, double high);

}  // namespace veltrane
