#include "ui/DatasetWindow.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QAreaSeries>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QValueAxis>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "apt/data_file.hpp"
#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/curves/element_data.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/datasets/dataset_csv.hpp"
#include "compute/datasets/dataset_files.hpp"
#include "compute/datasets/dataset_text.hpp"
#include "compute/datasets/joint_text.hpp"
#include "compute/datasets/mass_spectrum.hpp"
#include "compute/figures/figure.hpp"
#include "ui/ChartInteraction.hpp"
#include "ui/FieldMapView.hpp"
#include "ui/FigureExport.hpp"
#include "ui/ImageExport.hpp"
#include "ui/InputSource.hpp"
#include "ui/LocaleFormat.hpp"

namespace apt = veltrane::apt;

namespace {

// The profile has about this many blocks of ions.
constexpr std::uint64_t profileBlocks = 50;
// A map saved as a file is this wide.
constexpr int mapFileWidth = 760;
// The hover read-out under the map keeps this many lines, whatever it says.
constexpr int hoverLines = 3;

QString charge(int k) { return QString::fromStdString(veltrane::charge_label(k)); }
QString text(const std::string& s) { return QString::fromStdString(s); }

QColor chargeColour(int charge) {
  static const QColor colours[] = {QColor(230, 85, 13), QColor(49, 130, 189), QColor(49, 163, 84),
                                   QColor(117, 107, 177)};
  return colours[static_cast<std::size_t>(std::max(charge, 1) - 1) % std::size(colours)];
}

QColor elementColour(std::size_t e) {
  static const QColor colours[] = {QColor(230, 85, 13),  QColor(49, 163, 84), QColor(117, 107, 177),
                                   QColor(214, 39, 40),  QColor(140, 86, 75), QColor(227, 119, 194),
                                   QColor(127, 127, 127)};
  return colours[e % std::size(colours)];
}

// A default value as the boxes show it: in the locale's format.
QString placeholder(double value) { return QLocale().toString(value, 'g', 6); }

// The window's numbers, fields with `decimals` decimals.
veltrane::answer_numbers numbersWith(int decimals) {
  veltrane::answer_numbers n = answerNumbersFor(QLocale());
  n.field = [decimals](double v) { return QLocale().toString(v, 'f', decimals).toStdString(); };
  return n;
}

QStringList lines(const std::vector<std::string>& from) {
  QStringList out;
  for (const auto& s : from) out << text(s);
  return out;
}

// Round tick values (steps of 1, 2 or 5 times a power of ten) on a value
// axis, kept round as it is zoomed.
void keepRoundTicks(QValueAxis* axis, int intervals = 5) {
  const auto apply = [axis, intervals](qreal low, qreal high) {
    const std::vector<double> ticks = veltrane::round_ticks(low, high, intervals);
    if (ticks.size() < 3) return;
    const double step = ticks[1] - ticks[0];
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0.0);
    axis->setTickInterval(step);
    const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
    axis->setLabelFormat(QStringLiteral("%.%1f").arg(decimals));
  };
  QObject::connect(axis, &QValueAxis::rangeChanged, axis, apply);
  apply(axis->min(), axis->max());
}

void replaceChart(QChartView* view, QChart* chart) {
  QChart* old = view->chart();
  view->setChart(chart);
  delete old;
}

}  // namespace

/// The inputs of one run, read from the boxes.
struct DatasetWindow::Inputs {
  int k = 0;  // the pair k+ and (k+1)+; 0: the joint field
  std::string symbol;
  std::optional<veltrane::pair_model> pair;
  veltrane::map_options map;
  veltrane::profile_options profile;
  veltrane::joint_request joint;
  veltrane::dataset_view_inputs view;
};

