#include "ui/FieldMapView.hpp"

#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "compute/figures/map_figure.hpp"
#include "ui/LocaleFormat.hpp"

namespace {

// Maps larger than this many pixels are not drawn (take a larger bin).
constexpr std::int64_t mostMapPixels = std::int64_t{1} << 24;

// The map figures' colour at `share` of the scale.
QColor rampColour(double share) {
  const veltrane::colour c = veltrane::map_rgb(share);
  return {c.r, c.g, c.b};
}

void swatch(QPainter& p, const QPointF& at, const QColor& colour, const QString& text) {
  p.fillRect(QRectF(at, QSizeF(12, 12)), colour);
  p.drawText(QRectF(at.x() + 16, at.y() - 2, 100, 16), Qt::AlignLeft | Qt::AlignVCenter, text);
}

}  // namespace

FieldMapView::FieldMapView() {
  setMouseTracking(true);
  setMinimumSize(420, 320);
}

bool FieldMapView::setMap(const veltrane::field_map* map, std::uint64_t minCounts) {
  map_ = map;
  minCounts_ = minCounts;
  image_ = QImage();
  cells_.clear();
  bool drawn = true;
  if (map_ != nullptr && !map_->bins.empty()) drawn = paintBins();
  update();
  return drawn;
}

QPoint FieldMapView::pixelOf(std::int64_t i, std::int64_t j) const {
  return {static_cast<int>(i - map_->i_min), static_cast<int>(map_->j_max - j)};
}

QPoint FieldMapView::pointOf(std::int64_t i, std::int64_t j) const {
  const QRectF r = imageRect();
  const double cell = r.width() / image_.width();
  const QPoint p = pixelOf(i, j);
  return QPointF(r.left() + (p.x() + 0.5) * cell, r.top() + (p.y() + 0.5) * cell).toPoint();
}

const veltrane::map_bin* FieldMapView::binAt(const QPoint& position) const {
  if (image_.isNull()) return nullptr;
  const QRectF r = imageRect();
  if (!r.contains(position)) return nullptr;
  const double cell = r.width() / image_.width();
  const int col = std::min(static_cast<int>((position.x() - r.left()) / cell), image_.width() - 1);
  const int row = std::min(static_cast<int>((position.y() - r.top()) / cell), image_.height() - 1);
  const int index =
      cells_[static_cast<std::size_t>(row) * static_cast<std::size_t>(image_.width()) +
             static_cast<std::size_t>(col)];
  return index < 0 ? nullptr : &map_->bins[static_cast<std::size_t>(index)];
}

void FieldMapView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  if (image_.isNull()) {
    p.drawText(rect(), Qt::AlignCenter, "No map yet: open a data file and a range file.");
    return;
  }
  const QRectF r = imageRect();
  p.drawImage(r, image_);
  p.setPen(Qt::black);
  p.drawRect(r);
  drawAxes(p, r);
  drawColourBar(p, r);
}

void FieldMapView::mouseMoveEvent(QMouseEvent* event) {
  if (hovered) hovered(binAt(event->position().toPoint()));
}

void FieldMapView::leaveEvent(QEvent*) {
  if (hovered) hovered(nullptr);
}

QRectF FieldMapView::plotRect() const { return QRectF(rect()).adjusted(60, 12, -130, -42); }

QRectF FieldMapView::imageRect() const {
  const QRectF p = plotRect();
  const double cell =
      std::max(1e-6, std::min(p.width() / image_.width(), p.height() / image_.height()));
  return {p.left(), p.top(), cell * image_.width(), cell * image_.height()};
}

bool FieldMapView::paintBins() {
  const std::int64_t nx = map_->i_max - map_->i_min + 1, ny = map_->j_max - map_->j_min + 1;
  if (nx > mostMapPixels || ny > mostMapPixels / nx) return false;
  // The colour scale spans the fields of the map (as its figure's does),
  // widened to a V/nm where they are (nearly) all one.
  const auto span = veltrane::field_span(*map_).value_or(std::pair{0.0, 0.0});
  low_ = span.first;
  high_ = span.second;
  if (high_ - low_ < 1e-9) {
    low_ -= 0.5;
    high_ += 0.5;
  }
  image_ = QImage(static_cast<int>(nx), static_cast<int>(ny), QImage::Format_ARGB32);
  image_.fill(Qt::white);
  cells_.assign(static_cast<std::size_t>(nx * ny), -1);
  for (std::size_t b = 0; b < map_->bins.size(); ++b) {
    const auto& bin = map_->bins[b];
    const QPoint px = pixelOf(bin.i, bin.j);
    image_.setPixelColor(px, colourOf(bin));
    cells_[static_cast<std::size_t>(px.y()) * static_cast<std::size_t>(nx) +
           static_cast<std::size_t>(px.x())] = static_cast<int>(b);
  }
  return true;
}

QColor FieldMapView::colourOf(const veltrane::map_bin& bin) const {
  if (bin.masked) return maskedColour();
  if (!std::isfinite(bin.field.E)) return noFieldColour();
  return rampColour((bin.field.E - low_) / (high_ - low_));
}

void FieldMapView::drawAxes(QPainter& p, const QRectF& r) const {
  const double b = map_->bin;
  const QString unit = map_->over == veltrane::map_plane::detector ? "mm" : "nm";
  const QLocale locale;
  auto number = [&](double v) { return locale.toString(v, 'g', 4); };
  const double x0 = static_cast<double>(map_->i_min) * b;
  const double x1 = static_cast<double>(map_->i_max + 1) * b;
  const double y0 = static_cast<double>(map_->j_min) * b;
  const double y1 = static_cast<double>(map_->j_max + 1) * b;
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

void FieldMapView::drawColourBar(QPainter& p, const QRectF& r) const {
  const QRectF bar(plotRect().right() + 16, r.top() + 18, 16, std::max(60.0, r.height() - 90));
  for (int y = 0; y < static_cast<int>(bar.height()); ++y) {
    p.setPen(rampColour(1.0 - y / bar.height()));
    p.drawLine(QPointF(bar.left(), bar.top() + y), QPointF(bar.right(), bar.top() + y));
  }
  p.setPen(Qt::black);
  p.drawRect(bar);
  p.drawText(QRectF(bar.left() - 10, r.top(), 100, 16), Qt::AlignLeft, "E [V/nm]");
  for (int t = 0; t <= 4; ++t) {
    const double y = bar.bottom() - t * bar.height() / 4.0;
    p.drawLine(QPointF(bar.right(), y), QPointF(bar.right() + 4, y));
    p.drawText(QRectF(bar.right() + 6, y - 8, 80, 16), Qt::AlignLeft | Qt::AlignVCenter,
               fieldText(low_ + t * (high_ - low_) / 4.0));
  }
  swatch(p, QPointF(bar.left(), bar.bottom() + 14), maskedColour(),
         QStringLiteral("< %1 ions").arg(minCounts_));
  swatch(p, QPointF(bar.left(), bar.bottom() + 32), noFieldColour(), "no field");
}
