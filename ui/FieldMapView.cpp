#include "ui/FieldMapView.hpp"

#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>

#include "compute/figures/map_figure.hpp"
#include "ui/LocaleFormat.hpp"

namespace {

// Maps larger than this many pixels are not drawn (take a larger bin).
constexpr std::int64_t mostMapPixels = std::int64_t{1} << 24;
// From this many bins with a value on, the colour scale leaves out the
// lowest and highest 2 % of them.
constexpr std::size_t leastClippedBins = 20;

// The margins of the plot: the axes' numbers and titles left and below, the
// colour bar's title above, the colour bar and its numbers to the right.
constexpr int leftMargin = 60, topMargin = 28, rightMargin = 150, bottomMargin = 42;
// The colour bar stands this far right of the map and is this wide.
constexpr int barGap = 24, barWidth = 16;
// A map for a file is at most this tall (pixels of its bins), and leaves
// the colour bar and its legend at least this much height.
constexpr double mostExportHeight = 640.0, leastExportHeight = 190.0;

// The map figures' colour at `share` of the scale.
QColor rampColour(double share) {
  const veltrane::colour c = veltrane::map_rgb(share);
  return {c.r, c.g, c.b};
}

void swatch(QPainter& p, const QPointF& at, const QColor& colour, const QString& text) {
  p.fillRect(QRectF(at, QSizeF(12, 12)), colour);
  p.drawText(QRectF(at.x() + 16, at.y() - 2, 120, 16), Qt::AlignLeft | Qt::AlignVCenter, text);
}

}  // namespace

MapPicture MapPicture::ofFieldMap(const veltrane::field_map& map, std::uint64_t minCounts) {
  MapPicture picture;
  picture.over = map.over;
  picture.bin = map.bin;
  picture.maskedText = QStringLiteral("< %1 ions").arg(minCounts);
  picture.noneText = QStringLiteral("no field");
  for (const auto& b : map.bins) {
    Cell c{b.i, b.j, State::value, b.field.E};
    if (b.masked) {
      c.state = State::masked;
    } else if (!std::isfinite(b.field.E)) {
      c.state = State::none;
    }
    picture.cells.push_back(c);
  }
  return picture;
}

FieldMapView::FieldMapView() {
  setMouseTracking(true);
  setMinimumSize(300, 200);
  emptyText_ = QStringLiteral("No map yet: open a data file and a range file.");
}

bool FieldMapView::setPicture(MapPicture picture) {
  picture_ = std::move(picture);
  image_ = QImage();
  cells_.clear();
  emptyText_.clear();
  update();
  if (picture_.cells.empty()) return true;
  std::int64_t iMax = std::numeric_limits<std::int64_t>::min(), jMin = -iMax - 1;
  iMin_ = jMin;
  jMax_ = iMax;
  for (const auto& c : picture_.cells) {
    iMin_ = std::min(iMin_, c.i);
    iMax = std::max(iMax, c.i);
    jMin = std::min(jMin, c.j);
    jMax_ = std::max(jMax_, c.j);
  }
  const std::int64_t nx = iMax - iMin_ + 1, ny = jMax_ - jMin + 1;
  if (nx > mostMapPixels || ny > mostMapPixels / nx) {
    picture_.cells.clear();
    return false;
  }
  // The colour scale spans the values of the map (as its figure's does),
  // widened to one unit where they are (nearly) all one; p-values always
  // span 1e-4 to 1 on a log scale.
  if (picture_.pValues) {
    low_ = std::log10(leastPValue);
    high_ = 0.0;
    clippedLow_ = clippedHigh_ = false;
  } else {
    // A few outlying bins (a handful of ions far off) would squeeze every
    // other bin into one colour: from 20 bins on, the scale spans all but
    // the lowest and highest 2 %, which take the colours of its ends.
    std::vector<double> values;
    for (const auto& c : picture_.cells) {
      if (c.state == MapPicture::State::value && std::isfinite(c.value)) values.push_back(c.value);
    }
    std::sort(values.begin(), values.end());
    low_ = high_ = 0.0;
    clippedLow_ = clippedHigh_ = false;
    if (!values.empty()) {
      const std::size_t n = values.size();
      const std::size_t cut = n >= leastClippedBins ? n / 50 : 0;
      low_ = values[cut];
      high_ = values[n - 1 - cut];
      clippedLow_ = values.front() < low_;
      clippedHigh_ = values.back() > high_;
    }
    if (high_ - low_ < 1e-9) {
      low_ -= 0.5;
      high_ += 0.5;
    }
  }
  image_ = QImage(static_cast<int>(nx), static_cast<int>(ny), QImage::Format_ARGB32);
  image_.fill(Qt::white);
  cells_.assign(static_cast<std::size_t>(nx * ny), -1);
  for (std::size_t n = 0; n < picture_.cells.size(); ++n) {
    const auto& c = picture_.cells[n];
    const QPoint px = pixelOf(c.i, c.j);
    image_.setPixelColor(px, colourOf(c));
    cells_[static_cast<std::size_t>(px.y()) * static_cast<std::size_t>(nx) +
           static_cast<std::size_t>(px.x())] = static_cast<int>(n);
  }
  return true;
}

