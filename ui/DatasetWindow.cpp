#include "ui/DatasetWindow.hpp"

#include <QBuffer>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QSignalBlocker>
#include <QSvgGenerator>
#include <QVBoxLayout>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "apt/charge_assignment.hpp"
#include "apt/data_file.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/datasets/dataset_counts.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/mass_spectrum.hpp"
#include "ui/BackgroundRun.hpp"
#include "ui/ImageExport.hpp"
#include "ui/LocaleFormat.hpp"

namespace apt = veltrane::apt;

namespace {

// The profile has about this many blocks of ions.
constexpr std::uint64_t profileBlocks = 50;
// Maps larger than this many pixels are not drawn (take a larger bin).
constexpr std::int64_t mostMapPixels = std::int64_t{1} << 24;

QString fieldText(double E) { return QLocale().toString(E, 'f', 2); }

// A number of ions, grouped by the locale as the corrected counts beside it.
QString countText(double count) {
  return QLocale().toString(static_cast<qulonglong>(std::max(0.0, count)));
}

QString boundText(double E) {
  if (std::isinf(E)) return E < 0 ? QStringLiteral("\u2212\u221e") : QStringLiteral("\u221e");
  return std::isnan(E) ? QStringLiteral("?") : fieldText(E);
}

QString charge(int k) { return QString::fromStdString(veltrane::charge_label(k)); }

// A colour of the field scale (a perceptually even ramp from dark blue
// through green to yellow) at t from 0 to 1.
QColor rampColour(double t) {
  static const int stops[][3] = {
      {68, 1, 84}, {59, 82, 139}, {33, 145, 140}, {94, 201, 98}, {253, 231, 37}};
  t = std::clamp(t, 0.0, 1.0) * 4.0;
  const int i = std::min(static_cast<int>(t), 3);
  const double f = t - i;
  auto mix = [&](int c) {
    return static_cast<int>(std::lround(stops[i][c] + f * (stops[i + 1][c] - stops[i][c])));
  };
  return {mix(0), mix(1), mix(2)};
}

QColor chargeColour(int charge) {
  static const QColor colours[] = {QColor(230, 85, 13), QColor(49, 130, 189), QColor(49, 163, 84),
                                   QColor(117, 107, 177)};
  return colours[static_cast<std::size_t>(std::max(charge, 1) - 1) % std::size(colours)];
}

}  // namespace

/// The detector (or specimen) map: one square per bin coloured by its field,
/// a colour bar in V/nm beside it, and the bin under the mouse reported.
class FieldMapView : public QWidget {
 public:
  std::function<void(const veltrane::map_bin*)> hovered;

  FieldMapView() {
    setMouseTracking(true);
    setMinimumSize(420, 320);
  }

  // Draws `map` (nothing when null); false when it has too many bins.
  bool setMap(const veltrane::field_map* map, std::uint64_t minCounts) {
    map_ = map;
    minCounts_ = minCounts;
    image_ = QImage();
    cells_.clear();
    bool drawn = true;
    if (map_ != nullptr && !map_->bins.empty()) drawn = paintBins();
    update();
    return drawn;
  }
  const QImage& image() const { return image_; }
  QPoint pixelOf(std::int64_t i, std::int64_t j) const {
    return {static_cast<int>(i - map_->i_min), static_cast<int>(map_->j_max - j)};
  }
  QPoint pointOf(std::int64_t i, std::int64_t j) const {
    const QRectF r = imageRect();
    const double cell = r.width() / image_.width();
    const QPoint p = pixelOf(i, j);
    return QPointF(r.left() + (p.x() + 0.5) * cell, r.top() + (p.y() + 0.5) * cell).toPoint();
  }
  const veltrane::map_bin* binAt(const QPoint& position) const {
    if (image_.isNull()) return nullptr;
    const QRectF r = imageRect();
    if (!r.contains(position)) return nullptr;
    const double cell = r.width() / image_.width();
    const int col =
        std::min(static_cast<int>((position.x() - r.left()) / cell), image_.width() - 1);
    const int row =
        std::min(static_cast<int>((position.y() - r.top()) / cell), image_.height() - 1);
    const int index =
        cells_[static_cast<std::size_t>(row) * static_cast<std::size_t>(image_.width()) +
               static_cast<std::size_t>(col)];
    return index < 0 ? nullptr : &map_->bins[static_cast<std::size_t>(index)];
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (image_.isNull()) {
      p.drawText(rect(), Qt::AlignCenter, "No map yet: open a data file and a range file.");
      return;
    }
    const QRectF r = imageRect();
    p.drawImage(r, image_);
    p.setPen(Qt::black);
    p.drawRect(r);
    drawAxes(p, r);
    drawColourBar(p, r);
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (hovered) hovered(binAt(event->position().toPoint()));
  }
  void leaveEvent(QEvent*) override {
    if (hovered) hovered(nullptr);
  }

 private:
  QRectF plotRect() const { return QRectF(rect()).adjusted(60, 12, -130, -42); }
  QRectF imageRect() const {
    const QRectF p = plotRect();
    const double cell =
        std::max(1e-6, std::min(p.width() / image_.width(), p.height() / image_.height()));
    return {p.left(), p.top(), cell * image_.width(), cell * image_.height()};
  }

