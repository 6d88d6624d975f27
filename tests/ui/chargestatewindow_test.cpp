#include "ui/ChargeStateWindow.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <thread>

#include "compute/curves/inputs.hpp"
#include "model/constants.hpp"
#include "ui/BackgroundRun.hpp"
#include "ui/MyForm.hpp"
#include "ui/ResultChart.hpp"
#include "window_fixture.hpp"

using namespace window_fixture;

namespace {

// The charge-state window the form opened, once its first drawing is done.
ChargeStateWindow* opened(const MyForm& f) {
  auto* w = f.findChild<ChargeStateWindow*>();
  if (w == nullptr) qFatal("the button opened no charge-state window");
  return w;
}

ResultChart& chart(const ChargeStateWindow* w) { return *child<ResultChart>(w, "resultChart"); }

}  // namespace

class ChargeStateWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir workDir_;
  QString previousDir_;

 private slots:
  void initTestCase() {
    previousDir_ = QDir::currentPath();
    QDir::setCurrent(workDir_.path());
  }
  void cleanupTestCase() { QDir::setCurrent(previousDir_); }

  void buttonOpensTheFractions() {
    MyForm f;
    QCOMPARE(f.chargeStatesButton->geometry(), QRect(15, 405, 237, 23));
    QVERIFY(f.chargeStatesButton->text().startsWith("Charge states"));
    fillTungsten(f, 4);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    QVERIFY(w != nullptr && w->isVisible());
    QVERIFY(w->table().has_value());
    // log10 f_k of 1+ .. 5+, all listed.
    for (int k = 1; k <= 5; ++k) {
      QVERIFY(chart(w).isListed(k));
      QCOMPARE(chart(w).points(k).size(), w->table()->E.size());
    }
    QCOMPARE(chart(w).axisY()->min(), -4.0);
    QCOMPARE(chart(w).axisY()->max(), 0.0);
    QCOMPARE(chart(w).axisY()->titleText(), QString("log f"));
    // The default range: from the lowest sweep start to the highest E_ob.
    QVERIFY(w->table()->E.front() < 14.0);
    QCOMPARE(w->table()->E.back(), 93.0);
    // The four equal-abundance fields are marked, where Q_j = 1/2.
    const auto marks = chart(w).markerPositions();
    QCOMPARE(marks.size(), std::size_t{4});
    for (std::size_t k = 0; k < 4; ++k) QVERIFY(std::fabs(marks[k] - half[k]) < 1e-3);
    QCOMPARE(child<QComboBox>(w, "pairBox")->count(), 4);
    QCOMPARE(child<QComboBox>(w, "pairBox")->itemText(1), QString("3+/2+"));
    QVERIFY(child<QLabel>(w, "emptyResultNote")->isHidden());
  }

  void measuredRatioAndCountsGiveAMarker() {
    MyForm f;
    fillTungsten(f, 3);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);  // 3+/2+
    child<QLineEdit>(w, "ratioBox")->setText("1");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    QVERIFY2(child<QLabel>(w, "resultLabel")->text().startsWith("E = 35.00 V/nm"),
             qPrintable(child<QLabel>(w, "resultLabel")->text()));
    QCOMPARE(chart(w).markerPositions().size(), std::size_t{4});
    QVERIFY(std::fabs(chart(w).markerPositions().back() - 35.0) < 1e-3);

    child<QLineEdit>(w, "ratioBox")->clear();
    child<QLineEdit>(w, "lowerCountBox")->setText("1000");
    child<QLineEdit>(w, "upperCountBox")->setText("500");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    const QString text = child<QLabel>(w, "resultLabel")->text();
    QVERIFY2(text.contains("V/nm (95 %: "), qPrintable(text));
  }

  // With the box ticked, the result says how far the field moves with the
  // work function and each energy of the pair, and what that is not.
  void sensitivityLinesUnderTheResult() {
    // Q_j falls through 1/2 five V/nm higher per eV of work function.
    const veltrane::model_function phiDependent = [](double F, double B, double phi, int m, int j,
                                                     double mass, double u) {
      const double shift = 5.0 * (phi * veltrane::ev_per_hartree - 4.55) / 514.2;
      return standIn(F - shift, B, phi, m, j, mass, u);
    };
    MyForm f;
    fillTungsten(f, 3, phiDependent);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);  // 3+/2+
    child<QLineEdit>(w, "ratioBox")->setText("1");
    child<QCheckBox>(w, "sensitivityBox")->setChecked(true);
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    const QString text = child<QLabel>(w, "resultLabel")->text();
    const QRegularExpression line(
        QString::fromUtf8("work function \u00b10.1 eV: ([-+0-9.]+)/([-+0-9.]+) V/nm"));
    const auto match = line.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QVERIFY(std::fabs(match.captured(1).toDouble() + 0.5) < 0.01);
    QVERIFY(std::fabs(match.captured(2).toDouble() - 0.5) < 0.01);
    QVERIFY2(text.contains(QString::fromUtf8("I2 \u00b11 %")), qPrintable(text));
    QVERIFY2(text.contains("not a confidence interval"), qPrintable(text));
  }

  void badInputGetsItsMessage_data() {
    QTest::addColumn<QString>("ratio");
    QTest::addColumn<QString>("lower");
    QTest::addColumn<QString>("upper");
    QTest::addColumn<QString>("message");
    QTest::newRow("zero") << "0"
                          << ""
                          << ""
                          << "a ratio must be a finite number above 0, not \"0\"";
    QTest::newRow("negative") << "-2"
                              << ""
                              << ""
                              << "a ratio must be a finite number above 0, not \"-2\"";
    QTest::newRow("letters") << "abc"
                             << ""
                             << ""
                             << "a ratio must be a finite number above 0, not \"abc\"";
    QTest::newRow("both zero") << ""
                               << "0"
                               << "0"
                               << "the counts of 2+ and 3+ are both zero";
    QTest::newRow("fraction") << ""
                              << "1.5"
                              << "3"
                              << "a count must be a whole number of at least 0, not \"1.5\"";
    QTest::newRow("negative count") << ""
                                    << "-1"
                                    << "3"
                                    << "a count must be a whole number of at least 0, not \"-1\"";
  }
  void badInputGetsItsMessage() {
    QFETCH(QString, ratio);
    QFETCH(QString, lower);
    QFETCH(QString, upper);
    QFETCH(QString, message);
    MyForm f;
    fillTungsten(f, 2);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    child<QLineEdit>(w, "ratioBox")->setText(ratio);
    child<QLineEdit>(w, "lowerCountBox")->setText(lower);
    child<QLineEdit>(w, "upperCountBox")->setText(upper);
    MessageCloser closer;
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    QCOMPARE(closer.texts, QStringList{message});
  }

  void rangeAndMainWindowInputs() {
    MyForm f;
    fillTungsten(f, 2);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    MessageCloser closer;
    child<QLineEdit>(w, "fromBox")->setText("30");
    child<QLineEdit>(w, "toBox")->setText("20");
    child<QPushButton>(w, "recomputeButton")->click();
    SETTLE(w);
    QCOMPARE(closer.texts.size(), 1);
    QCOMPARE(closer.texts[0], QString("the field range must rise: 30 is not below 20 V/nm"));
    // A range that is fine: the fractions over it, every half V/nm.
    child<QLineEdit>(w, "fromBox")->setText("18");
    child<QLineEdit>(w, "toBox")->setText("24");
    child<QPushButton>(w, "recomputeButton")->click();
    SETTLE(w);
    QCOMPARE(closer.texts.size(), 1);
    QCOMPARE(w->table()->E.size(), std::size_t{13});
    // The window reads the main window's inputs anew each time.
    f.numericUpDown1->setValue(1);
    child<QPushButton>(w, "recomputeButton")->click();
    SETTLE(w);
    QCOMPARE(w->table()->f.size(), std::size_t{2});
  }

  void savesCsvAndImage() {
    MyForm f;
    fillTungsten(f, 1);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    child<QPushButton>(w, "saveCsvButton")->click();
    child<QPushButton>(w, "savePngButton")->click();
    QFile csv("Tungsten_charge_states.csv");
    QVERIFY(csv.open(QIODevice::ReadOnly));
    QVERIFY(csv.readAll().contains("\nE_V_per_nm,Q1,f1,f2\n"));
    QVERIFY(!QImage("Tungsten_charge_states.png").isNull());
  }

  void exitWaitsForTheChargeStateRun() {
    GatedModel gated;
    MyForm f;
    f.setModel(gated.function(), 2);
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Tungsten"));
    f.numericUpDown1->setValue(4);
    std::vector<int> statuses;
    int runningAtExit = -1;
    const auto previousExit = exitProcess;
    exitProcess = [&](int status) {
      statuses.push_back(status);
      runningAtExit = gated.running.load();
    };
    bool exitedEarly = false;
    whenReady(&f, [&] {
      if (gated.started == 0) return false;
      f.button2->click();  // Exit while the charge-state window computes
      exitedEarly = !statuses.empty();
      gated.open = true;
      return true;
    });
    f.chargeStatesButton->click();
    QTRY_COMPARE(statuses.size(), std::size_t{1});
    exitProcess = previousExit;
    QVERIFY(!exitedEarly);
    QCOMPARE(statuses[0], 0);
    QCOMPARE(runningAtExit, 0);
  }

  void anewModelDuringARunKeepsTheOldOneAlive() {
    // The run holds the model it started with (run under the sanitizers, a
    // freed one would be reported).
    GatedModel gated;
    MyForm f;
    f.setModel(gated.function(), 2);
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Tungsten"));
    f.numericUpDown1->setValue(2);
    whenReady(&f, [&] {
      if (gated.started == 0) return false;
      f.setModel(standIn, 2);
      gated.open = true;
      return true;
    });
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    QVERIFY(w->table().has_value());
    QVERIFY(!w->isComputing());
  }

  void progressNeverCountsBeyondItsTotal() {
    // Calls are let through a few at a time, so that the dialog is seen at
    // many counts.
    std::atomic<int> started{0}, allowed{0};
    MyForm f;
    f.setModel(
        [&](double F, double B, double phi, int m, int j, double mass, double u) {
          const int index = started++;
          while (index >= allowed) std::this_thread::yield();
          return standIn(F, B, phi, m, j, mass, u);
        },
        2);
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Tungsten"));
    f.numericUpDown1->setValue(2);
    f.setProgressDelay(0);
    QStringList labels;
    whenReady(&f, [&] {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        for (QProgressDialog* d : top->findChildren<QProgressDialog*>()) {
          if (d->isVisible()) labels << d->labelText();
        }
      }
      allowed += 16;
      return false;
    });
    f.chargeStatesButton->click();
    SETTLE(opened(f));
    const QRegularExpression pattern("^Calculated (\\d+) of (\\d+) points$");
    int counted = 0;
    for (const QString& label : labels) {
      const auto match = pattern.match(label);
      if (!match.hasMatch()) continue;  // before the first count
      ++counted;
      QVERIFY2(match.captured(1).toInt() <= match.captured(2).toInt(), qPrintable(label));
    }
    QVERIFY(counted > 0);
  }

  void findFieldAfterANewElementRedraws() {
    MyForm f;
    fillTungsten(f, 2);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    const double tungstenStart = w->table()->E.front();
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Molybdenum"));
    child<QComboBox>(w, "pairBox")->setCurrentIndex(0);
    child<QLineEdit>(w, "ratioBox")->setText("1");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    // The curves are those of the new request, not the old ones with the
    // new request's field on them.
    QVERIFY(w->table()->E.front() != tungstenStart);
    const auto molybdenum =
        *veltrane::check_request({"Molybdenum", "2", std::nullopt, std::nullopt}).request;
    veltrane::charge_states states(molybdenum, standIn, 2);
    QCOMPARE(w->table()->E.front(), veltrane::default_field_range(states).first);
  }

  void followsTheInputsAsTheyAreTyped() {
    MyForm f;
    fillTungsten(f, 2);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    QCOMPARE(child<QListWidget>(w, "elementList")->count(), 44);
    // The list opens on the main window's element and leaves it chosen.
    QCOMPARE(child<QListWidget>(w, "elementList")->currentItem()->text(), QString("Tungsten"));
    QCOMPARE(f.comboBox1->currentText(), QString("Tungsten"));
    MessageCloser closer;
    // The range: typed, and drawn once the typing has settled.
    child<QLineEdit>(w, "toBox")->clear();
    QTest::keyClicks(child<QLineEdit>(w, "toBox"), "30");
    QTRY_COMPARE(w->table()->E.back(), 30.0);
    // A ratio moves the measured marker as it is typed.
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "1");
    QTRY_VERIFY(child<QLabel>(w, "resultLabel")->text().startsWith("E = 35.00 V/nm"));
    QVERIFY(std::fabs(chart(w).markerPositions().back() - 35.0) < 1e-3);
    // A bad text while typing is said on the result line, not in a box.
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "x");
    QTRY_VERIFY(child<QLabel>(w, "resultLabel")->text().startsWith("a ratio must be"));
    QVERIFY(closer.texts.isEmpty());
    // A change in the main window redraws the diagram.
    f.numericUpDown1->setValue(3);
    QTRY_COMPARE(w->table()->f.size(), std::size_t{4});
    // Picking an element in the list shows its diagram.
    const double tungstenStart = w->table()->E.front();
    child<QLineEdit>(w, "toBox")->clear();
    child<QListWidget>(w, "elementList")
        ->setCurrentRow(child<QListWidget>(w, "elementList")
                            ->row(child<QListWidget>(w, "elementList")
                                      ->findItems("Molybdenum", Qt::MatchExactly)
                                      .front()));
    QCOMPARE(f.comboBox1->currentText(), QString("Molybdenum"));
    QTRY_VERIFY(w->table()->E.front() != tungstenStart);
    QVERIFY(closer.texts.isEmpty());
    // A choice in the main window is marked in the list.
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Iron"));
    QCOMPARE(child<QListWidget>(w, "elementList")->currentItem()->text(), QString("Iron"));
  }

  void inputMessagesComeFromTheMainWindow() {
    MyForm f;
    f.setModel(standIn, 2);
    MessageCloser closer;
    f.chargeStatesButton->click();  // no element chosen
    QCOMPARE(closer.texts, QStringList{"Please select an element."});
  }
};

QTEST_MAIN(ChargeStateWindowTest)
#include "chargestatewindow_test.moc"
