#pragma once

// The ranges of a range file as sums of the ions that may sit in them. In an
// alloy one peak often holds several ions (54Fe2+, 54Cr2+ and 27Al+ at 27 Da;
// 56Fe2+ and 28Si+ at 28 Da); the expected count of range r is
//   mu_r = sum_s A_s a_rs,
// A_s the ions of species s (an element at a charge, all its isotopes) and
// a_rs the share of them that falls in r: the summed natural abundance of
// its isotopes whose m/q lies in r.

#include <cstddef>
#include <string>
#include <vector>

#include "apt/charge_assignment.hpp"
#include "apt/isotopes.hpp"
#include "apt/range_file.hpp"
#include "compute/datasets/poisson_fit.hpp"

namespace veltrane {

/// One column of a range design.
struct range_species {
  /// The element's symbol ("Fe"), or for a range of its own the range's
  /// name ("WO", "Uo1").
  std::string symbol;
  /// The charge of an element's species; 0 for a range of its own.
  int charge = 0;
  /// An element at a charge, whose isotopes spread over the ranges; false:
  /// the ions of one range that is no single element (a molecule, a name
  /// that is no element, a range no charge fits), an amount of its own.
  bool element = false;
  /// For an element: its isotopes that some range holds at this charge.
  std::vector<apt::isotope> isotopes;
  /// "Fe2+", "27Al+" style label without mass number: "Fe2+"; a range of
  /// its own: its name.
  std::string label() const;
};

/// Which range an isotope at a charge falls in: the range its m/q lies in;
/// else, for a range that holds no isotope of any species of the design
/// (a range placed around a peak a little off the tabulated mass), the
/// nearest such range within the mass tolerance.
struct range_design {
  std::vector<range_species> species;
  /// One row per range of the file (in the order of range_file::ranges),
  /// one column per species.
  share_matrix shares;
  /// Per range: the element it is named after and the charge it was given
  /// (for a range several charges fit alike, 0); empty and 0 for a range
  /// that is no single element's.
  std::vector<std::string> range_symbol;
  std::vector<int> range_charge;
  /// The species the ranges can tell apart (see separability_of).
  separability separable;
  /// What was assumed: species added by the user's elements, isotopes
  /// placed by the tolerance. Each ready to be shown.
  std::vector<std::string> notes;

  /// The column of an element's species, or -1.
  int find(const std::string& symbol, int charge) const;
};

/// The design of `file` with its charges `assignments` (assign_charges of
/// it). The species: every charge an element's own ranges are assigned
/// (or, for a range several charges fit alike, each of them), and, for
/// every element the file lists or names a range after and every symbol of
/// `extra_elements` (known to the isotope table), the charges from 1+ up to
/// its highest assigned one (at least 2+) at which some range holds one of
/// its isotopes. Every range that is no single element's (or that no charge
/// fits) is an amount of its own.
range_design design_ranges(const apt::range_file& file,
                           const std::vector<apt::charge_assignment>& assignments,
                           const apt::charge_options& options,
                           const std::vector<std::string>& extra_elements = {},
                           const apt::isotope_table& table = apt::isotope_table::builtin());

}  // namespace veltrane
