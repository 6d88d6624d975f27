#include "ui/MyForm.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QTimer>
#include <cstdlib>

#include "compute/curves/element_data.hpp"
#include "compute/curves/elements.hpp"
#include "compute/curves/text_export.hpp"
#include "ui/ChargeStateWindow.hpp"
#include "ui/ChartTools.hpp"
#include "ui/DatasetWindow.hpp"
#include "ui/ImageExport.hpp"
#include "ui/InputBoxes.hpp"
#include "ui/InputSource.hpp"
#include "ui/ResultChart.hpp"

std::function<bool(const QUrl&)> MyForm::urlOpener = [](const QUrl& url) {
  return QDesktopServices::openUrl(url);
};

// The form's inputs as the charge-state and dataset windows see them.
class MyForm::Inputs : public InputSource {
 public:
  explicit Inputs(MyForm& form) : InputSource(&form), form_(form) {}
  std::optional<veltrane::calc_request> readRequest(QString& message) const override {
    return form_.readRequest(message);
  }
  QStringList elements() const override {
    QStringList names;
    for (int i = 0; i < form_.comboBox1->count(); ++i) names << form_.comboBox1->itemText(i);
    return names;
  }
  QString element() const override { return form_.comboBox1->currentText(); }
  int ionisations() const override { return form_.numericUpDown1->value(); }
  void selectElement(const QString& name) override {
    form_.comboBox1->setCurrentIndex(form_.comboBox1->findText(name));
  }
  veltrane::charge_state_model evaluation() const override { return form_.chargeModel_; }
  unsigned threads() const override { return form_.threads_; }
  int progressDelayMs() const override { return form_.progressDelayMs_; }
  void announceEvaluation() { emit evaluationChanged(); }

 private:
  MyForm& form_;
};

namespace {

// What the Calculate order drives: the result chart and the form's message box.
class FormView : public veltrane::calculation_view {
 public:
  FormView(MyForm& form, ResultChart& chart, std::function<void(const QString&)> message)
      : form_(form), chart_(chart), message_(std::move(message)) {}
  void clear_series(int k) override { chart_.clearSeries(k); }
  void set_listed_in_legend(int k, bool listed) override { chart_.setListed(k, listed); }
  void add_point(int k, double x, double y) override { chart_.addPoint(k, x, y); }
  void set_line_width(int k, int width) override { chart_.setLineWidth(k, width); }
  void show_chart() override { form_.chart1->setVisible(true); }
  void set_axes(const std::string& x, const std::string& y, double lo, double hi) override {
    chart_.setAxes(QString::fromStdString(x), QString::fromStdString(y), lo, hi);
  }
  void show_message(const std::string& text) override { message_(QString::fromStdString(text)); }

 private:
  MyForm& form_;
  ResultChart& chart_;
  std::function<void(const QString&)> message_;
};

QLabel* autoSizedLabel(QWidget* parent, const char* name, const QString& text, int x, int y) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->move(x, y);
  label->adjustSize();
  return label;
}

QLabel* linkLabel(QWidget* parent, const char* name, const QString& text, const char* url, int x,
                  int y) {
  auto* label = autoSizedLabel(
      parent, name, QStringLiteral("<a href=\"%1\">%2</a>").arg(url, text.toHtmlEscaped()), x, y);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setOpenExternalLinks(false);
  label->setFocusPolicy(Qt::StrongFocus);
  label->adjustSize();
  return label;
}

QLineEdit* textBox(QWidget* parent, const char* name, int x, int y) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setGeometry(x, y, 100, 20);
  return box;
}

}  // namespace

MyForm::MyForm()
    : model_(std::make_shared<veltrane::model_cache>(veltrane::prescribed_model())),
      chargeModel_(veltrane::remembering_model_for(veltrane::evaluation::accurate)) {
  InitializeComponent();
  connect(&run_, &BackgroundRun::finished, this, &MyForm::finishCalculation);
}

MyForm::~MyForm() = default;

void MyForm::setModel(veltrane::model_function model, unsigned threads) {
  // A run still going on keeps the cache it started with alive.
  model_ = std::make_shared<veltrane::model_cache>(std::move(model));
  chargeModel_ = {cachedModel(),
                  veltrane::model_for(veltrane::evaluation::exact).ratio_tolerance_v_per_nm};
  threads_ = threads;
  inputs_->announceEvaluation();
}