void FieldMapView::clear(const QString& text) {
  picture_ = MapPicture();
  image_ = QImage();
  cells_.clear();
  emptyText_ = text;
  update();
}

QPoint FieldMapView::pixelOf(std::int64_t i, std::int64_t j) const {
  return {static_cast<int>(i - iMin_), static_cast<int>(jMax_ - j)};
}

QPoint FieldMapView::pointOf(std::int64_t i, std::int64_t j) const {
  const QRectF r = imageRect(rect());
  const double cell = r.width() / image_.width();
  const QPoint p = pixelOf(i, j);
  return QPointF(r.left() + (p.x() + 0.5) * cell, r.top() + (p.y() + 0.5) * cell).toPoint();
}

int FieldMapView::cellAt(const QPoint& position) const {
  if (image_.isNull()) return -1;
  const QRectF r = imageRect(rect());
  if (!r.contains(position)) return -1;
  const double cell = r.width() / image_.width();
  const int col = std::min(static_cast<int>((position.x() - r.left()) / cell), image_.width() - 1);
  const int row = std::min(static_cast<int>((position.y() - r.top()) / cell), image_.height() - 1);
  return cells_[static_cast<std::size_t>(row) * static_cast<std::size_t>(image_.width()) +
                static_cast<std::size_t>(col)];
}

QSize FieldMapView::exportSize(int width) const {
  if (image_.isNull()) return {width, width / 2};
  const double nx = image_.width(), ny = image_.height();
  double cell = std::max(1.0, static_cast<double>(width - leftMargin - rightMargin)) / nx;
  if (cell * ny > mostExportHeight) cell = mostExportHeight / ny;
  const double w = leftMargin + rightMargin + cell * nx;
  const double h = topMargin + bottomMargin + std::max(cell * ny, leastExportHeight);
  return {static_cast<int>(std::ceil(w)), static_cast<int>(std::ceil(h))};
}

void FieldMapView::paintMap(QPainter& p, const QRect& area) const {
  p.save();
  p.fillRect(area, Qt::white);
  p.setPen(Qt::black);
  if (image_.isNull()) {
    p.drawText(area, Qt::AlignCenter | Qt::TextWordWrap, emptyText_);
    p.restore();
    return;
  }
  const QRectF r = imageRect(area);
  p.drawImage(r, image_);
  p.drawRect(r);
  drawAxes(p, r);
  drawColourBar(p, area, r);
  p.restore();
}

void FieldMapView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  paintMap(p, rect());
}

void FieldMapView::mouseMoveEvent(QMouseEvent* event) {
  if (hovered) hovered(cellAt(event->position().toPoint()));
}

void FieldMapView::leaveEvent(QEvent*) {
  if (hovered) hovered(-1);
}

QRectF FieldMapView::imageRect(const QRect& area) const {
  const QRectF plot = QRectF(area).adjusted(leftMargin, topMargin, -rightMargin, -bottomMargin);
  const double cell =
      std::max(1e-6, std::min(plot.width() / image_.width(), plot.height() / image_.height()));
  return {plot.left(), plot.top(), cell * image_.width(), cell * image_.height()};
}

