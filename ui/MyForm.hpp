#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QWidget>
#include <QtCharts/QChartView>
#include <functional>
#include <memory>
#include <optional>

#include "compute/curves/calculation.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/model_cache.hpp"
#include "compute/curves/number_format.hpp"
#include "compute/curves/sweep.hpp"
#include "ui/BackgroundRun.hpp"
#include "ui/LocaleFormat.hpp"

class ResultChart;
class ChargeStateWindow;
class DatasetWindow;
class InputBoxes;
class InputSource;

/// The addresses of the two reference links.
inline const char* const kinghamUrl = "https://doi.org/10.1016/0039-6028(82)90434-4";
inline const char* const valuesUrl = "https://doi.org/10.1016/0039-6028(78)90410-7";

/// Veltrane's one window: the inputs of a calculation on the left, the result
/// chart on the right, Calculate, Exit and Save below the inputs. At its
/// design size (its smallest) every control has its design place; made
/// larger, the chart grows with it. The chart's title names the inputs of
/// the curves it shows. Calculate
/// runs in the background (the window stays live, its inputs locked); the
/// charge-state and dataset windows follow its inputs through an
/// InputSource, knowing nothing of the form. Beyond the design's controls
/// its parts carry object names: the chart's ResultChart and ChartTools, the
/// note "emptyResultNote", the InputBoxes, the buttons "chargeStatesButton"
/// and "datasetButton" and the windows they open.
class MyForm : public QWidget {
  Q_OBJECT

 public:
  MyForm();
  ~MyForm() override;

  /// Opens a web address with the desktop's handler; replaceable by tests.
  static std::function<bool(const QUrl&)> urlOpener;

  /// The model that Calculate evaluates (the fast evaluation of the model
  /// unless a test puts a stand-in here; a stand-in serves the charge-state
  /// window too, which otherwise uses the accurate evaluation) and the
  /// number of threads (0: all).
  /// Results are remembered by their arguments for the life of the window,
  /// so repeating a calculation, or changing only a later step's energy,
  /// recomputes only what changed.
  void setModel(veltrane::model_function model, unsigned threads = 0);

  /// Calculations that take longer than this show a progress dialog.
  void setProgressDelay(int milliseconds) { progressDelayMs_ = milliseconds; }

  /// Whether a Calculate runs in the background.
  bool isCalculating() const { return run_.isRunning(); }

  // The controls, named as the window's design names them.
  QPushButton* button1;
  QComboBox* comboBox1;
  QLabel* label1;
  QLabel* label2;
  QLineEdit* textBox1;
  QLabel* label3;
  QLineEdit* textBox2;
  QLineEdit* textBox3;
  QLabel* label4;
  QLabel* label5;
  QLineEdit* textBox4;
  QLabel* label6;
  QSpinBox* numericUpDown1;
  QLineEdit* textBox5;
  QLabel* label7;
  QLabel* label8;
  QLineEdit* textBox6;
  QChartView* chart1;
  QPushButton* button2;
  QPushButton* button3;
  QCheckBox* checkBox1;
  QLabel* label9;
  QLabel* label10;
  QLabel* linkLabel1;
  QLabel* label11;
  QLabel* label12;
  QLabel* label13;
  QLabel* label14;
  QLabel* label15;
  QLabel* label16;
  QLabel* label17;
  QLabel* linkLabel2;
  /// The design's place for a container of non-visual components; never
  /// created.
  QObject* components = nullptr;

  /// Beside the design's controls: opens the charge-state window.
  QPushButton* chargeStatesButton;
  /// Below it: opens the dataset window (the field from a measured dataset).
  QPushButton* datasetButton;

 signals:
  /// A press of Calculate has ended: drawn, stopped by its input, cancelled
  /// or failed.
  void calculated();

 public slots:
  void button1_Click();
  void button2_Click();
  void button3_Click();
  void numericUpDown1_ValueChanged();
  void linkLabel1_LinkClicked();
  void linkLabel2_LinkClicked();
  /// The design's label handlers; they do nothing.
  void label11_Click();
  void label17_Click();
  void comboBox1_SelectedIndexChanged();
  void chargeStatesButton_Click();
  void datasetButton_Click();

 protected:
  void closeEvent(QCloseEvent* event) override;
  /// The chart takes the room the window is given beyond its design size;
  /// the design's controls keep their places, the maker's lines stay at the
  /// bottom.
  void resizeEvent(QResizeEvent* event) override;
  /// Return or Enter in an input (the element list, n, a box, the check box)
  /// presses Calculate.
  void keyPressEvent(QKeyEvent* event) override;
  /// A click on label11 or label17 calls its (empty) handler, as the design
  /// wires them.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class Inputs;
  // A Calculate under way: its request and plan, and the widget that had
  // the focus before the inputs were locked.
  struct Pending {
    veltrane::calc_request request;
    std::shared_ptr<veltrane::sweep_plan> plan;
    QPointer<QWidget> focused;
  };

  void InitializeComponent();
  void showMessage(const QString& text);
  void openLink(const char* url);
  veltrane::control_state controlState() const;
  std::optional<veltrane::calc_request> readRequest(QString& message) const;
  /// The model through the cache of the moment; the function holds that
  /// cache, so a later setModel does not pull it from under a run.
  veltrane::model_function cachedModel() const;
  void setInputsEnabled(bool enabled);
  void finishCalculation(const RunOutcome& outcome);
  void setEmptyResultNote(const QString& text);

  InputBoxes* inputBoxes_ = nullptr;
  QLabel* emptyNote_ = nullptr;
  ChargeStateWindow* chargeStates_ = nullptr;
  DatasetWindow* dataset_ = nullptr;
  Inputs* inputs_ = nullptr;
  QString chartElement_;

  ResultChart* result_ = nullptr;
  std::shared_ptr<veltrane::model_cache> model_;
  /// The evaluation of the other windows: the accurate one, unless a test
  /// put a stand-in in place of the model.
  veltrane::charge_state_model chargeModel_;
  unsigned threads_ = 0;
  int progressDelayMs_ = 500;
  bool closeAfterRun_ = false;
  std::optional<Pending> pending_;
  /// Last: stopped and waited for before anything it reads goes.
  BackgroundRun run_{this};
};
