#pragma once

// The field of an alloy's run from every element it measured, and whether
// the elements agree on it. Each range's count is Poisson with mean
//   mu_r = b_r + sum_e N_e sum_q f_eq(F) a_r,eq + (free species),
// f_eq(F) element e's charge-state fractions in Kingham's model: the field F
// maximises the likelihood of the range counts themselves, so that an ion
// under another's peak (28Si+ under 56Fe2+) carries its uncertainty into the
// field in full. Beside it each element's own field (the other elements'
// charge states free), the counts decomposed into every species (all free),
// and the likelihood-ratio test of one field against charge states of their
// own.

#include <cstddef>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/fraction_curves.hpp"
#include "compute/datasets/joint_fit.hpp"
#include "compute/datasets/range_design.hpp"

namespace veltrane {

/// The ions of one species of a design, decomposed.
struct species_amount {
  std::string label;  ///< "Fe2+", or a range's own name
  /// The ions of the species in the counts fitted, all isotopes included
  /// (so corrected for isotopes no range holds); NaN when inseparable.
  double amount = 0.0;
  double sigma = 0.0;  ///< its standard error (Fisher information); NaN when inseparable
  bool separable = true;
  /// For an inseparable species, the species it cannot be told from
  /// ("54Cr+" style labels joined by ", ").
  std::string inseparable_from;
};

/// The amounts of every species of `design` from range counts: Poisson
/// maximum likelihood over A >= 0, standard errors from the Fisher
/// information, no number for species the ranges cannot tell apart.
std::vector<species_amount> decompose(const range_design& design, const fit_counts& counts);

/// The least a bin or block needs of an element (ions in the ranges named
/// after it) for it to enter a fit there.
inline constexpr double default_element_min_counts = 100.0;

/// One element of a joint field and its model.
struct joint_element {
  std::string symbol;  ///< "Fe"
  /// The model's charge states of the element (its request's n steps, n + 1
  /// charges); must outlive the model below.
  charge_states* states = nullptr;
};

/// An element's part in one fit.
struct element_part {
  std::string symbol;
  int n = 0;
  /// The charges of the design's species of the element, rising, with the
  /// ions in the ranges named after the element at each.
  std::vector<int> charges;
  std::vector<double> counts;
  double total = 0.0;  ///< ions in the element's own ranges
  bool used = false;   ///< tied to the joint field here
  /// The element's own field (the others' charge states free); found =
  /// false when it has fewer than two charges with ions, or too few ions.
  likelihood_field own;
  /// Why the element is left out or has no field of its own, else empty.
  std::string note;
};

/// The answer for one set of counts.
struct joint_answer {
  likelihood_field field;  ///< the joint field; found = false when no element is used
  agreement_test test;
  std::vector<element_part> elements;
  /// The fitted field lies at an over-barrier field of a used element
  /// (within 0.05 V/nm or its interval's width), where a charge state's
  /// fraction jumps to 0: ions at fields on both sides of it (a field
  /// varying within the counts) cannot be one field.
  bool at_edge = false;
  std::vector<std::string> notes;
  /// Why there is no joint field, when field.found is false and the reason
  /// is not that no element has enough ions: "no single field of the model
  /// gives the ions of Cr and Fe together".
  std::string no_field;
};

struct joint_options {
  double confidence = 0.95;
  double min_counts = default_element_min_counts;
  /// Fit each element's own field too.
  bool own_fields = true;
  /// Where the search starts (NaN: a scan over every field of the models).
  double start = std::numeric_limits<double>::quiet_NaN();
  /// What the counts are, in the words of a caveat: "run", "bin", "block".
  std::string counts_of = "run";
};

/// The joint field of a design and its elements: the fraction tables of
/// every element made once, then any number of fits (the whole run, every
/// bin of a map, every block of a profile). Fits are const and may run on
/// several threads at once.
class joint_field_model {
 public:
  /// Tabulates the elements' fractions (what charge_states throws).
  joint_field_model(const range_design& design, std::vector<joint_element> elements);

  const range_design& design() const { return *design_; }
  std::size_t element_count() const { return elements_.size(); }
  const std::string& symbol(std::size_t e) const { return elements_[e].symbol; }
  const fraction_curves& curves(std::size_t e) const { return *curves_[e]; }
  /// The fields searched (V/nm).
  double from() const { return from_; }
  double to() const { return to_; }

  joint_answer fit(const fit_counts& counts, const joint_options& options) const;

 private:
  const range_design* design_;
  std::vector<joint_element> elements_;
  std::vector<std::unique_ptr<fraction_curves>> curves_;
  joint_problem problem_;
  // The ranges named after each element.
  std::vector<std::vector<std::size_t>> own_ranges_;
  double from_ = 1.0, to_ = 100.0;
};

}  // namespace veltrane