/// What a run finds.
struct DatasetWindow::Outcome {
  std::vector<std::uint64_t> spectrum;
  bool spectrumComplete = false;
  bool withField = false;
  std::optional<veltrane::field_map> map;
  std::optional<veltrane::field_profile> profile;
  std::optional<veltrane::joint_field_map> jointMap;
  std::optional<veltrane::joint_field_profile> jointProfile;
  veltrane::dataset_view_inputs view;
  bool readFailed = false;
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

DatasetWindow::DatasetWindow(InputSource& source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(source) {
  setObjectName("DatasetWindow");
  setWindowTitle("Veltrane: dataset");
  setAcceptDrops(true);
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  auto* side = new QScrollArea;
  side->setObjectName("sidePanel");
  side->setWidget(buildSidePanel());
  side->setWidgetResizable(true);
  side->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  side->setFrameShape(QFrame::NoFrame);
  side->setFixedWidth(side->widget()->width() + 14);
  layout->addWidget(side);
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
  // Another tolerance may give the ranges other charges: the list anew.
  for (QLineEdit* box : {toleranceDa_, tolerancePercent_}) {
    connect(box, &QLineEdit::editingFinished, this, [this] {
      fillElements();
      scheduleCompute();
    });
  }
  for (QCheckBox* box : {singleHits_, background_}) {
    connect(box, &QCheckBox::toggled, this, &DatasetWindow::scheduleCompute);
  }
  for (QComboBox* box : {pair_, plane_}) {
    connect(box, &QComboBox::activated, this, &DatasetWindow::scheduleCompute);
  }
  connect(plane_, &QComboBox::currentIndexChanged, this, [this] {
    const bool detector = static_cast<veltrane::map_plane>(plane_->currentData().toInt()) ==
                          veltrane::map_plane::detector;
    binLabel_->setText(detector ? "Bin size [mm]" : "Bin size [nm]");
  });
  connect(elementList_, &QListWidget::itemChanged, this, &DatasetWindow::elementToggled);
  // A pair of the main window's element follows its n and energies.
  // A pair read with the main window's inputs follows them; one read with
  // the element's built-in values is left alone.
  connect(&source_, &InputSource::inputsChanged, this, [this] {
    if (!isVisible() || pair_->currentData().toInt() <= 0) return;
    QString ignored;
    const auto inputs = readInputs(ignored);
    if (!inputs || shown_.models.empty() ||
        !(inputs->pair->request == shown_.models.front().request)) {
      scheduleCompute();
    }
  });
  // Until the user checks elements by hand, the list follows the main
  // window's element as it did when the range file was opened.
  connect(&source_, &InputSource::elementChanged, this, [this] {
    if (!ranges_ || elementsChosen_) return;
    chooseDefaultElements();
    fillPairs();
    if (isVisible()) scheduleCompute();
  });
  connect(&source_, &InputSource::evaluationChanged, this, [this] { model_.reset(); });
  connect(&run_, &BackgroundRun::finished, this, &DatasetWindow::finishRun);
  QSize size = defaultSize();
  if (const QScreen* s = screen()) size = size.boundedTo(s->availableGeometry().size());
  resize(size);
}

DatasetWindow::~DatasetWindow() {
  // Closing the window takes the focus from a box, which would end its
  // editing on a window half taken down.
  for (QLineEdit* box : {bin_, minCounts_, confidence_, toleranceDa_, tolerancePercent_}) {
    disconnect(box, nullptr, this, nullptr);
  }
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

  elementList_ = new QListWidget;
  elementList_->setObjectName("elementList");
  elementList_->setFixedHeight(104);
  elementList_->setToolTip(
      "The elements the ranges are named after, with the charges they are ranged at. Check one "
      "for the field of a pair of its charge states, or several for one field from all their "
      "charges.");
  elementNote_ = new QLabel;
  elementNote_->setObjectName("elementNoteLabel");
  elementNote_->setWordWrap(true);
  elementNote_->setStyleSheet("QLabel { color: #5c4400; }");
  elementNote_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  pair_ = new QComboBox;
  pair_->setObjectName("pairBox");
  modelLabel_ = new QLabel;
  modelLabel_->setObjectName("modelLabel");
  modelLabel_->setWordWrap(true);
  QFont small = modelLabel_->font();
  small.setPointSizeF(small.pointSizeF() * 0.9);
  modelLabel_->setFont(small);
  modelLabel_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  elementNote_->setFont(small);
  // Three lines each, whatever they say: the controls below never move.
  for (QLabel* l : {elementNote_, modelLabel_}) {
    l->setFixedHeight(l->fontMetrics().lineSpacing() * 3 + 4);
    l->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  }
  auto* choice = new QGroupBox("Field from");
  auto* choiceLayout = new QVBoxLayout(choice);
  choiceLayout->addWidget(elementList_);
  choiceLayout->addWidget(elementNote_);
  auto* pairRow = new QFormLayout;
  pairRow->addRow("Read from", pair_);
  choiceLayout->addLayout(pairRow);
  choiceLayout->addWidget(modelLabel_);

  const veltrane::map_options defaults;
  const apt::charge_options charges;
  bin_ = new QLineEdit;
  bin_->setObjectName("binBox");
  bin_->setPlaceholderText(placeholder(defaults.bin));
  binLabel_ = new QLabel("Bin size [mm]");
  binLabel_->setObjectName("binLabel");
  minCounts_ = new QLineEdit;
  minCounts_->setObjectName("minCountsBox");
  minCounts_->setPlaceholderText(placeholder(static_cast<double>(defaults.min_counts)));
  minCounts_->setToolTip(
      "A bin or block needs this many ions of the pair (a pair) or of an element's own ranges "
      "(the joint field; the element is left out of it there otherwise).");
  confidence_ = new QLineEdit;
  confidence_->setObjectName("confidenceBox");
  confidence_->setPlaceholderText(placeholder(defaults.confidence));
  toleranceDa_ = new QLineEdit;
  toleranceDa_->setObjectName("massToleranceDaBox");
  toleranceDa_->setPlaceholderText(placeholder(charges.tolerance_da));
  tolerancePercent_ = new QLineEdit;
  tolerancePercent_->setObjectName("massTolerancePercentBox");
  tolerancePercent_->setPlaceholderText(placeholder(charges.tolerance_percent));
  auto* tolerance = new QWidget;
  tolerance->setToolTip(
      "A range that no isotope's m/q lies in takes the charge of the isotope nearest to it when "
      "it misses by at most the larger of these: real peaks sit a little off the tabulated "
      "masses.");
  auto* toleranceLayout = new QHBoxLayout(tolerance);
  toleranceLayout->setContentsMargins(0, 0, 0, 0);
  toleranceLayout->addWidget(toleranceDa_);
  toleranceLayout->addWidget(new QLabel("Da or"));
  toleranceLayout->addWidget(tolerancePercent_);
  toleranceLayout->addWidget(new QLabel("%"));
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
  auto* options = new QGroupBox("Counting and maps");
  auto* form = new QFormLayout(options);
  form->addRow("Map over", plane_);
  form->addRow(binLabel_, bin_);
  form->addRow("Least ions", minCounts_);
  form->addRow("Confidence", confidence_);
  form->addRow("Mass tolerance", tolerance);
  form->addRow(singleHits_);
  form->addRow(background_);
  form->addRow(compute_);

  progressBar_ = new QProgressBar;
  progressBar_->setObjectName("progressBar");
  progressBar_->setRange(0, 1000);
  progressLabel_ = new QLabel;
  progressLabel_->setObjectName("progressLabel");
  progressBar_->setFixedWidth(180);
  cancel_ = new QPushButton("Cancel");
  cancel_->setObjectName("cancelButton");
  saveCsv_ = new QPushButton(QString::fromUtf8("Save CSV\u2026"));
  saveCsv_->setObjectName("saveCsvButton");
  saveImage_ = new QPushButton(QString::fromUtf8("Save image\u2026"));
  saveImage_->setObjectName("saveImageButton");
  saveProfileCsv_ = new QPushButton(QString::fromUtf8("Save CSV\u2026"));
  saveProfileCsv_->setObjectName("saveProfileCsvButton");
  auto* side = new QVBoxLayout;
  side->setContentsMargins(0, 0, 0, 0);
  for (QWidget* w : std::initializer_list<QWidget*>{files, choice, options}) side->addWidget(w);
  side->addStretch();

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
    askAndSave("Save the map as CSV", fileStem() + "_" + subjectStem() + "_map.csv", "CSV (*.csv)",
               [this](const QString& f) { return saveMapCsv(f); });
  });
  connect(saveProfileCsv_, &QPushButton::clicked, this, [this] {
    askAndSave("Save the field along the run as CSV",
               fileStem() + "_" + subjectStem() + "_profile.csv", "CSV (*.csv)",
               [this](const QString& f) { return saveProfileCsv(f); });
  });
  connect(saveImage_, &QPushButton::clicked, this, [this] {
    askAndSave("Save the map as an image", fileStem() + "_" + subjectStem() + "_map.png",
               "PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)",
               [this](const QString& f) { return saveMapImage(f); });
  });
  auto* panel = new QWidget;
  panel->setLayout(side);
  panel->setFixedWidth(290);
  setRunning(false);
  return panel;
}

