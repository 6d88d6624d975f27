#include "compute/curves/calculation.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "compute/curves/text_export.hpp"
#include "recording_view.hpp"

using namespace veltrane;
namespace fs = std::filesystem;

namespace {

control_state tungsten(int n, bool save = false) {
  control_state c;
  c.element = "Tungsten";
  c.ionisations = n;
  c.boxes = {"4.55", "7.864", "16.37", "26.0", "38.2", "51.6"};
  c.save_text = save;
  return c;
}

// Q falls with the field and depends on the charge, so every point differs.
double stand_in(double E, double, double, int, int n, double, double) {
  return 1.0 / (1.0 + E * 100.0 * n);
}

fs::path scratch_file(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("veltrane-calc-" + std::to_string(getpid()));
  fs::create_directories(dir);
  return dir / name;
}

std::size_t count_lines(const fs::path& p) {
  std::ifstream in(p);
  return static_cast<std::size_t>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
}

}  // namespace

TEST(CalculateOrder, SingleStepFillsTwoSeries) {
  recording_view v;
  const auto result = run_calculation(v, tungsten(1), {}, stand_in, scratch_file("unused.txt"));
  ASSERT_TRUE(result.curves);
  EXPECT_TRUE(v.messages.empty());
  EXPECT_EQ(v.series[1].points.size(), 50u);
  EXPECT_EQ(v.series[2].points.size(), 50u);
  for (int k = 3; k <= 5; ++k) {
    EXPECT_TRUE(v.series[static_cast<std::size_t>(k)].points.empty());
    EXPECT_FALSE(v.series[static_cast<std::size_t>(k)].listed);
  }
  EXPECT_TRUE(v.visible);
  EXPECT_EQ(v.series[1].width, 2);
  EXPECT_EQ(v.series[2].width, 2);
  EXPECT_EQ(v.series[3].width, 1);
  EXPECT_EQ(v.x_title, "E [V/nm]");
  EXPECT_EQ(v.y_title, "log P");
  EXPECT_EQ(v.y_min, -1.5);
  EXPECT_EQ(v.y_max, 0.0);

  // Reset first, then per point "2+" before "1+", then the after-step
  // settings once, then the end steps.
  const std::vector<std::string> head = {"clear 1",  "clear 2",  "clear 3",  "clear 4", "clear 5",
                                         "unlist 5", "unlist 4", "unlist 3", "point 2", "point 1"};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), v.log.begin()));
  const std::vector<std::string> tail = {"show", "width 1", "width 2", "axes"};
  EXPECT_TRUE(std::equal(tail.rbegin(), tail.rend(), v.log.rbegin()));

  const auto& p = result.curves->steps[0].points[7];
  EXPECT_EQ(v.series[2].points[7], std::make_pair(p.E, std::log10(1.0 - p.Q)));
  EXPECT_EQ(v.series[1].points[7], std::make_pair(p.E, std::log10(p.Q)));
}

TEST(CalculateOrder, MultiStepSharesTheMiddleSeries) {
  recording_view v;
  const auto result = run_calculation(v, tungsten(2), {}, stand_in, scratch_file("unused.txt"));
  ASSERT_TRUE(result.curves);
  const auto& s1 = result.curves->steps[0].points;
  const auto& s2 = result.curves->steps[1].points;
  EXPECT_EQ(v.series[1].points.size(), s1.size());
  EXPECT_EQ(v.series[2].points.size(), s1.size() + s2.size());
  EXPECT_EQ(v.series[3].points.size(), s2.size());
  // "2+" holds step 1 as the upper state, then step 2 as the lower state.
  EXPECT_EQ(v.series[2].points.front().second, std::log10(1.0 - s1.front().Q));
  EXPECT_EQ(v.series[2].points[s1.size()].second, std::log10(s2.front().Q));
  EXPECT_TRUE(v.series[3].listed);
  EXPECT_FALSE(v.series[4].listed);
  EXPECT_EQ(std::count(v.log.begin(), v.log.end(), "show"), 2) << "after each step";
}

TEST(CalculateOrder, LegendFollowsEachRun) {
  recording_view v;
  run_calculation(v, tungsten(4), {}, stand_in, scratch_file("unused.txt"));
  for (int k = 1; k <= 5; ++k) {
    EXPECT_TRUE(v.series[static_cast<std::size_t>(k)].listed) << k;
    EXPECT_FALSE(v.series[static_cast<std::size_t>(k)].points.empty()) << k;
  }
  // A second identical run replaces the points instead of doubling them.
  const auto before = v.series[3].points;
  run_calculation(v, tungsten(4), {}, stand_in, scratch_file("unused.txt"));
  EXPECT_EQ(v.series[3].points, before);

  run_calculation(v, tungsten(1), {}, stand_in, scratch_file("unused.txt"));
  for (int k = 3; k <= 5; ++k) {
    EXPECT_TRUE(v.series[static_cast<std::size_t>(k)].points.empty()) << k;
    EXPECT_FALSE(v.series[static_cast<std::size_t>(k)].listed) << k;
  }
}

