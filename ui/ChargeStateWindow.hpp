#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <vector>

#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/request.hpp"
#include "ui/BackgroundRun.hpp"

class QChartView;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;
class QTimer;
class ChartTools;
class ResultChart;
class InputSource;

/// The charge-state fractions of the cascade from 1+, on one field axis:
/// log10 f_k of every charge state against E, the equal-abundance and
/// over-barrier fields marked and labelled, and the field read from a
/// measured ratio or counts of two neighbouring states, with a warning where
/// it cannot be a real specimen's. It takes its inputs from an InputSource
/// (the main window) each time it computes, and follows them as they change;
/// a click in its Kingham-diagram list shows that element with its built-in
/// values instead, without touching the main window, until the main
/// window's inputs change or the source line's link is clicked. Every number
/// and every word of an answer comes from compute/; the computing runs in
/// the background while the window stays live.
///
/// Never a stale picture: when the inputs cannot be read the diagram is
/// cleared, and when the measurement cannot be read its marker is, the
/// reason on the result line either way.
///
/// Its controls carry object names: fromBox, toBox, stepBox, recomputeButton,
/// pairBox, ratioBox, lowerCountBox, upperCountBox, confidenceBox,
/// sensitivityBox, findButton, resultLabel, saveCsvButton, savePngButton,
/// elementList, sourceLine, statusLine, sidePanel, chargeStateChart (with its
/// ResultChart and ChartTools), and emptyResultNote.
class ChargeStateWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ChargeStateWindow(InputSource& source, QWidget* parent = nullptr);
  ~ChargeStateWindow() override;

  /// The table drawn last, if any, and the inputs it was drawn for.
  const std::optional<veltrane::fraction_table>& table() const { return table_; }
  const std::optional<veltrane::calc_request>& request() const { return request_; }
  /// The element picked in the list whose built-in values are shown; empty
  /// while the window follows the main window.
  const QString& listElement() const { return listPick_; }
  /// Whether a computation runs in the background.
  bool isComputing() const { return run_.isRunning(); }

 signals:
  /// The diagram (and the measured field, when asked for) has been drawn
  /// anew.
  void drawn();
  /// A computation has ended, drawn or not (failed, cancelled, refused).
  void computationEnded();

 public slots:
  /// Reads the inputs and computes the fractions over the range and draws
  /// them.
  void recompute();
  /// The field of the measured ratio or counts of the chosen pair (the
  /// diagram drawn anew first when the inputs changed since it was drawn).
  void findField();
  /// Save CSV… and Save image…: through a file dialog; the status line says
  /// where the file went.
  void saveCsv();
  void savePngImage();
  /// Recomputes shortly after the last of a burst of changes (of the main
  /// window's inputs or of the range), without message boxes; the measured
  /// field follows.
  void scheduleRecompute();
  /// Marks `name` in the Kingham-diagram list (nothing when it is not
  /// there) without taking it as the user's pick.
  void showElement(const QString& name);
  /// Shows the Kingham diagram of `name` with its built-in values (n the
  /// main window's, lowered to what the element allows), as a click in the
  /// list does.
  void pickElement(const QString& name);
  /// Back to the main window's inputs.
  void followMainWindow();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // What one computation is asked for: the fractions over a range (when the
  // diagram is to be drawn anew), a measured field (when one was asked for).
  struct Range {
    std::optional<double> from, to, step;
  };
  struct Job {
    veltrane::calc_request request;
    bool live = false;  // messages on the result line, not in boxes
    std::optional<Range> range;
    std::optional<veltrane::pair_measurement> measured;
    bool sensitivity = false;
    QString measuredFault;  // said once the diagram is drawn
    bool ratioOverCounts = false;
  };
  struct Result {
    std::optional<veltrane::fraction_table> table;
    std::vector<std::optional<double>> equal;
    std::string rangeMessage;
    std::optional<veltrane::measured_field> found;
  };

  void buildChart();
  QGroupBox* buildRangeBox();
  QGroupBox* buildMeasuredBox();
  QHBoxLayout* buildSaveRow();
  QGroupBox* buildElementList();
  QScrollArea* buildSidePanel();
  void connectLive();
  std::optional<veltrane::calc_request> readRequest(bool live);
  std::optional<Range> readRange(bool live);
  bool measuredTyped() const;
  std::optional<veltrane::pair_measurement> readMeasured(int n, QString& fault) const;
  void askForMeasured(Job& job, bool live);
  /// The diagram and the marker cleared, `reason` on the result line (and
  /// in a box unless live).
  void clearDiagram(const QString& reason, bool live);
  /// The marker cleared, `reason` on the result line (and in a box unless
  /// live); the diagram stays, being that of the inputs.
  void clearMeasured(const QString& reason, bool live);
  void setResult(const QString& text, bool warning);
  void showMessage(const QString& text, bool live);
  void showSource();
  void recomputeLive();
  void findFieldLive();
  void find(bool live);
  void start(const Job& job);
  void finish(const RunOutcome& outcome);
  void setControlsEnabled(bool enabled);
  QString hoverText(double E) const;
  void draw();

  InputSource& source_;
  QChartView* view_ = nullptr;
  ResultChart* chart_ = nullptr;
  ChartTools* tools_ = nullptr;
  QLabel* sourceLine_ = nullptr;
  QLabel* status_ = nullptr;
  QLineEdit* from_ = nullptr;
  QLineEdit* to_ = nullptr;
  QLineEdit* step_ = nullptr;
  QPushButton* compute_ = nullptr;
  QComboBox* pair_ = nullptr;
  QLineEdit* ratio_ = nullptr;
  QLineEdit* lowerCount_ = nullptr;
  QLineEdit* upperCount_ = nullptr;
  QLineEdit* confidence_ = nullptr;
  QCheckBox* sensitivity_ = nullptr;
  QPushButton* find_ = nullptr;
  QLabel* result_ = nullptr;
  QLabel* note_ = nullptr;
  QPushButton* saveCsv_ = nullptr;
  QPushButton* savePng_ = nullptr;
  QListWidget* elements_ = nullptr;
  QTimer* liveTimer_ = nullptr;
  QTimer* findTimer_ = nullptr;

  /// The element of the list whose built-in values are shown (empty: the
  /// main window's inputs), and the note on its n.
  QString listPick_;
  QString listNote_;
  std::optional<veltrane::calc_request> request_;
  std::optional<veltrane::fraction_table> table_;
  std::vector<std::optional<double>> equalFields_;
  std::optional<double> measured_;
  int measuredPair_ = 1;
  /// The model of the request of the last computation, kept from one
  /// question to the next (its over-barrier fields are not searched again).
  std::shared_ptr<veltrane::field_model> model_;
  /// The computation going on and what it finds.
  Job job_;
  std::shared_ptr<Result> found_;
  /// Last: stopped and waited for before anything it reads goes.
  BackgroundRun run_{this};
};
