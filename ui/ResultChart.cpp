#include "ui/ResultChart.hpp"

#include <QPen>
#include <QTimer>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <algorithm>
#include <cmath>
#include <limits>

ResultChart::ResultChart(QChartView* view)
    : QObject(view), chart_(new QChart), axisX_(new QValueAxis), axisY_(new QValueAxis) {
  setObjectName("resultChart");
  chart_->setObjectName("ChartArea1");
  chart_->legend()->setObjectName("Legend1");
  chart_->addAxis(axisX_, Qt::AlignBottom);
  chart_->addAxis(axisY_, Qt::AlignLeft);
  for (int k = 1; k <= seriesCount; ++k) {
    Series& s = at(k);
    QLineSeries* first = newSegment(s);
    first->setName(seriesName(k));
  }
  // Until the first calculation the axes have no titles and automatic ranges.
  axisX_->setRange(0.0, 1.0);
  axisY_->setRange(0.0, 1.0);
  // The view gives up the default chart it was made with; it is ours to delete.
  QChart* previous = view->chart();
  view->setChart(chart_);
  delete previous;
  view->setRenderHint(QPainter::Antialiasing);
  // Axis numbers in the locale's format ("-1,25" under a German one).
  chart_->setLocalizeNumbers(true);
  QFont titleFont = chart_->titleFont();
  titleFont.setPointSizeF(std::max(7.0, titleFont.pointSizeF() - 1.0));
  titleFont.setBold(false);
  chart_->setTitleFont(titleFont);
  connect(chart_, &QChart::plotAreaChanged, this, &ResultChart::placeLabels);
  connect(axisX_, &QValueAxis::rangeChanged, this, &ResultChart::placeLabels);
  connect(axisY_, &QValueAxis::rangeChanged, this, &ResultChart::stretchMarkers);
  setListed(3, false);
  setListed(4, false);
  setListed(5, false);
}

ResultChart::Series& ResultChart::at(int charge) {
  return series_.at(static_cast<std::size_t>(charge - 1));
}
const ResultChart::Series& ResultChart::at(int charge) const {
  return series_.at(static_cast<std::size_t>(charge - 1));
}

QLineSeries* ResultChart::newSegment(Series& s) {
  auto* segment = new QLineSeries;
  chart_->addSeries(segment);
  segment->attachAxis(axisX_);
  segment->attachAxis(axisY_);
  if (!s.segments.empty()) {
    // A continuation after a gap: the same pen, no legend entry of its own.
    segment->setPen(s.segments.front()->pen());
    for (auto* marker : chart_->legend()->markers(segment)) marker->setVisible(false);
  }
  s.segments.push_back(segment);
  return segment;
}

QString ResultChart::seriesName(int charge) const { return QString::number(charge) + "+"; }

void ResultChart::clearSeries(int charge) {
  Series& s = at(charge);
  while (s.segments.size() > 1) {
    QLineSeries* extra = s.segments.back();
    s.segments.pop_back();
    chart_->removeSeries(extra);
    delete extra;
  }
  s.segments.front()->clear();
  s.waiting.clear();
  s.points.clear();
  s.gapPending = false;
}

void ResultChart::setListed(int charge, bool listed) {
  Series& s = at(charge);
  s.listed = listed;
  for (auto* marker : chart_->legend()->markers(s.segments.front())) marker->setVisible(listed);
}

void ResultChart::addPoint(int charge, double x, double y) {
  Series& s = at(charge);
  s.points.emplace_back(x, y);
  // Fields beyond any physical meaning (from absurd energies) cannot be laid
  // out on an axis; they are gaps like NaN.
  if (std::isnan(y) || !(std::fabs(x) <= maxDrawnField)) {
    s.gapPending = !s.waiting.isEmpty() || !s.segments.back()->points().isEmpty();
    return;
  }
  if (s.gapPending) {
    flushPoints();
    newSegment(s);
    s.gapPending = false;
  }
  s.waiting.append(QPointF(x, std::clamp(y, -drawLimit, drawLimit)));
  // Handed over before anything else sees the chart: at the latest when the
  // event loop runs next (setAxes does it at once).
  if (!flushScheduled_) {
    flushScheduled_ = true;
    QTimer::singleShot(0, this, &ResultChart::flushPoints);
  }
}

// The waiting points of every series to their last segments, with one
// replace each (one layout of the path instead of one per point).
void ResultChart::flushPoints() {
  flushScheduled_ = false;
  for (auto& s : series_) {
    if (s.waiting.isEmpty()) continue;
    QLineSeries* last = s.segments.back();
    QList<QPointF> all = last->points();
    all.append(s.waiting);
    last->replace(all);
    s.waiting.clear();
  }
}

void ResultChart::setLineWidth(int charge, int width) {
  Series& s = at(charge);
  s.width = width;
  for (auto* segment : s.segments) {
    QPen pen = segment->pen();
    pen.setWidth(width);
    segment->setPen(pen);
  }
}

