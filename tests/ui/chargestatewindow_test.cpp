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
#include <QtCharts/QLegendMarker>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <thread>

#include "compute/curves/inputs.hpp"
#include "model/constants.hpp"
#include "ui/BackgroundRun.hpp"
#include "ui/ChartTools.hpp"
#include "ui/ImageExport.hpp"
#include "ui/MyForm.hpp"
#include "ui/ResultChart.hpp"
#include "window_fixture.hpp"

using namespace window_fixture;

namespace {

// How long a test waits for a window to show a calculation's result: long
// enough for a loaded machine and a sanitizer build; only a failing test waits
// that long.
constexpr int settleMs = 120000;

// The charge-state window the form opened, once its first drawing is done.
ChargeStateWindow* opened(const MyForm& f) {
  auto* w = f.findChild<ChargeStateWindow*>();
  if (w == nullptr) qFatal("the button opened no charge-state window");
  return w;
}

ResultChart& chart(const ChargeStateWindow* w) { return *child<ResultChart>(w, "resultChart"); }

// A text as the result line shows it: a number keeps its unit (V/nm, eV, %)
// by a no-break space.
QString nbsp(QString text) {
  for (const char* unit : {" V/nm", " eV", " %"}) {
    text.replace(QString::fromLatin1(unit), QChar(0x00a0) + QString::fromLatin1(unit + 1));
  }
  return text;
}

// A click on `name` in the Kingham-diagram list.
void pickInList(ChargeStateWindow* w, const char* name) {
  auto* list = child<QListWidget>(w, "elementList");
  list->setCurrentRow(list->row(list->findItems(name, Qt::MatchExactly).front()));
}

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
    QCOMPARE(chart(w).axisY()->titleText(), QString("log10 f (fraction of ions arriving as k+)"));
    // The default range: from the lowest sweep start to the highest E_ob.
    QVERIFY(w->table()->E.front() < 14.0);
    QCOMPARE(w->table()->E.back(), 93.0);
    // The four equal-abundance fields are marked, where Q_j = 1/2, then the
    // four over-barrier fields.
    const auto marks = chart(w).markerPositions();
    QCOMPARE(marks.size(), std::size_t{8});
    for (std::size_t k = 0; k < 4; ++k) QVERIFY(std::fabs(marks[k] - half[k]) < 1e-3);
    for (std::size_t k = 0; k < 4; ++k) QVERIFY(std::fabs(marks[4 + k] - barrier[k]) < 1e-3);
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
    QVERIFY2(child<QLabel>(w, "resultLabel")->text().startsWith(nbsp("E = 35.00 V/nm")),
             qPrintable(child<QLabel>(w, "resultLabel")->text()));
    QCOMPARE(chart(w).markerPositions().size(), std::size_t{7});
    QVERIFY(std::fabs(chart(w).markerPositions().back() - 35.0) < 1e-3);