void MyForm::InitializeComponent() {
  // The design's dialog font is 8.25 point and narrow; the platform's default
  // sans family stands in for it at that size, condensed where the family has
  // a condensed face, so the header captions fit their places.
  QFont dialogFont = font();
  dialogFont.setPointSizeF(8.25);
  dialogFont.setStretch(QFont::Condensed);
  setFont(dialogFont);

  // The controls in tab order, each placed at its design position.
  button1 = new QPushButton("Calculate", this);
  button1->setObjectName("button1");
  button1->setGeometry(96, 372, 75, 23);

  comboBox1 = new QComboBox(this);
  comboBox1->setObjectName("comboBox1");
  comboBox1->setGeometry(152, 127, 100, 21);
  comboBox1->setEditable(false);
  QStringList elements;
  for (const auto& row : veltrane::element_table) {
    elements << QString::fromUtf8(row.name.data(), static_cast<qsizetype>(row.name.size()));
  }
  comboBox1->addItems(elements);
  comboBox1->setCurrentIndex(-1);

  label1 = autoSizedLabel(this, "label1", "Choose your Element", 12, 127);

  numericUpDown1 = new QSpinBox(this);
  numericUpDown1->setObjectName("numericUpDown1");
  numericUpDown1->setGeometry(152, 154, 100, 20);
  numericUpDown1->setMaximum(4);
  numericUpDown1->setMinimum(1);
  numericUpDown1->setValue(1);
  numericUpDown1->setSingleStep(1);

  label2 = autoSizedLabel(this, "label2", "Number of ionisations", 12, 154);
  textBox1 = textBox(this, "textBox1", 152, 180);
  label3 = autoSizedLabel(this, "label3", "Workfunction", 12, 180);
  textBox2 = textBox(this, "textBox2", 152, 206);
  textBox3 = textBox(this, "textBox3", 152, 232);
  label4 = autoSizedLabel(this, "label4", "1st ionisation energy", 12, 206);
  label5 = autoSizedLabel(this, "label5", "2nd ionisation energy", 12, 232);
  textBox4 = textBox(this, "textBox4", 152, 258);
  label6 = autoSizedLabel(this, "label6", "3rd ionisation energy", 12, 258);
  textBox5 = textBox(this, "textBox5", 152, 284);
  label7 = autoSizedLabel(this, "label7", "4th ionisation energy", 12, 284);
  label8 = autoSizedLabel(this, "label8", "5th ionisation energy", 12, 310);
  textBox6 = textBox(this, "textBox6", 152, 310);
  for (QWidget* w : {static_cast<QWidget*>(textBox4), static_cast<QWidget*>(label6),
                     static_cast<QWidget*>(textBox5), static_cast<QWidget*>(label7),
                     static_cast<QWidget*>(label8), static_cast<QWidget*>(textBox6)}) {
    w->setVisible(false);
  }

  chart1 = new QChartView(this);
  chart1->setObjectName("chart1");
  chart1->setGeometry(264, 92, 636, 429);
  result_ = new ResultChart(chart1);
  chart1->setVisible(false);
  new ChartTools(
      chart1, [this] { return chartElement_; }, "P");
  // A note about steps without a curve, over the plot (under the title and the
  // legend) until the next Calculate.
  emptyNote_ = new QLabel(chart1);
  emptyNote_->setObjectName("emptyResultNote");
  emptyNote_->setWordWrap(true);
  emptyNote_->setFixedWidth(520);
  emptyNote_->move(85, 80);  // under the title and the legend, beside the y axis
  emptyNote_->setStyleSheet(
      "QLabel { background: #fff4ce; color: #5c4400; border: 1px solid #d9b54a; padding: 6px; }");
  emptyNote_->setVisible(false);

  button2 = new QPushButton("Exit", this);
  button2->setObjectName("button2");
  button2->setGeometry(15, 372, 75, 23);
  button3 = new QPushButton("Save", this);
  button3->setObjectName("button3");
  button3->setGeometry(177, 372, 75, 23);

  checkBox1 = new QCheckBox("Save as text files", this);
  checkBox1->setObjectName("checkBox1");
  checkBox1->move(152, 337);
  checkBox1->adjustSize();

  label9 = new QLabel("VELTRANE", this);
  label9->setObjectName("label9");
  QFont titleFont = label9->font();
  titleFont.setPointSizeF(15.75);
  label9->setFont(titleFont);
  label9->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  label9->setGeometry(300, 9, 194, 25);

  label10 = autoSizedLabel(this, "label10",
                           "This programm calculates the veltrane of elements due to", 213, 40);
  linkLabel1 = linkLabel(this, "linkLabel1", "Kingham.", kinghamUrl, 513, 40);
  label11 = autoSizedLabel(this, "label11", "All energies must be in eV!!", 59, 92);
  label12 = autoSizedLabel(this, "label12", "Usage:", 12, 66);
  label13 = autoSizedLabel(this, "label13",
                           "Choose your element, then select your number of ionisations. ", 59, 66);
  label14 = autoSizedLabel(
      this, "label14",
      "The n-th ionisation energy is the energy, which is needed to remove the n-th electron.", 59,
      79);
  label15 = autoSizedLabel(
      this, "label15",
      QString::fromUtf8("\u00a9 2026 The Veltrane developers \u00b7 GPL-3.0-or-later"), 13, 524);
  label16 = autoSizedLabel(this, "label16", "Questions and reports: see README.md", 373, 524);
  label17 = autoSizedLabel(
      this, "label17",
      "Values for the workfunction and the ionisation energies can be found here:", 464, 79);
  linkLabel2 = linkLabel(this, "linkLabel2", "Tsong.", valuesUrl, 819, 79);

  chargeStatesButton = new QPushButton(QString::fromUtf8("Charge states\u2026"), this);
  chargeStatesButton->setObjectName("chargeStatesButton");
  chargeStatesButton->setGeometry(15, 405, 237, 23);
  chargeStatesButton->setToolTip(
      "Charge-state fractions against the field, equal-abundance fields, and the field from a "
      "measured ratio or counts");
  datasetButton = new QPushButton(QString::fromUtf8("Dataset\u2026"), this);
  datasetButton->setObjectName("datasetButton");
  datasetButton->setGeometry(15, 434, 237, 23);
  datasetButton->setToolTip(
      "The field from the counts of a measured dataset: overall, over the detector and along "
      "the run");

  // Tab order of the controls that take the focus: the inputs from the top,
  // the check box, Calculate, Save, then the rest; the window opens with
  // Calculate in focus. Return on a button presses it.
  QWidget* order[] = {comboBox1,          numericUpDown1, textBox1,   textBox2,  textBox3, textBox4,
                      textBox5,           textBox6,       checkBox1,  button1,   button3,  button2,
                      chargeStatesButton, datasetButton,  linkLabel1, linkLabel2};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);
  for (QPushButton* b : {button1, button2, button3, chargeStatesButton, datasetButton}) {
    b->setAutoDefault(true);
  }

  // Where two header labels touch, the right-hand one lies on top.
  linkLabel1->raise();
  label17->raise();
  linkLabel2->raise();

  label11->installEventFilter(this);
  label17->installEventFilter(this);
  connect(button1, &QPushButton::clicked, this, &MyForm::button1_Click);
  connect(button2, &QPushButton::clicked, this, &MyForm::button2_Click);
  connect(button3, &QPushButton::clicked, this, &MyForm::button3_Click);
  connect(chargeStatesButton, &QPushButton::clicked, this, &MyForm::chargeStatesButton_Click);
  connect(datasetButton, &QPushButton::clicked, this, &MyForm::datasetButton_Click);
  connect(linkLabel1, &QLabel::linkActivated, this, &MyForm::linkLabel1_LinkClicked);
  connect(linkLabel2, &QLabel::linkActivated, this, &MyForm::linkLabel2_LinkClicked);
  inputBoxes_ = new InputBoxes({textBox1, textBox2, textBox3, textBox4, textBox5, textBox6}, this);
  inputBoxes_->setObjectName("inputBoxes");
  connect(comboBox1, &QComboBox::currentIndexChanged, this,
          &MyForm::comboBox1_SelectedIndexChanged);
  // The other windows follow the inputs.
  inputs_ = new Inputs(*this);
  connect(comboBox1, &QComboBox::currentIndexChanged, inputs_, &InputSource::inputsChanged);
  connect(numericUpDown1, &QSpinBox::valueChanged, inputs_, &InputSource::inputsChanged);
  for (QLineEdit* box : {textBox1, textBox2, textBox3, textBox4, textBox5, textBox6}) {
    connect(box, &QLineEdit::textChanged, inputs_, &InputSource::inputsChanged);
  }
  connect(comboBox1, &QComboBox::currentTextChanged, inputs_, &InputSource::elementChanged);
  // Attached last, so that building the window never runs it.
  connect(numericUpDown1, &QSpinBox::valueChanged, this, &MyForm::numericUpDown1_ValueChanged);

  setObjectName("MyForm");
  setWindowTitle("Veltrane");
  setMinimumSize(900, 549);
  resize(900, 549);
  button1->setFocus();
}

