#include "ui/MyForm.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QClipboard>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QValueAxis>
#include <QXmlStreamReader>
#include <QtTest>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <thread>

#include "compute/curves/elements.hpp"
#include "model/fast_model.hpp"
#include "ui/ChartTools.hpp"
#include "ui/ImageExport.hpp"
#include "ui/InputBoxes.hpp"
#include "ui/ResultChart.hpp"

namespace {

// How long a test waits for a window to show a calculation's result: long
// enough for a loaded machine and a sanitizer build; only a failing test waits
// that long.
constexpr int settleMs = 120000;

// Closes every modal box that appears, recording what it showed.
class ModalCloser : public QObject {
 public:
  QStringList texts;
  QStringList titles;
  QList<int> buttonCounts;
  bool cancelProgress = false;
  int progressDialogs = 0;

  ModalCloser() {
    timer_.setInterval(5);
    connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
    timer_.start();
  }

 private:
  void poll() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (!w->isVisible()) continue;
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        texts << box->text();
        titles << box->windowTitle();
        buttonCounts << static_cast<int>(box->buttons().size());
        box->accept();
      }
    }
    for (auto* dialog : QApplication::allWidgets()) {
      auto* progress = qobject_cast<QProgressDialog*>(dialog);
      if (progress != nullptr && progress->isVisible() && !seen_.contains(progress)) {
        seen_ << progress;
        ++progressDialogs;
        if (cancelProgress) {
          auto* button = progress->findChild<QPushButton*>();
          if (button != nullptr) {
            button->click();
          } else {
            progress->cancel();
          }
        }
      }
    }
  }
  QTimer timer_;
  QList<QProgressDialog*> seen_;
};

// Cheap stand-in for the model: Q falls with the field.
double standIn(double E, double, double, int, int n, double, double) {
  return 1.0 / (1.0 + E * 100.0 * n);
}

void fill(MyForm& f, const QString& element, int n, const QStringList& boxes) {
  f.comboBox1->setCurrentIndex(f.comboBox1->findText(element));
  f.numericUpDown1->setValue(n);
  QLineEdit* edits[] = {f.textBox1, f.textBox2, f.textBox3, f.textBox4, f.textBox5, f.textBox6};
  for (int i = 0; i < 6; ++i) edits[i]->setText(i < boxes.size() ? boxes[i] : QString());
}

const QStringList tungsten = {"4.55", "7.864", "16.37", "26.0", "38.2", "51.6"};

// The chart's logical content, as the form's chart view holds it.
ResultChart& resultChart(const MyForm& f) {
  auto* chart = f.chart1->findChild<ResultChart*>("resultChart");
  if (chart == nullptr) qFatal("the chart view holds no ResultChart");
  return *chart;
}

// Presses Calculate and waits (on the event loop) until the run has ended.
#define CALCULATE(f)                                        \
  do {                                                      \
    (f).button1->click();                                   \
    QTRY_VERIFY_WITH_TIMEOUT(!(f).isCalculating(), 120000); \
  } while (0)

