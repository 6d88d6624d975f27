#include "compute/charge_states/measured_field.hpp"

#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/plausibility.hpp"

namespace veltrane {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// An end of the counting interval: its field, or -inf where the end's ratio
// lies below every ratio of the model (the only way a search finds no
// crossing: a ratio above them all crosses where r_k turns infinite).
double end_field(const ratio_fields& end) { return end.field() ? *end.field() : -inf; }

}  // namespace

field_model::field_model(calc_request request, charge_state_model evaluation, unsigned threads)
    : request_(std::move(request)),
      evaluation_(std::move(evaluation)),
      threads_(threads),
      states_(std::make_unique<charge_states>(request_, evaluation_, threads)) {}

void field_model::set_progress(evaluation_progress* progress) {
  progress_ = progress;
  states_->set_progress(progress);
}

ratio_inverter& field_model::inverter(int k) {
  auto& slot = inverters_[k];
  if (!slot) {
    try {
      slot = std::make_unique<ratio_inverter>(*states_, k, evaluation_.ratio_tolerance_v_per_nm);
    } catch (...) {
      inverters_.erase(k);
      throw;
    }
  }
  return *slot;
}

std::string measurement_fault(const pair_measurement& m, int n, const std::string& typed_ratio,
                              const std::string& typed_lower, const std::string& typed_upper) {
  std::string message = confidence_fault(m.confidence);
  if (!message.empty()) return message;
  if (!check_pair(m.k + 1, m.k, n, &message)) return message;
  if (m.ratio) {
    if (!check_ratio(m.k, *m.ratio, typed_ratio, &message)) return message;
    return {};
  }
  if (!check_counts(m.k, m.count_lower, m.count_upper, typed_lower, typed_upper, &message)) {
    return message;
  }
  return {};
}

double measured_field::low() const {
  return counted ? end_field(counted->low) : std::numeric_limits<double>::quiet_NaN();
}

double measured_field::high() const {
  return counted ? end_field(counted->high) : std::numeric_limits<double>::quiet_NaN();
}

measured_field measure_field(field_model& model, const pair_measurement& m, bool sensitivity) {
  measured_field out;
  out.measured = m;
  if (m.ratio) {
    out.fields = field_from_ratio(model.states(), m.k, *m.ratio);
  } else {
    out.counted =
        field_from_counts(model.states(), m.k, m.count_lower, m.count_upper, m.confidence);
    out.fields = out.counted->estimate;
  }
  out.over_barrier_v_per_nm = model.states().over_barrier_field(m.k).at_v_per_nm();
  if (sensitivity && out.field()) {
    out.shifts = field_sensitivity(model.request(), m.k, out.ratio(), *out.field(),
                                   model.evaluation(), model.threads(), model.progress());
  }
  return out;
}

std::vector<double> fields_of_ratios(field_model& model, int k, const std::vector<double>& ratios) {
  return model.inverter(k).fields_of(ratios);
}

std::vector<pair_field> fields_of_counts(field_model& model, int k,
                                         const std::vector<double>& lower,
                                         const std::vector<double>& upper, double confidence) {
  std::vector<pair_field> fields;
  fields.reserve(lower.size());
  for (std::size_t i = 0; i < lower.size(); ++i) {
    fields.push_back(counted_pair(k, lower[i], upper[i], 0.0, 0.0, 1.0, confidence));
  }
  std::vector<pair_field*> open;
  open.reserve(fields.size());
  for (auto& f : fields) open.push_back(&f);
  set_fields(open, model.inverter(k));
  return fields;
}

std::string interval_end_text(double E, bool low, const answer_numbers& numbers) {
  if (std::isfinite(E)) return numbers.field(E);
  if (std::isinf(E)) {
    return E < 0 ? "below every field of the model" : "above every field of the model";
  }
  return low ? "no lower end" : "no upper end";
}

std::string crossings_text(const ratio_fields& fields, const answer_numbers& numbers) {
  std::string list;
  for (const auto& c : fields.crossings) {
    list +=
        (list.empty() ? "" : ", ") + numbers.field(c.E) + (c.rising ? " (rising)" : " (falling)");
  }
  return list;
}

std::string crossings_note(const ratio_fields& fields, const answer_numbers& numbers) {
  return "(ratio not monotonic; crossings at " + crossings_text(fields, numbers) + ")";
}

answer_words measured_field_words(const measured_field& m, const answer_numbers& numbers) {
  answer_words w;
  const int k = m.measured.k;
  w.question = pair_label(k) + " = " + numbers.number(m.ratio());
  if (m.counted) {
    w.question += " (counts " + numbers.count(m.counted->count_upper) + " and " +
                  numbers.count(m.counted->count_lower) + ")";
  }
  w.question += ": ";
  if (!m.field()) {
    w.answer = m.fields.unreachable_message(numbers);
    return w;
  }
  w.answer = "E = " + numbers.field(*m.field()) + " V/nm";
  if (m.counted) {
    w.answer += " (" + numbers.number(m.counted->confidence * 100.0) +
                " %: " + interval_end_text(m.low(), true, numbers) + " to " +
                interval_end_text(m.high(), false, numbers) + " V/nm)";
  }
  w.warning = field_warning(k, m.ratio(), *m.field(), m.over_barrier_v_per_nm, numbers);
  if (m.fields.ambiguous()) {
    w.details.push_back("The ratio is not monotonic in this range; it crosses " +
                        numbers.number(m.ratio()) + " at " + crossings_text(m.fields, numbers) +
                        " V/nm.");
  }
  for (const auto& shift : m.shifts) w.details.push_back(shift.text(numbers));
  if (!m.shifts.empty()) w.details.emplace_back(sensitivity_caveat);
  return w;
}

}  // namespace veltrane
