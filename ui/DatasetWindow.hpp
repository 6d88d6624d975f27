#pragma once

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/charge_states/measured_field.hpp"
#include "compute/curves/request.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"
#include "ui/BackgroundRun.hpp"

class FieldMapView;
class InputSource;
class QChart;
class QChartView;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QLogValueAxis;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;
class QValueAxis;

/// The field at the specimen from a measured dataset: a data file (.epos,
/// .pos, .apt) and a range file (.rrng, .rng) give the counts of the source's
/// element in each charge state, and the ratio of one neighbouring pair gives
/// the field overall, over the detector (or the specimen) bin by bin, and
/// along the run. The mass spectrum shows the counted ranges. All opening,
/// counting, inverting and wording is done by compute/; this window converts
/// its inputs, runs them in the background and draws what comes back.
///
/// Its controls carry object names: openDataButton, openRangeButton,
/// dataLabel, rangeLabel, pairBox, binBox, minCountsBox, confidenceBox,
/// singleHitsBox, backgroundBox, planeBox, computeButton, cancelButton,
/// progressBar, saveCsvButton, saveImageButton, spectrumChart, profileChart,
/// countsTable, fieldMap (a FieldMapView), hoverLabel, resultLabel,
/// notesLabel.
class DatasetWindow : public QWidget {
  Q_OBJECT

 public:
  /// The mass-to-charge bin of the spectrum (Da).
  static constexpr double spectrumBin = 0.05;
  /// Asks for a file: a file dialog unless a test puts a stand-in here. Gets
  /// the dialog's caption and filter; returns the chosen file or empty.
  static std::function<QString(QWidget* parent, const QString& caption, const QString& filter)>
      openChooser;
  static std::function<QString(QWidget* parent, const QString& caption, const QString& proposed,
                               const QString& filter)>
      saveChooser;

  explicit DatasetWindow(InputSource& source, QWidget* parent = nullptr);
  ~DatasetWindow() override;

  /// Opens a data or range file, by its extension; false (after a message
  /// naming the file) when it cannot be read, the previous one then kept.
  bool openFile(const QString& path);
  bool openDataFile(const QString& path);
  bool openRangeFile(const QString& path);
  /// Writes the map's CSV, or the map as an image (PNG, SVG or PDF by the
  /// suffix). Returns an empty text or the message that was shown.
  QString saveMapCsv(const QString& fileName);
  QString saveMapImage(const QString& fileName);

  /// What the window shows: the files, the map and profile, the spectrum
  /// (ions per bin of spectrumBin from 0 Da) and the labels of its shaded
  /// ranges ("W3+"), and the last message shown (an error, or a note).
  const std::optional<veltrane::apt::dataset>& dataset() const { return data_; }
  const std::optional<veltrane::apt::range_file>& rangeFile() const { return ranges_; }
  const std::optional<veltrane::field_map>& fieldMap() const { return map_; }
  const std::optional<veltrane::field_profile>& profile() const { return profile_; }
  const std::vector<std::uint64_t>& spectrum() const { return spectrum_; }
  QStringList spectrumLabels() const { return spectrumLabels_; }
  QString lastMessage() const { return lastMessage_; }
  bool isComputing() const { return run_.isRunning(); }

 signals:
  /// A run has ended (whatever its outcome) and what it found is shown.
  void computed();

 public slots:
  /// Counts and maps with the files and inputs of the moment, in the
  /// background; messages go to the result line.
  void compute();
  /// Computes shortly after the last of a burst of changes.
  void scheduleCompute();
  void cancelRun();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  struct Inputs {
    veltrane::calc_request request;
    int k = 1;
    veltrane::map_options map;
    veltrane::profile_options profile;
  };
  struct Outcome {
    std::vector<std::uint64_t> spectrum;
    bool spectrumComplete = false;
    bool withField = false;
    std::optional<veltrane::field_map> map;
    std::optional<veltrane::field_profile> profile;
    bool readFailed = false;
    std::uint64_t minCounts = 0;
  };

  QWidget* buildSidePanel();
  QWidget* buildViews();
  void showMessage(const QString& text);
  void setRunning(bool running);
  std::optional<Inputs> readInputs(QString& message);
  void fillPairs(const veltrane::calc_request& request);
  void choosePairWithRanges();
  void finishRun(const RunOutcome& ran);
  void showProgress();
  void showOutcome(Outcome&& outcome, bool withField);
  void drawSpectrum();
  void shadeRanges(QChart* chart, QValueAxis* x, QLogValueAxis* y, double top);
  void fillTable();
  void drawProfile();
  void showResult();
  void clearField();
  void showHover(const veltrane::map_bin* bin);

  InputSource& source_;
  QPushButton* openData_;
  QPushButton* openRange_;
  QLabel* dataLabel_;
  QLabel* rangeLabel_;
  QComboBox* pair_;
  QLineEdit* bin_;
  QLineEdit* minCounts_;
  QLineEdit* confidence_;
  QCheckBox* singleHits_;
  QCheckBox* background_;
  QComboBox* plane_;
  QPushButton* compute_;
  QPushButton* cancel_;
  QProgressBar* progressBar_;
  QLabel* progressLabel_;
  QPushButton* saveCsv_;
  QPushButton* saveImage_;
  QChartView* spectrumView_;
  QChartView* profileView_;
  QTableWidget* table_;
  FieldMapView* mapView_;
  QLabel* hover_;
  QLabel* result_;
  QLabel* caveat_;
  QLabel* notes_;
  QTimer* settle_;
  QTimer* poll_;

  std::optional<veltrane::apt::dataset> data_;
  std::optional<veltrane::apt::range_file> ranges_;
  std::vector<std::uint64_t> spectrum_;
  bool spectrumDone_ = false;
  std::uint64_t minCountsShown_ = 0;
  std::optional<veltrane::field_map> map_;
  std::optional<veltrane::field_profile> profile_;
  QStringList spectrumLabels_;
  QString lastMessage_;
  /// The model of the request of the last run, kept from one run to the next.
  std::shared_ptr<veltrane::field_model> model_;
  /// What the run going on finds, and the ions it has read (of ionsTotal_).
  std::shared_ptr<Outcome> outcome_;
  std::atomic<std::uint64_t> ionsDone_{0};
  std::uint64_t ionsTotal_ = 0;
  /// Last: stopped and waited for before anything it reads goes.
  BackgroundRun run_{this};
};
