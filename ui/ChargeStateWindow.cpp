#include "ui/ChargeStateWindow.hpp"

#include <QCloseEvent>
#include <QDir>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <cmath>
#include <limits>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/counting_stats.hpp"
#include "compute/charge_states/fraction_csv.hpp"
#include "compute/charge_states/sensitivity.hpp"
#include "compute/curves/calculation.hpp"
#include "compute/curves/file_output.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/text_export.hpp"
#include "ui/BackgroundRun.hpp"
#include "ui/ChartTools.hpp"
#include "ui/ImageExport.hpp"
#include "ui/LocaleFormat.hpp"
#include "ui/ResultChart.hpp"

namespace {

QLineEdit* numberBox(const char* name, const QString& placeholder) {
  auto* box = new QLineEdit;
  box->setObjectName(name);
  box->setPlaceholderText(placeholder);
  return box;
}

QString charge(int k) { return QString::fromStdString(veltrane::charge_label(k)); }

// A field as the window shows it: two decimals, the locale's separator.
QString fieldText(double E) { return QLocale().toString(E, 'f', 2); }

QString boundText(const veltrane::ratio_fields& r) {
  if (const auto E = r.field()) return fieldText(*E);
  return QStringLiteral("below %1").arg(fieldText(r.range_from));
}

}  // namespace

ChargeStateWindow::ChargeStateWindow(Source source, QWidget* parent)
    : QWidget(parent, Qt::Window), source_(std::move(source)) {
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
  resize(1000, 720);  // room below the result for the sensitivity lines
}

