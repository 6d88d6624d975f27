#include "ui/BackgroundRun.hpp"

#include <QProgressDialog>
#include <QWidget>
#include <QtConcurrent/QtConcurrent>
#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

// The runs going on, and whether the program is to end once they have all
// ended; all on the window thread.
std::vector<BackgroundRun*> activeRuns;
bool exitRequested = false;

// The dialog's figures are read this often while it shows.
constexpr int progressRefreshMs = 50;

}  // namespace

std::function<void(int)> exitProcess = [](int status) { std::exit(status); };

void exitWhenIdle() {
  if (activeRuns.empty()) {
    exitProcess(0);
    return;
  }
  exitRequested = true;
  for (BackgroundRun* run : activeRuns) run->cancel();
}

BackgroundRun::BackgroundRun(QWidget* window) : window_(window) {
  poll_.setInterval(progressRefreshMs);
  connect(&poll_, &QTimer::timeout, this, &BackgroundRun::showProgress);
  connect(&watcher_, &QFutureWatcher<QString>::finished, this, &BackgroundRun::end);
}

BackgroundRun::~BackgroundRun() {
  if (!running_) return;
  progress_->cancel = true;
  watcher_.waitForFinished();
  activeRuns.erase(std::remove(activeRuns.begin(), activeRuns.end(), this), activeRuns.end());
}

bool BackgroundRun::start(Work work, int dialogDelayMs) {
  if (running_) return false;
  running_ = true;
  progress_ = std::make_shared<veltrane::evaluation_progress>();
  activeRuns.push_back(this);
  if (exitRequested) progress_->cancel = true;
  dialogDelayMs_ = dialogDelayMs;
  elapsed_.start();
  if (dialogDelayMs_ >= 0) poll_.start();
  watcher_.setFuture(QtConcurrent::run([work = std::move(work), progress = progress_]() -> QString {
    try {
      work(*progress);
    } catch (const veltrane::calculation_cancelled&) {
      progress->cancel = true;
    } catch (const std::bad_alloc&) {
      return QStringLiteral("Out of memory while calculating");
    } catch (const std::exception& e) {
      return QString::fromUtf8(e.what());
    }
    return {};
  }));
  return true;
}

void BackgroundRun::cancel() {
  if (running_) progress_->cancel = true;
}

void BackgroundRun::showProgress() {
  if (!dialog_ && elapsed_.elapsed() >= dialogDelayMs_) {
    dialog_ =
        std::make_unique<QProgressDialog>("Calculating the curves...", "Cancel", 0, 0, window_);
    dialog_->setWindowTitle("Veltrane");
    dialog_->setWindowModality(Qt::WindowModal);
    dialog_->setMinimumDuration(0);
    dialog_->setAutoClose(false);
    dialog_->setAutoReset(false);
    connect(dialog_.get(), &QProgressDialog::canceled, this, &BackgroundRun::cancel);
    dialog_->show();
  }
  if (!dialog_) return;
  // Read in this order, done can only fall behind total.
  const int done = static_cast<int>(progress_->done.load());
  const int total = static_cast<int>(progress_->total.load());
  dialog_->setMaximum(std::max(total, 1));
  dialog_->setLabelText(QStringLiteral("Calculated %1 of %2 points").arg(done).arg(total));
  // Last: a modal dialog's setValue lets the window's events through, so the
  // run may end (and end() let the dialog go) before it returns.
  dialog_->setValue(std::min(done, total));
}

void BackgroundRun::end() {
  poll_.stop();
  // Deleted once the events being handled now are done with: end() may run
  // inside the dialog's own setValue.
  if (dialog_) {
    dialog_->hide();
    dialog_.release()->deleteLater();
  }
  const QString error = watcher_.result();
  const RunOutcome outcome{error.isEmpty() && progress_->cancel.load(), error};
  running_ = false;
  progress_.reset();
  activeRuns.erase(std::remove(activeRuns.begin(), activeRuns.end(), this), activeRuns.end());
  emit finished(outcome);
  if (exitRequested && activeRuns.empty()) {
    exitRequested = false;  // the request is served (only a stand-in returns)
    exitProcess(0);
  }
}
