#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <QtCharts/QChartView>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "apt/dataset.hpp"
#include "apt/range_file.hpp"
#include "compute/curves/evaluation.hpp"
#include "compute/curves/request.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"
#include "ui/BackgroundRun.hpp"

class FieldMapView;
class QChart;
class QValueAxis;
class QLogValueAxis;

/// The field at the specimen from a measured dataset: a data file (.epos,
/// .pos, .apt) and a range file (.rrng, .rng) give the counts of the main
/// window's element in each charge state, and the ratio of one neighbouring
/// pair gives the field overall, over the detector (or the specimen) bin by
/// bin, and along the run. The mass spectrum shows the counted ranges. All
/// counting and inverting is done by compute/field_map; this window converts
/// its inputs and draws what comes back.
class DatasetWindow : public QWidget {
  Q_OBJECT

 public:
  struct Source {
    /// The main window's element and n, read and checked as Calculate reads
    /// them; nothing when they are bad (the message then goes to `message`).
    std::function<std::optional<veltrane::calc_request>(QString* message)> readRequest;
    /// The evaluation of the model, taken anew at the start of each run.
    std::function<veltrane::charge_state_model()> model;
    unsigned threads = 0;
  };

  /// The mass-to-charge bin of the spectrum (Da).
  static constexpr double spectrumBin = 0.05;
  /// The colour of a bin with too few ions, and of one whose ratio no field
  /// of the model gives.
  static QColor maskedColour() { return {150, 150, 150}; }
  static QColor noFieldColour() { return {60, 60, 60}; }
  /// Asks for a file: a file dialog unless a test puts a stand-in here. Gets
  /// the dialog's caption and filter; returns the chosen file or empty.
  static std::function<QString(QWidget* parent, const QString& caption, const QString& filter)>
      openChooser;
  static std::function<QString(QWidget* parent, const QString& caption, const QString& proposed,
                               const QString& filter)>
      saveChooser;

  explicit DatasetWindow(Source source, QWidget* parent = nullptr);
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

  const std::optional<veltrane::apt::dataset>& dataset() const { return data_; }
  const std::optional<veltrane::apt::range_file>& rangeFile() const { return ranges_; }
  const std::optional<veltrane::field_map>& fieldMap() const { return map_; }
  const std::optional<veltrane::field_profile>& profile() const { return profile_; }
  /// Ions per bin of spectrumBin from 0 Da.
  const std::vector<std::uint64_t>& spectrum() const { return spectrum_; }
  /// The labels of the shaded ranges of the spectrum ("W3+"), one per range.
  QStringList spectrumLabels() const { return spectrumLabels_; }
  /// The map drawn, one pixel per bin (x to the right, y up), and the
  /// pixel of bin (i, j).
  const QImage& mapImage() const;
  QPoint pixelOfBin(std::int64_t i, std::int64_t j) const;
  /// Where the centre of bin (i, j) lies in the map view.
  QPoint viewPointOfBin(std::int64_t i, std::int64_t j) const;
  /// The last message shown (an error, or a note of the run).
  QString lastMessage() const { return lastMessage_; }
  bool isComputing() const { return computing_; }

  QPushButton* openDataButton() const { return openData_; }
  QPushButton* openRangeButton() const { return openRange_; }
  QLabel* dataLabel() const { return dataLabel_; }
  QLabel* rangeLabel() const { return rangeLabel_; }
  QComboBox* pairBox() const { return pair_; }
  QLineEdit* binBox() const { return bin_; }
  QLineEdit* minCountsBox() const { return minCounts_; }
  QLineEdit* confidenceBox() const { return confidence_; }
  QCheckBox* singleHitsBox() const { return singleHits_; }
  QCheckBox* backgroundBox() const { return background_; }
  QComboBox* planeBox() const { return plane_; }
  QPushButton* computeButton() const { return compute_; }
  QPushButton* cancelButton() const { return cancel_; }
  QProgressBar* progressBar() const { return progressBar_; }
  QPushButton* saveCsvButton() const { return saveCsv_; }
  QPushButton* saveImageButton() const { return saveImage_; }
  QChartView* spectrumView() const { return spectrumView_; }
  QChartView* profileView() const { return profileView_; }
  QTableWidget* countsTable() const { return table_; }
  QWidget* mapView() const;
  QLabel* hoverLabel() const { return hover_; }
  QLabel* resultLabel() const { return result_; }
  QLabel* notesLabel() const { return notes_; }

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
  RunOutcome run(const std::function<void(Outcome&, veltrane::evaluation_progress&)>& work,
                 Outcome& outcome);
  void showProgress();
  void computeSpectrum(const veltrane::apt::dataset& file, Outcome& out,
                       veltrane::evaluation_progress& progress);
  void accept(Outcome&& outcome, bool withField);
  void drawSpectrum();
  void shadeRanges(QChart* chart, QValueAxis* x, QLogValueAxis* y, double top);
  void fillTable();
  void drawProfile();
  void showResult();
  void clearField();
  void showHover(const veltrane::map_bin* bin);

  Source source_;
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
  bool computing_ = false;
  std::atomic<bool>* cancelFlag_ = nullptr;
  // Read by the window while a run goes on: the ions read so far and their
  // total, and the run's model calls.
  std::atomic<std::uint64_t> ionsDone_{0};
  std::uint64_t ionsTotal_ = 0;
  std::atomic<veltrane::evaluation_progress*> runProgress_{nullptr};
};