  bool paintBins() {
    const std::int64_t nx = map_->i_max - map_->i_min + 1, ny = map_->j_max - map_->j_min + 1;
    if (nx > mostMapPixels || ny > mostMapPixels / nx) return false;
    low_ = std::numeric_limits<double>::infinity();
    high_ = -low_;
    for (const auto& bin : map_->bins) {
      if (!bin.masked && std::isfinite(bin.field.E)) {
        low_ = std::min(low_, bin.field.E);
        high_ = std::max(high_, bin.field.E);
      }
    }
    if (!(low_ <= high_)) low_ = high_ = 0.0;
    if (high_ - low_ < 1e-9) {
      low_ -= 0.5;
      high_ += 0.5;
    }
    image_ = QImage(static_cast<int>(nx), static_cast<int>(ny), QImage::Format_ARGB32);
    image_.fill(Qt::white);
    cells_.assign(static_cast<std::size_t>(nx * ny), -1);
    for (std::size_t b = 0; b < map_->bins.size(); ++b) {
      const auto& bin = map_->bins[b];
      const QPoint px = pixelOf(bin.i, bin.j);
      image_.setPixelColor(px, colourOf(bin));
      cells_[static_cast<std::size_t>(px.y()) * static_cast<std::size_t>(nx) +
             static_cast<std::size_t>(px.x())] = static_cast<int>(b);
    }
    return true;
  }
  QColor colourOf(const veltrane::map_bin& bin) const {
    if (bin.masked) return DatasetWindow::maskedColour();
    if (!std::isfinite(bin.field.E)) return DatasetWindow::noFieldColour();
    return rampColour((bin.field.E - low_) / (high_ - low_));
  }

  void drawAxes(QPainter& p, const QRectF& r) const {
    const double b = map_->bin;
    const QString unit = map_->over == veltrane::map_plane::detector ? "mm" : "nm";
    const QLocale locale;
    auto number = [&](double v) { return locale.toString(v, 'g', 4); };
    const double x0 = static_cast<double>(map_->i_min) * b;
    const double x1 = static_cast<double>(map_->i_max + 1) * b;
    const double y0 = static_cast<double>(map_->j_min) * b;
    const double y1 = static_cast<double>(map_->j_max + 1) * b;
    const QRectF below(r.left() - 40, r.bottom() + 2, 80, 16);
    p.drawText(below, Qt::AlignCenter, number(x0));
    p.drawText(below.translated(r.width(), 0), Qt::AlignCenter, number(x1));
    p.drawText(QRectF(r.left(), r.bottom() + 20, r.width(), 16), Qt::AlignCenter,
               "x [" + unit + "]");
    const QRectF left(r.left() - 58, r.bottom() - 8, 54, 16);
    p.drawText(left, Qt::AlignRight | Qt::AlignVCenter, number(y0));
    p.drawText(left.translated(0, -r.height()), Qt::AlignRight | Qt::AlignVCenter, number(y1));
    p.save();
    p.translate(r.left() - 30, r.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-60, -8, 120, 16), Qt::AlignCenter, "y [" + unit + "]");
    p.restore();
  }

  void drawColourBar(QPainter& p, const QRectF& r) const {
    const QRectF bar(plotRect().right() + 16, r.top() + 18, 16, std::max(60.0, r.height() - 90));
    for (int y = 0; y < static_cast<int>(bar.height()); ++y) {
      p.setPen(rampColour(1.0 - y / bar.height()));
      p.drawLine(QPointF(bar.left(), bar.top() + y), QPointF(bar.right(), bar.top() + y));
    }
    p.setPen(Qt::black);
    p.drawRect(bar);
    p.drawText(QRectF(bar.left() - 10, r.top(), 100, 16), Qt::AlignLeft, "E [V/nm]");
    for (int t = 0; t <= 4; ++t) {
      const double y = bar.bottom() - t * bar.height() / 4.0;
      p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + 4, y));
      p.drawText(QRectF(bar.right() + 6, y - 8, 80, 16), Qt::AlignLeft | Qt::AlignVCenter,
                 fieldText(low_ + t * (high_ - low_) / 4.0));
    }
    const QString masked = QStringLiteral("< %1 ions").arg(minCounts_);
    swatch(p, QPointF(bar.left(), bar.bottom() + 14), DatasetWindow::maskedColour(), masked);
    swatch(p, QPointF(bar.left(), bar.bottom() + 32), DatasetWindow::noFieldColour(), "no field");
  }
  static void swatch(QPainter& p, const QPointF& at, const QColor& colour, const QString& text) {
    p.fillRect(QRectF(at, QSizeF(12, 12)), colour);
    p.drawText(QRectF(at.x() + 16, at.y() - 2, 100, 16), Qt::AlignLeft | Qt::AlignVCenter, text);
  }

  const veltrane::field_map* map_ = nullptr;
  std::uint64_t minCounts_ = 0;
  QImage image_;
  std::vector<int> cells_;  // the bin of each pixel, -1 where no ion fell
  double low_ = 0.0, high_ = 1.0;
};

std::function<QString(QWidget*, const QString&, const QString&)> DatasetWindow::openChooser =
    [](QWidget* parent, const QString& caption, const QString& filter) {
      return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
    };