QWidget* DatasetWindow::buildViews() {
  spectrumView_ = new QChartView;
  spectrumView_->setObjectName("spectrumChart");
  spectrumView_->setRenderHint(QPainter::Antialiasing);
  spectrumView_->setMinimumSize(300, 200);
  profileView_ = new QChartView;
  profileView_->setObjectName("profileChart");
  profileView_->setRenderHint(QPainter::Antialiasing);
  profileView_->setMinimumSize(300, 200);
  const QString chartFilter = "PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)";
  spectrumTools_ = new ChartInteraction(
      spectrumView_,
      [this] {
        veltrane::dataset_view_inputs in = shown_;
        in.data_path = data_ ? data_->path() : std::string();
        in.range_path = ranges_ ? ranges_->path : std::string();
        in.spectrum_bin = spectrumBin;
        return lines(veltrane::dataset_title_lines(in, veltrane::dataset_view::mass_spectrum));
      },
      [this] { return proposedPath(fileStem() + "_spectrum.png"); },
      [this](const QPointF& at) {
        return text(veltrane::spectrum_bin_text(spectrum_, spectrumBin, at.x(),
                                                ranges_ ? &*ranges_ : nullptr,
                                                answerNumbersFor(QLocale())));
      });
  spectrumTools_->setObjectName("spectrumTools");
  profileTools_ = new ChartInteraction(
      profileView_,
      [this] {
        return lines(veltrane::dataset_title_lines(shown_, veltrane::dataset_view::field_profile));
      },
      [this] { return proposedPath(fileStem() + "_" + subjectStem() + "_profile.png"); },
      [this](const QPointF& at) -> QString {
        const double b = std::round(at.x()) - 1.0;
        const auto numbers = answerNumbersFor(QLocale());
        if (profile_ && b >= 0.0 && b < static_cast<double>(profile_->blocks.size())) {
          return text(
              veltrane::profile_block_text(*profile_, static_cast<std::size_t>(b), numbers));
        }
        if (jointProfile_ && b >= 0.0 && b < static_cast<double>(jointProfile_->blocks.size())) {
          return text(veltrane::joint_block_text(*jointProfile_, static_cast<std::size_t>(b),
                                                 shown_.confidence, numbers));
        }
        return {};
      });
  profileTools_->setObjectName("profileTools");
  for (ChartInteraction* tools : {spectrumTools_, profileTools_}) {
    tools->chooseFile = [this, chartFilter](const QString& proposed) {
      QString name = saveChooser(this, "Save the chart as", proposed, chartFilter);
      if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) name += ".png";
      if (!name.isEmpty()) saveFolder_ = QFileInfo(name).absolutePath();
      return name;
    };
    connect(tools, &ChartInteraction::saved, this,
            [this](const QString& path) { showStatus("Saved " + path); });
    connect(tools, &ChartInteraction::saveFailed, this, &DatasetWindow::showMessage);
  }

  table_ = new QTableWidget(0, 6);
  table_->setObjectName("countsTable");
  table_->horizontalHeader()->setStretchLastSection(true);
  table_->verticalHeader()->setVisible(false);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setWordWrap(false);
  notes_ = new QLabel;
  notes_->setObjectName("notesLabel");
  notes_->setWordWrap(true);
  notes_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  notes_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  caveat_ = new QLabel(veltrane::counting_caveat);
  caveat_->setObjectName("caveatLabel");
  caveat_->setWordWrap(true);
  auto* notesPage = new QWidget;
  auto* notesLayout = new QVBoxLayout(notesPage);
  notesLayout->addWidget(caveat_);
  notesLayout->addWidget(notes_);
  notesLayout->addStretch();
  auto* notesScroll = new QScrollArea;
  notesScroll->setWidget(notesPage);
  notesScroll->setWidgetResizable(true);
  tabs_ = new QTabWidget;
  tabs_->setObjectName("detailTabs");
  tabs_->addTab(table_, "Counts");
  tabs_->addTab(notesScroll, "Notes");

  mapShow_ = new QComboBox;
  mapShow_->setObjectName("mapShowBox");
  mapShow_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  connect(mapShow_, &QComboBox::currentIndexChanged, this, [this] { showMap(); });
  mapView_ = new FieldMapView;
  mapView_->setObjectName("fieldMap");
  mapView_->hovered = [this](int cell) { showHover(cell); };
  hover_ = new QLabel;
  hover_->setObjectName("hoverLabel");
  hover_->setWordWrap(true);
  hover_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  // The read-out's size never follows its text: hovering moves nothing.
  hover_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  hover_->setFixedHeight(hover_->fontMetrics().lineSpacing() * hoverLines + 4);
  auto* mapBox = new QWidget;
  auto* mapLayout = new QVBoxLayout(mapBox);
  mapLayout->setContentsMargins(0, 0, 0, 0);
  mapLayout->setSpacing(2);
  auto* showRow = new QHBoxLayout;
  showRow->addWidget(new QLabel("Map of"));
  showRow->addWidget(mapShow_);
  showRow->addStretch();
  showRow->addWidget(saveImage_);
  showRow->addWidget(saveCsv_);
  mapLayout->addLayout(showRow);
  mapLayout->addWidget(mapView_, 1);
  mapLayout->addWidget(hover_);

  result_ = new QLabel;
  result_->setObjectName("resultLabel");
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  result_->setWordWrap(true);
  QFont bold = result_->font();
  bold.setBold(true);
  result_->setFont(bold);
  test_ = new QLabel;
  test_->setObjectName("testLabel");
  test_->setWordWrap(true);
  test_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  elementsText_ = new QLabel;
  elementsText_->setObjectName("elementsLabel");
  elementsText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  elementsText_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
  auto* elementsScroll = new QScrollArea;
  elementsScroll->setWidget(elementsText_);
  elementsScroll->setWidgetResizable(true);
  elementsScroll->setFrameShape(QFrame::NoFrame);
  // Three whole lines of the elements' fields; more scroll.
  elementsText_->setContentsMargins(0, 0, 0, 0);
  elementsScroll->setMaximumHeight(elementsText_->fontMetrics().lineSpacing() * 3);
  elementsScroll->setObjectName("elementsScroll");
  elementsScroll_ = elementsScroll;
  status_ = new QLabel;
  status_->setObjectName("statusLabel");
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);

  // The profile under a line with its name and its CSV.
  auto* profileBox = new QWidget;
  auto* profileLayout = new QVBoxLayout(profileBox);
  profileLayout->setContentsMargins(0, 0, 0, 0);
  profileLayout->setSpacing(2);
  auto* profileRow = new QHBoxLayout;
  auto* profileTitle = new QLabel("Field along the run");
  profileTitle->setFont(bold);
  profileRow->addWidget(profileTitle);
  profileRow->addStretch();
  profileRow->addWidget(saveProfileCsv_);
  profileLayout->addLayout(profileRow);
  profileLayout->addWidget(profileView_, 1);
  profileTools_->menu()->addAction(QString::fromUtf8("Save as CSV\u2026"), saveProfileCsv_,
                                   &QPushButton::click);

  auto* grid = new QGridLayout;
  grid->addWidget(spectrumView_, 0, 0);
  grid->addWidget(mapBox, 0, 1);
  grid->addWidget(profileBox, 1, 0);
  grid->addWidget(tabs_, 1, 1);
  grid->setRowStretch(0, 1);
  grid->setRowStretch(1, 1);
  grid->setColumnStretch(0, 1);
  grid->setColumnStretch(1, 1);
  auto* views = new QWidget;
  auto* layout = new QVBoxLayout(views);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  layout->addLayout(grid, 1);
  layout->addWidget(result_);
  layout->addWidget(test_);
  layout->addWidget(elementsScroll);
  // The status line, with the progress of a run beside it.
  auto* statusRow = new QHBoxLayout;
  statusRow->addWidget(status_, 1);
  statusRow->addWidget(progressLabel_);
  statusRow->addWidget(progressBar_);
  statusRow->addWidget(cancel_);
  layout->addLayout(statusRow);
  test_->hide();
  elementsScroll->hide();
  drawSpectrum();
  drawProfile();
  return views;
}

void DatasetWindow::showMessage(const QString& message) {
  lastMessage_ = message;
  showStatus(message);
  QMessageBox box(QMessageBox::NoIcon, QString(), message, QMessageBox::Ok, this);
  box.exec();
}

void DatasetWindow::showStatus(const QString& message) {
  status_->setText(message);
  status_->setToolTip(message);
}

