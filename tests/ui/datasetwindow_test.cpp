#include "ui/DatasetWindow.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QGraphicsSimpleTextItem>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QWheelEvent>
#include <QXmlStreamReader>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>
#include <tuple>

#include "apt/data_file.hpp"
#include "apt/isotopes.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/datasets/dataset_choice.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "compute/datasets/joint_text.hpp"
#include "tests/support/apt_writers.hpp"
#include "ui/ChartInteraction.hpp"
#include "ui/FieldMapView.hpp"
#include "ui/FigureExport.hpp"
#include "ui/MyForm.hpp"
#include "window_fixture.hpp"

namespace apt = veltrane::apt;

namespace {

// How long a test waits for a window to show a calculation's result: long
// enough for a loaded machine and a sanitizer build; only a failing test waits
// that long.
constexpr int settleMs = 120000;

using namespace window_fixture;

void add(apt::ion_columns& ions, int count, float mass, float x, float y,
         std::uint32_t multiplicity = 1) {
  for (int n = 0; n < count; ++n) {
    ions.mass.push_back(mass);
    ions.det_x.push_back(x);
    ions.det_y.push_back(y);
    ions.multiplicity.push_back(multiplicity);
  }
}

// Tungsten over two detector bins of 2 mm: bin (0, 0) with 150 W3+ (10 of
// them in pulses of two hits) and 100 W2+, bin (1, 0) with 20 and 10 (too
// few for 100), and 5 ions at 30.02 Da in no range. Every peak lies inside
// its bin of the spectrum (61.02 / 0.05 = 1220.4).
apt::ion_columns tungstenIons() {
  apt::ion_columns ions;
  add(ions, 140, 61.02f, 1.0f, 1.0f);
  add(ions, 10, 61.02f, 1.0f, 1.0f, 2);
  add(ions, 100, 92.02f, 1.0f, 1.0f);
  add(ions, 20, 61.02f, 3.0f, 1.0f);
  add(ions, 10, 92.02f, 3.0f, 1.0f);
  add(ions, 5, 30.02f, 1.0f, 1.0f);
  return ions;
}

// The W ranges: 182W3+ .. 186W3+ (60.65 to 61.98 Da) and 182W2+ .. 186W2+
// (90.97 to 92.98 Da), the same isotopes in both, so the isotope factor is 1.
const char* const tungstenRanges =
    "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
    "Range1=60.5 62.5 Vol:0.01 W:1\nRange2=90.5 93.5 Vol:0.01 W:1\n";

// Iron and chromium ranged at 1+ and 2+, the 27 Da peak shared by 54Fe2+,
// 54Cr2+ and 27Al+ and named after iron.
const char* const alloyRanges =
    "[Ions]\nNumber=3\nIon1=Fe\nIon2=Cr\nIon3=Al\n[Ranges]\nNumber=8\n"
    "Range1=25.90 26.05 Cr:1\n"
    "Range2=26.92 27.05 Fe:1\n"
    "Range3=27.90 28.05 Fe:1\n"
    "Range4=28.42 28.55 Fe:1\n"
    "Range5=51.85 52.05 Cr:1\n"
    "Range6=53.85 54.05 Fe:1\n"
    "Range7=55.85 56.05 Fe:1\n"
    "Range8=56.85 57.05 Fe:1\n";

// A steel-like run at 17.5 V/nm over two detector bins of 2 mm (x = 1 and
// 3 mm): every isotope of iron and chromium at 1+ and 2+ in the model's
// proportions, and 27Al+ under the 27 Da peak.
apt::ion_columns alloyIons() {
  apt::ion_columns ions;
  for (const auto& [name, symbol, N] :
       {std::tuple{"Iron", "Fe", 2e4}, std::tuple{"Chromium", "Cr", 6e3}}) {
    veltrane::charge_states states(
        *veltrane::check_request({name, "2", std::nullopt, std::nullopt}).request,
        veltrane::model_for(veltrane::evaluation::accurate).function, 2);
    const veltrane::fraction_table t = veltrane::fraction_table_at(states, {17.5});
    for (const auto& i : apt::isotope_table::builtin().of(symbol)) {
      for (int q = 1; q <= 2; ++q) {
        const double count =
            N * t.f[static_cast<std::size_t>(q) - 1][0] * i.abundance_percent / 100.0;
        const auto n = static_cast<int>(std::lround(count));
        add(ions, n / 2, static_cast<float>(i.mass_u / q), 1.0f, 1.0f);
        add(ions, n - n / 2, static_cast<float>(i.mass_u / q), 3.0f, 1.0f);
      }
    }
  }
  add(ions, 150, 26.98153844f, 1.0f, 1.0f);
  add(ions, 150, 26.98153844f, 3.0f, 1.0f);
  return ions;
}

void writeFile(const QString& path, const std::vector<std::byte>& bytes) {
  std::ofstream out(path.toStdString(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
void writeText(const QString& path, const std::string& text) {
  std::ofstream out(path.toStdString(), std::ios::binary);
  out << text;
}

void fillTungsten(MyForm& f, veltrane::model_function model = standIn) {
  window_fixture::fillTungsten(f, 2, std::move(model));
}

// The field of `ratio` of 3+/2+ of tungsten with the stand-in, as the
// dataset code gives it: inverted to the tolerance of the evaluation the
// form gives its windows for a stand-in.
double expectedField(double ratio) {
  const auto request =
      *veltrane::check_request({"Tungsten", "2", std::nullopt, std::nullopt}).request;
  veltrane::field_model model(
      request, {standIn, veltrane::model_for(veltrane::evaluation::exact).ratio_tolerance_v_per_nm},
      2);
  return veltrane::fields_of_ratios(model, 2, {ratio}).front();
}

FieldMapView* mapView(const DatasetWindow* w) { return child<FieldMapView>(w, "fieldMap"); }

QString cell(const QTableWidget* table, int row, int column) {
  return table->item(row, column) != nullptr ? table->item(row, column)->text() : QString();
}

QStringList readLines(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// The y of the first <text> element of an SVG file whose text is `wanted`
// (NaN when none).
double svgTextY(const QString& path, const QString& wanted) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::nan("");
  QXmlStreamReader in(&file);
  while (!in.atEnd()) {
    in.readNext();
    if (!in.isStartElement() || in.name() != u"text") continue;
    const double y = in.attributes().value("y").toDouble();
    if (in.readElementText() == wanted) return y;
  }
  return std::nan("");
}

// The text of every <text> element of an SVG file, one line each.
QString svgTexts(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QXmlStreamReader in(&file);
  QStringList texts;
  while (!in.atEnd()) {
    in.readNext();
    if (in.isStartElement() && in.name() == u"text") texts << in.readElementText();
  }
  return texts.join('\n');
}

}  // namespace

class DatasetWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString previousDir_;
  QString epos_, rrng_;

  QString alloyEpos_, alloyRrng_;

  DatasetWindow* openedWindow(MyForm& f) { return openedWindow(f, epos_, rrng_); }
  DatasetWindow* openedWindow(MyForm& f, const QString& data, const QString& ranges) {
    f.datasetButton->click();
    DatasetWindow* w = f.findChild<DatasetWindow*>();
    if (w == nullptr) qFatal("the Dataset button opened no window");
    w->openFile(data);
    w->openFile(ranges);
    return w;
  }
  // The alloy's joint field, with the main window on tungsten (which the
  // range file lacks).
  DatasetWindow* alloyWindow(MyForm& f) {
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f, alloyEpos_, alloyRrng_);
    return w;
  }

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    previousDir_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    epos_ = dir_.filePath("tungsten.epos");
    rrng_ = dir_.filePath("tungsten.rrng");
    writeFile(epos_, apt::encode_data(apt::data_format::epos, tungstenIons()));
    writeText(rrng_, tungstenRanges);
    alloyEpos_ = dir_.filePath("alloy.epos");
    alloyRrng_ = dir_.filePath("alloy.rrng");
    writeFile(alloyEpos_, apt::encode_data(apt::data_format::epos, alloyIons()));
    writeText(alloyRrng_, alloyRanges);
  }
  void cleanupTestCase() { QDir::setCurrent(previousDir_); }