std::function<QString(QWidget*, const QString&, const QString&, const QString&)>
    DatasetWindow::saveChooser = [](QWidget* parent, const QString& caption,
                                    const QString& proposed, const QString& filter) {
      return QFileDialog::getSaveFileName(parent, caption, proposed, filter);
    };

DatasetWindow::DatasetWindow(Source source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(std::move(source)) {
  setObjectName("DatasetWindow");
  setWindowTitle("Veltrane: dataset");
  setAcceptDrops(true);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(buildSidePanel());
  layout->addWidget(buildViews(), 1);

  settle_ = new QTimer(this);
  settle_->setSingleShot(true);
  settle_->setInterval(150);
  connect(settle_, &QTimer::timeout, this, &DatasetWindow::compute);
  poll_ = new QTimer(this);
  poll_->setInterval(50);
  connect(poll_, &QTimer::timeout, this, &DatasetWindow::showProgress);
  for (QLineEdit* box : {bin_, minCounts_, confidence_}) {
    connect(box, &QLineEdit::editingFinished, this, &DatasetWindow::scheduleCompute);
  }
  for (QCheckBox* box : {singleHits_, background_}) {
    connect(box, &QCheckBox::toggled, this, &DatasetWindow::scheduleCompute);
  }
  for (QComboBox* box : {pair_, plane_}) {
    connect(box, &QComboBox::activated, this, &DatasetWindow::scheduleCompute);
  }
  QString ignored;
  if (const auto request = source_.readRequest(&ignored)) fillPairs(*request);
  resize(1400, 900);
}

DatasetWindow::~DatasetWindow() {
  // Closing the window takes the focus from a box, which would end its
  // editing on a window half taken down.
  for (QLineEdit* box : {bin_, minCounts_, confidence_}) disconnect(box, nullptr, this, nullptr);
}

QWidget* DatasetWindow::buildSidePanel() {
  openData_ = new QPushButton(QString::fromUtf8("Open data file\u2026"));
  openData_->setObjectName("openDataButton");
  openRange_ = new QPushButton(QString::fromUtf8("Open range file\u2026"));
  openRange_->setObjectName("openRangeButton");
  dataLabel_ = new QLabel("No data file (.epos, .pos, .apt)");
  rangeLabel_ = new QLabel("No range file (.rrng, .rng)");
  for (QLabel* l : {dataLabel_, rangeLabel_}) l->setWordWrap(true);
  auto* files = new QGroupBox("Files (or drop them here)");
  auto* filesLayout = new QVBoxLayout(files);
  for (QWidget* w : std::initializer_list<QWidget*>{openData_, dataLabel_, openRange_, rangeLabel_})
    filesLayout->addWidget(w);

  pair_ = new QComboBox;
  pair_->setObjectName("pairBox");
  bin_ = new QLineEdit;
  bin_->setPlaceholderText("2");
  minCounts_ = new QLineEdit;
  minCounts_->setPlaceholderText("100");
  confidence_ = new QLineEdit;
  confidence_->setPlaceholderText("0.95");
  singleHits_ = new QCheckBox("Single hits only");
  background_ = new QCheckBox("Subtract background");
  plane_ = new QComboBox;
  plane_->addItem("Detector (mm)", static_cast<int>(veltrane::map_plane::detector));
  plane_->addItem("Specimen (nm)", static_cast<int>(veltrane::map_plane::specimen));
  compute_ = new QPushButton("Compute");
  compute_->setObjectName("computeButton");
  auto* field = new QGroupBox("Field");
  auto* form = new QFormLayout(field);
  form->addRow("Pair (upper/lower)", pair_);
  form->addRow("Bin size", bin_);
  form->addRow("Min counts per bin", minCounts_);
  form->addRow("Confidence", confidence_);
  form->addRow(singleHits_);
  form->addRow(background_);
  form->addRow("Map over", plane_);
  form->addRow(compute_);

  progressBar_ = new QProgressBar;
  progressBar_->setRange(0, 1000);
  progressLabel_ = new QLabel;
  progressLabel_->setWordWrap(true);
  cancel_ = new QPushButton("Cancel");
  cancel_->setObjectName("cancelButton");
  saveCsv_ = new QPushButton("Save map CSV\u2026");
  saveImage_ = new QPushButton(QString::fromUtf8("Save map image\u2026"));
  auto* side = new QVBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{files, field, progressBar_, progressLabel_,
                                                    cancel_, saveCsv_, saveImage_})
    side->addWidget(w);
  side->addStretch();
  setRunning(false);

  connect(openData_, &QPushButton::clicked, this, [this] {
    const QString file =
        openChooser(this, "Open a data file", "Atom-probe data (*.epos *.pos *.apt)");
    if (!file.isEmpty()) openDataFile(file);
  });
  connect(openRange_, &QPushButton::clicked, this, [this] {
    const QString file = openChooser(this, "Open a range file", "Range files (*.rrng *.rng)");
    if (!file.isEmpty()) openRangeFile(file);
  });
  connect(compute_, &QPushButton::clicked, this, &DatasetWindow::compute);
  connect(cancel_, &QPushButton::clicked, this, &DatasetWindow::cancelRun);
  connect(saveCsv_, &QPushButton::clicked, this, [this] {
    const QString file = saveChooser(this, "Save the map as CSV", "field_map.csv", "CSV (*.csv)");
    if (!file.isEmpty()) saveMapCsv(file);
  });
  connect(saveImage_, &QPushButton::clicked, this, [this] {
    const QString file = saveChooser(this, "Save the map as an image", "field_map.png",
                                     "Images (*.png *.svg *.pdf)");
    if (!file.isEmpty()) saveMapImage(file);
  });
  auto* panel = new QWidget;
  panel->setLayout(side);
  panel->setFixedWidth(280);
  return panel;
}

