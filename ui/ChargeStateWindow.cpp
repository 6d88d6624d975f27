#include "ui/ChargeStateWindow.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QChartView>
#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/charge_states/fraction_csv.hpp"
#include "compute/curves/calculation.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/inputs.hpp"
#include "compute/curves/number_format.hpp"
#include "ui/ChartTools.hpp"
#include "ui/ImageExport.hpp"
#include "ui/InputSource.hpp"
#include "ui/LocaleFormat.hpp"
#include "ui/ResultChart.hpp"

namespace {

QLineEdit* numberBox(const char* name, const QString& placeholder) {
  auto* box = new QLineEdit;
  box->setObjectName(name);
  box->setPlaceholderText(placeholder);
  return box;
}

// A default value as the boxes show it: in the locale's format.
QString placeholder(double value) { return QLocale().toString(value, 'g', 6); }

QString charge(int k) { return QString::fromStdString(veltrane::charge_label(k)); }

// A number and its unit are never parted by a line break.
QString keepUnits(QString text) {
  const QChar nbsp(0x00a0);
  text.replace(QStringLiteral(" V/nm"), QString(nbsp) + "V/nm");
  text.replace(QStringLiteral(" eV"), QString(nbsp) + "eV");
  text.replace(QStringLiteral(" %"), QString(nbsp) + "%");
  return text;
}

const QColor equalColour(110, 110, 110);
const QColor barrierColour(120, 60, 150);
const QColor measuredColour(0, 0, 0);

constexpr const char* plainResult = "QLabel { padding: 4px; }";
constexpr const char* warningResult =
    "QLabel { background: #fff4ce; color: #5c4400; border: 1px solid #d9b54a; padding: 4px; }";

}  // namespace

