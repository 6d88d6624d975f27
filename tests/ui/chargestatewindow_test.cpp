#include "ui/ChargeStateWindow.hpp"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QProgressDialog>
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
    ChargeStateWindow* w = f.chargeStateWindow();
    QVERIFY(w != nullptr && w->isVisible());
    QVERIFY(w->table().has_value());
    // log10 f_k of 1+ .. 5+, all listed.
    for (int k = 1; k <= 5; ++k) {
      QVERIFY(w->chart().isListed(k));
      QCOMPARE(w->chart().points(k).size(), w->table()->E.size());
    }
    QCOMPARE(w->chart().axisY()->min(), -4.0);
    QCOMPARE(w->chart().axisY()->max(), 0.0);
    QCOMPARE(w->chart().axisY()->titleText(), QString("log f"));
    // The default range: from the lowest sweep start to the highest E_ob.
    QVERIFY(w->table()->E.front() < 14.0);
    QCOMPARE(w->table()->E.back(), 93.0);
    // The four equal-abundance fields are marked, where Q_j = 1/2.
    const auto marks = w->chart().markerPositions();
    QCOMPARE(marks.size(), std::size_t{4});
    for (std::size_t k = 0; k < 4; ++k) QVERIFY(std::fabs(marks[k] - half[k]) < 1e-3);
    QCOMPARE(w->pairBox()->count(), 4);
    QCOMPARE(w->pairBox()->itemText(1), QString("3+/2+"));
    QVERIFY(w->noteLabel()->isHidden());
  }

  void measuredRatioAndCountsGiveAMarker() {
    MyForm f;
    fillTungsten(f, 3);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = f.chargeStateWindow();
    w->pairBox()->setCurrentIndex(1);  // 3+/2+
    w->ratioBox()->setText("1");
    w->findButton()->click();
    QVERIFY2(w->resultLabel()->text().startsWith("E = 35.00 V/nm"),
             qPrintable(w->resultLabel()->text()));
    QCOMPARE(w->chart().markerPositions().size(), std::size_t{4});
    QVERIFY(std::fabs(w->chart().markerPositions().back() - 35.0) < 1e-3);

    w->ratioBox()->clear();
    w->lowerCountBox()->setText("1000");
    w->upperCountBox()->setText("500");
    w->findButton()->click();
    const QString text = w->resultLabel()->text();
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
    ChargeStateWindow* w = f.chargeStateWindow();
    w->pairBox()->setCurrentIndex(1);  // 3+/2+
    w->ratioBox()->setText("1");
    w->sensitivityBox()->setChecked(true);
    w->findButton()->click();
    const QString text = w->resultLabel()->text();
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
    ChargeStateWindow* w = f.chargeStateWindow();
    w->pairBox()->setCurrentIndex(1);
    w->ratioBox()->setText(ratio);
    w->lowerCountBox()->setText(lower);
    w->upperCountBox()->setText(upper);
    MessageCloser closer;
    w->findButton()->click();
    QCOMPARE(closer.texts, QStringList{message});
  }

  void rangeAndMainWindowInputs() {
    MyForm f;
    fillTungsten(f, 2);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = f.chargeStateWindow();
    MessageCloser closer;
    w->fromBox()->setText("30");
    w->toBox()->setText("20");
    w->computeButton()->click();
    QCOMPARE(closer.texts.size(), 1);
    QCOMPARE(closer.texts[0], QString("the field range must rise: 30 is not below 20 V/nm"));
    // A range that is fine: the fractions over it, every half V/nm.
    w->fromBox()->setText("18");
    w->toBox()->setText("24");
    w->computeButton()->click();
    QCOMPARE(closer.texts.size(), 1);
    QCOMPARE(w->table()->E.size(), std::size_t{13});
    // The window reads the main window's inputs anew each time.
    f.numericUpDown1->setValue(1);
    w->computeButton()->click();
    QCOMPARE(w->table()->f.size(), std::size_t{2});
  }

  void savesCsvAndImage() {
    MyForm f;
    fillTungsten(f, 1);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = f.chargeStateWindow();
    w->saveCsvButton()->click();
    w->savePngButton()->click();
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
    ChargeStateWindow* w = f.chargeStateWindow();
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
    ChargeStateWindow* w = f.chargeStateWindow();
    const double tungstenStart = w->table()->E.front();
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Molybdenum"));
    w->pairBox()->setCurrentIndex(0);
    w->ratioBox()->setText("1");
    w->findButton()->click();
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
    ChargeStateWindow* w = f.chargeStateWindow();
    QCOMPARE(w->elementList()->count(), 44);
    // The list opens on the main window's element and leaves it chosen.
    QCOMPARE(w->elementList()->currentItem()->text(), QString("Tungsten"));
    QCOMPARE(f.comboBox1->currentText(), QString("Tungsten"));
    MessageCloser closer;
    // The range: typed, and drawn once the typing has settled.
    w->toBox()->clear();
    QTest::keyClicks(w->toBox(), "30");
    QTRY_COMPARE(w->table()->E.back(), 30.0);
    // A ratio moves the measured marker as it is typed.
    w->pairBox()->setCurrentIndex(1);
    QTest::keyClicks(w->ratioBox(), "1");
    QTRY_VERIFY(w->resultLabel()->text().startsWith("E = 35.00 V/nm"));
    QVERIFY(std::fabs(w->chart().markerPositions().back() - 35.0) < 1e-3);
    // A bad text while typing is said on the result line, not in a box.
    QTest::keyClicks(w->ratioBox(), "x");
    QTRY_VERIFY(w->resultLabel()->text().startsWith("a ratio must be"));
    QVERIFY(closer.texts.isEmpty());
    // A change in the main window redraws the diagram.
    f.numericUpDown1->setValue(3);
    QTRY_COMPARE(w->table()->f.size(), std::size_t{4});
    // Picking an element in the list shows its diagram.
    const double tungstenStart = w->table()->E.front();
    w->toBox()->clear();
    w->elementList()->setCurrentRow(
        w->elementList()->row(w->elementList()->findItems("Molybdenum", Qt::MatchExactly).front()));
    QCOMPARE(f.comboBox1->currentText(), QString("Molybdenum"));
    QTRY_VERIFY(w->table()->E.front() != tungstenStart);
    QVERIFY(closer.texts.isEmpty());
    // A choice in the main window is marked in the list.
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Iron"));
    QCOMPARE(w->elementList()->currentItem()->text(), QString("Iron"));
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
