// The windows' speed as a user meets it, on Qt's offscreen platform:
//   - the charge-state window, from a changed input of the main window (the
//     work function of Tungsten, n = 4) to the redrawn diagram, the live
//     delay included;
//   - the charge-state window's Kingham diagrams: a click on each of the 44
//     elements of its list, from the click to the diagram drawn (fractions,
//     E_ob and equal-abundance marks), each element with as many ionisations
//     as its data allow;
//   - the dataset window, from opening a data file and its range file to the
//     spectrum and the map shown. The files are those of
//     VELTRANE_BENCH_DATASET (a path without its extension, e.g.
//     /tmp/veltrane-bench-dataset/synthetic, as scripts/bench-dataset writes
//     them with --keep); without it the benchmark says so and skips.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QSignalBlocker>
#include <QSpinBox>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "compute/curves/element_data.hpp"
#include "ui/ChargeStateWindow.hpp"
#include "ui/DatasetWindow.hpp"
#include "ui/MyForm.hpp"

namespace {

// Runs the event loop until `done` holds, sleeping while no event comes (as
// the window's own loop does: a loop that polls would take one of the cores
// the computation runs on).
template <class condition>
void until(const condition& done) {
  while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
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

// A click on each element of the Kingham-diagram list in turn, in a new
// window (nothing remembered from an earlier iteration), from the click to
// the diagram drawn and painted; the 10 ms the window waits for a burst of
// changes to settle included. n is set beforehand, without a computation,
// to the element's largest. The counters give the median and the slowest
// click (ms) and Beryllium's (n = 3, fields to about 1,400 V/nm).
void BM_element_clicks(benchmark::State& state) {
  std::vector<double> all;
  double beryllium = 0.0;
  for (auto _ : state) {
    MyForm form;
    form.show();
    form.comboBox1->setCurrentIndex(form.comboBox1->findText("Tungsten"));
    form.numericUpDown1->setValue(4);
    form.chargeStatesButton->click();
    auto* w = form.findChild<ChargeStateWindow*>();
    auto* list = w->findChild<QListWidget*>("elementList");
    int drawn = 0;
    QObject::connect(w, &ChargeStateWindow::drawn, [&drawn] { ++drawn; });
    until([w] { return w->table().has_value() && !w->isComputing(); });
    double total = 0.0;
    for (int row = 0; row < list->count(); ++row) {
      const QString name = list->item(row)->text();
      const veltrane::element_data* data = veltrane::find_element_data(name.toStdString());
      if (data == nullptr) continue;
      {
        const QSignalBlocker quiet(form.numericUpDown1);
        form.numericUpDown1->setValue(veltrane::largest_n(*data));
      }
      if (name == form.comboBox1->currentText()) continue;  // shown already
      const int before = drawn;
      QElapsedTimer clock;
      clock.start();
      list->setCurrentRow(row);
      until([w, before, &drawn] { return drawn != before && !w->isComputing(); });
      QCoreApplication::processEvents();  // the repaint
      const double ms = static_cast<double>(clock.nsecsElapsed()) * 1e-6;
      all.push_back(ms);
      total += ms;
      if (name == "Beryllium") beryllium = ms;
    }
    state.SetIterationTime(total * 1e-3);
  }
  std::sort(all.begin(), all.end());
  if (!all.empty()) {
    state.counters["clicks"] = static_cast<double>(all.size());
    state.counters["median_ms"] = all[all.size() / 2];
    state.counters["slowest_ms"] = all.back();
    state.counters["Be_ms"] = beryllium;
  }
}
BENCHMARK(BM_element_clicks)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

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
