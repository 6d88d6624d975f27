#pragma once

#include <QGraphicsRectItem>
#include <QGraphicsSimpleTextItem>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <array>
#include <utility>
#include <vector>

/// The result chart: one line per charge state "1+" .. "5+", log10 of a
/// probability against the field in V/nm.
///
/// A series keeps every point it was given, in order (never sorted). Points
/// whose y is not a number, or whose x is not finite, are drawn as gaps: the
/// line is split there into separate segments that share the series' pen and
/// legend entry. A y of -infinity (a probability of exactly 0) and values
/// beyond +-1000 are drawn at +-1000, far outside the fixed y range, so the
/// line runs off the bottom instead of flooding the plot.
///
/// It belongs to its view (a child object named "resultChart").
class ResultChart : public QObject {
  Q_OBJECT

 public:
  static constexpr int seriesCount = 5;
  static constexpr double drawLimit = 1000.0;
  static constexpr double maxDrawnField = 1e12;  ///< V/nm
  static constexpr int maxTickCount = 21;

  /// Builds the chart area, legend, axes and the five series "1+" .. "5+"
  /// inside `view`; "3+" .. "5+" start unlisted.
  explicit ResultChart(QChartView* view);

  void clearSeries(int charge);
  void setListed(int charge, bool listed);
  void addPoint(int charge, double x, double y);
  void setLineWidth(int charge, int width);
  /// Axis titles, the y range, then the x range over all drawn points
  /// widened to nice round values. The ticks are round as well (ChartTools
  /// keeps them so when the chart is zoomed); the numbers follow the locale.
  void setAxes(const QString& xTitle, const QString& yTitle, double yMin, double yMax);

  /// Where a marker's label stands along its line.
  enum class LabelPlace { top, middle, bottom };
  /// A vertical line across the plot at x (the equal-abundance, over-barrier
  /// and measured fields), with `label` written upright beside it at
  /// `place` (hidden while x lies outside the axis). The legend lists the
  /// first marker of each `legendName` under that name; none without one.
  void addMarker(double x, const QString& label, const QColor& color, Qt::PenStyle style,
                 LabelPlace place = LabelPlace::top, const QString& legendName = QString());
  void clearMarkers();
  std::vector<double> markerPositions() const;
  /// The labels of the markers, in the order added.
  QStringList markerLabels() const;

  // State, as the window shows it.
  QString seriesName(int charge) const;
  const std::vector<std::pair<double, double>>& points(int charge) const;
  bool isListed(int charge) const;
  int lineWidth(int charge) const;
  int segmentCount(int charge) const;
  /// Drawn points of all segments of a series (the gaps left out).
  int drawnPointCount(int charge) const;
  QChart* chart() const { return chart_; }
  QValueAxis* axisX() const { return axisX_; }
  QValueAxis* axisY() const { return axisY_; }

 private:
  struct Series {
    std::vector<QLineSeries*> segments;  // segments[0] carries the name and the legend entry
    std::vector<std::pair<double, double>> points;
    bool listed = true;
    bool gapPending = false;
    int width = 1;
    // Points for the last segment not handed to it yet: a QLineSeries lays
    // out its whole path again at every point appended, so they go to it
    // together (see flushPoints).
    QList<QPointF> waiting;
  };
  Series& at(int charge);
  const Series& at(int charge) const;
  QLineSeries* newSegment(Series& s);
  void flushPoints();

  QChart* chart_;
  QValueAxis* axisX_;
  QValueAxis* axisY_;
  struct Marker {
    QLineSeries* line;
    QGraphicsRectItem* label;  // a light box holding the text
    QGraphicsSimpleTextItem* text;
    LabelPlace place;
  };
  void placeLabels();
  void stretchMarkers();

  std::array<Series, seriesCount> series_;
  std::vector<Marker> markers_;
  bool flushScheduled_ = false;
};
