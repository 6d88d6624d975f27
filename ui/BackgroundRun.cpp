#include "ui/BackgroundRun.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

namespace {

// Sets the cancel flag and joins: whatever way the caller leaves, the worker
// is told to stop and is waited for.
struct ScopedWorker {
  std::jthread thread;
  veltrane::evaluation_progress& progress;
  ~ScopedWorker() {
    progress.cancel = true;
    if (thread.joinable()) thread.join();
  }
};

// The runs going on, innermost last (they nest: each runs its own event
// loop), all on the window thread; and whether the program is to end once
// they have stopped.
std::vector<std::atomic<bool>*> activeRuns;
bool exitRequested = false;

// Registers a run for its lifetime, and ends the program after the last one
// when that was asked for meanwhile.
struct RunRegistration {
  explicit RunRegistration(std::atomic<bool>* cancel) {
    activeRuns.push_back(cancel);
    if (exitRequested) *cancel = true;
  }
  ~RunRegistration() {
    activeRuns.pop_back();
    if (activeRuns.empty() && exitRequested) {
      exitRequested = false;  // the request is served (only a stand-in returns)
      exitProcess(0);
    }
  }
  RunRegistration(const RunRegistration&) = delete;
  RunRegistration& operator=(const RunRegistration&) = delete;
};

}  // namespace

std::function<void(int)> exitProcess = [](int status) { std::exit(status); };

void exitWhenIdle() {
  if (activeRuns.empty()) {
    exitProcess(0);
    return;
  }
  exitRequested = true;
  for (std::atomic<bool>* cancel : activeRuns) *cancel = true;
}

RunOutcome runInBackground(QWidget* parent,
                           const std::function<void(veltrane::evaluation_progress&)>& work,
                           int delayMs, std::atomic<bool>** cancel) {
  veltrane::evaluation_progress progress;
  // Declared before the worker, so that the program ends (if asked to) only
  // after the worker has been joined.
  const RunRegistration registration(&progress.cancel);
  std::atomic<bool> finished{false};
  QString error;
  {
    ScopedWorker worker{std::jthread([&] {
                          try {
                            work(progress);
                          } catch (const std::bad_alloc&) {
                            error = QStringLiteral("Out of memory while calculating");
                          } catch (const std::exception& e) {
                            error = QString::fromUtf8(e.what());
                          }
                          finished = true;
                        }),
                        progress};

    std::unique_ptr<QProgressDialog> dialog;
    QElapsedTimer elapsed;
    elapsed.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (finished) {
        loop.quit();
        return;
      }
      if (!dialog && elapsed.elapsed() >= delayMs) {
        dialog =
            std::make_unique<QProgressDialog>("Calculating the curves...", "Cancel", 0, 0, parent);
        dialog->setWindowTitle("Veltrane");
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setMinimumDuration(0);
        dialog->setAutoClose(false);
        dialog->setAutoReset(false);
        QObject::connect(dialog.get(), &QProgressDialog::canceled, &loop,
                         [&] { progress.cancel = true; });
        dialog->show();
      }
      if (dialog) {
        if (dialog->wasCanceled()) progress.cancel = true;
        // Read in this order, done can only fall behind total.
        const int done = static_cast<int>(progress.done.load());
        const int total = static_cast<int>(progress.total.load());
        dialog->setMaximum(std::max(total, 1));
        dialog->setValue(std::min(done, total));
        dialog->setLabelText(QStringLiteral("Calculated %1 of %2 points").arg(done).arg(total));
      }
    });
    if (cancel != nullptr) *cancel = &progress.cancel;
    if (!finished) {
      poll.start();
      loop.exec();
    }
    if (cancel != nullptr) *cancel = nullptr;
    // The loop can also end because the application is quitting: then the
    // run stops too, and is not waited for to its end.
    if (!finished) progress.cancel = true;
    const bool cancelledByUser = progress.cancel.load();
    worker.thread.join();
    dialog.reset();
    if (!error.isEmpty()) return {false, error};
    return {cancelledByUser, {}};
  }
}