void MyForm::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  chart1->setGeometry(264, 92, std::max(636, width() - 264), std::max(429, height() - 120));
  label15->move(label15->x(), chart1->geometry().bottom() + 4);
  label16->move(label16->x(), chart1->geometry().bottom() + 4);
}

void MyForm::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  QWidget* focused = QApplication::focusWidget();
  const bool input =
      focused != nullptr &&
      (focused == comboBox1 || focused == numericUpDown1 || numericUpDown1->isAncestorOf(focused) ||
       focused == checkBox1 || focused == textBox1 || focused == textBox2 || focused == textBox3 ||
       focused == textBox4 || focused == textBox5 || focused == textBox6);
  if (enter && input && button1->isEnabled()) {
    button1->click();
    return;
  }
  QWidget::keyPressEvent(event);
}

void MyForm::showMessage(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this);
  box.exec();
}

veltrane::control_state MyForm::controlState() const {
  veltrane::control_state c;
  if (comboBox1->currentIndex() >= 0) c.element = comboBox1->currentText().toStdString();
  c.ionisations = numericUpDown1->value();
  const QLineEdit* boxes[] = {textBox1, textBox2, textBox3, textBox4, textBox5, textBox6};
  for (std::size_t i = 0; i < std::size(boxes); ++i) c.boxes[i] = boxes[i]->text().toStdString();
  c.save_text = checkBox1->isChecked();
  return c;
}

