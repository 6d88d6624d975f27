#include "compute/datasets/joint_field.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/sweep.hpp"
#include "compute/curves/text_export.hpp"

namespace veltrane {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// The fraction tables: every 0.1 V/nm, or coarser for an element whose
// over-barrier fields lie far up (beryllium's reach 1,400 V/nm).
constexpr double table_step_v_per_nm = 0.1;
constexpr double table_points = 4000.0;
constexpr double lowest_field_v_per_nm = 1.0;
// A charge state enters the test's degrees of freedom when its ranges hold
// ions, or when the fit expects at least this many there.
constexpr double expected_enough = 0.5;
// The fitted field lies at an over-barrier field when it is this close
// (V/nm), or within its interval's width of it: the likelihood falls to
// nothing at the edge, so the top sits just below it.
constexpr double edge_closeness_v_per_nm = 0.05;

std::string join(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& p : parts) out += (out.empty() ? "" : ", ") + p;
  return out;
}

// "1+ 1000, 4+ 500": the charges with ions in an element's own ranges.
std::string counts_text(const element_part& part) {
  std::string out;
  for (std::size_t i = 0; i < part.charges.size(); ++i) {
    if (part.counts[i] <= 0.0) continue;
    out += (out.empty() ? "" : ", ") + charge_label(part.charges[i]) + " " +
           format_number(part.counts[i]);
  }
  return out;
}

}  // namespace