void ChargeStateWindow::buildChart() {
  view_ = new QChartView;
  view_->setObjectName("chargeStateChart");
  view_->setMinimumSize(700, 480);
  chart_ = std::make_unique<ResultChart>(view_);
  for (int k = 1; k <= ResultChart::seriesCount; ++k) chart_->setListed(k, false);
  tools_ = new ChartTools(
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
  step_ = numberBox("stepBox", "0.5");
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
  confidence_ = numberBox("confidenceBox", "0.95");
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

// The Kingham diagram of any element at a click: the main window takes the
// element with its built-in values and the diagram follows.
QGroupBox* ChargeStateWindow::buildElementList() {
  elements_ = new QListWidget;
  elements_->setObjectName("elementList");
  elements_->addItems(source_.elements);
  elements_->setFixedWidth(130);
  connect(elements_, &QListWidget::currentTextChanged, this, [this](const QString& name) {
    if (source_.selectElement && !name.isEmpty()) source_.selectElement(name);
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
}

ChargeStateWindow::~ChargeStateWindow() = default;

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

void ChargeStateWindow::showMessage(const QString& text) {
  if (quiet_) {
    result_->setText(text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
  box.exec();
}

bool ChargeStateWindow::run(const std::function<void(veltrane::evaluation_progress&)>& work) {
  computing_ = true;
  for (QWidget* w : {static_cast<QWidget*>(compute_), static_cast<QWidget*>(find_),
                     static_cast<QWidget*>(saveCsv_), static_cast<QWidget*>(savePng_)}) {
    w->setEnabled(false);
  }
  const RunOutcome outcome = runInBackground(
      this,
      [&work](veltrane::evaluation_progress& progress) {
        try {
          work(progress);
        } catch (const veltrane::calculation_cancelled&) {
          // the cancel flag tells
        }
      },
      source_.progressDelayMs ? source_.progressDelayMs() : 500, &cancel_);
  for (QWidget* w : {static_cast<QWidget*>(compute_), static_cast<QWidget*>(find_),
                     static_cast<QWidget*>(saveCsv_), static_cast<QWidget*>(savePng_)}) {
    w->setEnabled(true);
  }
  computing_ = false;
  if (!outcome.error.isEmpty()) showMessage(outcome.error);
  return outcome.ok();
}

void ChargeStateWindow::recompute() {
  if (computing_) return;
  QString message;
  const auto request = source_.readRequest(quiet_ ? &message : nullptr);
  if (!request) {
    if (quiet_) showMessage(message);
    return;
  }
  computeFor(*request);
}

void ChargeStateWindow::scheduleRecompute() { liveTimer_->start(); }

void ChargeStateWindow::recomputeLive() {
  if (computing_) {
    liveTimer_->start();  // once the run going on has ended
    return;
  }
  quiet_ = true;
  recompute();
  quiet_ = false;
  const bool measuredTyped = !ratio_->text().trimmed().isEmpty() ||
                             !lowerCount_->text().trimmed().isEmpty() ||
                             !upperCount_->text().trimmed().isEmpty();
  if (measuredTyped) findFieldLive();
}

void ChargeStateWindow::findFieldLive() {
  if (computing_) {
    findTimer_->start();
    return;
  }
  if (ratio_->text().trimmed().isEmpty() && lowerCount_->text().trimmed().isEmpty() &&
      upperCount_->text().trimmed().isEmpty()) {
    return;
  }
  quiet_ = true;
  findField();
  quiet_ = false;
}

// The fractions of `request` over the range of the boxes, drawn; false when
// the range is bad, the run was cancelled or failed (each said in a message).
bool ChargeStateWindow::computeFor(const veltrane::calc_request& request) {
  const auto format = numberFormatFor(QLocale());
  auto read = [&format](const QLineEdit* box) -> std::optional<std::optional<double>> {
    if (box->text().trimmed().isEmpty()) return std::optional<double>{};
    const auto value = veltrane::parse_number(box->text().toStdString(), format);
    if (!value) return std::nullopt;
    return std::optional<double>{*value};
  };
  const auto from = read(from_), to = read(to_), step = read(step_);
  if (!from || !to || !step) {
    showMessage("Error, please insert correct floating point format");
    return false;
  }
  std::string message;
  std::optional<veltrane::fraction_table> table;
  std::vector<std::optional<double>> equal;
  const veltrane::charge_state_model model = source_.model();
  const bool done = run([&](veltrane::evaluation_progress& progress) {
    veltrane::charge_states states(request, model.function, source_.threads, &progress);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    const auto [default_from, default_to] = veltrane::default_field_range(states);
    const auto grid = veltrane::field_grid(from->value_or(default_from), to->value_or(default_to),
                                           step->value_or(0.5), &message);
    if (!grid) return;
    table = veltrane::fraction_table_at(states, *grid);
    for (int k = 1; k <= request.n; ++k) equal.push_back(equal_abundance(states, k).field());
  });
  if (!done) return false;
  if (!table) {
    showMessage(QString::fromStdString(message));
    return false;
  }
  request_ = request;
  table_ = std::move(table);
  equalFields_ = std::move(equal);
  measured_.reset();
  result_->clear();
  const int previous = pair_->currentIndex();
  pair_->clear();
  for (int k = 1; k <= request_->n; ++k) pair_->addItem(charge(k + 1) + "/" + charge(k), k);
  pair_->setCurrentIndex(previous >= 0 && previous < pair_->count() ? previous : 0);
  draw();
  return true;
}

void ChargeStateWindow::draw() {
  ++drawCount_;
  ResultChart& c = *chart_;
  for (int k = 1; k <= ResultChart::seriesCount; ++k) c.clearSeries(k);
  c.clearMarkers();
  if (!table_) return;
  const int states = static_cast<int>(table_->f.size());
  for (int k = 1; k <= ResultChart::seriesCount; ++k) c.setListed(k, k <= states);
  for (int k = 1; k <= states; ++k) {
    const auto& row = table_->f[static_cast<std::size_t>(k) - 1];
    for (std::size_t e = 0; e < table_->E.size(); ++e)
      c.addPoint(k, table_->E[e], std::log10(row[e]));
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
}

// The measured ratio, or the counts, of pair k and the confidence, as the
// boxes hold them; a message and nothing when one is wrong.
std::optional<ChargeStateWindow::Measured> ChargeStateWindow::readMeasured(int k) {
  const auto format = numberFormatFor(QLocale());
  // The locale's number in a box, NaN for a text that is no number (the
  // check then names the text as typed).
  auto number = [&format](const QLineEdit* box) {
    return veltrane::parse_number(box->text().toStdString(), format)
        .value_or(std::numeric_limits<double>::quiet_NaN());
  };
  auto typed = [](const QLineEdit* box) { return box->text().trimmed().toStdString(); };
  std::string message;
  Measured m;
  m.k = k;
  if (!confidence_->text().trimmed().isEmpty()) {
    const auto c = veltrane::parse_number(confidence_->text().toStdString(), format);
    if (!c || !(*c > 0.0 && *c < 1.0)) {
      showMessage("The confidence must lie between 0 and 1.");
      return std::nullopt;
    }
    m.confidence = *c;
  }
  if (!ratio_->text().trimmed().isEmpty()) {
    m.ratio = veltrane::check_ratio(k, number(ratio_), typed(ratio_), &message);
    if (!m.ratio) {
      showMessage(QString::fromStdString(message));
      return std::nullopt;
    }
    return m;
  }
  m.lower = number(lowerCount_);
  m.upper = number(upperCount_);
  if (!veltrane::check_counts(k, m.lower, m.upper, typed(lowerCount_), typed(upperCount_),
                              &message)) {
    showMessage(QString::fromStdString(message));
    return std::nullopt;
  }
  return m;
}

// The result line: the field, with the counts' interval, every crossing of a
// ratio that is not monotonic, and the inputs' shifts when asked for.
QString ChargeStateWindow::measuredText(const Measured& m, const MeasuredField& found) const {
  const QLocale locale;
  QString text = QStringLiteral("E = %1 V/nm").arg(fieldText(*found.fields.field()));
  if (found.counted) {
    text += QStringLiteral(" (%1 %: %2 \u2013 %3)")
                .arg(locale.toString(m.confidence * 100.0, 'g', 4), boundText(found.counted->low),
                     boundText(found.counted->high));
  }
  if (found.fields.ambiguous()) {
    QStringList all;
    for (const auto& c : found.fields.crossings) {
      all << fieldText(c.E) + (c.rising ? " (rising)" : " (falling)");
    }
    text += "\nThe ratio is not monotonic here; it crosses at " + all.join(", ") + " V/nm.";
  }
  if (!found.shifts.empty()) {
    for (const auto& shift : found.shifts) {
      QString line = QString::fromStdString(shift.text());
      line.replace('.', locale.decimalPoint());
      text += "\n" + line;
    }
    text += "\n" + QString::fromUtf8(veltrane::sensitivity_caveat);
  }
  return text;
}

void ChargeStateWindow::findField() {
  if (computing_) return;
  QString requestMessage;
  const auto request = source_.readRequest(quiet_ ? &requestMessage : nullptr);
  if (!request) {
    if (quiet_) showMessage(requestMessage);
    return;
  }
  // The marker belongs on the curves of these very inputs: when anything
  // changed since they were drawn, they are drawn anew first.
  if (!request_ || !(*request_ == *request)) {
    if (!computeFor(*request)) return;
  }
  const auto m = readMeasured(pair_->currentData().toInt());
  if (!m) return;

  std::optional<MeasuredField> found;
  const veltrane::charge_state_model model = source_.model();
  const bool withShifts = sensitivity_->isChecked();
  const bool done = run([&](veltrane::evaluation_progress& progress) {
    veltrane::charge_states states(*request, model.function, source_.threads, &progress);
    states.set_ratio_tolerance(model.ratio_tolerance_v_per_nm);
    MeasuredField f;
    double ratio = 0.0;
    if (m->ratio) {
      f.fields = field_from_ratio(states, m->ratio->k, m->ratio->ratio);
      ratio = m->ratio->ratio;
    } else {
      f.counted = field_from_counts(states, m->k, m->lower, m->upper, m->confidence);
      f.fields = f.counted->estimate;
      ratio = f.counted->ratio;
    }
    if (withShifts && f.fields.field()) {
      f.shifts = veltrane::field_sensitivity(*request, m->k, ratio, *f.fields.field(), model,
                                             source_.threads, &progress);
    }
    found = std::move(f);
  });
  if (!done || !found) return;
  if (!found->fields.field()) {
    showMessage(QString::fromStdString(found->fields.unreachable_message()));
    return;
  }
  measured_ = *found->fields.field();
  result_->setText(measuredText(*m, *found));
  draw();
}

void ChargeStateWindow::saveCsv() {
  if (!table_ || !request_) {
    showMessage("Please calculate the fractions first (Recompute).");
    return;
  }
  std::string text;
  for (const auto& line : veltrane::fraction_csv_lines(*request_, *table_)) text += line + "\n";
  const QString file = QString::fromStdString(request_->element) + "_charge_states.csv";
  if (const auto reason = veltrane::write_file(file.toStdString(), text)) {
    showMessage(QStringLiteral("Could not save %1: %2")
                    .arg(QDir::current().absoluteFilePath(file), QString::fromStdString(*reason)));
  }
}

void ChargeStateWindow::savePngImage() {
  if (!table_ || !request_) {
    showMessage("Please calculate the fractions first (Recompute).");
    return;
  }
  const QString file = QString::fromStdString(request_->element) + "_charge_states.png";
  const QString error = savePng(renderImage(view_), file);
  if (!error.isEmpty()) {
    showMessage(
        QStringLiteral("Could not save %1: %2").arg(QDir::current().absoluteFilePath(file), error));
  }
}

void ChargeStateWindow::closeEvent(QCloseEvent* event) {
  if (cancel_ != nullptr) *cancel_ = true;
  QWidget::closeEvent(event);
}