QWidget* DatasetWindow::buildViews() {
  spectrumView_ = new QChartView;
  spectrumView_->setObjectName("spectrumChart");
  spectrumView_->setRenderHint(QPainter::Antialiasing);
  profileView_ = new QChartView;
  profileView_->setObjectName("profileChart");
  profileView_->setRenderHint(QPainter::Antialiasing);
  table_ = new QTableWidget(0, 6);
  table_->setObjectName("countsTable");
  table_->setHorizontalHeaderLabels(
      {"Element", "Charge", "Ranges [Da]", "Counts", "Abundance %", "Corrected"});
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->verticalHeader()->setVisible(false);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  mapView_ = new FieldMapView;
  mapView_->setObjectName("fieldMap");
  mapView_->hovered = [this](const veltrane::map_bin* bin) { showHover(bin); };
  hover_ = new QLabel("Move the mouse over the map for a bin's counts and field.");
  hover_->setObjectName("hoverLabel");
  result_ = new QLabel;
  result_->setObjectName("resultLabel");
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  result_->setWordWrap(true);
  QFont bold = result_->font();
  bold.setBold(true);
  result_->setFont(bold);
  caveat_ = new QLabel(veltrane::counting_caveat);
  caveat_->setWordWrap(true);
  notes_ = new QLabel;
  notes_->setObjectName("notesLabel");
  notes_->setWordWrap(true);
  notes_->setStyleSheet("QLabel { color: #5c4400; }");

  auto* mapBox = new QWidget;
  auto* mapLayout = new QVBoxLayout(mapBox);
  mapLayout->setContentsMargins(0, 0, 0, 0);
  mapLayout->addWidget(mapView_, 1);
  mapLayout->addWidget(hover_);
  auto* grid = new QGridLayout;
  grid->addWidget(spectrumView_, 0, 0);
  grid->addWidget(mapBox, 0, 1);
  grid->addWidget(profileView_, 1, 0);
  grid->addWidget(table_, 1, 1);
  grid->setRowStretch(0, 3);
  grid->setRowStretch(1, 2);
  auto* views = new QWidget;
  auto* layout = new QVBoxLayout(views);
  layout->addLayout(grid, 1);
  layout->addWidget(result_);
  layout->addWidget(caveat_);
  layout->addWidget(notes_);
  drawSpectrum();
  drawProfile();
  return views;
}

const QImage& DatasetWindow::mapImage() const { return mapView_->image(); }
QPoint DatasetWindow::pixelOfBin(std::int64_t i, std::int64_t j) const {
  return mapView_->pixelOf(i, j);
}
QPoint DatasetWindow::viewPointOfBin(std::int64_t i, std::int64_t j) const {
  return mapView_->pointOf(i, j);
}
QWidget* DatasetWindow::mapView() const { return mapView_; }

void DatasetWindow::showMessage(const QString& text) {
  lastMessage_ = text;
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
  box.exec();
}

void DatasetWindow::setRunning(bool running) {
  computing_ = running;
  for (QWidget* w : std::initializer_list<QWidget*>{openData_, openRange_, compute_, saveCsv_,
                                                    saveImage_, pair_, plane_}) {
    w->setEnabled(!running);
  }
  progressBar_->setVisible(running);
  progressLabel_->setVisible(running);
  cancel_->setVisible(running);
  if (running) {
    progressBar_->setValue(0);
    progressLabel_->setText("Reading the dataset\u2026");
  } else {
    saveCsv_->setEnabled(map_.has_value());
    saveImage_->setEnabled(map_.has_value());
  }
}

bool DatasetWindow::openFile(const QString& path) {
  const std::filesystem::path file = path.toStdString();
  if (apt::format_of_extension(file)) return openDataFile(path);
  if (apt::range_format_of_extension(file)) return openRangeFile(path);
  showMessage(QStringLiteral("%1: neither a data file (.epos, .pos, .apt) nor a range file "
                             "(.rrng, .rng)")
                  .arg(path));
  return false;
}

bool DatasetWindow::openDataFile(const QString& path) {
  if (computing_) return false;
  try {
    apt::dataset opened = apt::open_data(path.toStdString());
    data_ = std::move(opened);
  } catch (const std::exception& e) {
    showMessage(QStringLiteral("Could not open the data file %1:\n%2")
                    .arg(path, QString::fromUtf8(e.what())));
    return false;
  }
  spectrum_.clear();
  spectrumDone_ = false;
  dataLabel_->setText(QStringLiteral("%1: %2 ions (%3)")
                          .arg(QString::fromStdString(data_->file_name()))
                          .arg(countText(static_cast<double>(data_->ion_count())))
                          .arg(QString::fromUtf8(
                              apt::format_name(data_->format()).data(),
                              static_cast<qsizetype>(apt::format_name(data_->format()).size()))));
  dataLabel_->setToolTip(path);
  clearField();
  scheduleCompute();
  return true;
}

