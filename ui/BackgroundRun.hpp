#pragma once

#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

#include "compute/curves/sweep.hpp"

class QProgressDialog;
class QWidget;

/// How a run on the worker thread ended.
struct RunOutcome {
  bool cancelled = false;
  QString error;  ///< the failure's message ("Out of memory while calculating"), if any
  bool ok() const { return !cancelled && error.isEmpty(); }
};

/// Work on a worker thread (QtConcurrent::run), watched from the window's
/// thread by a QFutureWatcher: the windows keep painting and taking events,
/// and finished() comes on the window's thread once the work has returned and
/// its model calls have ended. The work reports to an evaluation_progress and
/// stops at its cancel flag (a calculation_cancelled it throws is a cancel
/// too). A run longer than its dialog delay shows a window-modal progress
/// dialog, "Calculated i of N points" (N: the model calls started so far),
/// with Cancel. Any other exception of the work becomes the outcome's error.
///
/// Held by the window whose work it runs, as its last member: destroyed
/// first, it cancels a run still going on and waits for it, so that no work
/// outlives what it reads.
class BackgroundRun : public QObject {
  Q_OBJECT

 public:
  using Work = std::function<void(veltrane::evaluation_progress&)>;

  /// A progress dialog, when one shows, is window-modal over `window`.
  explicit BackgroundRun(QWidget* window);
  ~BackgroundRun() override;
  BackgroundRun(const BackgroundRun&) = delete;
  BackgroundRun& operator=(const BackgroundRun&) = delete;

  bool isRunning() const { return running_; }
  /// Starts `work`; false (and nothing started) while a run goes on. A
  /// dialog after `dialogDelayMs` (negative: never).
  bool start(Work work, int dialogDelayMs);
  /// Asks the run going on to stop; it ends cancelled.
  void cancel();
  /// The run going on's progress (its model calls so far); null when none.
  const veltrane::evaluation_progress* progress() const { return progress_.get(); }

 signals:
  void finished(const RunOutcome& outcome);

 private:
  void showProgress();
  void end();

  QWidget* window_;
  bool running_ = false;
  std::shared_ptr<veltrane::evaluation_progress> progress_;
  QFutureWatcher<QString> watcher_;
  QTimer poll_;
  QElapsedTimer elapsed_;
  int dialogDelayMs_ = -1;
  std::unique_ptr<QProgressDialog> dialog_;
};

/// Ends the program with status 0: at once when no run is going on;
/// otherwise every run is cancelled and the program ends as soon as the last
/// of them has ended, so that no worker is left using the model while the
/// process exits.
void exitWhenIdle();

/// How the program ends (std::exit unless a test puts a stand-in here).
extern std::function<void(int)> exitProcess;
