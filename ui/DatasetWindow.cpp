#include "ui/DatasetWindow.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "apt/data_file.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/dataset_text.hpp"
#include "compute/datasets/mass_spectrum.hpp"
#include "ui/FieldMapView.hpp"
#include "ui/ImageExport.hpp"
#include "ui/InputSource.hpp"
#include "ui/LocaleFormat.hpp"

namespace apt = veltrane::apt;

namespace {

// The profile has about this many blocks of ions.
constexpr std::uint64_t profileBlocks = 50;

QString charge(int k) { return QString::fromStdString(veltrane::charge_label(k)); }

QColor chargeColour(int charge) {
  static const QColor colours[] = {QColor(230, 85, 13), QColor(49, 130, 189), QColor(49, 163, 84),
                                   QColor(117, 107, 177)};
  return colours[static_cast<std::size_t>(std::max(charge, 1) - 1) % std::size(colours)];
}

// A default value as the boxes show it: in the locale's format.
QString placeholder(double value) { return QLocale().toString(value, 'g', 6); }

}  // namespace

std::function<QString(QWidget*, const QString&, const QString&)> DatasetWindow::openChooser =
    [](QWidget* parent, const QString& caption, const QString& filter) {
      return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
    };
std::function<QString(QWidget*, const QString&, const QString&, const QString&)>
    DatasetWindow::saveChooser = [](QWidget* parent, const QString& caption,
                                    const QString& proposed, const QString& filter) {
      return QFileDialog::getSaveFileName(parent, caption, proposed, filter);
    };