TEST(CalculateOrder, StoppedRunLeavesTheResetChart) {
  recording_view v;
  run_calculation(v, tungsten(2), {}, stand_in, scratch_file("unused.txt"));
  auto bad = tungsten(2);
  bad.boxes[2] = "sixteen";
  int model_calls = 0;
  const auto counting = [&](double, double, double, int, int, double, double) {
    ++model_calls;
    return 0.5;
  };
  const auto result = run_calculation(v, bad, {}, counting, scratch_file("unused.txt"));
  EXPECT_FALSE(result.curves);
  EXPECT_EQ(result.stop_message, messages::bad_number);
  EXPECT_EQ(model_calls, 0);
  EXPECT_EQ(v.messages, std::vector<std::string>{messages::bad_number});
  EXPECT_TRUE(v.visible) << "a later failure leaves the chart shown";
  for (int k = 1; k <= 5; ++k) EXPECT_TRUE(v.series[static_cast<std::size_t>(k)].points.empty());
  EXPECT_TRUE(v.series[1].listed && v.series[2].listed && !v.series[3].listed);
  // The message comes before the end steps.
  EXPECT_EQ(v.log.back(), "axes");
  EXPECT_EQ(v.log[v.log.size() - 2], std::string("message ") + messages::bad_number);

  recording_view fresh;
  auto no_element = tungsten(1);
  no_element.element.reset();
  run_calculation(fresh, no_element, {}, counting, scratch_file("unused.txt"));
  EXPECT_EQ(fresh.messages, std::vector<std::string>{messages::no_element});
  EXPECT_FALSE(fresh.visible) << "no run succeeded: the chart stays hidden";
  EXPECT_EQ(model_calls, 0);
}

TEST(CalculateOrder, TextFileOnlyWhenAskedAndFailuresReportedAfterwards) {
  const fs::path file = scratch_file("data.txt");
  fs::remove(file);
  recording_view v;
  run_calculation(v, tungsten(2), {}, stand_in, file);
  EXPECT_FALSE(fs::exists(file)) << "not ticked: no file";

  auto result = run_calculation(v, tungsten(2, true), {}, stand_in, file);
  ASSERT_TRUE(result.curves);
  EXPECT_TRUE(result.file_error.empty());
  const std::size_t points =
      result.curves->steps[0].points.size() + result.curves->steps[1].points.size();
  EXPECT_EQ(count_lines(file), points + 4);

  // Not ticked after ticked: the earlier file stays as it was.
  const auto size = fs::file_size(file);
  run_calculation(v, tungsten(1), {}, stand_in, file);
  EXPECT_EQ(fs::file_size(file), size);

  // A folder in the way: the curves are still plotted, then the message.
  const fs::path folder = scratch_file("folder-data.txt");
  fs::create_directories(folder);
  recording_view w;
  result = run_calculation(w, tungsten(2, true), {}, stand_in, folder);
  ASSERT_TRUE(result.curves);
  EXPECT_FALSE(result.file_error.empty());
  EXPECT_EQ(w.series[3].points.size(), result.curves->steps[1].points.size());
  ASSERT_EQ(w.messages.size(), 1u);
  EXPECT_NE(w.messages[0].find(folder.string()), std::string::npos);
  EXPECT_EQ(w.log[w.log.size() - 2], "axes") << "reported after the chart is complete";
}

TEST(CalculateOrder, ExtremeInputsEndWithinBoundedPoints) {
  // With a stand-in model, every extreme text ends in a message or a chart
  // of at most 51 points per step.
  const std::vector<std::string> texts = {
      "0",   "-5",       "1e-300",    "1e300", "1e400",
      "NaN", "Infinity", "-Infinity", "   ",   std::string(1000, '9')};
  for (const auto& text : texts) {
    for (int n : {1, 4}) {
      auto c = tungsten(n);
      for (int i = 0; i < n + 2; ++i) c.boxes[static_cast<std::size_t>(i)] = text;
      recording_view v;
      int calls = 0;
      const auto counting = [&](double, double, double, int, int, double, double) {
        ++calls;
        return 0.5;
      };
      const auto result = run_calculation(v, c, {}, counting, scratch_file("unused.txt"));
      EXPECT_LE(calls, 51 * n) << text;
      if (!result.curves) {
        EXPECT_EQ(v.messages.size(), 1u) << text;
      }
      EXPECT_EQ(v.log.back(), "axes") << text;
    }
  }
}