std::optional<veltrane::calc_request> MyForm::readRequest(QString& message) const {
  auto outcome = veltrane::read_request(controlState(), numberFormatFor(QLocale()));
  if (!outcome.request) message = QString::fromStdString(outcome.message);
  return std::move(outcome.request);
}

void MyForm::setInputsEnabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{button1, button2, button3, comboBox1,
                                                    numericUpDown1, textBox1, textBox2, textBox3,
                                                    textBox4, textBox5, textBox6, checkBox1}) {
    w->setEnabled(enabled);
  }
}

void MyForm::closeEvent(QCloseEvent* event) {
  if (chargeStates_ != nullptr) chargeStates_->close();
  if (dataset_ != nullptr) dataset_->close();
  if (run_.isRunning()) {
    // Stop the run first; the window closes once the workers have returned.
    run_.cancel();
    closeAfterRun_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

// A press of Calculate: the chart reset and the request read at once (a
// stop shows its message), then the curves computed in the background while
// the window keeps painting, its inputs locked; a run longer than the
// progress delay shows a modal progress dialog with Cancel.
void MyForm::button1_Click() {
  if (run_.isRunning()) return;
  setEmptyResultNote(QString());
  result_->chart()->setTitle(QString());
  // The chart shows this press's result from here on, whatever it will be.
  chartElement_ = comboBox1->currentIndex() >= 0 ? comboBox1->currentText() : QString();
  FormView view(*this, *result_, [this](const QString& text) { showMessage(text); });
  const auto request =
      veltrane::begin_calculation(view, controlState(), numberFormatFor(QLocale()));
  if (!request) {
    emit calculated();
    return;
  }
  inputBoxes_->showReadValues(*request);
  auto plan = std::make_shared<veltrane::sweep_plan>(veltrane::plan_sweeps(*request));
  pending_ = Pending{*request, plan, QApplication::focusWidget()};
  setInputsEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);
  run_.start(
      [plan, function = cachedModel(), threads = threads_](veltrane::evaluation_progress& p) {
        if (!veltrane::evaluate_plan(*plan, function, threads, &p)) {
          throw veltrane::calculation_cancelled();
        }
      },
      progressDelayMs_);
}

// The second half of a press: a cancelled or failed run leaves the chart as
// a stopped run does and the file untouched; a finished one is drawn and
// written.
void MyForm::finishCalculation(const RunOutcome& outcome) {
  const Pending pending = std::move(*pending_);
  pending_.reset();
  QApplication::restoreOverrideCursor();
  setInputsEnabled(true);
  if (pending.focused) pending.focused->setFocus();  // locking the inputs took it away
  FormView view(*this, *result_, [this](const QString& text) { showMessage(text); });
  if (!outcome.ok()) {
    if (!outcome.error.isEmpty()) showMessage(outcome.error);
    veltrane::chart_end_steps(view);
  } else {
    const auto format = numberFormatFor(QLocale());
    const auto show = [&format](double v) { return veltrane::localised_text(v, format); };
    const std::string separator = veltrane::list_separator(format);
    // The title first: a failed text file's message shows over the chart.
    result_->chart()->setTitle(
        QString::fromStdString(veltrane::inputs_line(pending.request, show, separator)));
    veltrane::finish_calculation(view, pending.request, pending.plan->curves,
                                 veltrane::text_export_name);
    QStringList lines;
    for (const auto& note :
         veltrane::empty_curve_notes(pending.request, pending.plan->curves, show, separator)) {
      lines << QString::fromStdString(note);
    }
    setEmptyResultNote(lines.join('\n'));
  }
  emit calculated();
  if (closeAfterRun_) {
    closeAfterRun_ = false;
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

// A run on the workers (here or in the charge-state window) is cancelled and
// joined before the program ends.
void MyForm::button2_Click() { exitWhenIdle(); }

veltrane::model_function MyForm::cachedModel() const {
  return [cache = model_](double E, double B, double phi, int m, int n, double m_ion, double u) {
    return (*cache)(E, B, phi, m, n, m_ion, u);
  };
}

void MyForm::button3_Click() {
  // Named after the element chosen at the press (".png" with none); the
  // image's title says which inputs made its curves.
  const QString file = comboBox1->currentText() + ".png";
  if (chart1->isVisibleTo(this)) {
    const QString error = savePng(renderImage(chart1), file);
    if (!error.isEmpty()) showMessage(saveFailure(file, error));
    return;
  }
  if (comboBox1->currentIndex() < 0) {
    showMessage("Please select an element.");
    return;
  }
  showMessage("Please calculate a curve first");
}

void MyForm::numericUpDown1_ValueChanged() {
  const int n = numericUpDown1->value();
  if (n < 1 || n > 4) return;
  const bool rows[4] = {true, n >= 2, n >= 3, n >= 4};  // 2nd .. 5th ionisation energy
  QLabel* captions[4] = {label5, label6, label7, label8};
  QLineEdit* boxes[4] = {textBox3, textBox4, textBox5, textBox6};
  for (int i = 0; i < 4; ++i) {
    captions[i]->setVisible(rows[i]);
    boxes[i]->setVisible(rows[i]);
  }
}

void MyForm::openLink(const char* url) {
  if (!urlOpener || !urlOpener(QUrl(QString::fromLatin1(url)))) {
    showMessage(QStringLiteral("Could not open %1").arg(QString::fromLatin1(url)));
  }
}

void MyForm::comboBox1_SelectedIndexChanged() {
  const veltrane::element_data* element =
      comboBox1->currentIndex() >= 0
          ? veltrane::find_element_data(comboBox1->currentText().toStdString())
          : nullptr;
  if (element != nullptr) inputBoxes_->fill(*element);
}

void MyForm::setEmptyResultNote(const QString& text) {
  emptyNote_->setText(text);
  emptyNote_->setVisible(!text.isEmpty());
  if (!text.isEmpty()) {
    emptyNote_->adjustSize();
    emptyNote_->raise();
  }
}

void MyForm::chargeStatesButton_Click() {
  if (chargeStates_ == nullptr) chargeStates_ = new ChargeStateWindow(*inputs_, this);
  chargeStates_->show();
  chargeStates_->raise();
  chargeStates_->activateWindow();
  if (!chargeStates_->table()) chargeStates_->recompute();
}

void MyForm::datasetButton_Click() {
  if (dataset_ == nullptr) dataset_ = new DatasetWindow(*inputs_, this);
  dataset_->show();
  dataset_->raise();
  dataset_->activateWindow();
}

void MyForm::linkLabel1_LinkClicked() { openLink(kinghamUrl); }
void MyForm::linkLabel2_LinkClicked() { openLink(valuesUrl); }
bool MyForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonRelease) {
    if (watched == label11) label11_Click();
    if (watched == label17) label17_Click();
  }
  return QWidget::eventFilter(watched, event);
}

void MyForm::label11_Click() {}
void MyForm::label17_Click() {}