  void countsSpectrumAndOverallField() {
    MyForm f;
    QVERIFY(f.datasetButton->text().startsWith("Dataset"));
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QVERIFY(w != nullptr && w->isVisible());
    QCOMPARE(w->windowTitle(), QString("Veltrane: dataset"));
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    // No range of W+: the window takes the pair whose states both have ranges.
    QCOMPARE(child<QComboBox>(w, "pairBox")->count(), 2);
    QCOMPARE(child<QComboBox>(w, "pairBox")->currentText(), QString("3+/2+"));
    QCOMPARE(child<QLabel>(w, "dataLabel")->text(), QString("tungsten.epos: 285 ions (epos)"));

    // The element list: tungsten, the main window's element, alone checked.
    QCOMPARE(w->checkedElements(), QStringList{"W"});
    QCOMPARE(child<QListWidget>(w, "elementList")->item(0)->text(),
             QString("W (Tungsten): 2+, 3+"));
    QCOMPARE(child<QLabel>(w, "elementNoteLabel")->text(), QString());
    QCOMPARE(child<QComboBox>(w, "pairBox")->itemText(1), QString("all charges (joint)"));
    QVERIFY2(child<QLabel>(w, "modelLabel")->text().endsWith("(as typed)"),
             qPrintable(child<QLabel>(w, "modelLabel")->text()));

    // Counts and corrected counts before the wide column of the ranges.
    const QTableWidget* t = child<QTableWidget>(w, "countsTable");
    QCOMPARE(t->rowCount(), 2);
    QCOMPARE(t->horizontalHeaderItem(2)->text(), QString("Counts"));
    QCOMPARE(t->horizontalHeaderItem(3)->text(), QString("Corrected"));
    QCOMPARE(t->horizontalHeaderItem(5)->text(), QString("Ranges [Da]"));
    const QStringList lower = {"W", "2+", "110", "110.1", "99.88", "90.5\u201393.5"};
    const QStringList upper = {"W", "3+", "170", "170.2", "99.88", "60.5\u201362.5"};
    for (int c = 0; c < 6; ++c) {
      QCOMPARE(cell(t, 0, c), lower[c]);
      QCOMPARE(cell(t, 1, c), upper[c]);
    }
    // The spectrum: every ion in its bin of 0.05 Da.
    const auto& s = w->spectrum();
    QCOMPARE(s.size(), std::size_t{1841});
    QCOMPARE(s[1220], std::uint64_t{170});
    QCOMPARE(s[1840], std::uint64_t{110});
    QCOMPARE(s[600], std::uint64_t{5});
    QCOMPARE(std::accumulate(s.begin(), s.end(), std::uint64_t{0}), std::uint64_t{285});
    QCOMPARE(w->spectrumLabels(), (QStringList{"W3+", "W2+"}));

    // The headline: raw and corrected ratio side by side, the field and its
    // interval with the decimals that show the interval's width.
    const double E = expectedField(170.0 / 110.0);
    QVERIFY(std::isfinite(E));
    const auto& overall = w->fieldMap()->overall.field;
    const int decimals = veltrane::interval_decimals(overall.E_low, overall.E_high);
    const QString text = child<QLabel>(w, "resultLabel")->text();
    QVERIFY2(text.startsWith(QStringLiteral("W 3+/2+: raw 1.54545; corrected for isotopes 1.54545 "
                                            "(counts 170 and 110): E = %1 V/nm (95 %: %2 to ")
                                 .arg(QLocale().toString(E, 'f', decimals),
                                      QLocale().toString(overall.E_low, 'f', decimals))),
             qPrintable(text));
    QVERIFY(text.endsWith(" V/nm)"));
    // The profile: one block per ion here (285 ions in about 50 blocks of 6).
    QCOMPARE(w->profile()->block, std::uint64_t{6});
    QCOMPARE(w->profile()->blocks.size(), std::size_t{48});

    // Single hits only: the 10 ions of two-hit pulses leave 3+.
    child<QCheckBox>(w, "singleHitsBox")->setChecked(true);
    QTRY_COMPARE_WITH_TIMEOUT(cell(child<QTableWidget>(w, "countsTable"), 1, 2), QString("160"),
                              settleMs);
    QTRY_VERIFY_WITH_TIMEOUT(!w->isComputing(), settleMs);
    QVERIFY(child<QLabel>(w, "resultLabel")
                ->text()
                .startsWith("W 3+/2+: raw 1.45455; corrected for isotopes 1.45455 (counts 160 and "
                            "110)"));
  }