ChargeStateWindow::ChargeStateWindow(InputSource& source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(source) {
  setObjectName("ChargeStateWindow");
  setWindowTitle("Veltrane: charge states");
  setAttribute(Qt::WA_DeleteOnClose, false);

  buildChart();
  sourceLine_ = new QLabel;
  sourceLine_->setObjectName("sourceLine");
  sourceLine_->setWordWrap(true);
  sourceLine_->setTextFormat(Qt::RichText);
  connect(sourceLine_, &QLabel::linkActivated, this, &ChargeStateWindow::followMainWindow);
  auto* chartColumn = new QVBoxLayout;
  chartColumn->addWidget(sourceLine_);
  chartColumn->addWidget(view_, 1);
  auto* body = new QHBoxLayout;
  body->addWidget(buildElementList());
  body->addLayout(chartColumn, 1);
  body->addWidget(buildSidePanel());
  status_ = new QLabel;
  status_->setObjectName("statusLine");
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(body, 1);
  layout->addWidget(status_);
  connectLive();
  showElement(source_.element());
  showSource();
  // Fits a 1366 x 768 screen with its panel and the window's frame.
  resize(1180, 660);
}

ChargeStateWindow::~ChargeStateWindow() = default;

void ChargeStateWindow::buildChart() {
  view_ = new QChartView;
  view_->setObjectName("chargeStateChart");
  view_->setMinimumSize(520, 380);
  chart_ = new ResultChart(view_);
  for (int k = 1; k <= ResultChart::seriesCount; ++k) chart_->setListed(k, false);
  tools_ = new ChartTools(
      view_,
      [this] {
        return request_ ? QString::fromStdString(request_->element) + "_charge_states"
                        : QStringLiteral("charge_states");
      },
      "f");
  tools_->setHoverText(
      [this](const QPointF& value, const QPoint&) { return hoverText(value.x()); });
  connect(tools_, &ChartTools::saved, this,
          [this](const QString& path) { status_->setText(QStringLiteral("Wrote %1").arg(path)); });
  note_ = new QLabel(view_);
  note_->setObjectName("emptyResultNote");
  note_->setWordWrap(true);
  note_->setFixedWidth(420);
  note_->move(90, 95);  // under the title and the legend
  note_->setStyleSheet(
      "QLabel { background: #fff4ce; color: #5c4400; border: 1px solid #d9b54a; padding: 6px; }");
  note_->hide();
}

QGroupBox* ChargeStateWindow::buildRangeBox() {
  from_ = numberBox("fromBox", "lowest sweep start");
  to_ = numberBox("toBox", "highest E_ob");
  step_ = numberBox("stepBox", placeholder(veltrane::default_field_step_v_per_nm));
  compute_ = new QPushButton("Recompute");
  compute_->setObjectName("recomputeButton");
  connect(compute_, &QPushButton::clicked, this, &ChargeStateWindow::recompute);
  auto* range = new QGroupBox("Field range [V/nm]");
  auto* form = new QFormLayout(range);
  form->addRow("From", from_);
  form->addRow("To", to_);
  form->addRow("Step", step_);
  form->addRow(compute_);
  return range;
}

QGroupBox* ChargeStateWindow::buildMeasuredBox() {
  pair_ = new QComboBox;
  pair_->setObjectName("pairBox");
  ratio_ = numberBox("ratioBox", "e.g. 0.8");
  lowerCount_ = numberBox("lowerCountBox", "counts");
  upperCount_ = numberBox("upperCountBox", "counts");
  confidence_ = numberBox("confidenceBox", placeholder(veltrane::default_confidence));
  sensitivity_ = new QCheckBox("Sensitivity to the inputs");
  sensitivity_->setObjectName("sensitivityBox");
  sensitivity_->setToolTip(
      "How far the field moves with the work function (\u00b10.1 eV) and with each ionisation "
      "energy of the pair (\u00b11 %)");
  find_ = new QPushButton("Find field");
  find_->setObjectName("findButton");
  connect(find_, &QPushButton::clicked, this, &ChargeStateWindow::findField);
  auto* measured = new QGroupBox("Measured");
  auto* form = new QFormLayout(measured);
  form->addRow("Pair (upper/lower)", pair_);
  form->addRow("Ratio", ratio_);
  form->addRow("or counts of lower", lowerCount_);
  form->addRow("and of upper", upperCount_);
  form->addRow("Confidence", confidence_);
  form->addRow(sensitivity_);
  form->addRow(find_);
  return measured;
}

QHBoxLayout* ChargeStateWindow::buildSaveRow() {
  saveCsv_ = new QPushButton(QString::fromUtf8("Save CSV\u2026"));
  saveCsv_->setObjectName("saveCsvButton");
  saveCsv_->setToolTip("The fractions of every charge state over the range, with the inputs");
  savePng_ = new QPushButton(QString::fromUtf8("Save image\u2026"));
  savePng_->setObjectName("savePngButton");
  savePng_->setToolTip("The diagram as PNG, SVG or PDF, its title naming the inputs");
  connect(saveCsv_, &QPushButton::clicked, this, &ChargeStateWindow::saveCsv);
  connect(savePng_, &QPushButton::clicked, this, &ChargeStateWindow::savePngImage);
  auto* saves = new QHBoxLayout;
  saves->addWidget(saveCsv_);
  saves->addWidget(savePng_);
  return saves;
}

// The range, the measurement, the answer and the saves, in a column that
// scrolls when the window is too low for a long answer.
QScrollArea* ChargeStateWindow::buildSidePanel() {
  result_ = new QLabel;
  result_->setObjectName("resultLabel");
  result_->setWordWrap(true);
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  result_->setStyleSheet(plainResult);
  auto* statistics = new QLabel(QString::fromUtf8(veltrane::counted_field_caveat));
  statistics->setObjectName("countingCaveat");
  statistics->setWordWrap(true);
  auto* side = new QVBoxLayout;
  side->addWidget(buildRangeBox());
  side->addWidget(buildMeasuredBox());
  side->addWidget(result_);
  side->addWidget(statistics);
  side->addLayout(buildSaveRow());
  side->addStretch();
  auto* panel = new QWidget;
  panel->setLayout(side);
  auto* scroll = new QScrollArea;
  scroll->setObjectName("sidePanel");
  scroll->setWidget(panel);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll->setFixedWidth(310);
  return scroll;
}

// The Kingham diagram of any element at a click: its built-in values, the
// main window untouched.
QGroupBox* ChargeStateWindow::buildElementList() {
  elements_ = new QListWidget;
  elements_->setObjectName("elementList");
  elements_->addItems(source_.elements());
  elements_->setFixedWidth(130);
  elements_->setToolTip("The Kingham diagram of an element with its built-in values");
  connect(elements_, &QListWidget::currentTextChanged, this, [this](const QString& name) {
    if (!name.isEmpty()) pickElement(name);
  });
  auto* diagrams = new QGroupBox("Kingham diagram");
  auto* layout = new QVBoxLayout(diagrams);
  layout->addWidget(elements_);
  return diagrams;
}

namespace {

// How long the diagram waits for more changes of a burst (typing, a spin
// box held down), and the measured field for the typing in its boxes to
// pause.
constexpr int diagram_settle_ms = 10;
constexpr int measured_settle_ms = 150;

}  // namespace

// Live: the diagram follows each change of the inputs or the range at once
// (changes that come together, or while it computes, give one computation);
// the measured field, with its sensitivity solves, once the typing in its
// boxes has paused.
void ChargeStateWindow::connectLive() {
  liveTimer_ = new QTimer(this);
  liveTimer_->setSingleShot(true);
  liveTimer_->setInterval(diagram_settle_ms);
  connect(liveTimer_, &QTimer::timeout, this, &ChargeStateWindow::recomputeLive);
  findTimer_ = new QTimer(this);
  findTimer_->setSingleShot(true);
  findTimer_->setInterval(measured_settle_ms);
  connect(findTimer_, &QTimer::timeout, this, &ChargeStateWindow::findFieldLive);
  for (QLineEdit* box : {from_, to_, step_}) {
    connect(box, &QLineEdit::textEdited, this, &ChargeStateWindow::scheduleRecompute);
  }
  for (QLineEdit* box : {ratio_, lowerCount_, upperCount_, confidence_}) {
    connect(box, &QLineEdit::textEdited, findTimer_, qOverload<>(&QTimer::start));
  }
  connect(pair_, &QComboBox::activated, findTimer_, qOverload<>(&QTimer::start));
  connect(sensitivity_, &QCheckBox::toggled, findTimer_, qOverload<>(&QTimer::start));
  // A change in the main window: its inputs are shown again.
  connect(&source_, &InputSource::inputsChanged, this, [this] {
    if (!listPick_.isEmpty()) {
      listPick_.clear();
      listNote_.clear();
      showElement(source_.element());
      showSource();
    }
    if (isVisible()) scheduleRecompute();
  });
  connect(&source_, &InputSource::elementChanged, this, [this](const QString& name) {
    if (listPick_.isEmpty()) showElement(name);
  });
  connect(&source_, &InputSource::evaluationChanged, this, [this] { model_.reset(); });
  connect(&run_, &BackgroundRun::finished, this, [this](const RunOutcome& outcome) {
    setControlsEnabled(true);
    finish(outcome);
  });
}

void ChargeStateWindow::showElement(const QString& name) {
  const QSignalBlocker quiet(elements_);
  const QList<QListWidgetItem*> found = elements_->findItems(name, Qt::MatchExactly);
  if (found.isEmpty()) {
    elements_->setCurrentRow(-1);
    elements_->clearSelection();
  } else {
    elements_->setCurrentItem(found.front());
    elements_->scrollToItem(found.front());
  }
}

void ChargeStateWindow::pickElement(const QString& name) {
  listPick_ = name;
  listNote_.clear();
  showElement(name);
  showSource();
  // A pick is a change of its own, not part of a burst: computed at the
  // next turn of the event loop (the changes it brings about with it
  // still give one computation).
  liveTimer_->start(0);
}

void ChargeStateWindow::followMainWindow() {
  listPick_.clear();
  listNote_.clear();
  showElement(source_.element());
  showSource();
  scheduleRecompute();
}

// Where the inputs come from: the main window, or the list's element with
// its built-in values (and what became of its n), with the way back.
void ChargeStateWindow::showSource() {
  if (listPick_.isEmpty()) {
    sourceLine_->setText(QStringLiteral("The inputs of the main window."));
    return;
  }
  QString text = QStringLiteral("%1 with its built-in values, n as in the main window.")
                     .arg(listPick_.toHtmlEscaped());
  if (!listNote_.isEmpty()) text += " " + listNote_.toHtmlEscaped();
  text += QStringLiteral(" <a href=\"main\">Use the main window's inputs</a>");
  sourceLine_->setText(text);
}

void ChargeStateWindow::showMessage(const QString& text, bool live) {
  if (live) return;
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
  box.exec();
}

void ChargeStateWindow::setResult(const QString& text, bool warning) {
  result_->setText(keepUnits(text));
  result_->setStyleSheet(warning ? warningResult : plainResult);
}

void ChargeStateWindow::clearDiagram(const QString& reason, bool live) {
  request_.reset();
  table_.reset();
  equalFields_.clear();
  measured_.reset();
  draw();
  setResult(reason, true);
  showMessage(reason, live);
}

void ChargeStateWindow::clearMeasured(const QString& reason, bool live) {
  measured_.reset();
  draw();
  setResult(reason, !reason.isEmpty());
  if (!reason.isEmpty()) showMessage(reason, live);
}

std::optional<veltrane::calc_request> ChargeStateWindow::readRequest(bool live) {
  if (!listPick_.isEmpty()) {
    const veltrane::built_in_inputs built =
        veltrane::built_in_request(listPick_.toStdString(), source_.ionisations());
    listNote_ = QString::fromStdString(built.note);
    showSource();
    if (!built.request) clearDiagram(QString::fromStdString(built.message), live);
    return built.request;
  }
  QString message;
  auto request = source_.readRequest(message);
  if (!request) clearDiagram(message, live);
  return request;
}

// The range of the boxes, each unset when empty; a message and nothing when
// one holds no number.
std::optional<ChargeStateWindow::Range> ChargeStateWindow::readRange(bool live) {
  const auto format = numberFormatFor(QLocale());
  bool fine = true;
  auto read = [&](const QLineEdit* box) -> std::optional<double> {
    if (box->text().trimmed().isEmpty()) return std::nullopt;
    const auto value = veltrane::parse_number(box->text().toStdString(), format);
    fine = fine && value.has_value();
    return value;
  };
  const Range range{read(from_), read(to_), read(step_)};
  if (!fine) {
    clearDiagram(veltrane::messages::bad_number, live);
    return std::nullopt;
  }
  return range;
}

bool ChargeStateWindow::measuredTyped() const {
  return !ratio_->text().trimmed().isEmpty() || !lowerCount_->text().trimmed().isEmpty() ||
         !upperCount_->text().trimmed().isEmpty();
}

// The measured ratio, or the counts, of the chosen pair (the first pair
// when the chosen one is not one of n ionisations) and the confidence, as
// the boxes hold them; nothing, and the fault, when one is wrong.
std::optional<veltrane::pair_measurement> ChargeStateWindow::readMeasured(int n,
                                                                          QString& fault) const {
  const auto format = numberFormatFor(QLocale());
  // The locale's number in a box, NaN for a text that is no number (the
  // check then names the text as typed).
  auto number = [&format](const QLineEdit* box) {
    return veltrane::parse_number(box->text().toStdString(), format)
        .value_or(std::numeric_limits<double>::quiet_NaN());
  };
  auto typed = [](const QLineEdit* box) { return box->text().trimmed().toStdString(); };
  veltrane::pair_measurement m;
  m.k = pair_->currentData().toInt();
  if (m.k < 1 || m.k > n) m.k = 1;
  if (!confidence_->text().trimmed().isEmpty()) m.confidence = number(confidence_);
  if (!ratio_->text().trimmed().isEmpty()) {
    m.ratio = number(ratio_);
  } else {
    m.count_lower = number(lowerCount_);
    m.count_upper = number(upperCount_);
  }
  const std::string message =
      veltrane::measurement_fault(m, n, typed(ratio_), typed(lowerCount_), typed(upperCount_));
  if (message.empty()) return m;
  fault = QString::fromStdString(message);
  return std::nullopt;
}

// The measurement of the boxes for `job`: with the diagram drawn anew in the
// job, its fault is said once that is drawn; otherwise at once.
void ChargeStateWindow::askForMeasured(Job& job, bool live) {
  QString fault;
  job.measured = readMeasured(job.request.n, fault);
  job.ratioOverCounts =
      job.measured && job.measured->ratio &&
      (!lowerCount_->text().trimmed().isEmpty() || !upperCount_->text().trimmed().isEmpty());
  if (job.measured || fault.isEmpty()) return;
  if (job.range) {
    job.measuredFault = fault;
  } else {
    clearMeasured(fault, live);
  }
}

void ChargeStateWindow::recompute() {
  if (run_.isRunning()) return;
  const auto request = readRequest(false);
  if (!request) return;
  const auto range = readRange(false);
  if (!range) return;
  start({*request, false, range, std::nullopt, false, {}, false});
}

void ChargeStateWindow::scheduleRecompute() { liveTimer_->start(diagram_settle_ms); }

void ChargeStateWindow::recomputeLive() {
  if (run_.isRunning()) {
    liveTimer_->start(diagram_settle_ms);  // once the run going on has ended
    return;
  }
  const auto request = readRequest(true);
  if (!request) return;
  const auto range = readRange(true);
  if (!range) return;
  Job job{*request, true, range, std::nullopt, sensitivity_->isChecked(), {}, false};
  // The measured field follows the redrawn diagram.
  if (measuredTyped()) askForMeasured(job, true);
  start(job);
}

void ChargeStateWindow::findFieldLive() {
  if (run_.isRunning()) {
    findTimer_->start();
    return;
  }
  if (!measuredTyped()) {
    // Nothing measured any more: no marker and no answer.
    if (measured_ || !result_->text().isEmpty()) clearMeasured(QString(), true);
    return;
  }
  find(true);
}

void ChargeStateWindow::findField() {
  if (run_.isRunning()) return;
  find(false);
}

// The measured field; the marker belongs on the curves of these very
// inputs, so when anything changed since they were drawn, they are drawn
// anew in the same run first.
void ChargeStateWindow::find(bool live) {
  const auto request = readRequest(live);
  if (!request) return;
  Job job{*request, live, std::nullopt, std::nullopt, sensitivity_->isChecked(), {}, false};
  if (!request_ || !(*request_ == *request)) {
    job.range = readRange(live);
    if (!job.range) return;
  }
  askForMeasured(job, live);
  if (job.measured || job.range) start(job);
}

void ChargeStateWindow::setControlsEnabled(bool enabled) {
  for (QWidget* w : {static_cast<QWidget*>(compute_), static_cast<QWidget*>(find_),
                     static_cast<QWidget*>(saveCsv_), static_cast<QWidget*>(savePng_)}) {
    w->setEnabled(enabled);
  }
}

// Starts the computation of `job` in the background, on the model of its
// request: the one kept from the last computation when the request is the
// same.
void ChargeStateWindow::start(const Job& job) {
  if (!model_ || !(model_->request() == job.request)) {
    model_ = std::make_shared<veltrane::field_model>(job.request, source_.evaluation(),
                                                     source_.threads());
  }
  job_ = job;
  found_ = std::make_shared<Result>();
  const auto work = [job, result = found_, model = model_](veltrane::evaluation_progress& p) {
    model->set_progress(&p);
    struct Detach {
      veltrane::field_model& m;
      ~Detach() { m.set_progress(nullptr); }
    } detach{*model};
    if (job.range) {
      veltrane::charge_states& states = model->states();
      const auto [from, to] = veltrane::default_field_range(states);
      const auto grid = veltrane::field_grid(
          job.range->from.value_or(from), job.range->to.value_or(to),
          job.range->step.value_or(veltrane::default_field_step_v_per_nm), &result->rangeMessage);
      if (!grid) return;
      result->table = veltrane::fraction_table_at(states, *grid);
      for (int k = 1; k <= job.request.n; ++k) {
        result->equal.push_back(veltrane::equal_abundance(states, k).field());
      }
    }
    if (job.measured) {
      result->found = veltrane::measure_field(*model, *job.measured, job.sensitivity);
    }
  };
  setControlsEnabled(false);
  run_.start(work, source_.progressDelayMs());
}

void ChargeStateWindow::finish(const RunOutcome& outcome) {
  const Job& job = job_;
  const Result& result = *found_;
  if (!outcome.ok()) {
    // A failed run leaves nothing of the inputs it was for; a cancelled one
    // leaves the old picture only when it was not to be replaced.
    if (!outcome.error.isEmpty()) {
      clearDiagram(outcome.error, job.live);
    } else if (job.range) {
      clearDiagram(QStringLiteral("Cancelled: the diagram of these inputs was not computed."),
                   true);
    }
    emit computationEnded();
    return;
  }
  if (job.range && !result.table) {
    clearDiagram(QString::fromStdString(result.rangeMessage), job.live);
    emit computationEnded();
    return;
  }
  if (result.table) {
    request_ = job.request;
    table_ = result.table;
    equalFields_ = result.equal;
    measured_.reset();
    setResult(QString(), false);
    const int previous = pair_->currentIndex();
    pair_->clear();
    for (int k = 1; k <= request_->n; ++k) {
      pair_->addItem(QString::fromStdString(veltrane::pair_label(k)), k);
    }
    pair_->setCurrentIndex(previous >= 0 && previous < pair_->count() ? previous : 0);
  }
  if (result.found) {
    const veltrane::answer_numbers numbers = answerNumbersFor(QLocale());
    if (!result.found->field()) {
      measured_.reset();
      const QString text =
          QString::fromStdString(result.found->fields.unreachable_message(numbers));
      setResult(text, true);
      showMessage(text, job.live);
    } else {
      measured_ = *result.found->field();
      measuredPair_ = result.found->measured.k;
      const veltrane::answer_words words = veltrane::measured_field_words(*result.found, numbers);
      QString text = QString::fromStdString(words.answer);
      if (!words.warning.empty()) text += "\n" + QString::fromStdString(words.warning);
      if (job.ratioOverCounts) text += "\n" + QString::fromUtf8(veltrane::ratio_before_counts);
      for (const auto& line : words.details) text += "\n" + QString::fromStdString(line);
      setResult(text, !words.warning.empty());
    }
  }
  draw();
  if (!job.measuredFault.isEmpty()) clearMeasured(job.measuredFault, job.live);
  emit computationEnded();
}

// The read-out at the field E: the nearest field of the table, and there
// log10 f and f of every charge state.
QString ChargeStateWindow::hoverText(double E) const {
  if (!table_ || table_->E.empty()) return QString();
  const auto& fields = table_->E;
  const auto above = std::lower_bound(fields.begin(), fields.end(), E);
  std::size_t i = static_cast<std::size_t>(above - fields.begin());
  if (i == fields.size() || (i > 0 && E - fields[i - 1] < fields[i] - E)) --i;
  const QLocale locale;
  QString text = QStringLiteral("E = %1 V/nm").arg(fieldText(fields[i]));
  for (std::size_t k = 0; k < table_->f.size(); ++k) {
    const double f = table_->f[k][i];
    text += QStringLiteral("\n%1: log10 f = %2, f = %3")
                .arg(charge(static_cast<int>(k) + 1),
                     f > 0.0 ? locale.toString(std::log10(f), 'f', 3) : QStringLiteral("-inf"),
                     locale.toString(f, 'g', 4));
  }
  return text;
}

void ChargeStateWindow::draw() {
  ResultChart& c = *chart_;
  for (int k = 1; k <= ResultChart::seriesCount; ++k) c.clearSeries(k);
  c.clearMarkers();
  c.chart()->setTitle(QString());
  if (!table_) {
    for (int k = 1; k <= ResultChart::seriesCount; ++k) c.setListed(k, false);
    c.setAxes("E [V/nm]", QString::fromUtf8(veltrane::fraction_axis_title), -4.0, 0.0);
    note_->hide();
    emit drawn();
    return;
  }
  const auto format = numberFormatFor(QLocale());
  c.chart()->setTitle(QString::fromStdString(veltrane::inputs_line(
      *request_, [&format](double v) { return veltrane::localised_text(v, format); },
      veltrane::list_separator(format))));
  const int states = static_cast<int>(table_->f.size());
  for (int k = 1; k <= ResultChart::seriesCount; ++k) c.setListed(k, k <= states);
  for (int k = 1; k <= states; ++k) {
    const auto& row = table_->f[static_cast<std::size_t>(k) - 1];
    for (std::size_t e = 0; e < table_->E.size(); ++e) {
      c.addPoint(k, table_->E[e], std::log10(row[e]));
    }
    c.setLineWidth(k, 2);
  }
  for (std::size_t k = 0; k < equalFields_.size(); ++k) {
    if (!equalFields_[k]) continue;
    const int j = static_cast<int>(k) + 1;
    c.addMarker(
        *equalFields_[k],
        QStringLiteral("F(%1,%2) = %3").arg(charge(j), charge(j + 1), fieldText(*equalFields_[k])),
        equalColour, Qt::DashLine, ResultChart::LabelPlace::top, QStringLiteral("equal abundance"));
  }
  for (std::size_t j = 0; j < table_->barriers.size(); ++j) {
    const veltrane::over_barrier& ob = table_->barriers[j];
    if (!ob.found || ob.everywhere) continue;
    c.addMarker(ob.at_v_per_nm(),
                QStringLiteral("E_ob(%1) = %2")
                    .arg(charge(static_cast<int>(j) + 1), fieldText(ob.at_v_per_nm())),
                barrierColour, Qt::DotLine, ResultChart::LabelPlace::bottom,
                QStringLiteral("over the barrier"));
  }
  if (measured_) {
    const QString pair = QString::fromStdString(veltrane::pair_label(measuredPair_));
    c.addMarker(*measured_, QStringLiteral("measured %1: %2").arg(pair, fieldText(*measured_)),
                measuredColour, Qt::DashDotLine, ResultChart::LabelPlace::middle,
                QStringLiteral("measured %1").arg(pair));
  }
  c.setAxes("E [V/nm]", QString::fromUtf8(veltrane::fraction_axis_title), -4.0, 0.0);

  // A step without any value at all is said in words, as in the main window.
  veltrane::curve_set curves;
  curves.n = request_->n;
  for (std::size_t j = 0; j < table_->Q_tilde.size(); ++j) {
    veltrane::step_curve step{static_cast<int>(j) + 1, {}};
    for (std::size_t e = 0; e < table_->E.size(); ++e) {
      step.points.push_back(
          {table_->E[e] / veltrane::vnm_per_au, table_->E[e], table_->Q_tilde[j][e]});
    }
    curves.steps.push_back(std::move(step));
  }
  QStringList lines;
  for (const auto& line : veltrane::empty_curve_notes(
           *request_, curves, [&format](double v) { return veltrane::localised_text(v, format); },
           veltrane::list_separator(format))) {
    lines << QString::fromStdString(line);
  }
  note_->setText(lines.join('\n'));
  note_->setVisible(!lines.isEmpty());
  if (!lines.isEmpty()) {
    note_->adjustSize();
    note_->raise();
  }
  emit drawn();
}

void ChargeStateWindow::saveCsv() {
  if (!table_ || !request_) {
    showMessage("Please calculate the fractions first (Recompute).", false);
    return;
  }
  const QString file =
      askSaveFile(this, QString::fromStdString(request_->element) + "_charge_states.csv",
                  QString::fromLatin1(csvFilters));
  if (file.isEmpty()) return;
  std::string text;
  for (const auto& line : veltrane::fraction_csv_lines(*request_, *table_)) text += line + "\n";
  if (const auto reason = veltrane::write_file(file.toStdString(), text)) {
    const QString message = saveFailure(file, QString::fromStdString(*reason));
    status_->setText(message);
    showMessage(message, false);
    return;
  }
  status_->setText(QStringLiteral("Wrote %1").arg(file));
}

void ChargeStateWindow::savePngImage() {
  if (!table_ || !request_) {
    showMessage("Please calculate the fractions first (Recompute).", false);
    return;
  }
  tools_->saveAsWithDialog();
}

void ChargeStateWindow::closeEvent(QCloseEvent* event) {
  run_.cancel();
  QWidget::closeEvent(event);
}
