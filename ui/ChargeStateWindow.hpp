#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <QtCharts/QChartView>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "compute/charge_states/charge_spec.hpp"
#include "compute/charge_states/charge_states.hpp"
#include "compute/charge_states/ratio_search.hpp"
#include "compute/charge_states/sensitivity.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/request.hpp"
#include "compute/curves/sweep.hpp"

class QGroupBox;
class QHBoxLayout;
class ResultChart;
class ChartTools;

/// The charge-state fractions of the cascade from 1+, on one field axis:
/// log10 f_k of every charge state against E, the equal-abundance fields
/// marked, and the field read from a measured ratio or counts of two
/// neighbouring states. It takes its inputs from the main window each time it
/// computes (through `readRequest`, which shows the main window's messages).
class ChargeStateWindow : public QWidget {
  Q_OBJECT

 public:
  struct Source {
    /// The main window's inputs, read and checked as Calculate reads them;
    /// nothing (after the message) when they are bad.
    /// With `message` given, a bad input's message goes there instead of
    /// into a message box (the window recomputing as the user types).
    std::function<std::optional<veltrane::calc_request>(QString* message)> readRequest;
    /// The elements of the Kingham-diagram list, and what picking one does
    /// (the main window takes the element and its built-in values).
    QStringList elements;
    std::function<void(const QString&)> selectElement;
    /// The evaluation of the model for charge states, taken anew at the
    /// start of each run and held for it.
    std::function<veltrane::charge_state_model()> model;
    unsigned threads = 0;
    std::function<int()> progressDelayMs;
  };

  explicit ChargeStateWindow(Source source, QWidget* parent = nullptr);
  ~ChargeStateWindow() override;

  ResultChart& chart() const { return *chart_; }
  QChartView* chartView() const { return view_; }
  ChartTools* chartTools() const { return tools_; }
  QLineEdit* fromBox() const { return from_; }
  QLineEdit* toBox() const { return to_; }
  QLineEdit* stepBox() const { return step_; }
  QComboBox* pairBox() const { return pair_; }
  QLineEdit* ratioBox() const { return ratio_; }
  QLineEdit* lowerCountBox() const { return lowerCount_; }
  QLineEdit* upperCountBox() const { return upperCount_; }
  QLabel* resultLabel() const { return result_; }
  QCheckBox* sensitivityBox() const { return sensitivity_; }
  QLabel* noteLabel() const { return note_; }
  QPushButton* computeButton() const { return compute_; }
  QPushButton* findButton() const { return find_; }
  QPushButton* saveCsvButton() const { return saveCsv_; }
  QPushButton* savePngButton() const { return savePng_; }
  QListWidget* elementList() const { return elements_; }
  bool isComputing() const { return computing_; }
  /// How many times the diagram has been drawn: a redraw is seen by its
  /// change.
  int drawCount() const { return drawCount_; }
  /// The table drawn last, if any.
  const std::optional<veltrane::fraction_table>& table() const { return table_; }

 public slots:
  /// Reads the inputs, computes the fractions over the range and draws them.
  void recompute();
  /// The field of the measured ratio or counts of the chosen pair.
  void findField();
  void saveCsv();
  void savePngImage();
  /// Recomputes shortly after the last of a burst of changes (of the main
  /// window's inputs or of the range), without message boxes; the measured
  /// field follows.
  void scheduleRecompute();
  /// Marks `name` in the Kingham-diagram list (nothing when it is not
  /// there) without taking it as the user's pick.
  void showElement(const QString& name);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // A measured ratio or counts of pair k, and what they give.
  struct Measured {
    int k = 0;
    std::optional<veltrane::ratio_spec> ratio;
    double lower = 0.0, upper = 0.0;
    double confidence = 0.95;
  };
  struct MeasuredField {
    veltrane::ratio_fields fields;
    std::optional<veltrane::counted_field> counted;
    std::vector<veltrane::input_shift> shifts;
  };

  void buildChart();
  QGroupBox* buildRangeBox();
  QGroupBox* buildMeasuredBox();
  QHBoxLayout* buildSaveRow();
  QGroupBox* buildElementList();
  void connectLive();
  std::optional<Measured> readMeasured(int k);
  QString measuredText(const Measured& m, const MeasuredField& found) const;
  void showMessage(const QString& text);
  void recomputeLive();
  void findFieldLive();
  bool run(const std::function<void(veltrane::evaluation_progress&)>& work);
  bool computeFor(const veltrane::calc_request& request);
  void draw();

  Source source_;
  QChartView* view_;
  std::unique_ptr<ResultChart> chart_;
  ChartTools* tools_ = nullptr;
  QLineEdit* from_;
  QLineEdit* to_;
  QLineEdit* step_;
  QPushButton* compute_;
  QComboBox* pair_;
  QLineEdit* ratio_;
  QLineEdit* lowerCount_;
  QLineEdit* upperCount_;
  QLineEdit* confidence_;
  QCheckBox* sensitivity_;
  QPushButton* find_;
  QLabel* result_;
  QLabel* note_;
  QPushButton* saveCsv_;
  QPushButton* savePng_;
  QListWidget* elements_ = nullptr;
  QTimer* liveTimer_ = nullptr;
  QTimer* findTimer_ = nullptr;
  /// While true, messages go to the result line, not into message boxes.
  bool quiet_ = false;

  std::optional<veltrane::calc_request> request_;
  std::optional<veltrane::fraction_table> table_;
  std::vector<std::optional<double>> equalFields_;
  std::optional<double> measured_;
  bool computing_ = false;
  int drawCount_ = 0;
  std::atomic<bool>* cancel_ = nullptr;
};