  // The pair is counted with the mass tolerance typed in the window, and a
  // charge state whose ranges cover few of its isotopes is warned of first
  // among the notes.
  void pairTakesTheMassToleranceAndWarnsOfFewIsotopes() {
    const QString few = dir_.filePath("few-isotopes.rrng");
    // 2+ only where 180W2+ (0.12 % of tungsten) lies.
    writeText(few,
              "[Ions]\nNumber=1\nIon1=W\n[Ranges]\nNumber=2\n"
              "Range1=60.5 62.5 Vol:0.01 W:1\nRange2=89.94 90.0 Vol:0.01 W:1\n");
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f, epos_, few);
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    QCOMPARE(w->fieldMap()->overall.counts.charging.tolerance_da, 0.05);
    const QString notes = child<QLabel>(w, "notesLabel")->text();
    QVERIFY2(notes.startsWith("W2+: its ranges cover only 0.12"), qPrintable(notes));
    QCOMPARE(notes.count("W2+: its ranges cover only"), 1);

    auto* da = child<QLineEdit>(w, "massToleranceDaBox");
    da->setText("0.1");
    emit da->editingFinished();
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing() &&
                                 w->fieldMap()->overall.counts.charging.tolerance_da == 0.1,
                             settleMs);
  }

  void mapMasksAndHover() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    const auto& map = *w->fieldMap();
    QCOMPARE(map.bins.size(), std::size_t{2});
    QCOMPARE(map.bins[0].i, std::int64_t{0});
    QCOMPARE(map.bins[1].i, std::int64_t{1});
    QVERIFY(!map.bins[0].masked && map.bins[1].masked);
    // One pixel per bin; the masked one grey, the other on the field scale.
    QCOMPARE(mapView(w)->image().size(), QSize(2, 1));
    QCOMPARE(mapView(w)->image().pixelColor(mapView(w)->pixelOf(1, 0)),
             FieldMapView::maskedColour());
    const QColor open = mapView(w)->image().pixelColor(mapView(w)->pixelOf(0, 0));
    QVERIFY(open != FieldMapView::maskedColour() && open != FieldMapView::noFieldColour());

    auto hover = [w](std::int64_t i, std::int64_t j) {
      const QPoint at = mapView(w)->pointOf(i, j);
      QMouseEvent move(QEvent::MouseMove, at, mapView(w)->mapToGlobal(at), Qt::NoButton,
                       Qt::NoButton, Qt::NoModifier);
      QApplication::sendEvent(mapView(w), &move);
      return child<QLabel>(w, "hoverLabel")->text();
    };
    const double E = map.bins[0].field.E;
    QVERIFY(std::fabs(E - expectedField(150.0 / 100.0)) < 1e-9);
    const QString text = hover(0, 0);
    QVERIFY2(text.startsWith(QStringLiteral("x = 1 mm, y = 1 mm: N_lower = 100, N_upper = 150, E = "
                                            "%1 V/nm (95 %: ")
                                 .arg(QLocale().toString(E, 'f', 2))),
             qPrintable(text));
    QCOMPARE(hover(1, 0),
             QString("x = 3 mm, y = 1 mm: N_lower = 10, N_upper = 20: too few ions, masked"));

    // The options reach the map: no least count, and bins of 4 mm.
    child<QLineEdit>(w, "minCountsBox")->setText("0");
    child<QLineEdit>(w, "binBox")->setText("4");
    child<QPushButton>(w, "computeButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isComputing(), settleMs);
    QCOMPARE(w->fieldMap()->bin, 4.0);
    QCOMPARE(w->fieldMap()->bins.size(), std::size_t{1});
    QVERIFY(!w->fieldMap()->bins[0].masked);
    QCOMPARE(w->fieldMap()->bins[0].field.count_upper, 170.0);
  }

  void badFilesKeepTheDatasetShown() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    const QString odd = dir_.filePath("odd.pos");
    writeFile(odd, std::vector<std::byte>(17, std::byte{0}));
    const QString overlapping = dir_.filePath("overlapping.rrng");
    writeText(overlapping,
              "[Ions]\nNumber=2\nIon1=W\nIon2=Mo\n[Ranges]\nNumber=2\n"
              "Range1=60.5 62.5 Vol:0.01 W:1\nRange2=62.0 63.0 Vol:0.01 Mo:1\n");
    MessageCloser closer;
    QVERIFY(!w->openFile(odd));
    QVERIFY(!w->openFile(overlapping));
    QVERIFY(!w->openFile(dir_.filePath("notes.txt")));
    QCOMPARE(closer.texts.size(), 3);
    QVERIFY2(closer.texts[0].contains(odd), qPrintable(closer.texts[0]));
    QVERIFY2(closer.texts[1].contains(overlapping), qPrintable(closer.texts[1]));
    QVERIFY(closer.texts[2].contains("notes.txt: neither a data file"));
    // The dataset, its ranges and its results are those of before.
    QCOMPARE(QString::fromStdString(w->dataset()->path()), epos_);
    QCOMPARE(QString::fromStdString(w->rangeFile()->path), rrng_);
    QVERIFY(w->fieldMap().has_value());
    QCOMPARE(child<QTableWidget>(w, "countsTable")->rowCount(), 2);
    QVERIFY(!w->isComputing());
  }

  void filesThatFailLaterLeaveNothingHalfRead() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    // A .pos has no detector coordinates: the map says so on the result line.
    apt::ion_columns ions = tungstenIons();
    ions.x = ions.y = ions.z = ions.det_x;
    const QString pos = dir_.filePath("tungsten.pos");
    writeFile(pos, apt::encode_data(apt::data_format::pos, ions));
    QVERIFY(w->openFile(pos));
    QTRY_VERIFY_WITH_TIMEOUT(!w->spectrum().empty() && !w->isComputing(), settleMs);
    QVERIFY(!w->fieldMap().has_value());
    QVERIFY2(child<QLabel>(w, "resultLabel")
                 ->text()
                 .contains("tungsten.pos: the file holds no detector"),
             qPrintable(child<QLabel>(w, "resultLabel")->text()));
    // Over the specimen it maps.
    child<QComboBox>(w, "planeBox")->setCurrentIndex(1);
    child<QPushButton>(w, "computeButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    QCOMPARE(w->fieldMap()->over, veltrane::map_plane::specimen);
    // A mass that is no number is found while reading: the file is dropped.
    ions.mass[200] = std::nanf("");
    const QString broken = dir_.filePath("broken.pos");
    writeFile(broken, apt::encode_data(apt::data_format::pos, ions));
    MessageCloser closer;
    QVERIFY(w->openFile(broken));
    QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), 1, settleMs);
    QTRY_VERIFY_WITH_TIMEOUT(!w->isComputing(), settleMs);
    QVERIFY2(closer.texts[0].contains("broken.pos") && closer.texts[0].contains("ion 200"),
             qPrintable(closer.texts[0]));
    QVERIFY(!w->dataset().has_value());
    QVERIFY(w->spectrum().empty());
    QVERIFY(!w->fieldMap().has_value());
    QCOMPARE(child<QTableWidget>(w, "countsTable")->rowCount(), 0);
  }

  void cancelStopsTheRun() {
    GatedModel gated;
    MyForm f;
    fillTungsten(f, gated.function());
    bool cancelShown = false;
    whenReady(&f, [&] {
      if (gated.started == 0) return false;
      DatasetWindow* w = f.findChild<DatasetWindow*>();
      cancelShown = child<QPushButton>(w, "cancelButton")->isVisible() &&
                    !child<QPushButton>(w, "computeButton")->isEnabled();
      child<QPushButton>(w, "cancelButton")->click();
      gated.open = true;
      return true;
    });
    DatasetWindow* w = openedWindow(f);
    QTRY_VERIFY_WITH_TIMEOUT(gated.open && !w->isComputing(), settleMs);
    QVERIFY(cancelShown);
    QCOMPARE(child<QLabel>(w, "resultLabel")->text(), QString("Cancelled."));
    QVERIFY(!w->fieldMap().has_value());
    QVERIFY(child<QPushButton>(w, "cancelButton")->isHidden());
    // The spectrum was read before the model was asked; a new run maps.
    QCOMPARE(w->spectrum()[1220], std::uint64_t{170});
    child<QPushButton>(w, "computeButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
  }

  void savesTheMap() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    QCOMPARE(w->saveMapCsv("map.csv"), QString());
    QCOMPARE(child<QLabel>(w, "statusLabel")->text(),
             "Saved " + QFileInfo("map.csv").absoluteFilePath());
    // The inputs first, as comment lines, then the map.
    const QStringList lines = readLines("map.csv");
    QCOMPARE(lines.size(), 9);
    QCOMPARE(lines[0], QString("# Field map of W 3+/2+, after Kingham's post-field-ionisation "
                               "theory"));
    QCOMPARE(lines[1], "# data file: " + epos_);
    QCOMPARE(lines[2], "# range file: " + rrng_);
    QCOMPARE(lines[3], QString("# Bins of 2 mm over the detector, at least 100 ions of the pair "
                               "per bin; 95 % intervals"));
    QCOMPARE(lines[4], QString("# All hits; no background subtracted; mass tolerance 0.05 Da or "
                               "0.3 % of m/q"));
    QVERIFY2(lines[5].startsWith("# model: Tungsten, n = 2, work function 4.55 eV"),
             qPrintable(lines[5]));
    QCOMPARE(lines[6],
             QString("x_mm,y_mm,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm"));
    QVERIFY(lines[7].startsWith("1,1,100,150,1.5,"));
    QCOMPARE(lines[8], QString("3,1,10,20,nan,nan,nan,nan"));
    QCOMPARE(w->saveProfileCsv("profile.csv"), QString());
    const QStringList profileLines = readLines("profile.csv");
    QVERIFY2(profileLines[0].startsWith("# Field along the run, of W 3+/2+"),
             qPrintable(profileLines[0]));
    QCOMPARE(profileLines[3], QString("# Blocks of 6 ions in file order; 95 % intervals"));
    QVERIFY(profileLines[6].startsWith("first_ion,last_ion,"));

    for (const char* name : {"map.png", "map.svg", "map.pdf"}) {
      QCOMPARE(w->saveMapImage(name), QString());
      QVERIFY(QFileInfo(name).size() > 0);
      QCOMPARE(child<QLabel>(w, "statusLabel")->text(),
               "Saved " + QFileInfo(name).absoluteFilePath());
    }
    // The saved map: its title above a body as tall as its two bins need.
    const TitledFigure figure = w->mapFigure();
    const QImage png("map.png");
    QCOMPARE(png.width(), figure.size.width());
    QVERIFY(png.height() > figure.size.height());
    QCOMPARE(QImage("map.png").size(), figureImage(figure).size());
    const QString svgText = svgTexts("map.svg");
    QVERIFY2(svgText.contains("Field map of W 3+/2+: tungsten.epos, ranges tungsten.rrng"),
             qPrintable(svgText));
    QVERIFY(svgText.contains("Bins of 2 mm over the detector"));
    QVERIFY(svgText.contains("Model: Tungsten, n = 2, work function 4.55 eV"));
    QVERIFY(svgText.contains("E [V/nm]"));
    QFile pdf("map.pdf");
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(pdf.readAll().startsWith("%PDF"));

    MessageCloser closer;
    QVERIFY(w->saveMapImage("map.bmp").contains("map.bmp"));
    const QString failed = w->saveMapCsv(dir_.filePath("no/such/dir/map.csv"));
    const QString start = "Could not save " + dir_.filePath("no/such/dir/map.csv") + ": ";
    // The reason follows.
    QVERIFY2(failed.startsWith(start) && failed.size() > start.size() + 5, qPrintable(failed));
    QCOMPARE(child<QLabel>(w, "statusLabel")->text(), failed);
    QCOMPARE(closer.texts.size(), 2);
  }

  void dropOpensFilesByTheirExtension() {
    MyForm f;
    fillTungsten(f);
    f.datasetButton->click();
    DatasetWindow* w = f.findChild<DatasetWindow*>();
    QMimeData ignored;
    ignored.setUrls({QUrl::fromLocalFile(dir_.filePath("notes.txt"))});
    QDragEnterEvent refuse(QPoint(10, 10), Qt::CopyAction, &ignored, Qt::LeftButton,
                           Qt::NoModifier);
    QApplication::sendEvent(w, &refuse);
    QVERIFY(!refuse.isAccepted());
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(rrng_), QUrl::fromLocalFile(epos_)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &drop);
    QVERIFY(w->dataset().has_value() && w->rangeFile().has_value());
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    QCOMPARE(cell(child<QTableWidget>(w, "countsTable"), 1, 2), QString("170"));
  }

  // A file without the main window's element: the words say so, every
  // element of the file that can give a field is checked, and their joint
  // field is shown as compute gives it, with each element's own field, the
  // decomposition in the table and the maps of the field, its p-values and
  // each element alone.
  void jointFieldOfAnAlloy() {
    MyForm f;
    DatasetWindow* w = alloyWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing(), 120000);
    const auto* list = child<QListWidget>(w, "elementList");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(), QString("Cr (Chromium): 1+, 2+"));
    QCOMPARE(list->item(1)->text(), QString("Fe (Iron): 1+, 2+"));
    QCOMPARE(w->checkedElements(), (QStringList{"Cr", "Fe"}));
    const QLabel* note = child<QLabel>(w, "elementNoteLabel");
    QCOMPARE(note->text(), alloyRrng_ + ": the range file has no W ranges; it has Cr, Fe");
    QCOMPARE(child<QComboBox>(w, "pairBox")->count(), 1);
    QCOMPARE(child<QComboBox>(w, "pairBox")->currentText(), QString("all charges (joint)"));
    QVERIFY(!child<FieldMapView>(w, "fieldMap")->emptyText().contains("open a data file"));

    // What compute gives for the same files and request.
    veltrane::joint_request request;
    request.elements = {"Cr", "Fe"};
    request.counting.threads = 2;
    const auto data = veltrane::open_dataset(alloyEpos_.toStdString());
    const auto ranges = veltrane::open_range_file(alloyRrng_.toStdString());
    const auto expected =
        veltrane::map_joint_field(data, ranges, request, veltrane::map_plane::detector, 2.0);
    const auto& a = w->jointMap()->overall.answer;
    QVERIFY(a.field.found);
    QCOMPARE(a.field.E, expected.overall.answer.field.E);
    QCOMPARE(a.test.p_value, expected.overall.answer.test.p_value);
    QCOMPARE(w->jointMap()->bins.size(), std::size_t{2});
    const QString headline = child<QLabel>(w, "resultLabel")->text();
    QVERIFY2(headline.startsWith("E = ") && headline.endsWith(" V/nm) from Cr, Fe"),
             qPrintable(headline));
    QVERIFY2(child<QLabel>(w, "testLabel")->text().startsWith("The elements agree on one field"),
             qPrintable(child<QLabel>(w, "testLabel")->text()));
    const QStringList own = child<QLabel>(w, "elementsLabel")->text().split('\n');
    QCOMPARE(own.size(), 2);
    QVERIFY2(own[0].startsWith("Cr: E = ") && own[1].startsWith("Fe: E = "),
             qPrintable(own.join('\n')));
    QCOMPARE(child<QLabel>(w, "modelLabel")->text(),
             QString("Models: built-in values of Cr (n = 2), Fe (n = 2)"));
    QCOMPARE(child<QLabel>(w, "caveatLabel")->text(), QString(veltrane::joint_field_caveat));

    // The decomposition: the species, their counts and amounts, the ranges
    // with the species that share them.
    const QTableWidget* t = child<QTableWidget>(w, "countsTable");
    QCOMPARE(t->horizontalHeaderItem(2)->text(), QString("Counts"));
    QCOMPARE(t->horizontalHeaderItem(3)->text(), QString("Decomposed"));
    QCOMPARE(t->horizontalHeaderItem(5)->text(), QString("Ranges [Da]"));
    int aluminium = -1;
    for (int row = 0; row < t->rowCount(); ++row) {
      if (cell(t, row, 0) == "Al") aluminium = row;
    }
    QVERIFY(aluminium >= 0);
    QCOMPARE(cell(t, aluminium, 1), QString("1+"));
    QCOMPARE(cell(t, aluminium, 2), QString("0"));
    QCOMPARE(cell(t, aluminium, 5), QString("26.92\u201327.05 Da (with Cr2+, Fe2+)"));
    const double planted = QLocale().toDouble(cell(t, aluminium, 3));
    const double sigma = QLocale().toDouble(cell(t, aluminium, 4));
    QVERIFY2(std::fabs(planted - 300.0) < 3.0 * sigma + 3.0, qPrintable(cell(t, aluminium, 3)));

    // The maps: the joint field, its p-values, each element alone.
    auto* show = child<QComboBox>(w, "mapShowBox");
    QCOMPARE(show->count(), 4);
    QCOMPARE(show->itemText(1), QString("p-value of the joint field"));
    QCOMPARE(show->itemText(2), QString("Cr alone"));
    FieldMapView* view = mapView(w);
    QCOMPARE(view->image().size(), QSize(2, 1));
    QCOMPARE(view->picture().scaleTitle, QString("E [V/nm]"));
    show->setCurrentIndex(1);
    QVERIFY(view->picture().pValues);
    QCOMPARE(view->picture().scaleTitle, QString("p-value"));
    QCOMPARE(view->picture().cells[0].value, w->jointMap()->bins[0].answer.test.p_value);
    show->setCurrentIndex(3);
    QCOMPARE(view->picture().cells[1].value, w->jointMap()->bins[1].answer.elements[1].own.E);

    // The bin under the mouse: the joint field, p and each element's own.
    const QPoint at = view->pointOf(0, 0);
    QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(view, &move);
    const QString readout = child<QLabel>(w, "hoverLabel")->text();
    QVERIFY2(readout.startsWith("x = 1 mm, y = 1 mm: ") && readout.contains(", p = ") &&
                 readout.contains("; own fields: Cr "),
             qPrintable(readout));

    // One label per ion over the spectrum.
    QStringList labels = w->spectrumLabels();
    labels.removeDuplicates();
    QCOMPARE(labels, w->spectrumLabels());
    QCOMPARE(labels.size(), 4);

    // Iron alone: its pair, with iron's built-in values.
    child<QListWidget>(w, "elementList")->item(0)->setCheckState(Qt::Unchecked);
    auto* pair = child<QComboBox>(w, "pairBox");
    QCOMPARE(pair->count(), 2);
    QCOMPARE(pair->currentText(), QString("2+/1+"));
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), 120000);
    QVERIFY(!w->jointMap().has_value());
    QVERIFY2(child<QLabel>(w, "resultLabel")->text().startsWith("Fe 2+/1+: raw "),
             qPrintable(child<QLabel>(w, "resultLabel")->text()));
    QVERIFY2(child<QLabel>(w, "modelLabel")
                 ->text()
                 .startsWith("Model: Iron, n = 2, work function 4.5 eV, energies 7.9"),
             qPrintable(child<QLabel>(w, "modelLabel")->text()));
    QVERIFY(child<QLabel>(w, "modelLabel")->text().endsWith("(built-in values)"));
    QCOMPARE(show->count(), 1);
  }

  // An element ranged at one charge cannot give a field: greyed, with the
  // reason; the mass tolerance decides which ranges a charge fits.
  void elementsThatCannotGiveAField() {
    const QString one = dir_.filePath("one.rrng");
    // 56Fe+ lies at 55.935 Da, 0.025 Da below the second iron range.
    writeText(one,
              "[Ions]\nNumber=2\nIon1=Fe\nIon2=Cr\n[Ranges]\nNumber=3\n"
              "Range1=25.90 26.05 Cr:1\nRange2=27.90 28.05 Fe:1\nRange3=55.96 56.10 Fe:1\n");
    MyForm f;
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Chromium"));
    f.datasetButton->click();
    DatasetWindow* w = f.findChild<DatasetWindow*>();
    QVERIFY(w->openFile(one));
    const auto* list = child<QListWidget>(w, "elementList");
    QCOMPARE(list->count(), 2);
    QVERIFY(!(list->item(0)->flags() & Qt::ItemIsEnabled));
    QCOMPARE(list->item(0)->toolTip(),
             QString("Cr is ranged at 2+ only; a field needs ranges at two charges"));
    QCOMPARE(child<QLabel>(w, "elementNoteLabel")->text(),
             one + ": Cr is ranged at 2+ only; a field needs ranges at two charges");
    QCOMPARE(w->checkedElements(), QStringList{"Fe"});
    QCOMPARE(child<QComboBox>(w, "pairBox")->currentText(), QString("2+/1+"));

    // Without a tolerance the 56 Da range has no charge: iron is ranged at
    // 2+ only too, and nothing can give a field.
    child<QLineEdit>(w, "massToleranceDaBox")->setText("0");
    child<QLineEdit>(w, "massTolerancePercentBox")->setText("0");
    emit child<QLineEdit>(w, "massTolerancePercentBox")->editingFinished();
    QCOMPARE(list->item(1)->toolTip(),
             QString("Fe is ranged at 2+ only; a field needs ranges at two charges"));
    QVERIFY(w->checkedElements().isEmpty());
    QCOMPARE(child<QComboBox>(w, "pairBox")->count(), 0);
    QVERIFY(child<QLabel>(w, "elementNoteLabel")->text().contains("Fe is ranged at 2+ only"));
    // A tolerance that is no tolerance is refused in words.
    child<QLineEdit>(w, "massToleranceDaBox")->setText("-1");
    emit child<QLineEdit>(w, "massToleranceDaBox")->editingFinished();
    QCOMPARE(list->item(1)->toolTip(), QString());
  }

  // Moving the mouse over the map, the spectrum and the profile changes
  // what the read-outs say and nothing of the layout.
  void hoverNeverMovesTheLayout() {
    MyForm f;
    DatasetWindow* w = alloyWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    // The run done and its result shown (the map's choices listed: the
    // result reaches the window after the run has ended).
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing() &&
                                 child<QComboBox>(w, "mapShowBox")->count() > 1,
                             settleMs);
    // Each widget's place, named, so that a failure says which one moved.
    auto geometries = [w] {
      QStringList all;
      for (const QWidget* c : w->findChildren<QWidget*>()) {
        // Tooltips are windows of their own, over the layout.
        if (c->isWindow()) continue;
        const QRect r(c->mapTo(w, QPoint(0, 0)), c->size());
        all << QStringLiteral("%1 %2 (%3): %4,%5 %6x%7")
                   .arg(c->metaObject()->className(), c->objectName())
                   .arg(c->parentWidget() != nullptr ? c->parentWidget()->objectName() : QString())
                   .arg(r.x())
                   .arg(r.y())
                   .arg(r.width())
                   .arg(r.height());
      }
      return all;
    };
    // The layout as it settles once the results are shown: every pending
    // layout request served (the map's choices resize their box), and the
    // same over three rounds of events.
    QStringList before = geometries();
    for (int stable = 0, round = 0; stable < 3 && round < 200; ++round) {
      QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
      QCoreApplication::processEvents();
      const QStringList now = geometries();
      stable = now == before ? stable + 1 : 0;
      before = now;
    }
    FieldMapView* view = mapView(w);
    auto moveTo = [](QWidget* target, const QPoint& at) {
      QMouseEvent move(QEvent::MouseMove, at, target->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                       Qt::NoModifier);
      QApplication::sendEvent(target, &move);
    };
    QStringList seen;
    for (const auto& [i, j] : {std::pair{0, 0}, std::pair{1, 0}}) {
      moveTo(view, view->pointOf(i, j));
      seen << child<QLabel>(w, "hoverLabel")->text();
      QCoreApplication::processEvents();
      QCOMPARE(geometries(), before);
    }
    moveTo(view, QPoint(1, 1));
    seen << child<QLabel>(w, "hoverLabel")->text();
    QCOMPARE(seen.size(), 3);
    QVERIFY(!seen[0].isEmpty() && seen[0] != seen[1] && seen[2].isEmpty());
    for (const char* name : {"spectrumChart", "profileChart"}) {
      auto* chart = child<QChartView>(w, name);
      const QRectF plot = chart->chart()->plotArea();
      moveTo(chart->viewport(), chart->mapFromScene(chart->chart()->mapToScene(plot.center())));
      QCoreApplication::processEvents();
    }
    QVERIFY2(child<ChartInteraction>(w, "spectrumTools")->lastHover().startsWith("m/n = "),
             qPrintable(child<ChartInteraction>(w, "spectrumTools")->lastHover()));
    QVERIFY2(child<ChartInteraction>(w, "profileTools")->lastHover().startsWith("ions "),
             qPrintable(child<ChartInteraction>(w, "profileTools")->lastHover()));
    QCOMPARE(geometries(), before);
  }

  // Every figure the window saves says what it shows and from which inputs:
  // its title is text in the SVG; the map fills its image; the CSV files
  // begin with comment lines naming the inputs; the status line says the
  // whole path, and a save chosen in the dialog proposes a name.
  void savedFiguresAndFilesNameTheirInputs() {
    MyForm f;
    fillTungsten(f);
    f.datasetButton->click();
    DatasetWindow* w = f.findChild<DatasetWindow*>();
    child<QLineEdit>(w, "massToleranceDaBox")->setText("0.02");
    child<QLineEdit>(w, "massTolerancePercentBox")->setText("0.1");
    w->openFile(alloyEpos_);
    w->openFile(alloyRrng_);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing(), 120000);

    QCOMPARE(w->saveMapImage("alloy_map.svg"), QString());
    QString svg = svgTexts("alloy_map.svg");
    for (const char* expected :
         {"Field map of the joint field of Cr, Fe (all charges): alloy.epos, ranges alloy.rrng",
          "Bins of 2 mm over the detector, an element entering a bin's fit with at least 100 ions "
          "of its own; 95 % intervals",
          "All hits; no background subtracted; mass tolerance 0.02 Da or 0.1 % of m/q",
          "Models: built-in values of Cr (n = 2), Fe (n = 2)", "E [V/nm]"}) {
      QVERIFY2(svg.simplified().contains(expected), qPrintable(expected + ("\n" + svg)));
    }
    // The colour bar's title lies inside the image.
    const double top = svgTextY("alloy_map.svg", "E [V/nm]");
    QVERIFY2(top > 0.0 && top < w->mapFigure().size.height(), qPrintable(QString::number(top)));
    // The map fills its image: no half of it blank.
    const QImage image = figureImage(w->mapFigure());
    const int titleHeight = image.height() - w->mapFigure().size.height();
    qsizetype coloured = 0;
    for (int y = titleHeight; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) coloured += image.pixel(x, y) != qRgb(255, 255, 255);
    }
    QVERIFY2(coloured > image.width() * (image.height() - titleHeight) * 2 / 5,
             qPrintable(QString::number(coloured)));

    child<QComboBox>(w, "mapShowBox")->setCurrentIndex(1);
    QCOMPARE(w->saveMapImage("alloy_p.svg"), QString());
    svg = svgTexts("alloy_p.svg").simplified();
    QVERIFY2(svg.contains("Agreement of Cr, Fe on one field (p-value of each bin): alloy.epos"),
             qPrintable(svg));
    QVERIFY(svg.contains("p-value"));

    auto* spectrum = child<ChartInteraction>(w, "spectrumTools");
    QCOMPARE(spectrum->saveAs("spectrum.svg"), QString());
    QCOMPARE(child<QLabel>(w, "statusLabel")->text(),
             "Saved " + QFileInfo("spectrum.svg").absoluteFilePath());
    svg = svgTexts("spectrum.svg").simplified();
    QVERIFY2(svg.contains("Mass spectrum: alloy.epos, ranges alloy.rrng") &&
                 svg.contains("Ions per 0.05 Da"),
             qPrintable(svg));
    auto* profile = child<ChartInteraction>(w, "profileTools");
    QCOMPARE(profile->saveAs("profile.png"), QString());
    QCOMPARE(profile->saveAs("profile.svg"), QString());
    svg = svgTexts("profile.svg").simplified();
    QVERIFY2(
        svg.contains("Field along the run, the joint field of Cr, Fe (all charges): alloy.epos") &&
            svg.contains("Blocks of "),
        qPrintable(svg));
    QVERIFY(QImage("profile.png").height() > child<QChartView>(w, "profileChart")->height());

    // The dialog proposes the data file's name and what is shown, beside
    // the data file.
    QString proposed;
    const auto chooser = DatasetWindow::saveChooser;
    DatasetWindow::saveChooser = [&](QWidget*, const QString&, const QString& name,
                                     const QString&) {
      proposed = name;
      return dir_.filePath("chosen");
    };
    child<QPushButton>(w, "saveImageButton")->click();
    DatasetWindow::saveChooser = chooser;
    QCOMPARE(proposed, dir_.filePath("alloy_joint_p_map.png"));
    QVERIFY(QImage(dir_.filePath("chosen.png")).width() > 0);
    QCOMPARE(child<QLabel>(w, "statusLabel")->text(), "Saved " + dir_.filePath("chosen.png"));

    MessageCloser closer;
    const QString failed = spectrum->saveAs(dir_.filePath("no/such/dir/spectrum.png"));
    QVERIFY2(failed.startsWith("Could not save " + dir_.filePath("no/such/dir/spectrum.png")),
             qPrintable(failed));
    QTRY_COMPARE_WITH_TIMEOUT(closer.texts.size(), 1, settleMs);
    QCOMPARE(child<QLabel>(w, "statusLabel")->text(), failed);

    QCOMPARE(w->saveMapCsv("alloy_map.csv"), QString());
    QStringList csv = readLines("alloy_map.csv");
    QCOMPARE(csv.size(), 10);
    QCOMPARE(csv[0], QString("# Field map of the joint field of Cr, Fe (all charges), after "
                             "Kingham's post-field-ionisation theory"));
    QCOMPARE(csv[1], "# data file: " + alloyEpos_);
    QCOMPARE(csv[2], "# range file: " + alloyRrng_);
    QCOMPARE(
        csv[4],
        QString("# All hits; no background subtracted; mass tolerance 0.02 Da or 0.1 % of m/q"));
    QCOMPARE(csv[5], QString("# model: Chromium, n = 2, work function 4.5 eV, energies 6.76651, "
                             "16.4863, 30.959 eV (built-in values)"));
    QVERIFY(csv[6].startsWith("# model: Iron, n = 2"));
    QCOMPARE(csv[7], QString("x_mm,y_mm,ions,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm,p_value,"
                             "E_Cr_V_per_nm,E_Fe_V_per_nm"));
    QCOMPARE(w->saveProfileCsv("alloy_profile.csv"), QString());
    csv = readLines("alloy_profile.csv");
    QVERIFY(csv[0].startsWith("# Field along the run, the joint field of Cr, Fe (all charges)"));
    QVERIFY(csv[7].startsWith("first_ion,last_ion,ions,E_V_per_nm,"));
  }

  // The spectrum zooms to a dragged rectangle and by the wheel, Esc resets
  // it; its labels, one per ion, never cover one another.
  void spectrumZoomsAndResets() {
    MyForm f;
    DatasetWindow* w = alloyWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing(), 120000);
    auto* view = child<QChartView>(w, "spectrumChart");
    auto* x = qobject_cast<QValueAxis*>(view->chart()->axes(Qt::Horizontal).front());
    const double from = x->min(), to = x->max();
    const QRectF plot = view->chart()->plotArea();
    auto onScreen = [view](const QPointF& p) {
      return view->mapFromScene(view->chart()->mapToScene(p));
    };
    const QPoint start = onScreen(plot.topLeft() + QPointF(plot.width() * 0.2, 10));
    const QPoint end = onScreen(plot.topLeft() + QPointF(plot.width() * 0.4, plot.height() - 10));
    QTest::mousePress(view->viewport(), Qt::LeftButton, Qt::NoModifier, start);
    QTest::mouseMove(view->viewport(), (start + end) / 2);
    QTest::mouseMove(view->viewport(), end);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, Qt::NoModifier, end);
    QTRY_VERIFY_WITH_TIMEOUT(x->max() - x->min() < (to - from) * 0.3, settleMs);
    QVERIFY(x->min() > from);
    QTest::keyClick(view, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(std::fabs(x->min() - from) < 1e-9 && std::fabs(x->max() - to) < 1e-9,
                             settleMs);
    QWheelEvent wheel(QPointF(onScreen(plot.center())),
                      QPointF(view->mapToGlobal(onScreen(plot.center()))), QPoint(), QPoint(0, 240),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &wheel);
    QTRY_VERIFY_WITH_TIMEOUT(
        std::fabs((x->max() - x->min()) - 0.64 * (to - from)) < 1e-6 * (to - from), settleMs);
    QTest::keyClick(view, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(std::fabs(x->min() - from) < 1e-9 && std::fabs(x->max() - to) < 1e-9,
                             settleMs);

    QList<QRectF> shown;
    for (QGraphicsItem* item : view->chart()->childItems()) {
      auto* label = dynamic_cast<QGraphicsSimpleTextItem*>(item);
      if (label == nullptr || !label->isVisible()) continue;
      const QRectF r = label->mapRectToParent(label->boundingRect());
      for (const QRectF& other : shown) QVERIFY(!r.intersects(other));
      QVERIFY(plot.contains(r));
      shown << r;
    }
    QVERIFY(shown.size() >= 2);
  }

  // At its default size the window fits a 1366 x 768 laptop screen with
  // its frame, the profile tall enough to read; the bin says its unit.
  void fitsALaptopScreen() {
    const QSize size = DatasetWindow::defaultSize();
    QVERIFY(size.width() <= 1366 && size.height() <= 768 - 60);
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    w->resize(size);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), settleMs);
    QCoreApplication::processEvents();
    QCOMPARE(w->size(), size);
    QVERIFY(w->minimumSizeHint().width() <= size.width());
    QVERIFY(w->minimumSizeHint().height() <= size.height());
    QVERIFY2(child<QChartView>(w, "profileChart")->height() >= 220,
             qPrintable(QString::number(child<QChartView>(w, "profileChart")->height())));
    QVERIFY(child<FieldMapView>(w, "fieldMap")->height() >= 180);
    // Every control within the window: the side panel needs no scrolling,
    // and only the notes and the elements' lines scroll in their boxes.
    QCOMPARE(child<QScrollArea>(w, "sidePanel")->verticalScrollBar()->maximum(), 0);
    for (const QWidget* c : w->findChildren<QWidget*>()) {
      if (!c->isVisibleTo(w) || c->isWindow()) continue;
      bool scrolled = false;
      for (const QWidget* p = c->parentWidget(); p != w; p = p->parentWidget()) {
        if (qobject_cast<const QScrollArea*>(p) != nullptr && p->objectName() != "sidePanel") {
          scrolled = true;
        }
      }
      const QRect r(c->mapTo(w, QPoint(0, 0)), c->size());
      QVERIFY2(scrolled || w->rect().contains(r), qPrintable(c->objectName()));
    }
    QCOMPARE(child<QLabel>(w, "binLabel")->text(), QString("Bin size [mm]"));
    child<QComboBox>(w, "planeBox")->setCurrentIndex(1);
    QCOMPARE(child<QLabel>(w, "binLabel")->text(), QString("Bin size [nm]"));
  }

  // A joint run is cancelled as a pair's is: what was shown stays, the
  // result line says so.
  void cancelStopsAJointRun() {
    MyForm f;
    DatasetWindow* w = alloyWindow(f);
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing(), 120000);
    const double E = w->jointMap()->overall.answer.field.E;
    child<QLineEdit>(w, "binBox")->setText("4");
    w->compute();
    QVERIFY(w->isComputing());
    QVERIFY(child<QPushButton>(w, "cancelButton")->isVisibleTo(w));
    w->cancelRun();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isComputing(), 120000);
    QCOMPARE(child<QLabel>(w, "resultLabel")->text(), QString("Cancelled."));
    QCOMPARE(w->jointMap()->bin, 2.0);
    QCOMPARE(w->jointMap()->overall.answer.field.E, E);
    QVERIFY(child<QPushButton>(w, "cancelButton")->isHidden());
  }

  // The list follows the main window's element until the user checks
  // elements by hand.
  void theListFollowsTheMainWindowUntilChosen() {
    MyForm f;
    DatasetWindow* w = alloyWindow(f);
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing(), 120000);
    QCOMPARE(w->checkedElements(), (QStringList{"Cr", "Fe"}));
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Iron"));
    QCOMPARE(w->checkedElements(), QStringList{"Fe"});
    QCOMPARE(child<QComboBox>(w, "pairBox")->currentText(), QString("2+/1+"));
    QCOMPARE(child<QLabel>(w, "elementNoteLabel")->text(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(w->fieldMap().has_value() && !w->isComputing(), 120000);
    // Chosen by hand: the main window's element no longer moves it.
    child<QListWidget>(w, "elementList")->item(0)->setCheckState(Qt::Checked);
    QCOMPARE(w->checkedElements(), (QStringList{"Cr", "Fe"}));
    f.comboBox1->setCurrentIndex(f.comboBox1->findText("Chromium"));
    QCOMPARE(w->checkedElements(), (QStringList{"Cr", "Fe"}));
    QTRY_VERIFY_WITH_TIMEOUT(w->jointMap().has_value() && !w->isComputing(), 120000);
  }
};

QTEST_MAIN(DatasetWindowTest)
#include "datasetwindow_test.moc"
