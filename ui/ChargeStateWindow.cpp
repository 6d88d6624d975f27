#include "ui/ChargeStateWindow.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>
#include <QtCharts/QChartView>
#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/field_grid.hpp"
#include "compute/charge_states/fraction_csv.hpp"
#include "compute/curves/calculation.hpp"
#include "compute/curves/file_output.hpp"
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

}  // namespace

ChargeStateWindow::ChargeStateWindow(InputSource& source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(source) {
  setObjectName("ChargeStateWindow");
  setWindowTitle("Veltrane: charge states");
  setAttribute(Qt::WA_DeleteOnClose, false);

  buildChart();
  auto* side = new QVBoxLayout;
  side->addWidget(buildRangeBox());
  side->addWidget(buildMeasuredBox());
  side->addLayout(buildSaveRow());
  side->addStretch();
  auto* sidePanel = new QWidget;
  sidePanel->setLayout(side);
  sidePanel->setFixedWidth(280);
  auto* layout = new QHBoxLayout(this);
  layout->addWidget(buildElementList());
  layout->addWidget(view_, 1);
  layout->addWidget(sidePanel);
  connectLive();
  showElement(source_.element());
  resize(1000, 720);  // room below the result for the sensitivity lines
}

ChargeStateWindow::~ChargeStateWindow() = default;

void ChargeStateWindow::buildChart() {
  view_ = new QChartView;
  view_->setObjectName("chargeStateChart");
  view_->setMinimumSize(700, 480);
  chart_ = new ResultChart(view_);
  for (int k = 1; k <= ResultChart::seriesCount; ++k) chart_->setListed(k, false);
  new ChartTools(
      view_,
      [this] {
        return request_ ? QString::fromStdString(request_->element) + "_charge_states"
                        : QStringLiteral("charge_states");
      },
      "f");
  note_ = new QLabel(view_);
  note_->setObjectName("emptyResultNote");
  note_->setWordWrap(true);
  note_->setFixedWidth(520);
  note_->move(90, 40);
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
  result_ = new QLabel;
  result_->setObjectName("resultLabel");
  result_->setWordWrap(true);
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* measured = new QGroupBox("Measured");
  auto* form = new QFormLayout(measured);
  form->addRow("Pair (upper/lower)", pair_);
  form->addRow("Ratio", ratio_);
  form->addRow("or counts of lower", lowerCount_);
  form->addRow("and of upper", upperCount_);
  form->addRow("Confidence", confidence_);
  form->addRow(sensitivity_);
  form->addRow(find_);
  form->addRow(result_);
  auto* statistics = new QLabel(QString::fromUtf8(veltrane::counted_field_caveat));
  statistics->setWordWrap(true);
  form->addRow(statistics);
  return measured;
}

QHBoxLayout* ChargeStateWindow::buildSaveRow() {
  saveCsv_ = new QPushButton("Save CSV");
  saveCsv_->setObjectName("saveCsvButton");
  savePng_ = new QPushButton("Save PNG");
  savePng_->setObjectName("savePngButton");
  connect(saveCsv_, &QPushButton::clicked, this, &ChargeStateWindow::saveCsv);
  connect(savePng_, &QPushButton::clicked, this, &ChargeStateWindow::savePngImage);
  auto* saves = new QHBoxLayout;
  saves->addWidget(saveCsv_);
  saves->addWidget(savePng_);
  return saves;
}

// The Kingham diagram of any element at a click: the source takes the
// element with its built-in values and the diagram follows.
QGroupBox* ChargeStateWindow::buildElementList() {
  elements_ = new QListWidget;
  elements_->setObjectName("elementList");
  elements_->addItems(source_.elements());
  elements_->setFixedWidth(130);
  connect(elements_, &QListWidget::currentTextChanged, this, [this](const QString& name) {
    if (!name.isEmpty()) source_.selectElement(name);
  });
  auto* diagrams = new QGroupBox("Kingham diagram");
  auto* layout = new QVBoxLayout(diagrams);
  layout->addWidget(elements_);
  return diagrams;
}

// Live: the diagram follows each change of the inputs or the range at once
// (changes that come together, or while it computes, give one computation);
// the measured field, with its sensitivity solves, once the typing in its
// boxes has paused.
void ChargeStateWindow::connectLive() {
  constexpr int diagram_settle_ms = 10;
  constexpr int measured_settle_ms = 150;
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
  connect(&source_, &InputSource::inputsChanged, this, [this] {
    if (isVisible()) scheduleRecompute();
  });
  connect(&source_, &InputSource::elementChanged, this, &ChargeStateWindow::showElement);
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

void ChargeStateWindow::showMessage(const QString& text, bool live) {
  if (live) {
    result_->setText(text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
  box.exec();
}

std::optional<veltrane::calc_request> ChargeStateWindow::readRequest(bool live) {
  QString message;
  auto request = source_.readRequest(message);
  if (!request) showMessage(message, live);
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
    showMessage(veltrane::messages::bad_number, live);
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
  if (job.measured || fault.isEmpty()) return;
  if (job.range) {
    job.measuredFault = fault;
  } else {
    showMessage(fault, live);
  }
}

void ChargeStateWindow::recompute() {
  if (run_.isRunning()) return;
  const auto request = readRequest(false);
  if (!request) return;
  const auto range = readRange(false);
  if (!range) return;
  start({*request, false, range, std::nullopt, false, {}});
}

void ChargeStateWindow::scheduleRecompute() { liveTimer_->start(); }

void ChargeStateWindow::recomputeLive() {
  if (run_.isRunning()) {
    liveTimer_->start();  // once the run going on has ended
    return;
  }
  const auto request = readRequest(true);
  if (!request) return;
  const auto range = readRange(true);
  if (!range) return;
  Job job{*request, true, range, std::nullopt, sensitivity_->isChecked(), {}};
  // The measured field follows the redrawn diagram.
  if (measuredTyped()) askForMeasured(job, true);
  start(job);
}

void ChargeStateWindow::findFieldLive() {
  if (run_.isRunning()) {
    findTimer_->start();
    return;
  }
  if (!measuredTyped()) return;
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
  Job job{*request, live, std::nullopt, std::nullopt, sensitivity_->isChecked(), {}};
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
  if (!outcome.error.isEmpty()) showMessage(outcome.error, job.live);
  if (!outcome.ok()) {
    emit computationEnded();
    return;
  }
  if (job.range && !result.table) {
    showMessage(QString::fromStdString(result.rangeMessage), job.live);
    emit computationEnded();
    return;
  }
  if (result.table) {
    request_ = job.request;
    table_ = result.table;
    equalFields_ = result.equal;
    measured_.reset();
    result_->clear();
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
      showMessage(QString::fromStdString(result.found->fields.unreachable_message(numbers)),
                  job.live);
    } else {
      measured_ = *result.found->field();
      const veltrane::answer_words words = veltrane::measured_field_words(*result.found, numbers);
      QString text = QString::fromStdString(words.answer);
      for (const auto& line : words.details) text += "\n" + QString::fromStdString(line);
      result_->setText(text);
    }
  }
  draw();
  if (!job.measuredFault.isEmpty()) showMessage(job.measuredFault, job.live);
  emit computationEnded();
}

void ChargeStateWindow::draw() {
  ResultChart& c = *chart_;
  for (int k = 1; k <= ResultChart::seriesCount; ++k) c.clearSeries(k);
  c.clearMarkers();
  if (!table_) return;
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
    if (equalFields_[k]) {
      c.addMarker(*equalFields_[k],
                  QStringLiteral("F(%1,%2)")
                      .arg(charge(static_cast<int>(k) + 1), charge(static_cast<int>(k) + 2)),
                  QColor(120, 120, 120), Qt::DashLine);
    }
  }
  if (measured_) c.addMarker(*measured_, "measured", QColor(200, 30, 30), Qt::SolidLine);
  c.setAxes("E [V/nm]", "log f", -4.0, 0.0);

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
  const auto format = numberFormatFor(QLocale());
  QStringList lines;
  for (const auto& line : veltrane::empty_curve_notes(*request_, curves, [&format](double v) {
         return veltrane::localised_text(v, format);
       })) {
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
  std::string text;
  for (const auto& line : veltrane::fraction_csv_lines(*request_, *table_)) text += line + "\n";
  const QString file = QString::fromStdString(request_->element) + "_charge_states.csv";
  if (const auto reason = veltrane::write_file(file.toStdString(), text)) {
    showMessage(saveFailure(file, QString::fromStdString(*reason)), false);
  }
}

void ChargeStateWindow::savePngImage() {
  if (!table_ || !request_) {
    showMessage("Please calculate the fractions first (Recompute).", false);
    return;
  }
  const QString file = QString::fromStdString(request_->element) + "_charge_states.png";
  const QString error = savePng(renderImage(view_), file);
  if (!error.isEmpty()) showMessage(saveFailure(file, error), false);
}

void ChargeStateWindow::closeEvent(QCloseEvent* event) {
  run_.cancel();
  QWidget::closeEvent(event);
}