bool DatasetWindow::openRangeFile(const QString& path) {
  if (computing_) return false;
  try {
    apt::range_file read = apt::read_range_file(path.toStdString());
    ranges_ = std::move(read);
  } catch (const std::exception& e) {
    showMessage(QStringLiteral("Could not open the range file %1:\n%2")
                    .arg(path, QString::fromUtf8(e.what())));
    return false;
  }
  rangeLabel_->setText(
      QStringLiteral("%1: %2 ranges").arg(QFileInfo(path).fileName()).arg(ranges_->ranges.size()));
  rangeLabel_->setToolTip(path);
  choosePairWithRanges();
  clearField();
  scheduleCompute();
  return true;
}

void DatasetWindow::fillPairs(const veltrane::calc_request& request) {
  const QSignalBlocker quiet(pair_);
  const int previous = pair_->currentIndex() >= 0 ? pair_->currentData().toInt() : 1;
  pair_->clear();
  for (int k = 1; k <= request.n; ++k) pair_->addItem(charge(k + 1) + "/" + charge(k), k);
  pair_->setCurrentIndex(previous >= 1 && previous <= request.n ? previous - 1 : 0);
}

// When the pair chosen has no ranges of both its states in the range file,
// the first pair that has them is chosen instead.
void DatasetWindow::choosePairWithRanges() {
  QString ignored;
  const auto request = source_.readRequest(&ignored);
  if (!request || !ranges_) return;
  fillPairs(*request);
  std::set<int> charges;
  try {
    const auto selection =
        veltrane::select_ranges(*ranges_, veltrane::element_symbol(request->element));
    for (std::size_t index : selection.used) charges.insert(selection.assignments[index].charge);
  } catch (const std::exception&) {
    return;  // the run says what is wrong
  }
  auto both = [&charges](int k) { return charges.count(k) > 0 && charges.count(k + 1) > 0; };
  if (both(pair_->currentData().toInt())) return;
  for (int i = 0; i < pair_->count(); ++i) {
    if (both(pair_->itemData(i).toInt())) {
      pair_->setCurrentIndex(i);
      return;
    }
  }
}

std::optional<DatasetWindow::Inputs> DatasetWindow::readInputs(QString& message) {
  const auto request = source_.readRequest(&message);
  if (!request) return std::nullopt;
  fillPairs(*request);
  const auto format = numberFormatFor(QLocale());
  auto number = [&](const QLineEdit* box, double fallback,
                    const char* what) -> std::optional<double> {
    const QString text = box->text().trimmed();
    if (text.isEmpty()) return fallback;
    const auto value = veltrane::parse_number(text.toStdString(), format);
    if (!value) message = QStringLiteral("the %1 must be a number, not \"%2\"").arg(what, text);
    return value;
  };
  const auto bin = number(bin_, 2.0, "bin size");
  const auto least = number(minCounts_, 100.0, "least count per bin");
  const auto confidence = number(confidence_, 0.95, "confidence");
  if (!bin || !least || !confidence) return std::nullopt;
  if (!(*least >= 0.0 && *least < 1e18 && std::floor(*least) == *least)) {
    message = QStringLiteral("the least count per bin must be a whole number of at least 0");
    return std::nullopt;
  }
  Inputs in{*request, pair_->currentData().toInt(), {}, {}};
  veltrane::counting_options counting;
  counting.single_hits = singleHits_->isChecked();
  counting.background = background_->isChecked();
  counting.threads = source_.threads;
  counting.ions_done = &ionsDone_;
  in.map.counting = in.profile.counting = counting;
  in.map.confidence = in.profile.confidence = *confidence;
  in.map.bin = *bin;
  in.map.min_counts = static_cast<std::uint64_t>(*least);
  in.map.over = static_cast<veltrane::map_plane>(plane_->currentData().toInt());
  const std::uint64_t ions = data_ ? data_->ion_count() : 0;
  in.profile.block = std::max<std::uint64_t>(1, (ions + profileBlocks - 1) / profileBlocks);
  return in;
}

void DatasetWindow::scheduleCompute() { settle_->start(); }

void DatasetWindow::cancelRun() {
  if (cancelFlag_ != nullptr) *cancelFlag_ = true;
}