void DatasetWindow::setRunning(bool running) {
  for (QWidget* w :
       std::initializer_list<QWidget*>{openData_, openRange_, compute_, saveCsv_, saveImage_,
                                       saveProfileCsv_, pair_, plane_, elementList_}) {
    w->setEnabled(!running);
  }
  progressBar_->setVisible(running);
  progressLabel_->setVisible(running);
  cancel_->setVisible(running);
  if (running) {
    progressBar_->setValue(0);
    progressLabel_->setText("Reading the dataset\u2026");
  } else {
    const bool mapped = map_.has_value() || jointMap_.has_value();
    saveCsv_->setEnabled(mapped);
    saveImage_->setEnabled(mapped);
    saveProfileCsv_->setEnabled(profile_.has_value() || jointProfile_.has_value());
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
  const std::string_view format = apt::format_name(data_->format());
  dataLabel_->setText(
      QStringLiteral("%1: %2 ions (%3)")
          .arg(text(data_->file_name()))
          .arg(countText(static_cast<double>(data_->ion_count())))
          .arg(QString::fromUtf8(format.data(), static_cast<qsizetype>(format.size()))));
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
  elementsChosen_ = false;
  fillElements(false);
  clearField();
  scheduleCompute();
  return true;
}

std::optional<apt::charge_options> DatasetWindow::readCharges(QString& message) const {
  apt::charge_options charges;
  const auto format = numberFormatFor(QLocale());
  for (auto [box, value] : {std::pair{toleranceDa_, &charges.tolerance_da},
                            std::pair{tolerancePercent_, &charges.tolerance_percent}}) {
    const QString typed = box->text().trimmed();
    if (typed.isEmpty()) continue;
    const auto number = veltrane::parse_number(typed.toStdString(), format);
    if (!number) {
      message = QStringLiteral("the mass tolerance must be a number, not \"%1\"").arg(typed);
      return std::nullopt;
    }
    *value = *number;
  }
  if (const std::string problem = apt::charge_options_problem(charges); !problem.empty()) {
    message = text(problem);
    return std::nullopt;
  }
  return charges;
}

// The range file's elements in the list, each checkable unless it cannot
// give a field (then greyed, with the reason as its tooltip). With
// `keepChecks` the elements checked before stay checked where they can.
void DatasetWindow::fillElements(bool keepChecks) {
  const QStringList before = checkedElements();
  elements_.clear();
  QString ignored;
  if (ranges_) {
    if (const auto charges = readCharges(ignored)) {
      elements_ = veltrane::elements_of_ranges(*ranges_, *charges);
    } else {
      elements_ = veltrane::elements_of_ranges(*ranges_);
    }
  }
  {
    const QSignalBlocker quiet(elementList_);
    elementList_->clear();
    for (const auto& e : elements_) {
      QStringList charges;
      for (int q : e.charges) charges << charge(q);
      auto* item = new QListWidgetItem(
          QStringLiteral("%1%2: %3")
              .arg(text(e.symbol), e.name.empty() ? QString() : " (" + text(e.name) + ")",
                   charges.join(", ")),
          elementList_);
      item->setData(Qt::UserRole, text(e.symbol));
      if (e.problem.empty()) {
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
      } else {
        item->setFlags(Qt::ItemIsUserCheckable);
        item->setToolTip(text(e.problem));
      }
    }
  }
  if (keepChecks && !before.isEmpty()) {
    const QSignalBlocker quiet(elementList_);
    bool any = false;
    for (int row = 0; row < elementList_->count(); ++row) {
      QListWidgetItem* item = elementList_->item(row);
      if ((item->flags() & Qt::ItemIsEnabled) && before.contains(item->data(Qt::UserRole))) {
        item->setCheckState(Qt::Checked);
        any = true;
      }
    }
    if (any) {
      fillPairs();
      return;
    }
  }
  chooseDefaultElements();
  fillPairs();
}

// The main window's element alone when the file has ranges of it that can
// give a field; else every element that can, for their joint field, and a
// note on what the file lacks.
void DatasetWindow::chooseDefaultElements() {
  const QSignalBlocker quiet(elementList_);
  missingElement_.clear();
  QString main;
  if (!source_.element().isEmpty()) {
    try {
      main = text(veltrane::element_symbol(source_.element().toStdString()));
    } catch (const veltrane::input_refused&) {
      main.clear();
    }
  }
  bool mainUsable = false;
  for (int row = 0; row < elementList_->count(); ++row) {
    QListWidgetItem* item = elementList_->item(row);
    if (item->data(Qt::UserRole).toString() == main && (item->flags() & Qt::ItemIsEnabled)) {
      mainUsable = true;
    }
  }
  for (int row = 0; row < elementList_->count(); ++row) {
    QListWidgetItem* item = elementList_->item(row);
    if (!(item->flags() & Qt::ItemIsEnabled)) continue;
    const bool checked = mainUsable ? item->data(Qt::UserRole).toString() == main : true;
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  }
  QStringList problems;
  if (!main.isEmpty() && !mainUsable && ranges_) {
    QString message;
    const auto charges = readCharges(message);
    missingElement_ = text(veltrane::element_range_problem(
        *ranges_, main.toStdString(), charges.value_or(apt::charge_options{})));
    problems << missingElement_;
  }
  if (checkedElements().isEmpty()) {
    for (const auto& e : elements_) problems << text(e.problem);
  }
  problems.removeAll(QString());
  elementNote_->setText(problems.join('\n'));
  elementNote_->setToolTip(problems.join('\n'));
}

bool DatasetWindow::isComputing() const { return run_.isRunning() || settle_->isActive(); }

QStringList DatasetWindow::checkedElements() const {
  QStringList out;
  for (int row = 0; row < elementList_->count(); ++row) {
    const QListWidgetItem* item = elementList_->item(row);
    if (item->checkState() == Qt::Checked) out << item->data(Qt::UserRole).toString();
  }
  return out;
}

// The pairs of the one element checked whose both states have ranges, then
// the joint field; with several elements checked the joint field alone.
void DatasetWindow::fillPairs() {
  const QSignalBlocker quiet(pair_);
  // The joint field as the one choice there was is no choice to keep.
  const int previous =
      pair_->currentIndex() >= 0 && pair_->count() > 1 ? pair_->currentData().toInt() : -1;
  pair_->clear();
  const QStringList checked = checkedElements();
  if (checked.size() == 1) {
    for (const auto& e : elements_) {
      if (text(e.symbol) != checked.front()) continue;
      for (int k : veltrane::ranged_pairs(e)) pair_->addItem(text(veltrane::pair_label(k)), k);
    }
  }
  if (!checked.isEmpty()) pair_->addItem("all charges (joint)", 0);
  const int index = pair_->findData(previous);
  pair_->setCurrentIndex(index >= 0 ? index : 0);
}

void DatasetWindow::elementToggled(QListWidgetItem*) {
  elementsChosen_ = true;
  fillPairs();
  scheduleCompute();
}

std::optional<DatasetWindow::Inputs> DatasetWindow::readInputs(QString& message) {
  const QStringList checked = checkedElements();
  if (checked.isEmpty() || pair_->currentIndex() < 0) {
    message = elementNote_->text().isEmpty() ? QStringLiteral("Check an element of the range file.")
                                             : elementNote_->text();
    return std::nullopt;
  }
  const auto charges = readCharges(message);
  if (!charges) return std::nullopt;
  const veltrane::map_options defaults;
  const auto format = numberFormatFor(QLocale());
  auto number = [&](const QLineEdit* box, double fallback,
                    const char* what) -> std::optional<double> {
    const QString typed = box->text().trimmed();
    if (typed.isEmpty()) return fallback;
    const auto value = veltrane::parse_number(typed.toStdString(), format);
    if (!value) message = QStringLiteral("the %1 must be a number, not \"%2\"").arg(what, typed);
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
  Inputs in;
  in.k = pair_->currentData().toInt();
  try {
    veltrane::check_confidence(*confidence);
    if (in.k > 0) {
      in.symbol = checked.front().toStdString();
      const auto e = std::find_if(elements_.begin(), elements_.end(),
                                  [&](const auto& x) { return x.symbol == in.symbol; });
      if (e == elements_.end()) return std::nullopt;
      QString ignored;
      in.pair = veltrane::pair_model_for(*e, in.k, source_.readRequest(ignored));
    }
  } catch (const veltrane::input_refused& e) {
    message = QString::fromUtf8(e.what());
    return std::nullopt;
  }
  veltrane::counting_options counting;
  counting.single_hits = singleHits_->isChecked();
  counting.background = background_->isChecked();
  counting.threads = source_.threads();
  counting.ions_done = &ionsDone_;
  const auto over = static_cast<veltrane::map_plane>(plane_->currentData().toInt());
  const std::uint64_t block = veltrane::block_for(data_ ? data_->ion_count() : 0, profileBlocks);
  in.map.counting = in.profile.counting = counting;
  in.map.charges = in.profile.charges = *charges;
  in.map.confidence = in.profile.confidence = *confidence;
  in.map.bin = *bin;
  in.map.min_counts = static_cast<std::uint64_t>(*least);
  in.map.over = over;
  in.profile.block = block;
  for (const QString& symbol : checked) in.joint.elements.push_back(symbol.toStdString());
  in.joint.counting = counting;
  in.joint.charges = *charges;
  in.joint.confidence = *confidence;
  in.joint.min_counts = *least;

  veltrane::dataset_view_inputs& v = in.view;
  v.data_path = data_ ? data_->path() : std::string();
  v.range_path = ranges_ ? ranges_->path : std::string();
  v.symbol = in.symbol;
  v.k = in.k;
  v.elements = in.joint.elements;
  if (in.pair) v.models = {*in.pair};
  v.over = over;
  v.bin = *bin;
  v.block = block;
  v.spectrum_bin = spectrumBin;
  v.min_counts = *least;
  v.confidence = *confidence;
  v.single_hits = counting.single_hits;
  v.background = counting.background;
  v.charges = *charges;
  return in;
}

void DatasetWindow::scheduleCompute() { settle_->start(); }

void DatasetWindow::cancelRun() { run_.cancel(); }

// Counts and maps in the background with the files and inputs of the
// moment: the spectrum when the data file is new, the field when the inputs
// are good; a pair's model kept from one run to the next (its ratio table is
// not made again when only the binning changes).
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
      mapView_->clear("No map: " + message);
    }
  }
  const bool needSpectrum = !spectrumDone_;
  if (!needSpectrum && !inputs) return;
  const bool pair = inputs && inputs->k > 0;
  if (pair) {
    modelLabel_->setText(
        lines(veltrane::dataset_title_lines(inputs->view, veltrane::dataset_view::field_map))
            .last());
    if (!model_ || !(model_->request() == inputs->pair->request)) {
      model_ = std::make_shared<veltrane::field_model>(inputs->pair->request, source_.evaluation(),
                                                       source_.threads());
    }
  }
  const std::uint64_t passes = !inputs ? 0u : pair ? 4u : 2u;
  ionsTotal_ = data_->ion_count() * ((needSpectrum ? 1u : 0u) + passes);
  ionsDone_ = 0;
  outcome_ = std::make_shared<Outcome>();
  outcome_->withField = inputs.has_value();
  if (inputs) outcome_->view = inputs->view;
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
      if (inputs->k > 0) {
        auto map = inputs->map;
        auto profile = inputs->profile;
        map.counting.cancel = profile.counting.cancel = &progress.cancel;
        model->set_progress(&progress);
        struct Detach {
          veltrane::field_model& m;
          ~Detach() { m.set_progress(nullptr); }
        } detach{*model};
        veltrane::ratio_inverter& inverter = model->inverter(inputs->k);
        out->map = veltrane::map_field(file, *ranges, inverter, map);
        out->profile = veltrane::profile_field(file, *ranges, inverter, profile);
      } else {
        auto request = inputs->joint;
        request.counting.cancel = &progress.cancel;
        out->jointMap =
            veltrane::map_joint_field(file, *ranges, request, inputs->view.over, inputs->view.bin);
        out->jointProfile =
            veltrane::profile_joint_field(file, *ranges, request, inputs->view.block);
        // The models the fit chose: each element's built-in values with its n.
        out->view.elements.clear();
        out->view.models.clear();
        for (const auto& part : out->jointMap->overall.answer.elements) {
          out->view.elements.push_back(part.symbol);
          const auto checked =
              veltrane::check_request({veltrane::element_list_name(part.symbol),
                                       std::to_string(part.n), std::nullopt, std::nullopt});
          if (checked.request) out->view.models.push_back({*checked.request, false});
        }
      }
    } catch (const veltrane::dataset_file_error&) {
      out->readFailed = true;
      throw;
    }
  };
  if (inputs) mapView_->clear(QString::fromUtf8("Computing the map\u2026"));
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
    jointMap_.reset();
    jointProfile_.reset();
  }
  const bool withField = ran.ok() && outcome.withField;
  showOutcome(std::move(outcome), withField);
  if (!ran.ok() && !ran.cancelled && !ran.error.isEmpty()) mapView_->clear("No map: " + ran.error);
  if (ran.cancelled && !map_ && !jointMap_) mapView_->clear("No map: cancelled.");
  emit computed();
}