DatasetWindow::DatasetWindow(InputSource& source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(source) {
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
  // The field follows the source's element, n and energies.
  connect(&source_, &InputSource::inputsChanged, this, [this] {
    if (isVisible()) scheduleCompute();
  });
  connect(&source_, &InputSource::evaluationChanged, this, [this] { model_.reset(); });
  connect(&run_, &BackgroundRun::finished, this, &DatasetWindow::finishRun);
  QString ignored;
  if (const auto request = source_.readRequest(ignored)) fillPairs(*request);
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
  dataLabel_->setObjectName("dataLabel");
  rangeLabel_ = new QLabel("No range file (.rrng, .rng)");
  rangeLabel_->setObjectName("rangeLabel");
  for (QLabel* l : {dataLabel_, rangeLabel_}) l->setWordWrap(true);
  auto* files = new QGroupBox("Files (or drop them here)");
  auto* filesLayout = new QVBoxLayout(files);
  for (QWidget* w : std::initializer_list<QWidget*>{openData_, dataLabel_, openRange_, rangeLabel_})
    filesLayout->addWidget(w);

  pair_ = new QComboBox;
  pair_->setObjectName("pairBox");
  const veltrane::map_options defaults;
  bin_ = new QLineEdit;
  bin_->setObjectName("binBox");
  bin_->setPlaceholderText(placeholder(defaults.bin));
  minCounts_ = new QLineEdit;
  minCounts_->setObjectName("minCountsBox");
  minCounts_->setPlaceholderText(placeholder(static_cast<double>(defaults.min_counts)));
  confidence_ = new QLineEdit;
  confidence_->setObjectName("confidenceBox");
  confidence_->setPlaceholderText(placeholder(defaults.confidence));
  singleHits_ = new QCheckBox("Single hits only");
  singleHits_->setObjectName("singleHitsBox");
  background_ = new QCheckBox("Subtract background");
  background_->setObjectName("backgroundBox");
  plane_ = new QComboBox;
  plane_->setObjectName("planeBox");
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
  progressBar_->setObjectName("progressBar");
  progressBar_->setRange(0, 1000);
  progressLabel_ = new QLabel;
  progressLabel_->setObjectName("progressLabel");
  progressLabel_->setWordWrap(true);
  cancel_ = new QPushButton("Cancel");
  cancel_->setObjectName("cancelButton");
  saveCsv_ = new QPushButton("Save map CSV\u2026");
  saveCsv_->setObjectName("saveCsvButton");
  saveImage_ = new QPushButton(QString::fromUtf8("Save map image\u2026"));
  saveImage_->setObjectName("saveImageButton");
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
  caveat_->setObjectName("caveatLabel");
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

void DatasetWindow::showMessage(const QString& text) {
  lastMessage_ = text;
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
  box.exec();
}

void DatasetWindow::setRunning(bool running) {
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
  if (run_.isRunning()) return false;
  try {
    apt::dataset opened = veltrane::open_dataset(path.toStdString());
    data_ = std::move(opened);
  } catch (const veltrane::dataset_file_error& e) {
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
  if (run_.isRunning()) return false;
  try {
    apt::range_file read = veltrane::open_range_file(path.toStdString());
    ranges_ = std::move(read);
  } catch (const veltrane::dataset_file_error& e) {
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
  for (int k = 1; k <= request.n; ++k) {
    pair_->addItem(QString::fromStdString(veltrane::pair_label(k)), k);
  }
  pair_->setCurrentIndex(previous >= 1 && previous <= request.n ? previous - 1 : 0);
}

// When the pair chosen has no ranges of both its states in the range file,
// the first pair that has them is chosen instead.
void DatasetWindow::choosePairWithRanges() {
  QString ignored;
  const auto request = source_.readRequest(ignored);
  if (!request || !ranges_) return;
  fillPairs(*request);
  const int k = veltrane::pair_with_ranges(*ranges_, request->element, request->n,
                                           pair_->currentData().toInt());
  pair_->setCurrentIndex(pair_->findData(k));
}

std::optional<DatasetWindow::Inputs> DatasetWindow::readInputs(QString& message) {
  const auto request = source_.readRequest(message);
  if (!request) return std::nullopt;
  fillPairs(*request);
  const veltrane::map_options defaults;
  const auto format = numberFormatFor(QLocale());
  auto number = [&](const QLineEdit* box, double fallback,
                    const char* what) -> std::optional<double> {
    const QString text = box->text().trimmed();
    if (text.isEmpty()) return fallback;
    const auto value = veltrane::parse_number(text.toStdString(), format);
    if (!value) message = QStringLiteral("the %1 must be a number, not \"%2\"").arg(what, text);
    return value;
  };
  const auto bin = number(bin_, defaults.bin, "bin size");
  const auto least =
      number(minCounts_, static_cast<double>(defaults.min_counts), "least count per bin");
  const auto confidence = number(confidence_, defaults.confidence, "confidence");
  if (!bin || !least || !confidence) return std::nullopt;
  if (!(*least >= 0.0 && *least < 1e18 && std::floor(*least) == *least)) {
    message = QStringLiteral("the least count per bin must be a whole number of at least 0");
    return std::nullopt;
  }
  Inputs in{*request, pair_->currentData().toInt(), {}, {}};
  veltrane::counting_options counting;
  counting.single_hits = singleHits_->isChecked();
  counting.background = background_->isChecked();
  counting.threads = source_.threads();
  counting.ions_done = &ionsDone_;
  in.map.counting = in.profile.counting = counting;
  in.map.confidence = in.profile.confidence = *confidence;
  in.map.bin = *bin;
  in.map.min_counts = static_cast<std::uint64_t>(*least);
  in.map.over = static_cast<veltrane::map_plane>(plane_->currentData().toInt());
  in.profile.block = veltrane::block_for(data_ ? data_->ion_count() : 0, profileBlocks);
  return in;
}

void DatasetWindow::scheduleCompute() { settle_->start(); }

void DatasetWindow::cancelRun() { run_.cancel(); }

// Counts and maps in the background with the files and inputs of the
// moment: the spectrum when the data file is new, the field when the inputs
// are good; the model of the request kept from one run to the next (its
// ratio table is not made again when only the binning changes).
void DatasetWindow::compute() {
  if (run_.isRunning()) {
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
  if (inputs && (!model_ || !(model_->request() == inputs->request))) {
    model_ = std::make_shared<veltrane::field_model>(inputs->request, source_.evaluation(),
                                                     source_.threads());
  }
  ionsTotal_ = data_->ion_count() * ((needSpectrum ? 1u : 0u) + (inputs ? 4u : 0u));
  ionsDone_ = 0;
  outcome_ = std::make_shared<Outcome>();
  outcome_->withField = inputs.has_value();
  const auto work = [file = *data_, ranges = ranges_, inputs, needSpectrum, model = model_,
                     out = outcome_, done = &ionsDone_](veltrane::evaluation_progress& progress) {
    try {
      if (needSpectrum) {
        veltrane::spectrum_options options;
        options.bin = spectrumBin;
        options.cancel = &progress.cancel;
        options.ions_done = done;
        out->spectrum = veltrane::mass_spectrum(file, options);
        out->spectrumComplete = true;
      }
      if (!inputs) return;
      auto map = inputs->map;
      auto profile = inputs->profile;
      map.counting.cancel = profile.counting.cancel = &progress.cancel;
      model->set_progress(&progress);
      struct Detach {
        veltrane::field_model& m;
        ~Detach() { m.set_progress(nullptr); }
      } detach{*model};
      veltrane::ratio_inverter& inverter = model->inverter(inputs->k);
      out->minCounts = map.min_counts;
      out->map = veltrane::map_field(file, *ranges, inverter, map);
      out->profile = veltrane::profile_field(file, *ranges, inverter, profile);
    } catch (const veltrane::dataset_file_error&) {
      out->readFailed = true;
      throw;
    }
  };
  setRunning(true);
  poll_->start();
  run_.start(work, -1);
}

// How a run ended: a file found unreadable is dropped with a message; any
// other failure goes to the result line and leaves no field of earlier
// inputs behind; a cancelled run keeps what was shown.
void DatasetWindow::finishRun(const RunOutcome& ran) {
  poll_->stop();
  Outcome outcome = std::move(*outcome_);
  outcome_.reset();
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
  if (outcome.readFailed) {
    data_.reset();
    spectrum_.clear();
    spectrumDone_ = false;
    dataLabel_->setText("No data file (.epos, .pos, .apt)");
    clearField();
    emit computed();
    return;
  }
  if (!ran.ok() && !ran.cancelled) {
    map_.reset();
    profile_.reset();
  }
  const bool withField = ran.ok() && outcome.withField;
  showOutcome(std::move(outcome), withField);
  emit computed();
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
  if (const veltrane::evaluation_progress* p = run_.progress()) {
    const std::size_t total = p->total.load();
    if (total > 0)
      text += QStringLiteral("; model: %1 of %2 points").arg(p->done.load()).arg(total);
  }
  progressLabel_->setText(text);
}

void DatasetWindow::showOutcome(Outcome&& outcome, bool withField) {
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
  showOutcome(Outcome{}, false);
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
  points.reserve(static_cast<qsizetype>(spectrum_.size()) * 2);
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
                    .arg(QLocale().toString((profile_ ? profile_->overall.field.confidence
                                                      : veltrane::default_confidence) *
                                                100.0,
                                            'g', 4)));
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
  const QString text = QString::fromStdString(veltrane::pair_field_text(
      map_->overall.field, map_->overall.counts.symbol, answerNumbersFor(QLocale())));
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
  hover_->setText(
      QString::fromStdString(veltrane::map_bin_text(*map_, *bin, answerNumbersFor(QLocale()))));
}

QString DatasetWindow::saveMapCsv(const QString& fileName) {
  if (!map_) {
    showMessage("Please compute a map first.");
    return lastMessage_;
  }
  std::string text;
  for (const auto& line : veltrane::map_csv_lines(*map_)) text += line + "\n";
  if (const auto reason = veltrane::write_file(fileName.toStdString(), text)) {
    showMessage(saveFailure(fileName, QString::fromStdString(*reason)));
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
    error = saveBytes(renderWidgetSvg(mapView_, title), fileName);
  } else if (suffix == "pdf") {
    error = saveBytes(renderPdf(mapView_, title), fileName);
  } else if (suffix == "png") {
    error = savePng(renderImage(mapView_), fileName);
  } else {
    error = "the image format is named by the suffix: .png, .svg or .pdf";
  }
  if (!error.isEmpty()) {
    showMessage(saveFailure(fileName, error));
    return lastMessage_;
  }
  return {};
}

void DatasetWindow::closeEvent(QCloseEvent* event) {
  cancelRun();
  QWidget::closeEvent(event);
}

void DatasetWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (run_.isRunning() || !event->mimeData()->hasUrls()) return;
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
  if (run_.isRunning()) return;
  for (const QUrl& url : event->mimeData()->urls()) {
    if (url.isLocalFile()) openFile(url.toLocalFile());
  }
  event->acceptProposedAction();
}