std::vector<species_amount> decompose(const range_design& design, const fit_counts& counts) {
  const std::vector<std::size_t>& basis = design.separable.basis;
  const share_matrix columns = design.shares.columns(basis);
  const amounts_fit fit = fit_amounts(columns, counts.counts, counts.background);
  // The standard errors from the information of every basis column.
  std::vector<std::size_t> all(basis.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  const std::vector<double> sigma = amount_errors(columns, fit.means, all);

  std::vector<species_amount> out(design.species.size());
  for (std::size_t s = 0; s < out.size(); ++s) {
    out[s].label = design.species[s].label();
    out[s].separable = design.separable.separable[s];
    out[s].amount = nan;
    out[s].sigma = nan;
  }
  for (std::size_t i = 0; i < basis.size(); ++i) {
    const std::size_t s = basis[i];
    if (!out[s].separable) continue;
    out[s].amount = fit.amounts[i];
    out[s].sigma = sigma[i];
  }
  for (const auto& group : design.separable.groups) {
    for (std::size_t s : group) {
      std::vector<std::string> others;
      for (std::size_t t : group) {
        if (t != s) others.push_back(out[t].label);
      }
      out[s].inseparable_from = join(others);
    }
  }
  return out;
}

joint_field_model::joint_field_model(const range_design& design,
                                     std::vector<joint_element> elements)
    : design_(&design), elements_(std::move(elements)) {
  problem_.shares = design.shares;
  problem_.species.resize(design.species.size());
  own_ranges_.resize(elements_.size());
  double highest = lowest_field_v_per_nm;
  for (const joint_element& element : elements_) {
    for (const auto& ob : element.states->over_barrier_fields()) {
      const double edge = ob.at_v_per_nm();
      if (std::isfinite(edge)) highest = std::max(highest, edge);
    }
  }
  to_ = std::ceil(highest) + 1.0;
  const double step = std::max(table_step_v_per_nm, (to_ - from_) / table_points);
  for (std::size_t e = 0; e < elements_.size(); ++e) {
    curves_.push_back(std::make_unique<fraction_curves>(*elements_[e].states, from_, to_, step));
    problem_.curves.push_back(curves_.back().get());
    for (std::size_t s = 0; s < design.species.size(); ++s) {
      const range_species& sp = design.species[s];
      if (sp.element && sp.symbol == elements_[e].symbol) {
        problem_.species[s] = {static_cast<int>(e), sp.charge};
      }
    }
    for (std::size_t r = 0; r < design.range_symbol.size(); ++r) {
      if (design.range_symbol[r] == elements_[e].symbol) own_ranges_[e].push_back(r);
    }
  }
}

joint_answer joint_field_model::fit(const fit_counts& counts, const joint_options& options) const {
  joint_answer answer;
  const range_design& d = *design_;
  const std::size_t E = elements_.size();
  std::vector<bool> tied(E, false);

  // Each element's ions, by charge, in the ranges named after it.
  for (std::size_t e = 0; e < E; ++e) {
    element_part part;
    part.symbol = elements_[e].symbol;
    part.n = curves_[e]->n();
    for (const auto& s : d.species) {
      if (s.element && s.symbol == part.symbol) {
        part.charges.push_back(s.charge);
        part.counts.push_back(0.0);
      }
    }
    for (std::size_t r : own_ranges_[e]) {
      part.total += counts.counts[r];
      const auto at = std::find(part.charges.begin(), part.charges.end(), d.range_charge[r]);
      if (at != part.charges.end()) {
        part.counts[static_cast<std::size_t>(at - part.charges.begin())] += counts.counts[r];
      }
    }
    part.used = part.total >= options.min_counts;
    if (own_ranges_[e].empty()) {
      part.used = false;
      part.note = part.symbol +
                  " is left out: no range is named after it (its ions lie under "
                  "other ions' peaks).";
    } else if (!part.used) {
      part.note = part.symbol + " is left out here: " + format_number(part.total) +
                  " ions in its ranges, fewer than " + format_number(options.min_counts) + ".";
    }
    tied[e] = part.used;
    answer.elements.push_back(std::move(part));
  }

  field_search search;
  search.from = from_;
  search.to = to_;
  search.confidence = options.confidence;
  search.start = options.start;
  const double free_ll = fit_amounts(d.shares, counts.counts, counts.background).log_likelihood;
  const auto used = static_cast<int>(std::count(tied.begin(), tied.end(), true));
  if (used == 0) {
    answer.field.found = false;
    answer.field.E = answer.field.low = answer.field.high = nan;
    answer.test = {nan, 0, nan};
    answer.notes.push_back("No element has enough ions in this " + options.counts_of +
                           " for a field.");
    return answer;
  }
  // The field with the elements `which` tied to it.
  const auto fitted = [&](const std::vector<bool>& which) {
    field_profile_likelihood profile(problem_, counts, which);
    return maximise_field(profile, search);
  };
  const auto alone = [E](std::size_t e) {
    std::vector<bool> which(E, false);
    which[e] = true;
    return which;
  };
  answer.field = fitted(tied);
  if (!answer.field.found) {
    // No field gives every element's ions: an element whose ions no field
    // gives alone (ranged or modelled wrongly) is left out, and the others
    // fitted without it.
    std::vector<std::string> unreachable, reachable;
    for (std::size_t e = 0; e < E; ++e) {
      if (!tied[e]) continue;
      element_part& part = answer.elements[e];
      if (fitted(alone(e)).found) {
        reachable.push_back(part.symbol);
        continue;
      }
      tied[e] = part.used = false;
      part.note = part.symbol + " is left out here: no field of the model gives its ions (" +
                  counts_text(part) +
                  ") together: at every field one of these charges has probability 0 in its "
                  "model; its ranges or its n may be wrong.";
      unreachable.push_back(part.symbol);
    }
    if (!reachable.empty() && !unreachable.empty()) {
      answer.field = fitted(tied);
    }
    if (!answer.field.found) {
      answer.field.E = answer.field.low = answer.field.high = nan;
      answer.test = {nan, 0, nan};
      answer.no_field =
          reachable.empty()
              ? "no field of the model gives the ions of " + join(unreachable)
              : "no single field of the model gives the ions of " + join(reachable) + " together";
      if (reachable.size() < 2) return answer;
      // Each element's own field says where it lies.
      for (std::size_t e = 0; e < E; ++e) {
        if (tied[e]) answer.elements[e].own = fitted(alone(e));
      }
      return answer;
    }
  }

  // Degrees of freedom: the charge states with ions (or expected), less one
  // amount per element and the field.
  int states = 0;
  for (std::size_t e = 0; e < E; ++e) {
    if (!tied[e]) continue;
    std::vector<double> f(static_cast<std::size_t>(curves_[e]->n()) + 1);
    curves_[e]->fractions_at(answer.field.top, f);
    for (std::size_t s = 0; s < d.species.size(); ++s) {
      const fit_species& sp = problem_.species[s];
      if (sp.element != static_cast<int>(e) || sp.charge > curves_[e]->n() + 1) continue;
      double observed = 0.0, share = 0.0;
      for (std::size_t r = 0; r < d.shares.ranges(); ++r) {
        if (d.shares(r, s) > 0.0) observed += counts.counts[r];
        share += d.shares(r, s);
      }
      const double expected =
          answer.field.found
              ? answer.field.element_amounts[e] * f[static_cast<std::size_t>(sp.charge) - 1] * share
              : 0.0;
      if (observed > 0.0 || expected >= expected_enough) ++states;
    }
  }
  const auto tied_count = static_cast<int>(std::count(tied.begin(), tied.end(), true));
  answer.test =
      likelihood_ratio_test(free_ll, answer.field.log_likelihood, states - tied_count - 1);

  // At an over-barrier field of a used element?
  if (answer.field.found) {
    const double width = answer.field.high - answer.field.low;
    const double near =
        std::isfinite(width) ? std::max(edge_closeness_v_per_nm, width) : edge_closeness_v_per_nm;
    for (std::size_t e = 0; e < E && !answer.at_edge; ++e) {
      if (!tied[e]) continue;
      for (int j = 1; j <= curves_[e]->n(); ++j) {
        if (std::abs(answer.field.top - curves_[e]->over_barrier(j)) <= near) {
          answer.at_edge = true;
        }
      }
    }
    if (answer.at_edge && answer.test.p_value < 1.0 - options.confidence) {
      answer.notes.push_back("The field varies within this " + options.counts_of +
                             ": its ions lie on both sides of an over-barrier field, which "
                             "no single field can give; look at the map.");
    }
  }

  if (!options.own_fields) return answer;
  field_search near = search;
  if (answer.field.found) near.start = answer.field.top;
  for (std::size_t e = 0; e < E; ++e) {
    element_part& part = answer.elements[e];
    if (!part.used) continue;
    const auto with_ions =
        std::count_if(part.counts.begin(), part.counts.end(), [](double c) { return c > 0.0; });
    if (with_ions < 2) {
      part.note = part.symbol + " has ions at " + (with_ions == 0 ? "no charge" : "one charge") +
                  " in its own ranges: a field of its own needs two.";
      continue;
    }
    field_profile_likelihood own(problem_, counts, alone(e));
    part.own = maximise_field(own, near);
  }
  return answer;
}

}  // namespace veltrane
