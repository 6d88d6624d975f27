#include "ui/BackgroundRun.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressDialog>
#include <QTimer>
#include <memory>
#include <new>
#include <thread>

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

}  // namespace

RunOutcome runInBackground(QWidget* parent,
                           const std::function<void(veltrane::evaluation_progress&)>& work,
                           std::size_t total, int delayMs, std::atomic<bool>** cancel) {
  veltrane::evaluation_progress progress;
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

    const int count = static_cast<int>(total);
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
        dialog = std::make_unique<QProgressDialog>("Calculating the curves...", "Cancel", 0, count,
                                                   parent);
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
        const int done = static_cast<int>(progress.done.load());
        dialog->setValue(std::min(done, count));
        dialog->setLabelText(QStringLiteral("Calculated %1 of %2 points").arg(done).arg(count));
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