void DatasetWindow::compute() {
  if (computing_) {
    settle_->start();  // once the run going on has ended
    return;
  }
  if (!data_) return;
  QString message;
  std::optional<Inputs> inputs;
  if (ranges_) {
    inputs = readInputs(message);
    if (!inputs) {
      clearField();
      result_->setText(message);
      lastMessage_ = message;
    }
  }
  const bool needSpectrum = !spectrumDone_;
  if (!needSpectrum && !inputs) return;
  const apt::dataset file = *data_;
  const std::optional<apt::range_file> ranges = ranges_;
  const veltrane::charge_state_model model = source_.model();
  ionsTotal_ = file.ion_count() * ((needSpectrum ? 1u : 0u) + (inputs ? 4u : 0u));
  Outcome outcome;
  const RunOutcome done = run(
      [&](Outcome& out, veltrane::evaluation_progress& progress) {
        if (needSpectrum) computeSpectrum(file, out, progress);
        if (!inputs) return;
        inputs->map.counting.cancel = inputs->profile.counting.cancel = &progress.cancel;
        veltrane::charge_states states(inputs->request, model.function, source_.threads, &progress);
        states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
        veltrane::ratio_inverter inverter(states, inputs->k);
        out.minCounts = inputs->map.min_counts;
        out.map = veltrane::map_field(file, *ranges, inverter, inputs->map);
        out.profile = veltrane::profile_field(file, *ranges, inverter, inputs->profile);
      },
      outcome);
  if (outcome.readFailed) {
    data_.reset();
    spectrum_.clear();
    spectrumDone_ = false;
    dataLabel_->setText("No data file (.epos, .pos, .apt)");
    clearField();
    return;
  }
  // A run that failed leaves no field of earlier inputs behind; a cancelled
  // one keeps what was shown.
  if (!done.ok() && !done.cancelled) {
    map_.reset();
    profile_.reset();
  }
  accept(std::move(outcome), done.ok() && inputs.has_value());
}

// Runs `work` on a worker thread with the window's own progress bar; how it
// ended (a failure (a failure to read the file in a message box, any
// other on the result line).
RunOutcome DatasetWindow::run(
    const std::function<void(Outcome&, veltrane::evaluation_progress&)>& work, Outcome& outcome) {
  setRunning(true);
  ionsDone_ = 0;
  poll_->start();
  const RunOutcome ran = runInBackground(
      this,
      [&](veltrane::evaluation_progress& progress) {
        runProgress_ = &progress;
        try {
          work(outcome, progress);
        } catch (const veltrane::calculation_cancelled&) {
          // the cancel flag tells
        } catch (const veltrane::dataset_file_error&) {
          outcome.readFailed = true;
          throw;
        }
      },
      std::numeric_limits<int>::max(), &cancelFlag_);
  runProgress_ = nullptr;
  poll_->stop();
  setRunning(false);
  if (ran.cancelled) {
    result_->setText("Cancelled.");
    lastMessage_ = result_->text();
  } else if (!ran.error.isEmpty()) {
    if (outcome.readFailed) {
      showMessage(ran.error);
    } else {
      result_->setText(ran.error);
      lastMessage_ = ran.error;
    }
  }
  return ran;
}

void DatasetWindow::showProgress() {
  const std::uint64_t done = ionsDone_.load();
  if (ionsTotal_ > 0) {
    progressBar_->setValue(
        static_cast<int>(std::min<std::uint64_t>(1000, done * 1000 / ionsTotal_)));
  }
  QString text =
      QStringLiteral("Read %1 of %2 ions")
          .arg(countText(static_cast<double>(done)), countText(static_cast<double>(ionsTotal_)));
  if (const veltrane::evaluation_progress* p = runProgress_.load()) {
    const std::size_t total = p->total.load();
    if (total > 0)
      text += QStringLiteral("; model: %1 of %2 points").arg(p->done.load()).arg(total);
  }
  progressLabel_->setText(text);
}

void DatasetWindow::computeSpectrum(const apt::dataset& file, Outcome& out,
                                    veltrane::evaluation_progress& progress) {
  veltrane::spectrum_options options;
  options.bin = spectrumBin;
  options.cancel = &progress.cancel;
  options.ions_done = &ionsDone_;
  out.spectrum = veltrane::mass_spectrum(file, options);
  out.spectrumComplete = true;
}

void DatasetWindow::accept(Outcome&& outcome, bool withField) {
  if (outcome.spectrumComplete) {
    spectrum_ = std::move(outcome.spectrum);
    spectrumDone_ = true;
  }
  if (withField) {
    minCountsShown_ = outcome.minCounts;
    map_ = std::move(outcome.map);
    profile_ = std::move(outcome.profile);
  }
  drawSpectrum();
  fillTable();
  if (!mapView_->setMap(map_ ? &*map_ : nullptr, minCountsShown_)) {
    notes_->setText("The map has too many bins to draw; take a larger bin.");
  }
  drawProfile();
  if (withField) showResult();
  saveCsv_->setEnabled(map_.has_value());
  saveImage_->setEnabled(map_.has_value());
}

void DatasetWindow::clearField() {
  map_.reset();
  profile_.reset();
  result_->clear();
  notes_->clear();
  hover_->clear();
  accept(Outcome{}, false);
}

void DatasetWindow::drawSpectrum() {
  auto* chart = new QChart;
  chart->setTitle("Mass spectrum");
  auto* x = new QValueAxis;
  x->setTitleText("m/n [Da]");
  auto* y = new QLogValueAxis;
  y->setTitleText("ions per 0.05 Da");
  y->setBase(10.0);
  y->setLabelFormat("%g");
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  // Empty bins sit on the floor of the log scale.
  constexpr double floor = 0.5;
  std::uint64_t highest = 1;
  auto* outline = new QLineSeries;
  outline->setName("ions");
  QList<QPointF> points;
  points.reserve(static_cast<qsizetype>(spectrum_.size() * 2));
  for (std::size_t b = 0; b < spectrum_.size(); ++b) {
    const double c = spectrum_[b] > 0 ? static_cast<double>(spectrum_[b]) : floor;
    points.append({static_cast<double>(b) * spectrumBin, c});
    points.append({static_cast<double>(b + 1) * spectrumBin, c});
    highest = std::max(highest, spectrum_[b]);
  }
  outline->replace(points);
  outline->setPen(QPen(QColor(40, 40, 40), 1));
  chart->addSeries(outline);
  outline->attachAxis(x);
  outline->attachAxis(y);
  const double top = static_cast<double>(highest) * 3.0;
  x->setRange(0.0, std::max(1.0, static_cast<double>(spectrum_.size()) * spectrumBin));
  y->setRange(floor, top);
  shadeRanges(chart, x, y, top);
  chart->legend()->setAlignment(Qt::AlignTop);
  QChart* old = spectrumView_->chart();
  spectrumView_->setChart(chart);
  delete old;
}