void ResultChart::setAxes(const QString& xTitle, const QString& yTitle, double yMin, double yMax) {
  axisX_->setTitleText(xTitle);
  axisY_->setTitleText(yTitle);
  axisY_->setMin(yMin);
  axisY_->setMax(yMax);
  // Ticks a quarter of a decade apart over a short range, half a decade over
  // a longer one; never more than a readable number, whatever the range.
  const double span = yMax - yMin;
  const double tick = span <= 2.0 ? 0.25 : 0.5;
  const double ticks = std::isfinite(span) ? std::round(span / tick) + 1.0 : 2.0;
  axisY_->setTickCount(static_cast<int>(std::clamp(ticks, 2.0, double(maxTickCount))));
  flushPoints();
  double lo = std::numeric_limits<double>::infinity();
  double hi = -lo;
  for (const auto& s : series_) {
    for (const auto* segment : s.segments) {
      for (const QPointF& p : segment->points()) {
        lo = std::min(lo, p.x());
        hi = std::max(hi, p.x());
      }
    }
  }
  if (lo <= hi) {
    if (lo == hi) {
      lo -= 0.5;
      hi += 0.5;
    }
    axisX_->setRange(lo, hi);
    axisX_->applyNiceNumbers();
  }
}

void ResultChart::addMarker(double x, const QString& label, const QColor& color, Qt::PenStyle style,
                            LabelPlace place, const QString& legendName) {
  auto* line = new QLineSeries;
  line->setObjectName("marker");
  line->setName(legendName.isEmpty() ? label : legendName);
  chart_->addSeries(line);
  line->attachAxis(axisX_);
  line->attachAxis(axisY_);
  QPen pen(color);
  pen.setStyle(style);
  pen.setWidthF(style == Qt::SolidLine ? 1.5 : 2.0);
  line->setPen(pen);
  line->append(x, 0.0);
  line->append(x, 0.0);
  bool listed = !legendName.isEmpty();
  for (const Marker& m : markers_) {
    if (m.line->name() == legendName) listed = false;
  }
  for (auto* marker : chart_->legend()->markers(line)) marker->setVisible(listed);
  // The label on a light box, so that it reads over the curves.
  auto* box = new QGraphicsRectItem(chart_);
  box->setPen(Qt::NoPen);
  box->setBrush(QColor(255, 255, 255, 210));
  auto* text = new QGraphicsSimpleTextItem(label, box);
  QFont font = text->font();
  font.setPointSizeF(8.0);
  text->setFont(font);
  text->setBrush(color.darker(130));
  text->setPos(2.0, 0.0);
  box->setRect(text->boundingRect().adjusted(0.0, 0.0, 4.0, 0.0));
  box->setRotation(-90.0);
  box->setZValue(20.0);
  markers_.push_back({line, box, text, place});
  stretchMarkers();
  placeLabels();
}

// The lines run from a plot's height below the y axis to one above it:
// across the whole plot at any zoom, and short enough to be drawn dashed.
void ResultChart::stretchMarkers() {
  const double span = std::max(axisY_->max() - axisY_->min(), 1e-9);
  for (const Marker& m : markers_) {
    const double x = m.line->at(0).x();
    m.line->replace(QList<QPointF>{{x, axisY_->min() - span}, {x, axisY_->max() + span}});
  }
}

// Each label upright beside its line, reading upward: at the top, in the
// middle or at the bottom of the plot, hidden while its line is not shown.
void ResultChart::placeLabels() {
  const QRectF plot = chart_->plotArea();
  for (const Marker& m : markers_) {
    const double x = m.line->at(0).x();
    const bool shown = plot.isValid() && x >= axisX_->min() && x <= axisX_->max();
    m.label->setVisible(shown);
    if (!shown) continue;
    const double at = chart_->mapToPosition(QPointF(x, axisY_->min()), m.line).x();
    const double length = m.label->boundingRect().width();
    double bottom = plot.bottom() - 4.0;
    if (m.place == LabelPlace::top) bottom = plot.top() + 4.0 + length;
    if (m.place == LabelPlace::middle) bottom = plot.center().y() + length / 2.0;
    m.label->setPos(at + 2.0, bottom);
  }
}

void ResultChart::clearMarkers() {
  for (const Marker& m : markers_) {
    chart_->removeSeries(m.line);
    delete m.line;
    delete m.label;
  }
  markers_.clear();
}

std::vector<double> ResultChart::markerPositions() const {
  std::vector<double> xs;
  for (const Marker& m : markers_) xs.push_back(m.line->at(0).x());
  return xs;
}

QStringList ResultChart::markerLabels() const {
  QStringList labels;
  for (const Marker& m : markers_) labels << m.text->text();
  return labels;
}

const std::vector<std::pair<double, double>>& ResultChart::points(int charge) const {
  return at(charge).points;
}
bool ResultChart::isListed(int charge) const { return at(charge).listed; }
int ResultChart::lineWidth(int charge) const { return at(charge).width; }
int ResultChart::segmentCount(int charge) const {
  return static_cast<int>(at(charge).segments.size());
}
int ResultChart::drawnPointCount(int charge) const {
  int count = 0;
  for (const auto* segment : at(charge).segments) count += segment->count();
  return count + static_cast<int>(at(charge).waiting.size());
}