    child<QLineEdit>(w, "ratioBox")->clear();
    child<QLineEdit>(w, "lowerCountBox")->setText("1000");
    child<QLineEdit>(w, "upperCountBox")->setText("500");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    const QString text = child<QLabel>(w, "resultLabel")->text();
    QVERIFY2(text.contains(nbsp("V/nm (95 %: ")), qPrintable(text));
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
        nbsp(QString::fromUtf8("work function \u00b10.1 eV: ([-+0-9.]+)/([-+0-9.]+) V/nm")));
    const auto match = line.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QVERIFY(std::fabs(match.captured(1).toDouble() + 0.5) < 0.01);
    QVERIFY(std::fabs(match.captured(2).toDouble() - 0.5) < 0.01);
    // 3+/2+ of n = 3 takes I2, I3 and I4; I1 enters no step of n >= 2.
    QStringList inputs;
    for (const QString& l : text.split('\n')) {
      if (l.startsWith('I')) inputs << l.section(QChar(0x00a0), 0, 0).section(' ', 0, 0);
    }
    QCOMPARE(inputs, (QStringList{"I2", "I3", "I4"}));
    // A number keeps its unit on its line.
    QVERIFY(!text.contains(" V/nm") && !text.contains(" eV") && !text.contains(" %"));
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

  // Every save asks where (proposing the current name), says where the file
  // went, and says why when it could not be written.
  void savesCsvAndImage() {
    MyForm f;
    fillTungsten(f, 1);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    QStringList proposed;
    QString chosen;
    saveFileChooser = [&](QWidget*, const QString& name, const QString&) {
      proposed << name;
      return chosen;
    };
    auto* status = child<QLabel>(w, "statusLine");
    chosen = "fractions";  // the filter's suffix is added
    child<QPushButton>(w, "saveCsvButton")->click();
    const QString csvPath = QDir::current().absoluteFilePath("fractions.csv");
    QCOMPARE(proposed.last(), QDir::current().absoluteFilePath("Tungsten_charge_states.csv"));
    QCOMPARE(status->text(), "Wrote " + csvPath);
    QFile csv(csvPath);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QByteArray table = csv.readAll();
    QVERIFY(
        table.startsWith("# Charge-state fractions after Kingham's post-field-ionisation "
                         "theory\n# Tungsten, n = 1, work function 4.55 eV, energies "));
    QVERIFY(table.contains("\nE_V_per_nm,Q1,f1,f2\n"));

    chosen = "Tungsten_charge_states.png";
    child<QPushButton>(w, "savePngButton")->click();
    QCOMPARE(proposed.last(), QDir::current().absoluteFilePath("Tungsten_charge_states.png"));
    QVERIFY(!QImage("Tungsten_charge_states.png").isNull());
    QCOMPARE(status->text(),
             "Wrote " + QDir::current().absoluteFilePath("Tungsten_charge_states.png"));

    MessageCloser closer;
    QDir().mkdir("taken.csv");
    chosen = "taken.csv";
    child<QPushButton>(w, "saveCsvButton")->click();
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY2(closer.texts[0].startsWith("Could not save " +
                                        QDir::current().absoluteFilePath("taken.csv") + ": "),
             qPrintable(closer.texts[0]));
    QCOMPARE(status->text(), closer.texts[0]);
    chosen.clear();  // cancelled: nothing is written or said
    child<QPushButton>(w, "savePngButton")->click();
    QCOMPARE(closer.texts.size(), 1);
    saveFileChooser = nullptr;
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
    QTRY_COMPARE_WITH_TIMEOUT(statuses.size(), std::size_t{1}, settleMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(w->table()->E.back(), 30.0, settleMs);
    // A ratio moves the measured marker as it is typed.
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "1");
    QTRY_VERIFY_WITH_TIMEOUT(
        child<QLabel>(w, "resultLabel")->text().startsWith(nbsp("E = 35.00 V/nm")), settleMs);
    QVERIFY(std::fabs(chart(w).markerPositions().back() - 35.0) < 1e-3);
    // A bad text while typing is said on the result line, not in a box.
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "x");
    QTRY_VERIFY_WITH_TIMEOUT(child<QLabel>(w, "resultLabel")->text().startsWith("a ratio must be"),
                             settleMs);
    QVERIFY(closer.texts.isEmpty());
    // A change in the main window redraws the diagram.
    f.numericUpDown1->setValue(3);
    QTRY_COMPARE_WITH_TIMEOUT(w->table()->f.size(), std::size_t{4}, settleMs);
    // Picking an element in the list shows its diagram, the main window
    // untouched.
    const double tungstenStart = w->table()->E.front();
    child<QLineEdit>(w, "toBox")->clear();
    pickInList(w, "Molybdenum");
    QTRY_VERIFY_WITH_TIMEOUT(w->table()->E.front() != tungstenStart, settleMs);
    QCOMPARE(w->request()->element, std::string("Molybdenum"));
    QCOMPARE(f.comboBox1->currentText(), QString("Tungsten"));
    QVERIFY(closer.texts.isEmpty());
    // A choice in the main window is marked in the list and shown.
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Iron"));
    QCOMPARE(child<QListWidget>(w, "elementList")->currentItem()->text(), QString("Iron"));
    QTRY_COMPARE_WITH_TIMEOUT(w->request()->element, std::string("Iron"), settleMs);
    QVERIFY(w->listElement().isEmpty());
  }

  // A click in the Kingham list shows the element with its built-in values
  // and leaves the main window as it is; an n the element cannot have is
  // lowered to the largest it has, and said.
  void kinghamListUsesBuiltInValues() {
    MyForm f;
    fillTungsten(f, 4);
    f.textBox1->setText("5.2");  // the user's work function for Tungsten
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    QCOMPARE(w->request()->work_function_ev, 5.2);
    MessageCloser closer;
    pickInList(w, "Beryllium");
    QTRY_VERIFY_WITH_TIMEOUT(w->request() && w->request()->element == "Beryllium", settleMs);
    SETTLE(w);
    const auto beryllium = *veltrane::built_in_request("Beryllium", 3).request;
    QCOMPARE(*w->request(), beryllium);
    QCOMPARE(w->request()->n, 3);
    QCOMPARE(w->table()->f.size(), std::size_t{4});
    QCOMPARE(w->listElement(), QString("Beryllium"));
    const QString source = child<QLabel>(w, "sourceLine")->text();
    QVERIFY2(source.contains("Beryllium has no 5th ionisation energy: drawn with n = 3"),
             qPrintable(source));
    QVERIFY(chart(w).chart()->title().startsWith("Beryllium, n = 3 "));
    QVERIFY(closer.texts.isEmpty());
    // The main window is as it was.
    QCOMPARE(f.comboBox1->currentText(), QString("Tungsten"));
    QCOMPARE(f.numericUpDown1->value(), 4);
    QCOMPARE(f.textBox1->text(), QString("5.2"));
    QCOMPARE(f.textBox2->text(), QString("7.86403"));
    // Another element of the list, with all its energies: no note.
    pickInList(w, "Iron");
    QTRY_VERIFY_WITH_TIMEOUT(w->request() && w->request()->element == "Iron", settleMs);
    QCOMPARE(w->request()->n, 4);
    QVERIFY(!child<QLabel>(w, "sourceLine")->text().contains("has no"));
    // The source line's link, or a change in the main window, brings back
    // the main window's inputs.
    emit child<QLabel>(w, "sourceLine")->linkActivated("main");
    QTRY_VERIFY_WITH_TIMEOUT(w->request() && w->request()->element == "Tungsten", settleMs);
    QCOMPARE(w->request()->work_function_ev, 5.2);
    pickInList(w, "Gold");
    QTRY_VERIFY_WITH_TIMEOUT(w->request() && w->request()->element == "Gold", settleMs);
    f.numericUpDown1->setValue(2);
    QTRY_VERIFY_WITH_TIMEOUT(
        w->request() && w->request()->element == "Tungsten" && w->request()->n == 2, settleMs);
    QCOMPARE(child<QListWidget>(w, "elementList")->currentItem()->text(), QString("Tungsten"));
  }

  // What the window shows always belongs to the inputs: when they cannot be
  // read the diagram goes, when the measurement cannot be read its marker
  // goes, the reason on the result line.
  void neverAStalePicture() {
    MyForm f;
    fillTungsten(f, 3);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    auto* result = child<QLabel>(w, "resultLabel");
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "1");
    QTRY_COMPARE_WITH_TIMEOUT(chart(w).markerPositions().size(), std::size_t{7}, settleMs);
    MessageCloser closer;

    // A box of the main window that holds no number.
    f.textBox3->setText("16,x");
    QTRY_VERIFY_WITH_TIMEOUT(!w->table().has_value(), settleMs);
    SETTLE(w);
    QCOMPARE(result->text(), QString("Error, please insert correct floating point format"));
    for (int k = 1; k <= 5; ++k) QVERIFY(chart(w).points(k).empty());
    QVERIFY(chart(w).markerPositions().empty());
    QVERIFY(chart(w).chart()->title().isEmpty());
    QVERIFY(closer.texts.isEmpty());
    // Mended, the diagram and the measured field come back.
    f.textBox3->setText("16.37");
    QTRY_VERIFY_WITH_TIMEOUT(w->table().has_value(), settleMs);
    QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith(nbsp("E = 35.00 V/nm")), settleMs);

    // A range box that holds no number.
    child<QLineEdit>(w, "stepBox")->setText("0.5x");
    emit child<QLineEdit>(w, "stepBox")->textEdited("0.5x");
    QTRY_VERIFY_WITH_TIMEOUT(!w->table().has_value(), settleMs);
    QCOMPARE(result->text(), QString("Error, please insert correct floating point format"));
    child<QLineEdit>(w, "stepBox")->clear();
    emit child<QLineEdit>(w, "stepBox")->textEdited(QString());
    QTRY_VERIFY_WITH_TIMEOUT(w->table().has_value(), settleMs);
    SETTLE(w);

    // A bad ratio: the marker goes, the diagram stays.
    QTRY_COMPARE_WITH_TIMEOUT(chart(w).markerPositions().size(), std::size_t{7}, settleMs);
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "x");
    QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith("a ratio must be"), settleMs);
    QCOMPARE(chart(w).markerPositions().size(), std::size_t{6});
    QVERIFY(w->table().has_value());
    // No measurement at all: no marker, no answer.
    child<QLineEdit>(w, "ratioBox")->clear();
    emit child<QLineEdit>(w, "ratioBox")->textEdited(QString());
    QTRY_VERIFY_WITH_TIMEOUT(result->text().isEmpty(), settleMs);
    QCOMPARE(chart(w).markerPositions().size(), std::size_t{6});

    // A ratio and counts: the ratio is used, and the line says so.
    child<QLineEdit>(w, "lowerCountBox")->setText("1000");
    child<QLineEdit>(w, "upperCountBox")->setText("500");
    QTest::keyClicks(child<QLineEdit>(w, "ratioBox"), "1");
    QTRY_VERIFY_WITH_TIMEOUT(result->text().startsWith(nbsp("E = 35.00 V/nm")), settleMs);
    QVERIFY2(result->text().contains(QString::fromUtf8(veltrane::ratio_before_counts)),
             qPrintable(result->text()));
    QVERIFY(closer.texts.isEmpty());
  }

  // A field no specimen carries, or one pinned to the over-barrier field,
  // is answered with a warning on the result line.
  void implausibleFieldsAreWarnedAbout() {
    MyForm f;  // the accurate evaluation of the model itself
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Beryllium"));
    f.numericUpDown1->setValue(3);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    auto* result = child<QLabel>(w, "resultLabel");
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);  // 3+/2+
    child<QLineEdit>(w, "ratioBox")->setText("0.8");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    const QStringList lines = result->text().split('\n');
    QVERIFY2(lines.size() >= 2 && lines[0].startsWith("E = 84"), qPrintable(result->text()));
    QVERIFY2(lines[1].startsWith("Not a real field: no specimen withstands more than about "),
             qPrintable(result->text()));
    QVERIFY(result->styleSheet().contains("background"));

    // Tungsten on the stand-in: 1e9 lies beyond every ratio below E_ob.
    fillTungsten(f, 3);
    SETTLE(w);
    QTRY_VERIFY_WITH_TIMEOUT(w->request() && w->request()->element == "Tungsten", settleMs);
    SETTLE(w);
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    child<QLineEdit>(w, "ratioBox")->setText("1e9");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    QVERIFY2(result->text().split('\n').value(1).startsWith(
                 "At the over-barrier edge: 3+/2+ = 1e+09 lies above every ratio the model gives "
                 "below E_ob = 38.80"),
             qPrintable(result->text()));
    // An ordinary ratio: no warning.
    child<QLineEdit>(w, "ratioBox")->setText("1");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    QCOMPARE(result->text(), nbsp("E = 35.00 V/nm"));
    QVERIFY(!result->styleSheet().contains("background"));
  }

  // The lines are labelled, the measured one has its own legend entry, the
  // hover reads every state, the title names the inputs, also in the saved
  // figure.
  void chartSaysWhatItShows() {
    MyForm f;
    fillTungsten(f, 3);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    child<QLineEdit>(w, "ratioBox")->setText("1");
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    QCOMPARE(
        chart(w).markerLabels(),
        (QStringList{"F(1+,2+) = 20.00", "F(2+,3+) = 35.00", "F(3+,4+) = 58.00", "E_ob(1+) = 22.60",
                     "E_ob(2+) = 38.80", "E_ob(3+) = 63.25", "measured 3+/2+: 35.00"}));
    QCOMPARE(chart(w).chart()->title(),
             QString::fromUtf8("Tungsten, n = 3 \u00b7 work function 4.55 eV \u00b7 I1\u2013I4 = "
                               "7.86403, 16.37, 26, 38.2 eV"));
    // The hover: the nearest field of the table, every state there.
    auto* tools = child<ChartTools>(w, "chartTools");
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QChart* c = chart(w).chart();
    QTRY_VERIFY_WITH_TIMEOUT(c->plotArea().width() > 100, settleMs);
    // The legend's entries, as the shown window lays them out.
    const auto shownLegend = [&] {
      QStringList names;
      for (QLegendMarker* m : c->legend()->markers()) {
        if (m->isVisible()) names << m->label();
      }
      return names;
    };
    QTRY_COMPARE_WITH_TIMEOUT(shownLegend(),
                              (QStringList{"1+", "2+", "3+", "4+", "equal abundance",
                                           "over the barrier", "measured 3+/2+"}),
                              settleMs);
    const QPointF at = c->mapToPosition(QPointF(35.1, -1.0), c->series().front());
    const QString hover = tools->hoverText(
        w->findChild<QChartView*>("chargeStateChart")->mapFromScene(c->mapToScene(at)));
    QVERIFY2(hover.startsWith("E = 35.00 V/nm\n1+: log10 f = "), qPrintable(hover));
    QCOMPARE(hover.count('\n'), 4);
    QVERIFY(hover.contains("\n3+: log10 f = "));
    // The saved figure: its title and labels as text.
    QString text;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          tools->saveAs("states.svg");
          QFile svg("states.svg");
          text = svg.open(QIODevice::ReadOnly) ? QString::fromUtf8(svg.readAll()) : QString();
          return text.contains(">E [V/nm]</text>");
        }(),
        10000);
    for (const QString& expected :
         {QString::fromUtf8(">Tungsten, n = 3 \u00b7 work function 4.55 eV"),
          QString(">log10 f (fraction of ions arriving as k+)</text>"),
          QString(">E_ob(2+) = 38.80</text>"), QString(">measured 3+/2+: 35.00</text>"),
          QString(">F(2+,3+) = 35.00</text>")}) {
      QVERIFY2(text.contains(expected), qPrintable(expected));
    }
  }

  // From its smallest size up nothing overlaps or is cut: the side panel
  // scrolls instead; the smallest size fits a 1366 x 768 laptop.
  void smallestSizeIsReadable() {
    MyForm f;
    fillTungsten(f, 4, [](double F, double B, double phi, int m, int j, double mass, double u) {
      const double shift = 5.0 * (phi * veltrane::ev_per_hartree - 4.55) / 514.2;
      return standIn(F - shift, B, phi, m, j, mass, u);
    });
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    child<QComboBox>(w, "pairBox")->setCurrentIndex(1);
    child<QLineEdit>(w, "lowerCountBox")->setText("1000");
    child<QLineEdit>(w, "upperCountBox")->setText("500");
    child<QCheckBox>(w, "sensitivityBox")->setChecked(true);
    child<QPushButton>(w, "findButton")->click();
    SETTLE(w);
    QVERIFY(w->minimumSizeHint().width() <= 1366 && w->minimumSizeHint().height() <= 700);
    for (const QSize size : {w->minimumSizeHint(), QSize(1168, 600), QSize(1366, 700)}) {
      w->resize(size);
      QApplication::processEvents();
      const QRect whole = w->rect();
      for (QWidget* child : w->findChildren<QWidget*>()) {
        if (!child->isVisible() || child->isWindow()) continue;
        // What lies in the side panel may scroll.
        bool scrolled = false;
        for (QWidget* p = child->parentWidget(); p != nullptr; p = p->parentWidget()) {
          scrolled = scrolled || p->objectName() == "qt_scrollarea_viewport";
        }
        if (!scrolled) {
          const QRect at(child->mapTo(w, QPoint(0, 0)), child->size());
          QVERIFY2(whole.contains(at), qPrintable(child->objectName()));
        }
        auto* label = qobject_cast<QLabel*>(child);
        if (label == nullptr || label->text().isEmpty()) continue;
        if (label->wordWrap()) {
          QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                   qPrintable(label->objectName() + ": " + label->text()));
        } else {
          QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        }
      }
      // The widgets of one layout do not overlap.
      for (QWidget* parent : w->findChildren<QWidget*>()) {
        QList<QWidget*> shown;
        for (QWidget* c : parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
          if (c->isVisible() && !c->isWindow() && c->objectName() != "emptyResultNote") shown << c;
        }
        for (int i = 0; i < shown.size(); ++i) {
          for (int j = i + 1; j < shown.size(); ++j) {
            QVERIFY2(!shown[i]->geometry().intersects(shown[j]->geometry()) ||
                         shown[i]->objectName().startsWith("qt_") ||
                         shown[j]->objectName().startsWith("qt_"),
                     qPrintable(shown[i]->objectName() + " / " + shown[j]->objectName()));
          }
        }
      }
    }
  }

  // Moving over the chart reads it out and moves nothing.
  void hoverKeepsTheLayout() {
    MyForm f;
    fillTungsten(f, 3);
    f.chargeStatesButton->click();
    ChargeStateWindow* w = opened(f);
    SETTLE(w);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QMap<QWidget*, QRect> before;
    for (QWidget* c : w->findChildren<QWidget*>()) before[c] = c->geometry();
    QWidget* viewport = child<QChartView>(w, "chargeStateChart")->viewport();
    for (int x = 10; x < viewport->width(); x += 29) {
      QTest::mouseMove(viewport, QPoint(x, viewport->height() / 2));
    }
    QApplication::processEvents();
    for (auto it = before.begin(); it != before.end(); ++it) {
      QCOMPARE(it.key()->geometry(), it.value());
    }
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