// The counted ranges of the chosen element, shaded in the colour of their
// charge and labelled "W3+" above the peak.
void DatasetWindow::shadeRanges(QChart* chart, QValueAxis* x, QLogValueAxis* y, double top) {
  spectrumLabels_.clear();
  if (!map_) return;
  std::set<int> named;
  for (const auto& r : map_->overall.counts.ranges) {
    const QString label = QString::fromStdString(r.symbol + apt::charge_suffix(r.charge));
    auto* upper = new QLineSeries;
    upper->append(QList<QPointF>{{r.low, top}, {r.high, top}});
    auto* lower = new QLineSeries;
    lower->append(QList<QPointF>{{r.low, y->min()}, {r.high, y->min()}});
    auto* area = new QAreaSeries(upper, lower);
    // An area series does not own its bounding lines.
    upper->setParent(area);
    lower->setParent(area);
    QColor colour = chargeColour(r.charge);
    area->setPen(QPen(colour, 1));
    colour.setAlpha(70);
    area->setBrush(colour);
    area->setName(label);
    chart->addSeries(area);
    area->attachAxis(x);
    area->attachAxis(y);
    if (!named.insert(r.charge).second) chart->legend()->markers(area).front()->setVisible(false);
    auto* mark = new QScatterSeries;
    mark->append((r.low + r.high) / 2.0, top / 2.0);
    mark->setMarkerSize(1.0);
    mark->setPen(Qt::NoPen);
    mark->setBrush(Qt::transparent);
    mark->setPointLabelsFormat(label);
    mark->setPointLabelsVisible(true);
    mark->setPointLabelsColor(chargeColour(r.charge).darker(130));
    chart->addSeries(mark);
    mark->attachAxis(x);
    mark->attachAxis(y);
    chart->legend()->markers(mark).front()->setVisible(false);
    spectrumLabels_ << label;
  }
}

void DatasetWindow::fillTable() {
  table_->setRowCount(0);
  if (!map_) return;
  const auto& counts = map_->overall.counts;
  const QLocale locale;
  table_->setRowCount(static_cast<int>(counts.charges.size()));
  for (int row = 0; row < table_->rowCount(); ++row) {
    const auto& c = counts.charges[static_cast<std::size_t>(row)];
    QStringList ranges;
    for (std::size_t index : c.ranges) {
      const auto& r = ranges_->ranges[index];
      ranges << QString::fromStdString(apt::mass_text(r.low) + "\u2013" + apt::mass_text(r.high));
    }
    const QString cells[] = {QString::fromStdString(c.symbol),
                             charge(c.charge),
                             ranges.join("; "),
                             countText(static_cast<double>(c.counts)),
                             locale.toString(c.abundance_percent, 'f', 2),
                             locale.toString(c.corrected, 'f', 1)};
    for (int column = 0; column < 6; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      if (column >= 3) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      table_->setItem(row, column, item);
    }
  }
}

void DatasetWindow::drawProfile() {
  auto* chart = new QChart;
  chart->setTitle("Field along the run");
  chart->legend()->setAlignment(Qt::AlignTop);
  auto* x = new QValueAxis;
  auto* y = new QValueAxis;
  y->setTitleText("E [V/nm]");
  x->setTitleText("block of ions");
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  auto* field = new QLineSeries;
  field->setName("E");
  auto* low = new QLineSeries;
  auto* high = new QLineSeries;
  double least = std::numeric_limits<double>::infinity(), most = -least;
  std::size_t blocks = 0;
  if (profile_) {
    blocks = profile_->blocks.size();
    x->setTitleText(QStringLiteral("block of %1 ions").arg(profile_->block));
    for (std::size_t b = 0; b < blocks; ++b) {
      const auto& f = profile_->blocks[b].field;
      if (!std::isfinite(f.E)) continue;
      const double lo = std::isfinite(f.E_low) ? f.E_low : f.E;
      const double hi = std::isfinite(f.E_high) ? f.E_high : f.E;
      const double at = static_cast<double>(b + 1);
      field->append(at, f.E);
      low->append(at, lo);
      high->append(at, hi);
      least = std::min(least, lo);
      most = std::max(most, hi);
    }
  }
  auto* band = new QAreaSeries(high, low);
  high->setParent(band);
  low->setParent(band);
  band->setName(QStringLiteral("%1 % interval")
                    .arg(QLocale().toString(
                        (profile_ ? profile_->overall.field.confidence : 0.95) * 100.0, 'g', 4)));
  band->setBrush(QColor(49, 130, 189, 60));
  band->setPen(Qt::NoPen);
  field->setPen(QPen(QColor(8, 69, 148), 2));
  field->setPointsVisible(true);
  for (QAbstractSeries* s : std::initializer_list<QAbstractSeries*>{band, field}) {
    chart->addSeries(s);
    s->attachAxis(x);
    s->attachAxis(y);
  }
  x->setRange(0.5, static_cast<double>(std::max<std::size_t>(blocks, 1)) + 0.5);
  if (least <= most) {
    const double pad = std::max(0.05, (most - least) * 0.1);
    y->setRange(least - pad, most + pad);
  }
  QChart* old = profileView_->chart();
  profileView_->setChart(chart);
  delete old;
}