void DatasetWindow::showProgress() {
  const std::uint64_t done = ionsDone_.load();
  if (ionsTotal_ > 0) {
    progressBar_->setValue(
        static_cast<int>(std::min<std::uint64_t>(1000, done * 1000 / ionsTotal_)));
  }
  QString message =
      QStringLiteral("Read %1 of %2 ions")
          .arg(countText(static_cast<double>(done)), countText(static_cast<double>(ionsTotal_)));
  if (const veltrane::evaluation_progress* p = run_.progress()) {
    const std::size_t total = p->total.load();
    if (total > 0)
      message += QStringLiteral("; model: %1 of %2 points").arg(p->done.load()).arg(total);
  }
  progressLabel_->setText(message);
}

void DatasetWindow::showOutcome(Outcome&& outcome, bool withField) {
  if (outcome.spectrumComplete) {
    spectrum_ = std::move(outcome.spectrum);
    spectrumDone_ = true;
  }
  if (withField) {
    map_ = std::move(outcome.map);
    profile_ = std::move(outcome.profile);
    jointMap_ = std::move(outcome.jointMap);
    jointProfile_ = std::move(outcome.jointProfile);
    shown_ = std::move(outcome.view);
    if (!shown_.models.empty()) {
      modelLabel_->setText(
          lines(veltrane::dataset_title_lines(shown_, veltrane::dataset_view::field_map)).last());
    }
  }
  drawSpectrum();
  fillTable();
  showMap();
  drawProfile();
  if (withField) showResult();
  setRunning(false);
}

void DatasetWindow::clearField() {
  map_.reset();
  profile_.reset();
  jointMap_.reset();
  jointProfile_.reset();
  result_->clear();
  test_->clear();
  test_->hide();
  elementsText_->clear();
  elementsScroll_->hide();
  notes_->clear();
  hover_->clear();
  showOutcome(Outcome{}, false);
  const QString missing = !data_ && !ranges_ ? "a data file and a range file"
                          : !data_           ? "a data file"
                          : !ranges_         ? "a range file"
                                             : QString();
  mapView_->clear(missing.isEmpty() ? QString::fromUtf8("No map yet: press Compute.")
                                    : "No map yet: open " + missing + ".");
}

