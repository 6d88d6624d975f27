#include "compute/curves/calculation.hpp"

#include <algorithm>
#include <cmath>

#include "compute/curves/text_export.hpp"

namespace veltrane {

std::string series_name(int charge) { return std::to_string(charge) + "+"; }

void chart_reset(calculation_view& view) {
  for (int k = 1; k <= series_count; ++k) view.clear_series(k);
  for (int k = series_count; k >= 3; --k) view.set_listed_in_legend(k, false);
}

void chart_after_step(calculation_view& view, int n) {
  view.show_chart();
  for (int k = 3; k <= n + 1; ++k) view.set_listed_in_legend(k, true);
  for (int k = 1; k <= n + 1; ++k) view.set_line_width(k, 2);
}

void chart_end_steps(calculation_view& view) { view.set_axes("E [V/nm]", "log P", -1.5, 0.0); }

void feed_chart(calculation_view& view, const curve_set& curves) {
  // A single-step run has one step of 50 points, so "after each step" is
  // also "after all 50 points" there.
  for (const auto& step : curves.steps) {
    for (const auto& p : step.points) {
      view.add_point(step.j + 1, p.E, std::log10(1.0 - p.Q));
      view.add_point(step.j, p.E, std::log10(p.Q));
    }
    chart_after_step(view, curves.n);
  }
}

std::vector<std::string> empty_curve_notes(const calc_request& request, const curve_set& curves,
                                           const std::function<std::string(double)>& show,
                                           const std::string& separator) {
  std::vector<std::string> notes;
  for (const auto& step : curves.steps) {
    const bool any_finite = std::any_of(step.points.begin(), step.points.end(),
                                        [](const sweep_point& p) { return std::isfinite(p.Q); });
    if (any_finite) continue;
    std::string note = "No curve for " + series_name(step.j) + " \u2192 " +
                       series_name(step.j + 1) + ": the model has no value at any field of this " +
                       "sweep. Read: work function " + show(request.work_function_ev) +
                       " eV, energies ";
    for (std::size_t i = 0; i < request.energies_ev.size(); ++i) {
      note += (i ? separator : "") + show(request.energies_ev[i]);
    }
    notes.push_back(note + " eV.");
  }
  return notes;
}

std::string inputs_line(const calc_request& request, const std::function<std::string(double)>& show,
                        const std::string& separator) {
  std::string line = request.element + ", n = " + std::to_string(request.n) +
                     " \u00b7 work function " + show(request.work_function_ev) +
                     " eV \u00b7 I1\u2013I" + std::to_string(request.energies_ev.size()) + " = ";
  for (std::size_t i = 0; i < request.energies_ev.size(); ++i) {
    line += (i ? separator : "") + show(request.energies_ev[i]);
  }
  return line + " eV";
}

std::optional<calc_request> begin_calculation(calculation_view& view, const control_state& controls,
                                              const number_format& format,
                                              std::string* stop_message) {
  chart_reset(view);
  request_outcome outcome = read_request(controls, format);
  if (!outcome.request) {
    view.show_message(outcome.message);
    chart_end_steps(view);
    if (stop_message != nullptr) *stop_message = outcome.message;
    return std::nullopt;
  }
  return std::move(outcome.request);
}

std::string finish_calculation(calculation_view& view, const calc_request& request,
                               const curve_set& curves, const std::filesystem::path& text_file) {
  feed_chart(view, curves);
  std::string file_error;
  if (request.save_text) {
    if (auto error = save_text_export(curves, text_file)) file_error = *error;
  }
  chart_end_steps(view);
  // Reported once the curves are on the chart, so nothing of the run is lost.
  if (!file_error.empty()) view.show_message(file_error);
  return file_error;
}

calculation_result run_calculation(calculation_view& view, const control_state& controls,
                                   const number_format& format, const model_function& model,
                                   const std::filesystem::path& text_file, unsigned threads) {
  calculation_steps steps;
  steps.evaluate = [&](sweep_plan& plan) { return evaluate_plan(plan, model, threads); };
  return run_calculation(view, controls, format, steps, text_file);
}

calculation_result run_calculation(calculation_view& view, const control_state& controls,
                                   const number_format& format, const calculation_steps& steps,
                                   const std::filesystem::path& text_file) {
  calculation_result result;
  const auto request = begin_calculation(view, controls, format, &result.stop_message);
  if (!request) return result;
  if (steps.read) steps.read(*request);
  sweep_plan plan = plan_sweeps(*request);
  if (!steps.evaluate(plan)) {
    chart_end_steps(view);
    return result;
  }
  result.curves = std::move(plan.curves);
  result.file_error = finish_calculation(view, *request, *result.curves, text_file);
  result.notes = empty_curve_notes(*request, *result.curves, steps.show);
  return result;
}

}  // namespace veltrane
