#include "ui/DatasetWindow.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <atomic>
#include <cmath>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include "apt/data_file.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/inputs.hpp"
#include "tests/support/apt_writers.hpp"
#include "ui/FieldMapView.hpp"
#include "ui/MyForm.hpp"
#include "window_fixture.hpp"

namespace apt = veltrane::apt;

namespace {

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

}  // namespace

class DatasetWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  QString previousDir_;
  QString epos_, rrng_;

  DatasetWindow* openedWindow(MyForm& f) {
    f.datasetButton->click();
    DatasetWindow* w = f.findChild<DatasetWindow*>();
    if (w == nullptr) qFatal("the Dataset button opened no window");
    w->openFile(epos_);
    w->openFile(rrng_);
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
  }
  void cleanupTestCase() { QDir::setCurrent(previousDir_); }

  void countsSpectrumAndOverallField() {
    MyForm f;
    QVERIFY(f.datasetButton->text().startsWith("Dataset"));
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QVERIFY(w != nullptr && w->isVisible());
    QCOMPARE(w->windowTitle(), QString("Veltrane: dataset"));
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
    // No range of W+: the window takes the pair whose states both have ranges.
    QCOMPARE(child<QComboBox>(w, "pairBox")->count(), 2);
    QCOMPARE(child<QComboBox>(w, "pairBox")->currentText(), QString("3+/2+"));
    QCOMPARE(child<QLabel>(w, "dataLabel")->text(), QString("tungsten.epos: 285 ions (epos)"));

    const QTableWidget* t = child<QTableWidget>(w, "countsTable");
    QCOMPARE(t->rowCount(), 2);
    const QStringList lower = {"W", "2+", "90.5\u201393.5", "110", "99.88", "110.1"};
    const QStringList upper = {"W", "3+", "60.5\u201362.5", "170", "99.88", "170.2"};
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

    const double E = expectedField(170.0 / 110.0);
    QVERIFY(std::isfinite(E));
    const QString text = child<QLabel>(w, "resultLabel")->text();
    QVERIFY2(
        text.startsWith(QStringLiteral("W 3+/2+ = 1.54545 (counts 170 and 110, isotope-corrected): "
                                       "E = %1 V/nm (95 %: ")
                            .arg(QLocale().toString(E, 'f', 2))),
        qPrintable(text));
    QVERIFY(text.endsWith(" V/nm)"));
    // The profile: one block per ion here (285 ions in about 50 blocks of 6).
    QCOMPARE(w->profile()->block, std::uint64_t{6});
    QCOMPARE(w->profile()->blocks.size(), std::size_t{48});

    // Single hits only: the 10 ions of two-hit pulses leave 3+.
    child<QCheckBox>(w, "singleHitsBox")->setChecked(true);
    QTRY_COMPARE(cell(child<QTableWidget>(w, "countsTable"), 1, 3), QString("160"));
    QTRY_VERIFY(!w->isComputing());
    QVERIFY(child<QLabel>(w, "resultLabel")
                ->text()
                .startsWith("W 3+/2+ = 1.45455 (counts 160 and 110, isotope-corrected)"));
  }

  void mapMasksAndHover() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
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
    QTRY_VERIFY(!w->isComputing());
    QCOMPARE(w->fieldMap()->bin, 4.0);
    QCOMPARE(w->fieldMap()->bins.size(), std::size_t{1});
    QVERIFY(!w->fieldMap()->bins[0].masked);
    QCOMPARE(w->fieldMap()->bins[0].field.count_upper, 170.0);
  }

  void badFilesKeepTheDatasetShown() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
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
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
    // A .pos has no detector coordinates: the map says so on the result line.
    apt::ion_columns ions = tungstenIons();
    ions.x = ions.y = ions.z = ions.det_x;
    const QString pos = dir_.filePath("tungsten.pos");
    writeFile(pos, apt::encode_data(apt::data_format::pos, ions));
    QVERIFY(w->openFile(pos));
    QTRY_VERIFY(!w->spectrum().empty() && !w->isComputing());
    QVERIFY(!w->fieldMap().has_value());
    QVERIFY2(child<QLabel>(w, "resultLabel")
                 ->text()
                 .contains("tungsten.pos: the file holds no detector"),
             qPrintable(child<QLabel>(w, "resultLabel")->text()));
    // Over the specimen it maps.
    child<QComboBox>(w, "planeBox")->setCurrentIndex(1);
    child<QPushButton>(w, "computeButton")->click();
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
    QCOMPARE(w->fieldMap()->over, veltrane::map_plane::specimen);
    // A mass that is no number is found while reading: the file is dropped.
    ions.mass[200] = std::nanf("");
    const QString broken = dir_.filePath("broken.pos");
    writeFile(broken, apt::encode_data(apt::data_format::pos, ions));
    MessageCloser closer;
    QVERIFY(w->openFile(broken));
    QTRY_COMPARE(closer.texts.size(), 1);
    QTRY_VERIFY(!w->isComputing());
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
    QTRY_VERIFY(gated.open && !w->isComputing());
    QVERIFY(cancelShown);
    QCOMPARE(child<QLabel>(w, "resultLabel")->text(), QString("Cancelled."));
    QVERIFY(!w->fieldMap().has_value());
    QVERIFY(child<QPushButton>(w, "cancelButton")->isHidden());
    // The spectrum was read before the model was asked; a new run maps.
    QCOMPARE(w->spectrum()[1220], std::uint64_t{170});
    child<QPushButton>(w, "computeButton")->click();
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
  }

  void savesTheMap() {
    MyForm f;
    fillTungsten(f);
    DatasetWindow* w = openedWindow(f);
    QVERIFY(QTest::qWaitForWindowExposed(w));
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
    QCOMPARE(w->saveMapCsv("map.csv"), QString());
    QFile csv("map.csv");
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(csv.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0],
             QString("x_mm,y_mm,N_lower,N_upper,ratio,E_V_per_nm,E_low_V_per_nm,E_high_V_per_nm"));
    QVERIFY(lines[1].startsWith("1,1,100,150,1.5,"));
    QCOMPARE(lines[2], QString("3,1,10,20,nan,nan,nan,nan"));
    for (const char* name : {"map.png", "map.svg", "map.pdf"}) {
      QCOMPARE(w->saveMapImage(name), QString());
      QVERIFY(QFileInfo(name).size() > 0);
    }
    const QImage png("map.png");
    QCOMPARE(png.size(), mapView(w)->size());
    QFile svg("map.svg");
    QVERIFY(svg.open(QIODevice::ReadOnly));
    QVERIFY(svg.readAll().contains("E [V/nm]"));
    MessageCloser closer;
    QVERIFY(w->saveMapImage("map.bmp").contains("map.bmp"));
    QVERIFY(w->saveMapCsv(dir_.filePath("no/such/dir/map.csv")).startsWith("Could not save"));
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
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
    QCOMPARE(cell(child<QTableWidget>(w, "countsTable"), 1, 3), QString("170"));
  }

  // With VELTRANE_DATASET_SCREENSHOT=<file.png>: a larger synthetic tungsten
  // run (the field falling from the centre of the detector outwards) drawn to
  // that file.
  void screenshot() {
    const QString out = qEnvironmentVariable("VELTRANE_DATASET_SCREENSHOT");
    if (out.isEmpty()) QSKIP("VELTRANE_DATASET_SCREENSHOT is not set");
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const float isotopes[] = {181.948206f, 182.9502245f, 183.9509326f, 185.954362f};
    const float abundance[] = {26.5f, 14.31f, 30.64f, 28.43f};
    apt::ion_columns ions;
    for (int n = 0; n < 200000; ++n) {
      const float r = 38.0f * std::sqrt(unit(random)), a = 6.2831853f * unit(random);
      const float x = r * std::cos(a), y = r * std::sin(a);
      float mass = 120.0f * unit(random);  // a flat background
      if (unit(random) < 0.9f) {
        float pick = 99.88f * unit(random);
        std::size_t i = 0;
        while (i < 3 && pick > abundance[i]) pick -= abundance[i++];
        // Fewer 3+ towards the rim: a lower field there.
        const int q = unit(random) < 0.75f - 0.4f * r / 38.0f ? 3 : 2;
        mass = isotopes[i] / static_cast<float>(q) + 0.05f * (unit(random) - 0.5f);
      }
      add(ions, 1, mass, x, y);
    }
    writeFile(dir_.filePath("shot.epos"), apt::encode_data(apt::data_format::epos, ions));
    MyForm f;
    fillTungsten(f);
    f.datasetButton->click();
    DatasetWindow* w = f.findChild<DatasetWindow*>();
    w->resize(1500, 950);
    child<QLineEdit>(w, "binBox")->setText("4");
    QVERIFY(w->openFile(dir_.filePath("shot.epos")) && w->openFile(rrng_));
    QTRY_VERIFY(w->fieldMap().has_value() && !w->isComputing());
    QVERIFY(w->grab().save(out));
  }
};

QTEST_MAIN(DatasetWindowTest)
#include "datasetwindow_test.moc"