void DatasetWindow::drawSpectrum() {
  auto* chart = new QChart;
  chart->setTitle("Mass spectrum");
  auto* x = new QValueAxis;
  x->setTitleText("m/n [Da]");
  auto* y = new QLogValueAxis;
  y->setTitleText(QStringLiteral("ions per %1 Da").arg(QLocale().toString(spectrumBin)));
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
  // Room above the highest peak for its label.
  const double top = static_cast<double>(highest) * 8.0;
  x->setRange(0.0, std::max(1.0, static_cast<double>(spectrum_.size()) * spectrumBin));
  y->setRange(floor, top);
  keepRoundTicks(x, 8);
  chart->legend()->setAlignment(Qt::AlignTop);
  shadeRanges(chart, x, y, top);
  replaceChart(spectrumView_, chart);
  connect(chart, &QChart::plotAreaChanged, this, &DatasetWindow::placeRangeLabels);
  connect(x, &QValueAxis::rangeChanged, this, &DatasetWindow::placeRangeLabels);
  connect(y, &QLogValueAxis::rangeChanged, this, &DatasetWindow::placeRangeLabels);
  placeRangeLabels();
}

// The counted ranges, shaded in the colour of their charge, and one label
// per ion ("W3+") over its highest peak, placed where it fits.
void DatasetWindow::shadeRanges(QChart* chart, QValueAxis* x, QLogValueAxis* y, double top) {
  spectrumLabels_.clear();
  rangeLabels_.clear();
  struct Shaded {
    double low, high;
    std::string symbol;
    int charge;
  };
  std::vector<Shaded> shaded;
  if (map_) {
    for (const auto& r : map_->overall.counts.ranges)
      shaded.push_back({r.low, r.high, r.symbol, r.charge});
  } else if (jointMap_ && ranges_) {
    const auto& design = jointMap_->overall.setup->design();
    for (std::size_t r = 0; r < ranges_->ranges.size(); ++r) {
      if (design.range_symbol[r].empty() || design.range_charge[r] == 0) continue;
      shaded.push_back({ranges_->ranges[r].low, ranges_->ranges[r].high, design.range_symbol[r],
                        design.range_charge[r]});
    }
  }
  std::set<int> named;
  std::map<QString, std::size_t> labelOf;
  for (const auto& r : shaded) {
    const QString label = text(r.symbol + apt::charge_suffix(r.charge));
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
    area->setName(charge(r.charge));
    chart->addSeries(area);
    area->attachAxis(x);
    area->attachAxis(y);
    if (!named.insert(r.charge).second) chart->legend()->markers(area).front()->setVisible(false);
    // The label of the ion stands over the highest bin of its ranges.
    double peak = 0.0, at = (r.low + r.high) / 2.0;
    for (double m = r.low; m <= r.high; m += spectrumBin) {
      const auto b = static_cast<std::size_t>(std::max(0.0, std::floor(m / spectrumBin)));
      if (b < spectrum_.size() && static_cast<double>(spectrum_[b]) > peak) {
        peak = static_cast<double>(spectrum_[b]);
        at = (static_cast<double>(b) + 0.5) * spectrumBin;
      }
    }
    const auto [it, added] = labelOf.try_emplace(label, rangeLabels_.size());
    if (added) {
      auto* item = new QGraphicsSimpleTextItem(label, chart);
      item->setBrush(chargeColour(r.charge).darker(140));
      item->setZValue(10);
      // A pale box behind the label keeps it readable over peaks and shading.
      auto* box = new QGraphicsRectItem(item->boundingRect().adjusted(-1, 0, 1, 0), item);
      box->setBrush(QColor(255, 255, 255, 210));
      box->setPen(Qt::NoPen);
      box->setFlag(QGraphicsItem::ItemStacksBehindParent);
      rangeLabels_.push_back({label, at, std::max(peak, 1.0), item});
      spectrumLabels_ << label;
    } else if (peak > rangeLabels_[it->second].peak) {
      rangeLabels_[it->second].x = at;
      rangeLabels_[it->second].peak = peak;
    }
  }
}

// Each ion's label just over its peak; where it would cover a label placed
// already (the highest peaks first), it goes up above that one, and where it
// then leaves the plot it is not shown.
void DatasetWindow::placeRangeLabels() {
  QChart* chart = spectrumView_->chart();
  if (chart == nullptr || chart->series().isEmpty()) return;
  const QRectF plot = chart->plotArea();
  QAbstractSeries* series = chart->series().front();
  std::vector<std::size_t> order(rangeLabels_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    return rangeLabels_[a].peak > rangeLabels_[b].peak;
  });
  std::vector<QRectF> placed;
  for (std::size_t i : order) {
    RangeLabel& l = rangeLabels_[i];
    const QPointF p = chart->mapToPosition(QPointF(l.x, l.peak), series);
    const QRectF box = l.item->boundingRect();
    QRectF r(p.x() - box.width() / 2.0, p.y() - box.height() - 2.0, box.width(), box.height());
    bool moved = true;
    while (moved) {
      moved = false;
      for (const QRectF& other : placed) {
        if (r.intersects(other)) {
          r.moveBottom(other.top() - 1.0);
          moved = true;
        }
      }
    }
    const bool fits = plot.contains(r);
    l.item->setVisible(fits);
    if (!fits) continue;
    l.item->setPos(r.topLeft());
    placed.push_back(r);
  }
}

void DatasetWindow::fillTable() {
  table_->setRowCount(0);
  const QLocale locale;
  auto put = [this](int row, const QStringList& cells, int numbersFrom, int numbersTo) {
    for (int column = 0; column < cells.size(); ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      if (column + 1 == cells.size()) item->setToolTip(cells[column]);
      if (column >= numbersFrom && column <= numbersTo) {
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      }
      table_->setItem(row, column, item);
    }
  };
  if (jointMap_ && ranges_) {
    table_->setColumnCount(6);
    table_->setHorizontalHeaderLabels(
        {"Element", "Charge", "Counts", "Decomposed", QString::fromUtf8("\u00b1"), "Ranges [Da]"});
    table_->horizontalHeaderItem(2)->setToolTip("Ions in the ranges named after it at this charge");
    table_->horizontalHeaderItem(3)->setToolTip(
        "Its ions in the run, all isotopes, from every range its isotopes fall in, shared peaks "
        "split by Poisson maximum likelihood");
    const auto rows = veltrane::species_rows(jointMap_->overall, *ranges_);
    table_->setRowCount(static_cast<int>(rows.size()));
    for (int row = 0; row < table_->rowCount(); ++row) {
      const auto& s = rows[static_cast<std::size_t>(row)];
      QString amount, sigma;
      if (!s.amount.separable) {
        amount = "cannot be told apart from " + text(s.amount.inseparable_from);
      } else {
        amount = countText(s.amount.amount);
        sigma = std::isnan(s.amount.sigma) ? QString() : countText(s.amount.sigma);
      }
      put(row,
          {text(s.symbol), s.charge > 0 ? charge(s.charge) : QString(), countText(s.counts), amount,
           sigma, text(s.ranges)},
          2, 4);
    }
  } else if (map_) {
    table_->setColumnCount(6);
    table_->setHorizontalHeaderLabels(
        {"Element", "Charge", "Counts", "Corrected", "Abundance %", "Ranges [Da]"});
    table_->horizontalHeaderItem(3)->setToolTip(
        "The counts divided by the natural abundance of the isotopes the ranges cover");
    const auto& counts = map_->overall.counts;
    table_->setRowCount(static_cast<int>(counts.charges.size()));
    for (int row = 0; row < table_->rowCount(); ++row) {
      const auto& c = counts.charges[static_cast<std::size_t>(row)];
      QStringList ranges;
      for (std::size_t index : c.ranges) {
        const auto& r = ranges_->ranges[index];
        ranges << text(apt::mass_text(r.low) + "\u2013" + apt::mass_text(r.high));
      }
      put(row,
          {text(c.symbol), charge(c.charge), countText(static_cast<double>(c.counts)),
           locale.toString(c.corrected, 'f', 1), locale.toString(c.abundance_percent, 'f', 2),
           ranges.join("; ")},
          2, 4);
    }
  }
  if (!jointMap_ && !map_) {
    table_->setColumnCount(6);
    table_->setHorizontalHeaderLabels(
        {"Element", "Charge", "Counts", "Corrected", "Abundance %", "Ranges [Da]"});
  }
  for (int column = 0; column + 1 < table_->columnCount(); ++column) {
    table_->resizeColumnToContents(column);
  }
}