std::string readFile(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

class MyFormTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir workDir_;
  QString previousDir_;

 private slots:
  void initTestCase() {
    QVERIFY(workDir_.isValid());
    previousDir_ = QDir::currentPath();
    QDir::setCurrent(workDir_.path());  // data.txt and the images land here
  }
  void cleanupTestCase() { QDir::setCurrent(previousDir_); }

  void startState() {
    MyForm f;
    QCOMPARE(f.windowTitle(), QString("Veltrane"));
    QCOMPARE(f.label9->text(), QString("VELTRANE"));
    QCOMPARE(f.size(), QSize(900, 549));
    QVERIFY(f.chart1->isHidden());
    QCOMPARE(f.focusWidget(), static_cast<QWidget*>(f.button1));
    QCOMPARE(f.comboBox1->currentIndex(), -1);
    QVERIFY(!f.comboBox1->isEditable());
    QCOMPARE(f.comboBox1->count(), 44);
    for (int i = 0; i < 44; ++i) {
      QCOMPARE(f.comboBox1->itemText(i).toStdString(),
               std::string(veltrane::element_table[static_cast<std::size_t>(i)].name));
    }
    QCOMPARE(f.comboBox1->itemText(8), QString("Calicum"));
    QCOMPARE(f.comboBox1->itemText(9), QString("Titan"));
    QCOMPARE(f.numericUpDown1->value(), 1);
    QCOMPARE(f.numericUpDown1->minimum(), 1);
    QCOMPARE(f.numericUpDown1->maximum(), 4);
    QVERIFY(!f.label4->isHidden() && !f.textBox2->isHidden());
    QVERIFY(!f.label5->isHidden() && !f.textBox3->isHidden());
    for (QWidget* w : {static_cast<QWidget*>(f.label6), static_cast<QWidget*>(f.textBox4),
                       static_cast<QWidget*>(f.label7), static_cast<QWidget*>(f.textBox5),
                       static_cast<QWidget*>(f.label8), static_cast<QWidget*>(f.textBox6)}) {
      QVERIFY(w->isHidden());
    }
    QVERIFY(!f.checkBox1->isChecked());
    QVERIFY(f.textBox1->text().isEmpty());
    QCOMPARE(f.chart1->geometry(), QRect(264, 92, 636, 429));
    QCOMPARE(f.button1->geometry(), QRect(96, 372, 75, 23));
    QCOMPARE(f.button2->geometry(), QRect(15, 372, 75, 23));
    QCOMPARE(f.button3->geometry(), QRect(177, 372, 75, 23));
    QCOMPARE(f.textBox6->geometry(), QRect(152, 310, 100, 20));
    QCOMPARE(f.checkBox1->pos(), QPoint(152, 337));
    QCOMPARE(f.linkLabel2->pos(), QPoint(819, 79));
    QCOMPARE(resultChart(f).segmentCount(1), 1);
    QVERIFY(resultChart(f).isListed(1) && resultChart(f).isListed(2));
    QVERIFY(!resultChart(f).isListed(3));
    QCOMPARE(resultChart(f).axisX()->titleText(), QString());
  }

  // The design size is the smallest; a larger window gives the chart the
  // room and leaves every other control in its place.
  void resizingGrowsTheChart() {
    MyForm f;
    QCOMPARE(f.minimumSize(), QSize(900, 549));
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QMap<QWidget*, QRect> before;
    for (QWidget* w : f.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      before[w] = w->geometry();
    }
    f.resize(1400, 900);
    QTRY_COMPARE_WITH_TIMEOUT(f.chart1->geometry(), QRect(264, 92, 1136, 780), settleMs);
    QCOMPARE(f.label15->y(), 875);
    QCOMPARE(f.label16->y(), 875);
    for (auto it = before.begin(); it != before.end(); ++it) {
      if (it.key() == f.chart1 || it.key() == f.label15 || it.key() == f.label16) continue;
      QCOMPARE(it.key()->geometry(), it.value());
    }
    f.resize(900, 549);
    QTRY_COMPARE_WITH_TIMEOUT(f.chart1->geometry(), QRect(264, 92, 636, 429), settleMs);
    QCOMPARE(f.label15->pos(), QPoint(13, 524));
  }

  // At its smallest size every control lies inside the window and shows its
  // whole text (a 1366 x 768 laptop takes it with room to spare).
  void nothingIsCutOffAtTheSmallestSize() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 4, tungsten);
    f.resize(f.minimumSize());
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QVERIFY(f.minimumSize().width() <= 1366 && f.minimumSize().height() <= 700);
    for (QWidget* w : f.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (w->isHidden() || w->isWindow()) continue;
      QVERIFY2(f.rect().contains(w->geometry()), qPrintable(w->objectName()));
      if (auto* label = qobject_cast<QLabel*>(w); label != nullptr && !label->wordWrap()) {
        QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->objectName()));
      }
    }
  }

  // The inputs from the top, the check box, Calculate, Save, the rest; the
  // window opens with Calculate in focus.
  void tabOrder() {
    MyForm f;
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QApplication::setActiveWindow(&f);
    QTRY_COMPARE_WITH_TIMEOUT(QApplication::focusWidget(), static_cast<QWidget*>(f.button1),
                              settleMs);
    f.numericUpDown1->setValue(4);
    f.comboBox1->setFocus();
    const QList<QWidget*> expected = {
        f.numericUpDown1, f.textBox1,  f.textBox2, f.textBox3, f.textBox4, f.textBox5,
        f.textBox6,       f.checkBox1, f.button1,  f.button3,  f.button2,  f.chargeStatesButton};
    for (QWidget* w : expected) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QWidget* now = QApplication::focusWidget();
      QVERIFY2(now == w || now->parentWidget() == w, qPrintable(now->objectName()));
    }
  }

  // Return in any input presses Calculate; on a button it presses that
  // button.
  void returnPressesCalculate_data() {
    QTest::addColumn<QString>("input");
    QTest::newRow("element") << "comboBox1";
    QTest::newRow("n") << "numericUpDown1";
    QTest::newRow("work function") << "textBox1";
    QTest::newRow("I2") << "textBox3";
    QTest::newRow("check box") << "checkBox1";
  }
  void returnPressesCalculate() {
    QFETCH(QString, input);
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 1, tungsten);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QApplication::setActiveWindow(&f);
    auto* widget = f.findChild<QWidget*>(input);
    QVERIFY(widget != nullptr);
    widget->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(widget->hasFocus(), settleMs);
    QSignalSpy calculated(&f, &MyForm::calculated);
    QTest::keyClick(widget, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(calculated.count(), 1, settleMs);
    QVERIFY(!f.chart1->isHidden());
    QCOMPARE(resultChart(f).points(1).size(), std::size_t{50});
  }
  void returnOnSavePressesSave() {
    MyForm f;
    f.setModel(standIn);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    QApplication::setActiveWindow(&f);
    f.button3->setFocus();
    QTRY_VERIFY_WITH_TIMEOUT(f.button3->hasFocus(), settleMs);
    QSignalSpy calculated(&f, &MyForm::calculated);
    ModalCloser closer;
    QTest::keyClick(f.button3, Qt::Key_Return);
    QTRY_COMPARE_WITH_TIMEOUT(closer.texts, QStringList{"Please select an element."}, settleMs);
    QCOMPARE(calculated.count(), 0);
  }

  void rowsFollowN_data() {
    QTest::addColumn<int>("n");
    QTest::newRow("1") << 1;
    QTest::newRow("2") << 2;
    QTest::newRow("3") << 3;
    QTest::newRow("4") << 4;
  }
  void rowsFollowN() {
    QFETCH(int, n);
    MyForm f;
    f.textBox6->setText("51.6");
    f.numericUpDown1->setValue(4);
    f.numericUpDown1->setValue(n);
    QLabel* captions[] = {f.label5, f.label6, f.label7, f.label8};
    QLineEdit* boxes[] = {f.textBox3, f.textBox4, f.textBox5, f.textBox6};
    for (int row = 0; row < 4; ++row) {
      const bool shown = row + 2 <= n + 1;
      QCOMPARE(!captions[row]->isHidden(), shown);
      QCOMPARE(!boxes[row]->isHidden(), shown);
    }
    QVERIFY(!f.textBox2->isHidden());
    f.numericUpDown1->setValue(4);
    QCOMPARE(f.textBox6->text(), QString("51.6"));  // hiding never clears a box
  }

  void inputMessages_data() {
    QTest::addColumn<QString>("element");
    QTest::addColumn<int>("n");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<QString>("message");
    const QString format = "Error, please insert correct floating point format";
    QTest::newRow("no element") << QString() << 1 << tungsten << "Please select an element.";
    QTest::newRow("n=1 empty I1") << "Tungsten" << 1 << QStringList{"4.55", "", "16.37"} << "Error";
    QTest::newRow("n=2 empty I1") << "Tungsten" << 2 << QStringList{"4.55", "", "16.37", "26"}
                                  << format;
    QTest::newRow("blank") << "Tungsten" << 1 << QStringList{" ", "7.864", "16.37"} << format;
    QTest::newRow("letters") << "Iron" << 3 << QStringList{"4.5", "7.9", "16.2", "x", "54.8"}
                             << format;
    QTest::newRow("1e400") << "Iron" << 1 << QStringList{"4.5", "1e400", "16.2"} << format;
  }
  void inputMessages() {
    QFETCH(QString, element);
    QFETCH(int, n);
    QFETCH(QStringList, boxes);
    QFETCH(QString, message);
    MyForm f;
    f.setModel(standIn);
    fill(f, element, n, boxes);
    ModalCloser closer;
    CALCULATE(f);
    QCOMPARE(closer.texts, QStringList{message});
    QCOMPARE(closer.titles, QStringList{QString()});
    QCOMPARE(closer.buttonCounts, QList<int>{1});
    QVERIFY(f.chart1->isHidden());
    QCOMPARE(resultChart(f).axisX()->titleText(), QString("E [V/nm]"));  // end steps ran
    QVERIFY(f.button1->isEnabled());
  }

  void hiddenBoxIsNotRead() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 1, {"4.55", "7.864", "16.37", "abc"});
    ModalCloser closer;
    CALCULATE(f);
    QVERIFY(closer.texts.isEmpty());
    QVERIFY(!f.chart1->isHidden());
  }

  void calculationFillsTheSeries() {
    MyForm f;
    f.setModel(standIn);
    auto& chart = resultChart(f);
    fill(f, "Tungsten", 1, tungsten);
    CALCULATE(f);
    QVERIFY(!f.chart1->isHidden());
    QCOMPARE(chart.points(1).size(), std::size_t{50});
    QCOMPARE(chart.points(2).size(), std::size_t{50});
    QCOMPARE(chart.drawnPointCount(1), 50);
    for (int k = 3; k <= 5; ++k) {
      QVERIFY(chart.points(k).empty());
      QVERIFY(!chart.isListed(k));
    }
    QCOMPARE(chart.lineWidth(1), 2);
    QCOMPARE(chart.lineWidth(2), 2);
    QCOMPARE(chart.axisX()->titleText(), QString("E [V/nm]"));
    QCOMPARE(chart.axisY()->titleText(), QString("log P"));
    QCOMPARE(chart.axisY()->min(), -1.5);
    QCOMPARE(chart.axisY()->max(), 0.0);
    QVERIFY(chart.axisX()->min() <= chart.points(1).front().first);
    QVERIFY(chart.axisX()->max() >= chart.points(1).back().first);

    // n = 2: "2+" holds step 1 then step 2; "3+" listed.
    f.numericUpDown1->setValue(2);
    CALCULATE(f);
    const std::size_t step1 = chart.points(1).size();
    const std::size_t step2 = chart.points(3).size();
    QVERIFY(step1 >= 50 && step1 <= 51 && step2 >= 50 && step2 <= 51);
    QCOMPARE(chart.points(2).size(), step1 + step2);
    QVERIFY(chart.isListed(3));
    QCOMPARE(chart.lineWidth(3), 2);
    QVERIFY2(chart.points(2)[step1].first > chart.points(2)[step1 - 1].first ||
                 chart.points(2)[step1].first < chart.points(2)[step1 - 1].first,
             "step 2 follows step 1 in the order added");

    // The same press again: the same chart, not doubled.
    const auto before = chart.points(2);
    CALCULATE(f);
    QCOMPARE(chart.points(2), before);

    // n = 4, then n = 1: "3+" .. "5+" empty and unlisted.
    f.numericUpDown1->setValue(4);
    CALCULATE(f);
    QVERIFY(chart.isListed(5) && !chart.points(5).empty());
    f.numericUpDown1->setValue(1);
    CALCULATE(f);
    for (int k = 3; k <= 5; ++k) QVERIFY(chart.points(k).empty() && !chart.isListed(k));

    // A stopped run after a good one: shown, empty, "1+" and "2+" listed.
    f.textBox1->setText("four");
    ModalCloser closer;
    CALCULATE(f);
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY(!f.chart1->isHidden());
    for (int k = 1; k <= 5; ++k) QVERIFY(chart.points(k).empty());
    QVERIFY(chart.isListed(1) && chart.isListed(2) && !chart.isListed(3));
    QCOMPARE(chart.axisY()->min(), -1.5);
  }

  void repeatedCalculationsAreRemembered() {
    MyForm f;
    std::atomic<int> calls{0};
    f.setModel([&calls](double E, double B, double phi, int m, int n, double m_ion, double u) {
      ++calls;
      return standIn(E, B, phi, m, n, m_ion, u);
    });
    fill(f, "Tungsten", 4, tungsten);
    CALCULATE(f);
    const int first = calls;
    const auto points = resultChart(f).points(5);
    CALCULATE(f);
    QCOMPARE(int(calls), first);  // nothing recomputed
    QCOMPARE(resultChart(f).points(5), points);
    f.textBox6->setText("52.0");  // I5 moves step 4 only
    CALCULATE(f);
    QVERIFY(calls > first);
    QVERIFY(calls <= first + 51);
  }

  void valuesThatAreNotFinite() {
    // Q = 1, 0 and NaN give -inf and NaN logarithms: gaps and cut-offs, no failure.
    MyForm f;
    int call = 0;
    f.setModel(
        [&call](double, double, double, int, int, double, double) {
          const int i = call++ % 10;
          return i < 3 ? 1.0 : i < 5 ? std::nan("") : i == 5 ? 0.0 : i == 6 ? 1e-300 : 0.5;
        },
        1);
    fill(f, "Tungsten", 2, tungsten);
    CALCULATE(f);
    auto& chart = resultChart(f);
    const std::size_t logical = chart.points(2).size();
    QVERIFY(logical >= 100);
    QVERIFY(chart.drawnPointCount(2) < static_cast<int>(logical));
    QVERIFY(chart.segmentCount(2) > 1);
    for (QAbstractSeries* series : chart.chart()->series()) {
      for (const QPointF& p : qobject_cast<QLineSeries*>(series)->points()) {
        QVERIFY(std::isfinite(p.x()) && std::isfinite(p.y()));
        QVERIFY(std::fabs(p.y()) <= ResultChart::drawLimit);
      }
    }
    // Q = 1 draws the upper state at the bottom cut-off, not as a gap: the
    // first three points of "2+" are drawn, at -1000.
    QVERIFY(std::isinf(chart.points(2).front().second));
    auto* first = qobject_cast<QLineSeries*>(chart.chart()->series().at(1));
    QCOMPARE(first->name(), QString("2+"));
    QVERIFY(first->count() >= 3);
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(first->at(i).y(), -ResultChart::drawLimit);
      QCOMPARE(first->at(i).x(), chart.points(2)[static_cast<std::size_t>(i)].first);
    }
    QImage image(f.chart1->size(), QImage::Format_ARGB32);
    QPainter painter(&image);
    f.chart1->render(&painter);  // drawing such a chart must not fail
  }

  void saveMessagesAndImage() {
    MyForm f;
    f.setModel(standIn);
    ModalCloser closer;
    f.button3->click();
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Gold"));
    f.button3->click();
    QCOMPARE(closer.texts,
             (QStringList{"Please select an element.", "Please calculate a curve first"}));
    QVERIFY(!QFile::exists("Gold.png"));

    fill(f, "Tungsten", 2, tungsten);
    CALCULATE(f);
    f.button3->click();
    QCOMPARE(closer.texts.size(), 2);  // success says nothing
    QImage image("Tungsten.png");
    QCOMPARE(image.size(), QSize(636, 429));

    // The name is that of the element chosen at the press; the image's
    // title says whose curves it holds.
    QFile::remove("Tungsten.png");
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Gold"));
    f.button3->click();
    QVERIFY(QFile::exists("Gold.png"));
    QVERIFY(!QFile::exists("Tungsten.png"));
    QVERIFY(resultChart(f).chart()->title().startsWith("Tungsten, n = 2 "));

    // A press without an element leaves an empty chart, without a title,
    // named ".png".
    f.comboBox1->setCurrentIndex(-1);
    CALCULATE(f);
    QCOMPARE(closer.texts.size(), 3);
    QCOMPARE(resultChart(f).chart()->title(), QString());
    f.button3->click();
    QVERIFY(QFile::exists(".png"));

    // A folder in the way: a message naming the file and the reason.
    QDir().mkdir("Iron.png");
    fill(f, "Iron", 1, {"4.5", "7.9", "16.2"});
    CALCULATE(f);
    f.button3->click();
    QCOMPARE(closer.texts.size(), 4);
    QVERIFY2(closer.texts.last().contains(QDir::current().absoluteFilePath("Iron.png")),
             qPrintable(closer.texts.last()));
    QVERIFY(QFileInfo("Iron.png").isDir());
    QCOMPARE(resultChart(f).points(2).empty(), false);  // nothing of the state is lost
  }

  void textFileAndItsFailure() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 1, tungsten);
    f.checkBox1->setChecked(true);
    QFile::remove("data.txt");
    CALCULATE(f);
    const std::string written = readFile("data.txt");
    QCOMPARE(static_cast<int>(std::count(written.begin(), written.end(), '\n')), 51);

    QFile::remove("data.txt");
    QDir().mkdir("data.txt");
    ModalCloser closer;
    CALCULATE(f);
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY2(closer.texts[0].contains("data.txt"), qPrintable(closer.texts[0]));
    QCOMPARE(resultChart(f).points(1).size(), std::size_t{50});  // the curves are there
    QDir().rmdir("data.txt");
  }

  void linksCallTheOpener() {
    QList<QUrl> opened;
    bool succeed = true;
    MyForm::urlOpener = [&](const QUrl& url) {
      opened << url;
      return succeed;
    };
    MyForm f;
    emit f.linkLabel1->linkActivated(kinghamUrl);
    emit f.linkLabel2->linkActivated(valuesUrl);
    emit f.linkLabel1->linkActivated(kinghamUrl);
    QCOMPARE(opened, (QList<QUrl>{QUrl("https://doi.org/10.1016/0039-6028(82)90434-4"),
                                  QUrl("https://doi.org/10.1016/0039-6028(78)90410-7"),
                                  QUrl("https://doi.org/10.1016/0039-6028(82)90434-4")}));
    succeed = false;
    ModalCloser closer;
    emit f.linkLabel2->linkActivated(valuesUrl);
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY(closer.texts[0].startsWith("Could not open"));
    QVERIFY(f.button1->isEnabled());
    MyForm::urlOpener = nullptr;
  }

  void exitEndsTheProcessWithZero() {
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
#if defined(__SANITIZE_ADDRESS__)
      // The child ends without unwinding, so the leak checker at exit would
      // report the whole forked test process; end with the status given to
      // exit() before it runs.
      on_exit([](int status, void*) { _exit(status); }, nullptr);
#endif
      MyForm f;
      f.button2->click();
      _exit(7);  // not reached when Exit works
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
  }

  void progressAndCancel() {
    MyForm f;
    // Every call waits until the window is closed: the run must stop at the
    // calls already started, not evaluate the rest.
    std::atomic<int> calls{0};
    std::atomic<bool> closed{false};
    f.setModel(
        [&](double, double, double, int, int, double, double) {
          ++calls;
          while (!closed) std::this_thread::yield();
          return 0.5;
        },
        2);
    f.setProgressDelay(100000);
    f.show();
    fill(f, "Tungsten", 4, tungsten);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &f, [&] {
      if (calls == 0 || closed) return;
      f.close();
      closed = true;
    });
    poll.start(5);
    CALCULATE(f);
    QVERIFY(calls < 150);
    QTRY_VERIFY_WITH_TIMEOUT(!f.isVisible(), settleMs);
  }

  void chartMenuSavesVectorFigures() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 2, tungsten);
    f.show();  // laid out as on the screen, so nothing is elided
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    CALCULATE(f);
    // The chart lays out its new axes when the event loop next runs.
    QTRY_VERIFY_WITH_TIMEOUT(!resultChart(f).axisX()->titleText().isEmpty(), settleMs);
    auto* tools = f.chart1->findChild<ChartTools*>("chartTools");
    QVERIFY(tools != nullptr);
    QStringList actions;
    for (QAction* a : tools->menu()->actions()) actions << a->text();
    QCOMPARE(actions,
             (QStringList{QString::fromUtf8("Save as\u2026"), "Copy image", "Reset zoom"}));

    // The dialog proposes the calculated element's name, in the working
    // folder.
    QString proposed;
    saveFileChooser = [&proposed](QWidget*, const QString& name, const QString&) {
      proposed = name;
      return QString("figure.svg");
    };
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Gold"));
    // The chart lays out its axis titles once it has been shown with its
    // new axes: saved before that, the figure would lack them.
    QString text;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
          tools->saveAsWithDialog();
          QFile svg("figure.svg");
          text = svg.open(QIODevice::ReadOnly) ? QString::fromUtf8(svg.readAll()) : QString();
          return text.contains(">E [V/nm]</text>");
        }(),
        10000);
    QCOMPARE(proposed, QDir::current().absoluteFilePath("Tungsten.png"));
    // The figure's title names the inputs of its curves, as text.
    QVERIFY2(text.contains(QString::fromUtf8(
                 ">Tungsten, n = 2 \u00b7 work function 4.55 eV \u00b7 I1\u2013I3 = 7.864, "
                 "16.37, 26 eV</text>")),
             qPrintable(text.left(3000)));
    QVERIFY(text.contains(QString::fromUtf8("<title>Tungsten, n = 2 \u00b7 work function")));
    // Curves as paths, the axis titles as text.
    QVERIFY2(text.count("<path") >= 3, qPrintable(text.left(400)));
    QVERIFY(!text.contains("<polyline"));
    // The curves clipped to the plot area, each path by a clip path of its
    // group's user space, as a well-formed document.
    QVERIFY2(text.contains("<clipPath id=\"plot0\" clipPathUnits=\"userSpaceOnUse\"><rect "),
             qPrintable(text.left(800)));
    QVERIFY(text.contains("clip-path=\"url(#plot0)\" d=\"M "));
    QXmlStreamReader xml(text);
    while (!xml.atEnd()) xml.readNext();
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY2(text.contains(">E [V/nm]</text>"), "the axis title as text");
    QVERIFY(text.contains(">log P</text>"));
    QVERIFY(text.contains(">2+</text>"));

    QVERIFY(tools->saveAs("figure.pdf").isEmpty());
    QProcess pdftotext;
    pdftotext.start("pdftotext", {"figure.pdf", "-"});
    QVERIFY(pdftotext.waitForFinished(20000));
    const QString pdfText = QString::fromUtf8(pdftotext.readAllStandardOutput());
    QVERIFY2(pdfText.contains("E [V/nm]") && pdfText.contains("log P"), qPrintable(pdfText));
    QVERIFY(tools->saveAs("figure.png").isEmpty());
    QCOMPARE(QImage("figure.png").size(), QSize(636, 429));

    // A failed save says so and leaves nothing behind.
    ModalCloser closer;
    QDir().mkdir("folder.svg");
    QVERIFY(!tools->saveAs("folder.svg").isEmpty());
    QCOMPARE(closer.texts.size(), 1);
    QVERIFY(closer.texts[0].startsWith("Could not save"));
    saveFileChooser = [](QWidget*, const QString&, const QString&) { return QString(); };
    tools->saveAsWithDialog();  // cancelled: nothing happens
    QCOMPARE(closer.texts.size(), 1);
  }

  void chartCopyZoomAndHover() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 1, tungsten);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    CALCULATE(f);
    auto* tools = f.chart1->findChild<ChartTools*>("chartTools");
    QVERIFY(tools != nullptr);
    QApplication::clipboard()->clear();
    tools->copyImage();
    QCOMPARE(QApplication::clipboard()->image().size(), QSize(636, 429));

    auto* axisX = resultChart(f).axisX();
    const double min = axisX->min(), max = axisX->max();
    f.chart1->chart()->zoomIn(QRectF(f.chart1->chart()->plotArea().center(), QSizeF(50, 50)));
    QVERIFY(axisX->max() - axisX->min() < max - min);
    f.chart1->setFocus();
    QTest::keyClick(f.chart1, Qt::Key_Escape);
    QCOMPARE(axisX->min(), min);
    QCOMPARE(axisX->max(), max);

    // Hovering over a point shows its E, log10 P and P.
    const auto point = resultChart(f).points(1)[10];
    auto* series = qobject_cast<QLineSeries*>(f.chart1->chart()->series().at(0));
    const QPointF scene =
        f.chart1->chart()->mapToPosition(QPointF(point.first, point.second), series);
    const QString text = tools->hoverText(f.chart1->mapFromScene(scene));
    QVERIFY2(text.startsWith("1+\nE = "), qPrintable(text));
    QVERIFY(text.contains("log10 P = "));
    QVERIFY(text.contains(
        QString("\nP = %1").arg(QLocale().toString(std::pow(10.0, point.second), 'g', 6))));
    QVERIFY(tools->hoverText(QPoint(1, 1)).isEmpty());
  }

  // Zoomed axes tick at round values (1, 2, 2.5 or 5 times a power of ten,
  // on multiples of it), however odd the zoomed range.
  void zoomedAxesTickRound() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 2, tungsten);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    CALCULATE(f);
    QChart* chart = f.chart1->chart();
    const QRectF plot = chart->plotArea();
    chart->zoomIn(QRectF(plot.left() + plot.width() * 0.137, plot.top() + plot.height() * 0.29,
                         plot.width() * 0.413, plot.height() * 0.377));
    for (QValueAxis* axis : {resultChart(f).axisX(), resultChart(f).axisY()}) {
      QCOMPARE(axis->tickType(), QValueAxis::TicksDynamic);
      QCOMPARE(axis->tickAnchor(), 0.0);
      const double step = axis->tickInterval();
      const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
      QVERIFY2(std::fabs(mantissa - 1.0) < 1e-9 || std::fabs(mantissa - 2.0) < 1e-9 ||
                   std::fabs(mantissa - 2.5) < 1e-9 || std::fabs(mantissa - 5.0) < 1e-9,
               qPrintable(QString::number(step)));
      const double span = axis->max() - axis->min();
      QVERIFY(span / step >= 2.0 && span / step <= 20.0);
    }
    // The numbers drawn are the multiples of the step, written with the
    // step's decimals.
    const QString y = resultChart(f).axisY()->labelFormat();
    QVERIFY2(y.startsWith("%.") && y.endsWith("f"), qPrintable(y));
    const QString x = resultChart(f).axisX()->labelFormat();
    QVERIFY2(x.startsWith("%.") && x.endsWith("f"), qPrintable(x));
    // Esc brings the range back, still on round ticks.
    f.chart1->setFocus();
    QTest::keyClick(f.chart1, Qt::Key_Escape);
    QCOMPARE(resultChart(f).axisY()->min(), -1.5);
    QCOMPARE(resultChart(f).axisY()->tickInterval(), 0.25);

    // Any range gives a bounded number of ticks.
    resultChart(f).setAxes("E [V/nm]", "log P", -1e9, 0.0);
    QVERIFY(resultChart(f).axisY()->tickCount() <= ResultChart::maxTickCount);
    QVERIFY(resultChart(f).axisY()->tickInterval() >= 1e9 / 20.0);
    QCOMPARE(ChartTools::roundTickStep(1.5, 330.0, 40.0), 0.2);
    QCOMPARE(ChartTools::roundTickStep(-1.5, 0.0, 330.0, 40.0), 0.25);  // ticks on both ends
    QCOMPARE(ChartTools::roundTickStep(-0.83, -0.21, 330.0, 40.0), 0.1);
    QCOMPARE(ChartTools::roundTickStep(82.0, 520.0, 60.0), 10.0);
    QCOMPARE(ChartTools::roundTickStep(4.8, 0.0, 60.0), 1.0);
    QCOMPARE(ChartTools::roundTickStep(0.13, 300.0, 60.0), 0.05);
  }

  // A work function typed by the user stays when the element changes, marked
  // as the user's, and one click on the mark brings the element's back.
  void typedWorkFunctionIsMarked() {
    MyForm f;
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Tungsten"));
    auto* boxes = f.findChild<InputBoxes*>("inputBoxes");
    QVERIFY(boxes != nullptr);
    QVERIFY(!boxes->hasUserMark(0));
    f.textBox1->setText("5.2");
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Iron"));
    QCOMPARE(f.textBox1->text(), QString("5.2"));
    QCOMPARE(f.textBox2->text(), QString("7.9024681"));
    QVERIFY(boxes->hasUserMark(0));
    QVERIFY(!boxes->hasUserMark(1));
    QVERIFY2(f.textBox1->toolTip().startsWith("Your value, kept when the element changes; Iron "
                                              "has 4.5 eV"),
             qPrintable(f.textBox1->toolTip()));
    QAction* mark = nullptr;
    for (QAction* a : f.textBox1->actions()) {
      if (a->objectName() == "userValueMark") mark = a;
    }
    QVERIFY(mark != nullptr && mark->isVisible());
    QVERIFY(mark->toolTip().contains("built-in value of Iron, 4.5 eV"));
    mark->trigger();
    QCOMPARE(f.textBox1->text(), QString("4.5"));
    QVERIFY(!boxes->hasUserMark(0));
    QVERIFY(f.textBox1->toolTip().contains("Michaelson"));
    // Typed to the element's own value, it carries no mark.
    f.textBox1->setText("4.50");
    QVERIFY(!boxes->hasUserMark(0));
  }

  // Under a German locale the misread note keeps the energies apart by
  // semicolons, and the axis numbers and the title use the decimal comma.
  void germanLocale() {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    {
      MyForm f;
      // Step 1 binds with I2, read as 1637 eV: the stand-in has no value.
      f.setModel([](double E, double B, double phi, int m, int n, double m_ion, double u) {
        return B > 20.0 ? std::nan("") : standIn(E, B, phi, m, n, m_ion, u);
      });
      fill(f, "Tungsten", 4, {"4,55", "7.864", "16.37", "26", "38,2", "51,6"});
      f.show();
      QVERIFY(QTest::qWaitForWindowExposed(&f));
      CALCULATE(f);
      auto* note = f.chart1->findChild<QLabel*>("emptyResultNote");
      QVERIFY(note != nullptr && note->isVisible());
      QVERIFY2(note->text().contains("energies 7864; 1637; 26; 38,2; 51,6 eV."),
               qPrintable(note->text()));
      QCOMPARE(resultChart(f).chart()->title(),
               QString::fromUtf8("Tungsten, n = 4 \u00b7 work function 4,55 eV \u00b7 "
                                 "I1\u2013I5 = 7864; 1637; 26; 38,2; 51,6 eV"));
      QVERIFY(resultChart(f).chart()->localizeNumbers());
      auto* tools = f.chart1->findChild<ChartTools*>("chartTools");
      QString text;
      QTRY_VERIFY_WITH_TIMEOUT(
          [&] {
            tools->saveAs("german.svg");
            QFile svg("german.svg");
            text = svg.open(QIODevice::ReadOnly) ? QString::fromUtf8(svg.readAll()) : QString();
            return text.contains(">log P</text>");
          }(),
          10000);
      QStringList texts;
      static const QRegularExpression label(">([^<>]*)</text>");
      for (auto it = label.globalMatch(text); it.hasNext();) texts << it.next().captured(1);
      QVERIFY2(texts.contains("-1,25") && texts.contains("-0,50"), qPrintable(texts.join('|')));
      QVERIFY(!text.contains(">-1.25</text>"));
    }
    QLocale::setDefault(QLocale::c());
  }

  // Moving over the chart shows a tooltip and moves nothing.
  void hoverKeepsTheLayout() {
    MyForm f;
    f.setModel(standIn);
    fill(f, "Tungsten", 2, tungsten);
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    CALCULATE(f);
    QTRY_VERIFY_WITH_TIMEOUT(!resultChart(f).axisX()->titleText().isEmpty(), settleMs);
    QMap<QWidget*, QRect> before;
    for (QWidget* w : f.findChildren<QWidget*>()) before[w] = w->geometry();
    QWidget* viewport = f.chart1->viewport();
    for (int x = 10; x < viewport->width(); x += 37) {
      QTest::mouseMove(viewport, QPoint(x, viewport->height() / 2));
      QTest::mouseMove(viewport, QPoint(x, viewport->height() / 3));
    }
    QApplication::processEvents();
    for (auto it = before.begin(); it != before.end(); ++it) {
      QCOMPARE(it.key()->geometry(), it.value());
    }
  }

  void localeNumberFormat() {
    const auto german = numberFormatFor(QLocale(QLocale::German, QLocale::Germany));
    QCOMPARE(german.decimal_separator, std::string(","));
    QCOMPARE(german.group_separator, std::string("."));
    const auto english = numberFormatFor(QLocale(QLocale::English, QLocale::UnitedStates));
    QCOMPARE(english.decimal_separator, std::string("."));
    QCOMPARE(*veltrane::parse_number("4,5", german), 4.5);
  }
};

QTEST_MAIN(MyFormTest)
#include "myform_test.moc"
