#pragma once

// The charge-state fractions of one set of inputs at any field, from a
// table: for fits that ask for the fractions at thousands of fields (the
// joint field of several elements, in every bin of a map).

#include <span>
#include <vector>

#include "compute/charge_states/charge_states.hpp"

namespace veltrane {

/// f_1 .. f_(n+1) of one request at any field from `from` on, interpolated
/// from a table of the steps' probabilities. Below its over-barrier field
/// each step's Q~_j is tabulated every `step` V/nm (and at the last field
/// below that edge, where it still has a value) as g_j = -ln Q~_j, the
/// integrated chance of further ionisation along the flight; ln g_j is
/// smooth in the field, and a cubic through four table points gives Q~_j
/// to about 1e-6 relative at a step of 0.1 V/nm (the model has kinks where
/// flight points change the shape of their barriers). Where a point of the
/// stencil has Q~_j exactly 1 (g = 0), g is interpolated linearly. From the
/// over-barrier field on Q~_j is 0, as in every fraction of the program.
class fraction_curves {
 public:
  /// Tabulates `states` (over-barrier fields and the probabilities between
  /// `from_v_per_nm` and the highest over-barrier field or `to_v_per_nm`,
  /// whichever is lower). Throws what charge_states throws.
  fraction_curves(charge_states& states, double from_v_per_nm, double to_v_per_nm,
                  double step_v_per_nm);

  int n() const { return static_cast<int>(steps_.size()); }
  /// The fields the table covers (V/nm): every step's probability is known
  /// from `from` to `to`.
  double from() const { return from_; }
  double to() const { return to_; }
  /// The over-barrier field of step j (V/nm): +inf when there is none, 0
  /// when the step has no value anywhere.
  double over_barrier(int j) const { return steps_[static_cast<std::size_t>(j) - 1].edge; }

  /// Q~_j at E (V/nm); E below `from` is taken as `from`, above `to` as
  /// `to` unless the step's over-barrier field lies below E.
  double step_probability(int j, double E) const;
  /// f_1 .. f_(n+1) at E into `f` (n + 1 values).
  void fractions_at(double E, std::span<double> f) const;

 private:
  struct step {
    double edge = 0.0;         // over-barrier field, V/nm
    std::vector<double> E, g;  // table: fields below the edge and -ln Q~ there
  };
  double g_at(const step& s, double E) const;

  double from_ = 0.0, to_ = 0.0;
  std::vector<step> steps_;
};

}  // namespace veltrane
