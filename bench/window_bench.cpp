// The windows' speed as a user meets it, on Qt's offscreen platform:
//   - the charge-state window, from a changed input of the main window (the
//     work function of Tungsten, n = 4) to the redrawn diagram, the live
//     delay included;
//   - the dataset window, from opening a data file and its range file to the
//     spectrum and the map shown. The files are those of
//     VELTRANE_BENCH_DATASET (a path without its extension, e.g.
//     /tmp/veltrane-bench-dataset/synthetic, as scripts/bench-dataset writes
//     them with --keep); without it the benchmark says so and skips.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <cstdlib>
#include <string>

#include "ui/ChargeStateWindow.hpp"
#include "ui/DatasetWindow.hpp"
#include "ui/MyForm.hpp"

namespace {

// Runs the event loop until `done` holds.
template <class condition>
void until(const condition& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Arg: the box typed into, 0 for the work function (every step moves), 5
// for I5 (only the last step of n = 4 moves). Every iteration types a value
// not typed before, so nothing of the change is remembered.
void BM_charge_state_redraw(benchmark::State& state) {
  MyForm form;
  form.show();
  form.comboBox1->setCurrentIndex(form.comboBox1->findText("Tungsten"));
  form.numericUpDown1->setValue(4);
  form.chargeStatesButton->click();
  auto* w = form.findChild<ChargeStateWindow*>();
  int drawn = 0;
  QObject::connect(w, &ChargeStateWindow::drawn, [&drawn] { ++drawn; });
  until([w] { return w->table().has_value() && !w->isComputing(); });
  QLineEdit* const boxes[] = {form.textBox1, form.textBox2, form.textBox3,
                              form.textBox4, form.textBox5, form.textBox6};
  QLineEdit* box = boxes[state.range(0)];
  const double base = box->text().toDouble();
  int typed = 0;
  for (auto _ : state) {
    const int before = drawn;
    box->setText(QString::number(base + 0.001 * ++typed, 'f', 3));
    until([w, before, &drawn] { return drawn != before && !w->isComputing(); });
  }
}
BENCHMARK(BM_charge_state_redraw)
    ->ArgName("box")
    ->Arg(0)
    ->Arg(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_dataset_window_open(benchmark::State& state) {
  const char* base = std::getenv("VELTRANE_BENCH_DATASET");
  if (base == nullptr) {
    state.SkipWithError("set VELTRANE_BENCH_DATASET to a dataset's path without extension");
    return;
  }
  const QString epos = QString::fromLocal8Bit(base) + ".epos";
  const QString rrng = QString::fromLocal8Bit(base) + ".rrng";
  for (auto _ : state) {
    MyForm form;
    form.comboBox1->setCurrentIndex(form.comboBox1->findText("Tungsten"));
    form.numericUpDown1->setValue(3);
    form.datasetButton->click();
    auto* w = form.findChild<DatasetWindow*>();
    QElapsedTimer clock;
    clock.start();
    w->openFile(epos);
    w->openFile(rrng);
    until([w] { return w->fieldMap().has_value() && !w->isComputing(); });
    state.SetIterationTime(static_cast<double>(clock.nsecsElapsed()) * 1e-9);
  }
}
BENCHMARK(BM_dataset_window_open)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