double FieldMapView::shareOf(double value) const {
  if (picture_.pValues) value = std::log10(std::max(value, leastPValue));
  return (value - low_) / (high_ - low_);
}

QColor FieldMapView::colourOf(const MapPicture::Cell& cell) const {
  if (cell.state == MapPicture::State::masked) return maskedColour();
  if (cell.state == MapPicture::State::none || std::isnan(cell.value)) return noFieldColour();
  return rampColour(std::clamp(shareOf(cell.value), 0.0, 1.0));
}

void FieldMapView::drawAxes(QPainter& p, const QRectF& r) const {
  const double b = picture_.bin;
  const QString unit = picture_.over == veltrane::map_plane::detector ? "mm" : "nm";
  const QLocale locale;
  auto number = [&](double v) { return locale.toString(v, 'g', 4); };
  const double x0 = static_cast<double>(iMin_) * b;
  const double x1 = static_cast<double>(iMin_ + image_.width()) * b;
  const double y0 = static_cast<double>(jMax_ + 1 - image_.height()) * b;
  const double y1 = static_cast<double>(jMax_ + 1) * b;
  const QRectF below(r.left() - 40, r.bottom() + 2, 80, 16);
  p.drawText(below, Qt::AlignCenter, number(x0));
  p.drawText(below.translated(r.width(), 0), Qt::AlignCenter, number(x1));
  p.drawText(QRectF(r.left(), r.bottom() + 20, r.width(), 16), Qt::AlignCenter, "x [" + unit + "]");
  const QRectF left(r.left() - 58, r.bottom() - 8, 54, 16);
  p.drawText(left, Qt::AlignRight | Qt::AlignVCenter, number(y0));
  p.drawText(left.translated(0, -r.height()), Qt::AlignRight | Qt::AlignVCenter, number(y1));
  p.save();
  p.translate(r.left() - 30, r.center().y());
  p.rotate(-90);
  p.drawText(QRectF(-60, -8, 120, 16), Qt::AlignCenter, "y [" + unit + "]");
  p.restore();
}

// The colour bar beside the map, as tall as the map where it can be,
// its title above it and the legend of the grey colours below, all inside
// `area`.
void FieldMapView::drawColourBar(QPainter& p, const QRect& area, const QRectF& r) const {
  constexpr double legend = 44.0;  // the two swatches below the bar
  const double top = r.top();
  const double room = area.bottom() - 4 - legend - top;
  const double height = std::max(40.0, std::min(std::max(r.height() - legend, 100.0), room));
  const QRectF bar(r.right() + barGap, top, barWidth, height);
  for (int y = 0; y < static_cast<int>(bar.height()); ++y) {
    p.setPen(rampColour(1.0 - y / bar.height()));
    p.drawLine(QPointF(bar.left(), bar.top() + y), QPointF(bar.right(), bar.top() + y));
  }
  p.setPen(Qt::black);
  p.drawRect(bar);
  p.drawText(QRectF(bar.left() - 12, bar.top() - 20, rightMargin - barGap + 12, 16),
             Qt::AlignLeft | Qt::AlignVCenter, picture_.scaleTitle);
  const QLocale locale;
  for (int t = 0; t <= 4; ++t) {
    const double y = bar.bottom() - t * bar.height() / 4.0;
    const double value = low_ + t * (high_ - low_) / 4.0;
    p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + 4, y));
    QString label =
        picture_.pValues ? locale.toString(std::pow(10.0, value), 'g', 3) : fieldText(value);
    if (t == 0 && clippedLow_) label = QString::fromUtf8("\u2264 ") + label;
    if (t == 4 && clippedHigh_) label = QString::fromUtf8("\u2265 ") + label;
    p.drawText(QRectF(bar.right() + 6, y - 8, 100, 16), Qt::AlignLeft | Qt::AlignVCenter, label);
  }
  swatch(p, QPointF(bar.left(), bar.bottom() + 10), maskedColour(), picture_.maskedText);
  swatch(p, QPointF(bar.left(), bar.bottom() + 28), noFieldColour(), picture_.noneText);
}
