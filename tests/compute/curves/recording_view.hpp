#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "compute/curves/calculation.hpp"

// A chart and message box that only record what the Calculate order did.
struct recording_view : veltrane::calculation_view {
  struct series_state {
    std::vector<std::pair<double, double>> points;
    bool listed = false;
    int width = 1;
  };
  std::array<series_state, 6> series{};  // index = charge state
  std::vector<std::string> log;          // every operation in order
  std::vector<std::string> messages;
  bool visible = false;
  std::string x_title, y_title;
  double y_min = 0.0, y_max = 0.0;

  recording_view() { series[1].listed = series[2].listed = true; }

  void clear_series(int k) override {
    series[static_cast<std::size_t>(k)].points.clear();
    log.push_back("clear " + std::to_string(k));
  }
  void set_listed_in_legend(int k, bool listed) override {
    series[static_cast<std::size_t>(k)].listed = listed;
    log.push_back((listed ? "list " : "unlist ") + std::to_string(k));
  }
  void add_point(int k, double x, double y) override {
    series[static_cast<std::size_t>(k)].points.emplace_back(x, y);
    log.push_back("point " + std::to_string(k));
  }
  void set_line_width(int k, int w) override {
    series[static_cast<std::size_t>(k)].width = w;
    log.push_back("width " + std::to_string(k));
  }
  void show_chart() override {
    visible = true;
    log.push_back("show");
  }
  void set_axes(const std::string& x, const std::string& y, double lo, double hi) override {
    x_title = x, y_title = y, y_min = lo, y_max = hi;
    log.push_back("axes");
  }
  void show_message(const std::string& text) override {
    messages.push_back(text);
    log.push_back("message " + text);
  }
};