TEST(CalculateOrder, NoteOnlyForStepsWithoutAnyFiniteValue) {
  // Step 1 all NaN, step 2 with finite values.
  auto c = tungsten(2);
  c.boxes[1] = "7864";
  recording_view v;
  const auto nan_in_step_one = [](double, double, double, int, int n, double, double) {
    return n == 1 ? std::nan("") : 0.5;
  };
  const auto result = run_calculation(v, c, {}, nan_in_step_one, scratch_file("unused.txt"));
  ASSERT_TRUE(result.curves);
  const calc_request request = *read_request(c, {}).request;
  const auto notes = empty_curve_notes(request, *result.curves);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0],
            "No curve for 1+ \u2192 2+: the model has no value at any field of this sweep. "
            "Read: work function 4.55 eV, energies 7864, 16.37, 26 eV.");
  EXPECT_TRUE(empty_curve_notes(request, compute_curves(request, stand_in)).empty());
  // An infinite Q is no curve either; the numbers as the locale shows them.
  const auto all_inf = compute_curves(
      request, [](double, double, double, int, int, double, double) { return INFINITY; });
  const auto german = empty_curve_notes(request, all_inf, [](double x) {
    std::string s = shortest_text(x);
    std::replace(s.begin(), s.end(), '.', ',');
    return s;
  });
  ASSERT_EQ(german.size(), 2u);
  EXPECT_NE(german[1].find("2+ \u2192 3+"), std::string::npos);
  EXPECT_NE(german[1].find("work function 4,55 eV, energies 7864, 16,37, 26 eV."),
            std::string::npos)
      << german[1];
  // With a decimal comma the energies are kept apart by semicolons.
  number_format comma;
  comma.decimal_separator = ",";
  comma.group_separator = ".";
  const auto apart = empty_curve_notes(
      request, all_inf, [&comma](double x) { return localised_text(x, comma); },
      list_separator(comma));
  ASSERT_EQ(apart.size(), 2u);
  EXPECT_NE(apart[0].find("work function 4,55 eV, energies 7864; 16,37; 26 eV."), std::string::npos)
      << apart[0];
}

TEST(CalculateOrder, TheInputsOfAFigure) {
  calc_request r;
  r.element = "Tungsten";
  r.n = 2;
  r.work_function_ev = 4.55;
  r.energies_ev = {7.864, 16.37, 26.0};
  EXPECT_EQ(inputs_line(r),
            "Tungsten, n = 2 \u00b7 work function 4.55 eV \u00b7 I1\u2013I3 = 7.864, 16.37, 26 eV");
  number_format comma;
  comma.decimal_separator = ",";
  EXPECT_EQ(inputs_line(
                r, [&comma](double x) { return localised_text(x, comma); }, list_separator(comma)),
            "Tungsten, n = 2 \u00b7 work function 4,55 eV \u00b7 I1\u2013I3 = 7,864; 16,37; 26 eV");
  EXPECT_EQ(list_separator(plain_number_format()), ", ");
}

TEST(CalculateOrder, TheDoorsEvaluationAndAStoppedRun) {
  // The window's path: the request read is handed over before the curves
  // are computed, the door computes them, the notes use its numbers.
  recording_view v;
  calculation_steps steps;
  std::vector<std::string> order;
  steps.read = [&](const calc_request& r) { order.push_back("read " + r.element); };
  steps.evaluate = [&](sweep_plan& plan) {
    order.push_back("evaluate");
    return evaluate_plan(
        plan, [](double, double, double, int, int, double, double) { return std::nan(""); });
  };
  steps.show = [](double x) { return "<" + shortest_text(x) + ">"; };
  const fs::path file = scratch_file("door.txt");
  auto result = run_calculation(v, tungsten(1, true), {}, steps, file);
  EXPECT_EQ(order, (std::vector<std::string>{"read Tungsten", "evaluate"}));
  ASSERT_TRUE(result.curves);
  ASSERT_EQ(result.notes.size(), 1u);
  EXPECT_NE(result.notes[0].find("<4.55>"), std::string::npos) << result.notes[0];
  EXPECT_TRUE(fs::exists(file));

  // Cancelled or failed: the chart's end steps, no curves, no file, no notes.
  fs::remove(file);
  recording_view stopped;
  steps.evaluate = [](sweep_plan&) { return false; };
  result = run_calculation(stopped, tungsten(1, true), {}, steps, file);
  EXPECT_FALSE(result.curves);
  EXPECT_TRUE(result.notes.empty());
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(stopped.log.back(), "axes");
}