void DatasetWindow::drawProfile() {
  auto* chart = new QChart;
  chart->legend()->setAlignment(Qt::AlignTop);
  auto* x = new QValueAxis;
  auto* y = new QValueAxis;
  y->setTitleText("E [V/nm]");
  x->setTitleText("block of ions");
  chart->addAxis(x, Qt::AlignBottom);
  chart->addAxis(y, Qt::AlignLeft);
  auto* field = new QLineSeries;
  auto* low = new QLineSeries;
  auto* high = new QLineSeries;
  double least = std::numeric_limits<double>::infinity(), most = -least;
  std::size_t blocks = 0;
  auto widen = [&](double lo, double hi) {
    least = std::min(least, lo);
    most = std::max(most, hi);
  };
  std::vector<QLineSeries*> own;
  if (profile_) {
    blocks = profile_->blocks.size();
    field->setName(text(shown_.symbol + " " + veltrane::pair_label(shown_.k)));
    x->setTitleText(
        QStringLiteral("block of %1 ions").arg(countText(static_cast<double>(profile_->block))));
    for (std::size_t b = 0; b < blocks; ++b) {
      const auto& f = profile_->blocks[b].field;
      if (!std::isfinite(f.E)) continue;
      const double lo = std::isfinite(f.E_low) ? f.E_low : f.E;
      const double hi = std::isfinite(f.E_high) ? f.E_high : f.E;
      const double at = static_cast<double>(b + 1);
      field->append(at, f.E);
      low->append(at, lo);
      high->append(at, hi);
      widen(lo, hi);
    }
  } else if (jointProfile_) {
    blocks = jointProfile_->blocks.size();
    field->setName("joint");
    x->setTitleText(QStringLiteral("block of %1 ions")
                        .arg(countText(static_cast<double>(jointProfile_->block))));
    const auto& symbols = jointProfile_->overall.setup->symbols();
    for (std::size_t e = 0; e < symbols.size(); ++e) {
      auto* line = new QLineSeries;
      line->setName(text(symbols[e]));
      line->setPen(QPen(elementColour(e), 1, Qt::DashLine));
      own.push_back(line);
    }
    for (std::size_t b = 0; b < blocks; ++b) {
      const auto& a = jointProfile_->blocks[b].answer;
      const double at = static_cast<double>(b + 1);
      if (a.field.found && std::isfinite(a.field.E)) {
        const double lo = std::isfinite(a.field.low) ? a.field.low : a.field.E;
        const double hi = std::isfinite(a.field.high) ? a.field.high : a.field.E;
        field->append(at, a.field.E);
        low->append(at, lo);
        high->append(at, hi);
        widen(lo, hi);
      }
      for (std::size_t e = 0; e < own.size() && e < a.elements.size(); ++e) {
        const auto& part = a.elements[e];
        // Each element's own field is drawn where it lies: the axis spans
        // the joint field's band, which the elements' own may leave.
        if (part.used && part.own.found && std::isfinite(part.own.E)) {
          own[e]->append(at, part.own.E);
        }
      }
    }
  } else {
    field->setName("E");
  }
  auto* band = new QAreaSeries(high, low);
  high->setParent(band);
  low->setParent(band);
  band->setName(QStringLiteral("%1 %").arg(QLocale().toString(shown_.confidence * 100.0, 'g', 4)));
  band->setBrush(QColor(49, 130, 189, 60));
  band->setPen(Qt::NoPen);
  field->setPen(QPen(QColor(8, 69, 148), 2));
  field->setPointsVisible(true);
  // The field first: the hover read-out maps the mouse with its axes.
  std::vector<QAbstractSeries*> series{field, band};
  for (QLineSeries* line : own) series.push_back(line);
  for (QAbstractSeries* s : series) {
    chart->addSeries(s);
    s->attachAxis(x);
    s->attachAxis(y);
  }
  x->setRange(0.5, static_cast<double>(std::max<std::size_t>(blocks, 1)) + 0.5);
  if (least <= most) {
    const double pad = std::max(0.05, (most - least) * (own.empty() ? 0.1 : 0.5));
    y->setRange(least - pad, most + pad);
  }
  keepRoundTicks(x);
  keepRoundTicks(y);
  replaceChart(profileView_, chart);
}

void DatasetWindow::showResult() {
  QStringList notes;
  if (!missingElement_.isEmpty()) notes << missingElement_;
  notes << isotopeWarnings();
  if (map_) {
    const auto& f = map_->overall.field;
    const QString headline =
        text(veltrane::pair_headline(f, map_->overall.counts.symbol,
                                     numbersWith(veltrane::interval_decimals(f.E_low, f.E_high))));
    result_->setText(headline);
    lastMessage_ = headline;
    test_->clear();
    test_->hide();
    elementsText_->clear();
    elementsScroll_->hide();
    caveat_->setText(veltrane::counting_caveat);
    notes << lines(map_->messages);
    if (profile_ && profile_->messages != map_->messages) notes << lines(profile_->messages);
  } else if (jointMap_) {
    const auto& a = jointMap_->overall.answer;
    const auto words = veltrane::joint_answer_words(
        a, shown_.confidence, numbersWith(veltrane::interval_decimals(a.field.low, a.field.high)));
    const QString headline = text(words.answer);
    result_->setText(headline);
    lastMessage_ = headline;
    test_->setText(text(words.test));
    test_->setVisible(!words.test.empty());
    elementsText_->setText(lines(words.elements).join('\n'));
    elementsScroll_->setVisible(!words.elements.empty());
    caveat_->setText(veltrane::joint_field_caveat);
    notes << lines(words.notes) << lines(jointMap_->messages);
    if (jointProfile_ && jointProfile_->messages != jointMap_->messages) {
      notes << lines(jointProfile_->messages);
    }
  }
  notes.removeDuplicates();
  notes.removeAll(QString());
  notes_->setText(notes.join('\n'));
  tabs_->setTabText(1, notes.isEmpty() ? "Notes" : QStringLiteral("Notes (%1)").arg(notes.size()));
}

