#pragma once

#include <QString>
#include <QWidget>
#include <atomic>
#include <cstddef>
#include <functional>

#include "compute/curves/sweep.hpp"

/// How a run on the worker thread ended.
struct RunOutcome {
  bool cancelled = false;
  QString error;  ///< the failure's message ("Out of memory while calculating"), if any
  bool ok() const { return !cancelled && error.isEmpty(); }
};

/// Runs `work` on a worker thread while the event loop keeps running, so the
/// windows keep painting. The worker is joined on every path; `cancel` (when
/// given) is pointed at the run's cancel flag meanwhile, so that closing a
/// window can stop it. A run longer than `delayMs` shows a window-modal
/// progress dialog, "Calculated i of N points", with Cancel; N counts the
/// model calls the work has started so far. A calculation_error (or any
/// other exception) of the work becomes the outcome's error.
RunOutcome runInBackground(QWidget* parent,
                           const std::function<void(veltrane::evaluation_progress&)>& work,
                           int delayMs, std::atomic<bool>** cancel = nullptr);

/// Ends the program with status 0: at once when no run is going on;
/// otherwise every run is cancelled and the program ends as soon as the last
/// of them has stopped and its workers are joined, so that no worker is left
/// using the model while the process exits.
void exitWhenIdle();

/// How the program ends (std::exit unless a test puts a stand-in here).
extern std::function<void(int)> exitProcess;
