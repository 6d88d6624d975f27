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
#include "compute/datasets/dataset_choice.hpp"
#include "compute/datasets/dataset_words.hpp"
#include "compute/datasets/field_map.hpp"
#include "compute/datasets/field_profile.hpp"
#include "compute/datasets/joint_maps.hpp"
#include "ui/BackgroundRun.hpp"

class ChartInteraction;
class FieldMapView;
class InputSource;
class QChart;
class QChartView;
class QCheckBox;
class QComboBox;
class QGraphicsSimpleTextItem;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QLogValueAxis;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QTimer;
class QValueAxis;
struct TitledFigure;

/// The field at the specimen from a measured dataset: a data file (.epos,
/// .pos, .apt) and a range file (.rrng, .rng) give the counts of the
/// elements the ranges name, each in its charge states. The field is read
/// either from one pair of neighbouring states of one element, or from all
/// charges of the elements checked together (the joint field, with the test
/// of whether they agree on it); overall, over the detector (or the
/// specimen) bin by bin, and along the run. The mass spectrum shows the
/// counted ranges. All opening, counting, inverting, fitting and wording is
/// done by compute/; this window converts its inputs, runs them in the
/// background and draws what comes back.
///
/// The element list holds the range file's elements; those that cannot give
/// a field (ranged at one charge, no model data) are shown greyed with the
/// reason. When the main window's element is in the file it alone is
/// checked and its pair is read; otherwise every element that can is checked
/// and their joint field is read (and a note says what the file lacks).
///
/// Its controls carry object names: openDataButton, openRangeButton,
/// dataLabel, rangeLabel, sidePanel (the scroll area of the controls),
/// elementList, elementNoteLabel (what the file lacks), pairBox (the pairs of the one element
/// checked, item data k, and "all charges (joint)", item data 0), modelLabel,
/// binBox, binLabel, minCountsBox, confidenceBox, massToleranceDaBox,
/// massTolerancePercentBox, singleHitsBox, backgroundBox, planeBox,
/// computeButton, cancelButton, progressBar, progressLabel, saveCsvButton,
/// saveImageButton, saveProfileCsvButton, spectrumChart, spectrumTools (a
/// ChartInteraction), profileChart, profileTools, mapShowBox (the joint
/// field, its p-values, each element's own field), fieldMap (a
/// FieldMapView), hoverLabel, detailTabs, countsTable, resultLabel,
/// testLabel, elementsLabel (in elementsScroll), caveatLabel, notesLabel,
/// statusLabel.
class DatasetWindow : public QWidget {
  Q_OBJECT

 public:
  /// The mass-to-charge bin of the spectrum (Da).
  static constexpr double spectrumBin = 0.05;
  /// The window's size when it opens (on a smaller screen, the screen's):
  /// it fits a 1366 x 768 screen with its frame and a panel.
  static QSize defaultSize() { return {1340, 690}; }
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
  /// Writes the map's or the profile's CSV (comment lines naming the
  /// inputs first), or the map as shown as an image (PNG, SVG or PDF by the
  /// suffix, titled with its inputs). Returns an empty text or the message
  /// that was shown; the status line says the whole path written.
  QString saveMapCsv(const QString& fileName);
  QString saveProfileCsv(const QString& fileName);
  QString saveMapImage(const QString& fileName);
  /// The map as shown, as a figure for a file.
  TitledFigure mapFigure() const;

  /// What the window shows: the files, the map and profile of a pair or of
  /// the joint field, the spectrum (ions per bin of spectrumBin from 0 Da)
  /// and the labels placed over its ranges (one per ion, "W3+"), and the
  /// last message shown (an error, or a note).
  const std::optional<veltrane::apt::dataset>& dataset() const { return data_; }
  const std::optional<veltrane::apt::range_file>& rangeFile() const { return ranges_; }
  const std::optional<veltrane::field_map>& fieldMap() const { return map_; }
  const std::optional<veltrane::field_profile>& profile() const { return profile_; }
  const std::optional<veltrane::joint_field_map>& jointMap() const { return jointMap_; }
  const std::optional<veltrane::joint_field_profile>& jointProfile() const { return jointProfile_; }
  /// The elements of the range file as the list shows them.
  const std::vector<veltrane::range_file_element>& rangeElements() const { return elements_; }
  /// The symbols checked in the element list, in its order.
  QStringList checkedElements() const;
  const std::vector<std::uint64_t>& spectrum() const { return spectrum_; }
  QStringList spectrumLabels() const { return spectrumLabels_; }
  QString lastMessage() const { return lastMessage_; }
  /// A run going on, or one about to start once its inputs' changes settle.
  bool isComputing() const;
  /// The inputs behind what is shown (for titles and CSV comments).
  const veltrane::dataset_view_inputs& shownInputs() const { return shown_; }

