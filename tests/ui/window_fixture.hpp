#pragma once

// What the window tests share: a closer of message boxes, a Kingham-like
// stand-in for the model, a gated model and a wait on the event loop.

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <functional>
#include <thread>

#include "ui/MyForm.hpp"

namespace window_fixture {

// Closes every message box that appears, recording its text.
class MessageCloser : public QObject {
 public:
  QStringList texts;
  MessageCloser() {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) {
          texts << box->text();
          box->accept();
        }
      }
    });
    timer_.start();
  }

 private:
  QTimer timer_;
};

// Kingham-like steps: Q_j falls through 1/2 at its own field and has no
// value from an over-barrier field on.
inline constexpr double half[] = {20.0, 35.0, 58.0, 85.0};
inline constexpr double barrier[] = {22.6, 38.8, 63.25, 92.5};

inline double standIn(double F, double, double, int, int j, double, double) {
  const double E = F * 514.2;
  const std::size_t i = static_cast<std::size_t>(j) - 1;
  if (E >= barrier[i]) return std::nan("");
  const double x = (E - half[i]) * 2.0;
  return x < -20.0 ? 1.0 : 1.0 / (1.0 + std::exp(x));
}

// Tungsten with n ionisations, on `model` with two threads.
inline void fillTungsten(MyForm& f, int n, veltrane::model_function model = standIn) {
  f.setModel(std::move(model), 2);
  f.comboBox1->setCurrentIndex(f.comboBox1->findText("Tungsten"));
  f.numericUpDown1->setValue(n);
}

// A model whose calls wait at a gate until the test opens it, counting the
// calls started and those still running.
struct GatedModel {
  std::atomic<int> started{0};
  std::atomic<int> running{0};
  std::atomic<bool> open{false};
  veltrane::model_function function() {
    return [this](double F, double B, double phi, int m, int j, double mass, double u) {
      ++started;
      ++running;
      while (!open) std::this_thread::yield();
      const double Q = standIn(F, B, phi, m, j, mass, u);
      --running;
      return Q;
    };
  }
};

// The child of `parent` named `name` (found at any depth); the test ends
// when there is none.
template <class T>
T* child(const QObject* parent, const char* name) {
  T* found = parent->findChild<T*>(QString::fromLatin1(name));
  if (found == nullptr) qFatal("no %s named %s", T::staticMetaObject.className(), name);
  return found;
}

// Waits on the event loop until `window` (a window that computes in the
// background) computes no more: the run started by the action before has
// ended and what it found is shown.
#define SETTLE(window) QTRY_VERIFY_WITH_TIMEOUT(!(window)->isComputing(), 120000)

// Runs `step` on the event loop (every 5 ms) until it returns true.
inline void whenReady(QObject* context, std::function<bool()> step) {
  auto* timer = new QTimer(context);
  QObject::connect(timer, &QTimer::timeout, context, [timer, step] {
    if (step()) timer->deleteLater();
  });
  timer->start(5);
}

}  // namespace window_fixture
