#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRectF>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "compute/datasets/field_map.hpp"

/// The detector (or specimen) map of a dataset window: one square per bin
/// coloured by its field on the colour ramp of the map figures, a colour bar
/// in V/nm beside it, and the bin under the mouse reported.
class FieldMapView : public QWidget {
  Q_OBJECT

 public:
  /// The colour of a bin with too few ions, and of one whose ratio no field
  /// of the model gives.
  static QColor maskedColour() { return {150, 150, 150}; }
  static QColor noFieldColour() { return {60, 60, 60}; }

  /// Called with the bin under the mouse (null when none).
  std::function<void(const veltrane::map_bin*)> hovered;

  FieldMapView();

  /// Draws `map` (nothing when null), which must outlive the drawing; false
  /// when it has too many bins to draw.
  bool setMap(const veltrane::field_map* map, std::uint64_t minCounts);
  /// The map drawn, one pixel per bin (x to the right, y up); the pixel of
  /// bin (i, j) and where the centre of that bin lies in the view.
  const QImage& image() const { return image_; }
  QPoint pixelOf(std::int64_t i, std::int64_t j) const;
  QPoint pointOf(std::int64_t i, std::int64_t j) const;
  const veltrane::map_bin* binAt(const QPoint& position) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QRectF plotRect() const;
  QRectF imageRect() const;
  bool paintBins();
  QColor colourOf(const veltrane::map_bin& bin) const;
  void drawAxes(QPainter& p, const QRectF& r) const;
  void drawColourBar(QPainter& p, const QRectF& r) const;

  const veltrane::field_map* map_ = nullptr;
  std::uint64_t minCounts_ = 0;
  QImage image_;
  std::vector<int> cells_;  // the bin of each pixel, -1 where no ion fell
  double low_ = 0.0, high_ = 1.0;
};
