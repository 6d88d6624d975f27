#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "compute/curves/number_format.hpp"
#include "compute/curves/request.hpp"
#include "compute/curves/sweep.hpp"

namespace veltrane {

inline constexpr int series_count = 5;  ///< charge states 1+ .. 5+

/// The name of the chart series of charge state k: "1+" .. "5+".
std::string series_name(int charge);

/// What the Calculate order needs of the window: the chart's operations and a
/// modal message box. Series are addressed by charge state, 1..5.
class calculation_view {
 public:
  virtual ~calculation_view() = default;
  virtual void clear_series(int charge) = 0;
  virtual void set_listed_in_legend(int charge, bool listed) = 0;
  /// Appends (x, y) at the end of the series; y may be -inf or NaN.
  virtual void add_point(int charge, double x, double y) = 0;
  virtual void set_line_width(int charge, int width) = 0;
  virtual void show_chart() = 0;
  /// Axis titles, the fixed y range, then rounded ends of the automatic x range.
  virtual void set_axes(const std::string& x_title, const std::string& y_title, double y_min,
                        double y_max) = 0;
  /// Shows `text` in a modal box with an empty title and one OK button.
  virtual void show_message(const std::string& text) = 0;
};

/// Start of a run: empty "1+".."5+" in this order, then unlist "5+", "4+", "3+".
void chart_reset(calculation_view& view);

/// After step j of n: show the chart, list "3+" up to series n + 1, give
/// series 1 to n + 1 the line width 2.
void chart_after_step(calculation_view& view, int n);

/// End of every run, also one stopped by a message: "E [V/nm]", "log P",
/// y from -1.5 to 0, rounded x range.
void chart_end_steps(calculation_view& view);

/// Hands the curves to the chart in sweep order, step after step: per point
/// (E, log10(1 - Q)) to series j + 1, then (E, log10 Q) to series j, and the
/// after-step settings after each step (for n = 1 after all 50 points).
void feed_chart(calculation_view& view, const curve_set& curves);

/// One line for every step that has no finite point at all, saying which step
/// has no curve and what the model was given, each number written by `show`
/// and the energies separated by `separator` (list_separator of the door's
/// format):
/// "No curve for 1+ → 2+: the model has no value at any field of this sweep.
/// Read: work function 4.55 eV, energies 7864, 16.37 eV."
std::vector<std::string> empty_curve_notes(
    const calc_request& request, const curve_set& curves,
    const std::function<std::string(double)>& show = shortest_text,
    const std::string& separator = ", ");

/// The inputs of a request in one line, as the title of its figures gives
/// them, each number written by `show` and the energies separated by
/// `separator`:
/// "Tungsten, n = 2 · work function 4.55 eV · I1–I3 = 7.864, 16.37, 26 eV".
std::string inputs_line(const calc_request& request,
                        const std::function<std::string(double)>& show = shortest_text,
                        const std::string& separator = ", ");

/// The outcome of one press of Calculate.
struct calculation_result {
  std::optional<curve_set> curves;  ///< empty when the input stopped the run
  std::string stop_message;         ///< the input message, when there was one
  std::string file_error;           ///< why the text file could not be written, if so
  /// empty_curve_notes() of the curves, each number written by the steps' `show`.
  std::vector<std::string> notes;
};

/// What a door gives a press of Calculate besides the inputs.
struct calculation_steps {
  /// Computes the plan's curves (on the door's workers, with its progress
  /// and cancel); false when they were not all computed (cancelled or
  /// failed): the chart then stays as a stopped run leaves it and no file is
  /// written.
  std::function<bool(sweep_plan&)> evaluate;
  /// Called once the request has been read, before the curves are computed.
  std::function<void(const calc_request&)> read;
  /// Writes the numbers of the empty-curve notes.
  std::function<std::string(double)> show = shortest_text;
};

/// The first half of a press: reset the chart and read the request. On a stop
/// the message is shown and the chart's end steps run; nothing is returned.
std::optional<calc_request> begin_calculation(calculation_view& view, const control_state& controls,
                                              const number_format& format,
                                              std::string* stop_message = nullptr);

/// The second half, once the curves are known: the chart is fed, the text
/// file written if asked for, the end steps run, and a failed write is then
/// reported in a message. Returns the file error, if any.
std::string finish_calculation(calculation_view& view, const calc_request& request,
                               const curve_set& curves, const std::filesystem::path& text_file);

/// One whole press of Calculate, in the program's order: reset; read the
/// request (a stop shows its message); compute the curves with `model`;
/// feed the chart; write `text_file` when "Save as text files" is ticked;
/// the chart's end steps; a message if the file could not be written.
calculation_result run_calculation(calculation_view& view, const control_state& controls,
                                   const number_format& format, const model_function& model,
                                   const std::filesystem::path& text_file = "data.txt",
                                   unsigned threads = 1);

/// The same press with the door's own evaluation of the plan (the window's
/// background run); a plan that is not computed ends with the chart's end
/// steps, without curves, file or notes.
calculation_result run_calculation(calculation_view& view, const control_state& controls,
                                   const number_format& format, const calculation_steps& steps,
                                   const std::filesystem::path& text_file);

}  // namespace veltrane