  /// The isotope-correction warnings of the counts shown: the charge states
  /// whose ranges cover too little of their element's abundance, with the
  /// factor their counts are multiplied by. The rule is compute's; this is
  /// where the window takes it (see the .cpp).
  QStringList isotopeWarnings() const;

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
  struct Inputs;
  struct Outcome;

  QWidget* buildSidePanel();
  QWidget* buildViews();
  void showMessage(const QString& text);
  void showStatus(const QString& text);
  void setRunning(bool running);
  std::optional<Inputs> readInputs(QString& message);
  std::optional<veltrane::apt::charge_options> readCharges(QString& message) const;
  void fillElements(bool keepChecks = true);
  void chooseDefaultElements();
  void fillPairs();
  void elementToggled(QListWidgetItem* item);
  void finishRun(const RunOutcome& ran);
  void showProgress();
  void showOutcome(Outcome&& outcome, bool withField);
  void clearField();
  void drawSpectrum();
  void shadeRanges(QChart* chart, QValueAxis* x, QLogValueAxis* y, double top);
  void placeRangeLabels();
  void fillTable();
  void drawProfile();
  void showResult();
  void showMap();
  void showHover(int cell);
  QString fileStem() const;
  QString subjectStem() const;
  QString proposedPath(const QString& name) const;
  QString saveLines(const std::vector<std::string>& lines, const QString& fileName);
  void askAndSave(const QString& caption, const QString& name, const QString& filter,
                  const std::function<QString(const QString&)>& save);

  InputSource& source_;
  QPushButton* openData_;
  QPushButton* openRange_;
  QLabel* dataLabel_;
  QLabel* rangeLabel_;
  QListWidget* elementList_;
  QLabel* elementNote_;
  QComboBox* pair_;
  QLabel* modelLabel_;
  QLineEdit* bin_;
  QLabel* binLabel_;
  QLineEdit* minCounts_;
  QLineEdit* confidence_;
  QLineEdit* toleranceDa_;
  QLineEdit* tolerancePercent_;
  QCheckBox* singleHits_;
  QCheckBox* background_;
  QComboBox* plane_;
  QPushButton* compute_;
  QPushButton* cancel_;
  QProgressBar* progressBar_;
  QLabel* progressLabel_;
  QPushButton* saveCsv_;
  QPushButton* saveImage_;
  QPushButton* saveProfileCsv_;
  QChartView* spectrumView_;
  QChartView* profileView_;
  ChartInteraction* spectrumTools_;
  ChartInteraction* profileTools_;
  QComboBox* mapShow_;
  FieldMapView* mapView_;
  QLabel* hover_;
  QTabWidget* tabs_;
  QTableWidget* table_;
  QLabel* result_;
  QLabel* test_;
  QLabel* elementsText_;
  QWidget* elementsScroll_;
  QLabel* caveat_;
  QLabel* notes_;
  QLabel* status_;
  QTimer* settle_;
  QTimer* poll_;

  std::optional<veltrane::apt::dataset> data_;
  std::optional<veltrane::apt::range_file> ranges_;
  std::vector<veltrane::range_file_element> elements_;
  /// Why the main window's element is not read here (the range file lacks
  /// it), when it is not.
  QString missingElement_;
  /// The user has checked or unchecked elements since the range file was
  /// opened: the list no longer follows the main window's element.
  bool elementsChosen_ = false;
  std::vector<std::uint64_t> spectrum_;
  bool spectrumDone_ = false;
  std::optional<veltrane::field_map> map_;
  std::optional<veltrane::field_profile> profile_;
  std::optional<veltrane::joint_field_map> jointMap_;
  std::optional<veltrane::joint_field_profile> jointProfile_;
  veltrane::dataset_view_inputs shown_;
  /// One label per ion over the spectrum, at the highest bin of its ranges.
  struct RangeLabel {
    QString text;
    double x = 0.0, peak = 1.0;
    QGraphicsSimpleTextItem* item = nullptr;  // owned by the spectrum's chart
  };
  std::vector<RangeLabel> rangeLabels_;
  QStringList spectrumLabels_;
  QString lastMessage_;
  QString saveFolder_;
  /// The model of the pair of the last run, kept from one run to the next.
  std::shared_ptr<veltrane::field_model> model_;
  /// What the run going on finds, and the ions it has read (of ionsTotal_).
  std::shared_ptr<Outcome> outcome_;
  std::atomic<std::uint64_t> ionsDone_{0};
  std::uint64_t ionsTotal_ = 0;
  /// Last: stopped and waited for before anything it reads goes.
  BackgroundRun run_{this};
};
