#include "compute/datasets/joint_text.hpp"

#include <cmath>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/measured_field.hpp"

namespace veltrane {

namespace {

std::string interval(const likelihood_field& f, double confidence, const answer_numbers& numbers) {
  return "(" + numbers.number(confidence * 100.0) +
         " %: " + interval_end_text(f.low, true, numbers) + " to " +
         interval_end_text(f.high, false, numbers) + " V/nm)";
}

// "E = 17.5 V/nm (95 %: ...)", or for a field bounded on one side only
// "E below 17.55 V/nm (95 %)".
std::string field_text(const likelihood_field& f, double confidence,
                       const answer_numbers& numbers) {
  if (!f.found) return "no field";
  if (std::isnan(f.E)) {
    const std::string level = " (" + numbers.number(confidence * 100.0) + " %)";
    if (std::isfinite(f.high)) return "E below " + numbers.field(f.high) + " V/nm" + level;
    if (std::isfinite(f.low)) return "E above " + numbers.field(f.low) + " V/nm" + level;
    return "no field: the counts do not depend on it";
  }
  return "E = " + numbers.field(f.E) + " V/nm " + interval(f, confidence, numbers);
}

}  // namespace

joint_words joint_answer_words(const joint_answer& a, double confidence,
                               const answer_numbers& numbers) {
  joint_words w;
  std::string used;
  for (const auto& part : a.elements) {
    if (part.used) used += (used.empty() ? "" : ", ") + part.symbol;
  }
  if (!a.field.found) {
    w.answer = "no field: " +
               (a.no_field.empty() ? std::string("no element has enough ions") : a.no_field);
  } else {
    w.answer = field_text(a.field, confidence, numbers) + " from " + used;
  }
  if (a.field.found && a.test.dof >= 1) {
    const bool agree = !(a.test.p_value < 1.0 - confidence);
    w.test = std::string(agree ? "The elements agree on one field" : "The elements disagree") +
             ": p = " + numbers.number(a.test.p_value) + " (G² = " + numbers.number(a.test.G2) +
             ", " + std::to_string(a.test.dof) + " degree" + (a.test.dof == 1 ? "" : "s") +
             " of freedom)" +
             (agree ? "."
                    : ": no one field fits these counts. The field may vary over the run or "
                      "the detector (see the map and the profile), or Kingham's model, its "
                      "inputs or the ranging do not hold here.");
  } else if (a.field.found) {
    w.test = "No test of agreement: the counted charge states leave no degree of freedom.";
  }
  for (const auto& part : a.elements) {
    std::string line = part.symbol + ": ";
    if (!part.note.empty() && !part.own.found) {
      line += part.note;
    } else {
      line += field_text(part.own, confidence, numbers);
      std::string counts;
      for (std::size_t i = 0; i < part.charges.size(); ++i) {
        counts += (counts.empty() ? "" : ", ") + charge_label(part.charges[i]) + " " +
                  numbers.count(part.counts[i]);
      }
      line += "; ions in its ranges: " + counts;
      if (!part.note.empty()) line += ". " + part.note;
    }
    w.elements.push_back(line);
  }
  w.notes = a.notes;
  return w;
}

std::vector<std::string> decomposition_lines(const std::vector<species_amount>& amounts,
                                             const answer_numbers& numbers) {
  std::vector<std::string> lines;
  for (const auto& s : amounts) {
    if (!s.separable) {
      lines.push_back(s.label + ": cannot be told apart from " + s.inseparable_from +
                      " (all its isotopes share ranges with them in the same proportions)");
    } else if (std::isnan(s.sigma)) {
      lines.push_back(s.label + ": " + numbers.count(s.amount) + " ions");
    } else {
      lines.push_back(s.label + ": " + numbers.count(s.amount) + " \u00b1 " +
                      numbers.count(s.sigma) + " ions");
    }
  }
  return lines;
}

}  // namespace veltrane