// The map the box chooses: the pair's field, or the joint field, its
// p-values or one element's own field.
void DatasetWindow::showMap() {
  hover_->clear();
  QStringList choices;
  if (map_) {
    choices << "field of the pair";
  } else if (jointMap_) {
    choices << "joint field"
            << "p-value of the joint field";
    for (const auto& symbol : jointMap_->overall.setup->symbols()) {
      choices << text(symbol) + " alone";
    }
  }
  {
    const QSignalBlocker quiet(mapShow_);
    QStringList present;
    for (int i = 0; i < mapShow_->count(); ++i) present << mapShow_->itemText(i);
    if (present != choices) {
      const int previous = mapShow_->currentIndex();
      mapShow_->clear();
      mapShow_->addItems(choices);
      if (previous >= 0 && previous < mapShow_->count()) mapShow_->setCurrentIndex(previous);
    }
  }
  mapShow_->setEnabled(mapShow_->count() > 1);
  if (!map_ && !jointMap_) return;
  MapPicture picture;
  if (map_) {
    picture = MapPicture::ofFieldMap(*map_, static_cast<std::uint64_t>(shown_.min_counts));
  } else {
    const int choice = std::max(0, mapShow_->currentIndex());
    picture.over = jointMap_->over;
    picture.bin = jointMap_->bin;
    picture.maskedText = "too few ions";
    picture.noneText = choice == 1 ? "no test" : "no field";
    picture.pValues = choice == 1;
    if (choice == 1) picture.scaleTitle = "p-value";
    const std::size_t element = choice >= 2 ? static_cast<std::size_t>(choice - 2) : 0;
    for (const auto& b : jointMap_->bins) {
      MapPicture::Cell c{b.i, b.j, MapPicture::State::value, 0.0};
      const auto& a = b.answer;
      if (!a.field.found) {
        c.state = MapPicture::State::masked;
      } else if (choice == 0) {
        c.value = a.field.E;
        if (!std::isfinite(a.field.E)) c.state = MapPicture::State::none;
      } else if (choice == 1) {
        c.value = a.test.p_value;
        if (a.test.dof < 1 || !std::isfinite(a.test.p_value)) c.state = MapPicture::State::none;
      } else if (element < a.elements.size()) {
        const auto& part = a.elements[element];
        c.value = part.own.E;
        if (!part.used) {
          c.state = MapPicture::State::masked;
        } else if (!part.own.found || !std::isfinite(part.own.E)) {
          c.state = MapPicture::State::none;
        }
      }
      picture.cells.push_back(c);
    }
  }
  if (!mapView_->setPicture(std::move(picture))) {
    mapView_->clear("The map has too many bins to draw; take a larger bin.");
  }
}

void DatasetWindow::showHover(int cell) {
  QString readout;
  const auto numbers = answerNumbersFor(QLocale());
  if (cell >= 0 && map_ && static_cast<std::size_t>(cell) < map_->bins.size()) {
    readout =
        text(veltrane::map_bin_text(*map_, map_->bins[static_cast<std::size_t>(cell)], numbers));
  } else if (cell >= 0 && jointMap_ && static_cast<std::size_t>(cell) < jointMap_->bins.size()) {
    readout = text(veltrane::joint_bin_text(
        *jointMap_, jointMap_->bins[static_cast<std::size_t>(cell)], shown_.confidence, numbers));
  }
  hover_->setText(readout);
  hover_->setToolTip(readout);
}

QStringList DatasetWindow::isotopeWarnings() const {
  // Charge states whose ranges cover so few of the element's isotopes that
  // the correction multiplies their counts many times: first in the notes.
  QStringList warnings;
  if (map_) {
    for (const auto& w : map_->overall.counts.warnings) warnings << text(w);
  }
  return warnings;
}

TitledFigure DatasetWindow::mapFigure() const {
  TitledFigure figure;
  veltrane::dataset_view view = veltrane::dataset_view::field_map;
  std::string element;
  if (jointMap_ && mapShow_->currentIndex() == 1) view = veltrane::dataset_view::p_value_map;
  if (jointMap_ && mapShow_->currentIndex() >= 2) {
    view = veltrane::dataset_view::element_field_map;
    element = jointMap_->overall.setup->symbols().at(
        static_cast<std::size_t>(mapShow_->currentIndex() - 2));
  }
  figure.title = lines(veltrane::dataset_title_lines(shown_, view, element));
  figure.size = mapView_->exportSize(mapFileWidth);
  const FieldMapView* map = mapView_;
  const QSize size = figure.size;
  figure.paint = [map, size](QPainter& p) { map->paintMap(p, QRect(QPoint(0, 0), size)); };
  return figure;
}

QString DatasetWindow::fileStem() const {
  return data_ ? QFileInfo(text(data_->path())).completeBaseName() : QStringLiteral("dataset");
}

QString DatasetWindow::subjectStem() const {
  if (shown_.k > 0) {
    return text(shown_.symbol) + QString::number(shown_.k + 1) + "-" + QString::number(shown_.k);
  }
  if (jointMap_ && mapShow_->currentIndex() == 1) return "joint_p";
  if (jointMap_ && mapShow_->currentIndex() >= 2) {
    return text(jointMap_->overall.setup->symbols().at(
               static_cast<std::size_t>(mapShow_->currentIndex() - 2))) +
           "_alone";
  }
  return "joint";
}

QString DatasetWindow::proposedPath(const QString& name) const {
  QString folder = saveFolder_;
  if (folder.isEmpty() && data_) folder = QFileInfo(text(data_->path())).absolutePath();
  if (folder.isEmpty()) folder = QDir::currentPath();
  return QDir(folder).filePath(name);
}

void DatasetWindow::askAndSave(const QString& caption, const QString& name, const QString& filter,
                               const std::function<QString(const QString&)>& save) {
  QString file = saveChooser(this, caption, proposedPath(name), filter);
  if (file.isEmpty()) return;
  if (QFileInfo(file).suffix().isEmpty()) file += "." + QFileInfo(name).suffix();
  saveFolder_ = QFileInfo(file).absolutePath();
  save(file);
}

QString DatasetWindow::saveLines(const std::vector<std::string>& written, const QString& fileName) {
  std::string bytes;
  for (const auto& line : written) bytes += line + "\n";
  if (const auto reason = veltrane::write_file(fileName.toStdString(), bytes)) {
    showMessage(saveFailure(fileName, text(*reason)));
    return lastMessage_;
  }
  showStatus("Saved " + QFileInfo(fileName).absoluteFilePath());
  return {};
}

QString DatasetWindow::saveMapCsv(const QString& fileName) {
  if (!map_ && !jointMap_) {
    showMessage("Please compute a map first.");
    return lastMessage_;
  }
  std::vector<std::string> written =
      veltrane::dataset_comment_lines(shown_, veltrane::dataset_view::field_map);
  for (auto& line :
       map_ ? veltrane::map_csv_lines(*map_) : veltrane::joint_map_csv_lines(*jointMap_)) {
    written.push_back(std::move(line));
  }
  return saveLines(written, fileName);
}

QString DatasetWindow::saveProfileCsv(const QString& fileName) {
  if (!profile_ && !jointProfile_) {
    showMessage("Please compute a map first.");
    return lastMessage_;
  }
  std::vector<std::string> written =
      veltrane::dataset_comment_lines(shown_, veltrane::dataset_view::field_profile);
  for (auto& line : profile_ ? veltrane::profile_csv_lines(*profile_)
                             : veltrane::joint_profile_csv_lines(*jointProfile_)) {
    written.push_back(std::move(line));
  }
  return saveLines(written, fileName);
}

QString DatasetWindow::saveMapImage(const QString& fileName) {
  if (!map_ && !jointMap_) {
    showMessage("Please compute a map first.");
    return lastMessage_;
  }
  const QString error = saveFigure(mapFigure(), fileName);
  if (!error.isEmpty()) {
    showMessage(saveFailure(fileName, error));
    return lastMessage_;
  }
  showStatus("Saved " + QFileInfo(fileName).absoluteFilePath());
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