void DatasetWindow::showResult() {
  if (!map_) return;
  const auto& f = map_->overall.field;
  const QLocale locale;
  QString text = QStringLiteral("%1/%2 = %3 (counts %4 and %5): ")
                     .arg(charge(f.k + 1), charge(f.k), locale.toString(f.ratio, 'g', 4),
                          countText(f.count_upper), countText(f.count_lower));
  if (std::isfinite(f.E)) {
    text += QStringLiteral("E = %1 V/nm (%2 %: %3 to %4 V/nm)")
                .arg(fieldText(f.E), locale.toString(f.confidence * 100.0, 'g', 4),
                     boundText(f.E_low), boundText(f.E_high));
  } else {
    text += "no field of the model gives this ratio";
  }
  result_->setText(text);
  lastMessage_ = text;
  QStringList notes;
  for (const auto& m : map_->messages) notes << QString::fromStdString(m);
  if (profile_ && profile_->messages != map_->messages) {
    for (const auto& m : profile_->messages) notes << QString::fromStdString(m);
  }
  notes.removeDuplicates();
  notes_->setText(notes.join('\n'));
}

void DatasetWindow::showHover(const veltrane::map_bin* bin) {
  if (bin == nullptr || !map_) {
    hover_->clear();
    return;
  }
  const QString unit = map_->over == veltrane::map_plane::detector ? "mm" : "nm";
  const auto& f = bin->field;
  const QLocale locale;
  QString text = QStringLiteral("x = %1 %3, y = %2 %3: N_lower = %4, N_upper = %5")
                     .arg(locale.toString(bin->x, 'g', 6), locale.toString(bin->y, 'g', 6), unit,
                          countText(f.count_lower), countText(f.count_upper));
  if (bin->masked) {
    text += ": too few ions, masked";
  } else if (!std::isfinite(f.E)) {
    text += ": no field of the model gives this ratio";
  } else {
    text += QStringLiteral(", E = %1 V/nm (%2 %: %3 to %4 V/nm)")
                .arg(fieldText(f.E), locale.toString(f.confidence * 100.0, 'g', 4),
                     boundText(f.E_low), boundText(f.E_high));
  }
  hover_->setText(text);
}

QString DatasetWindow::saveMapCsv(const QString& fileName) {
  if (!map_) {
    showMessage("Please compute a map first.");
    return lastMessage_;
  }
  std::string text;
  for (const auto& line : veltrane::map_csv_lines(*map_)) text += line + "\n";
  if (const auto reason = veltrane::write_file(fileName.toStdString(), text)) {
    showMessage(QString::fromStdString(veltrane::file_failure_message(
        "Could not save", QDir::current().absoluteFilePath(fileName).toStdString(), *reason)));
    return lastMessage_;
  }
  return {};
}

QString DatasetWindow::saveMapImage(const QString& fileName) {
  if (!map_) {
    showMessage("Please compute a map first.");
    return lastMessage_;
  }
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  const QString title = QStringLiteral("Field map");
  QString error;
  if (suffix == "svg") {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(mapView_->size());
    svg.setViewBox(QRect(QPoint(0, 0), mapView_->size()));
    svg.setTitle(title);
    QPainter painter(&svg);
    mapView_->render(&painter);
    painter.end();
    error = saveBytes(bytes, fileName);
  } else if (suffix == "pdf") {
    error = saveBytes(renderPdf(mapView_, title), fileName);
  } else if (suffix == "png") {
    error = savePng(renderImage(mapView_), fileName);
  } else {
    error = "the image format is named by the suffix: .png, .svg or .pdf";
  }
  if (!error.isEmpty()) {
    showMessage(QStringLiteral("Could not save %1: %2")
                    .arg(QDir::current().absoluteFilePath(fileName), error));
    return lastMessage_;
  }
  return {};
}

void DatasetWindow::closeEvent(QCloseEvent* event) {
  cancelRun();
  QWidget::closeEvent(event);
}

void DatasetWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (computing_ || !event->mimeData()->hasUrls()) return;
  for (const QUrl& url : event->mimeData()->urls()) {
    const std::filesystem::path file = url.toLocalFile().toStdString();
    if (url.isLocalFile() &&
        (apt::format_of_extension(file) || apt::range_format_of_extension(file))) {
      event->acceptProposedAction();
      return;
    }
  }
}

void DatasetWindow::dropEvent(QDropEvent* event) {
  if (computing_) return;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) openFile(url.toLocalFile());
  }
  event->acceptProposedAction();
}
