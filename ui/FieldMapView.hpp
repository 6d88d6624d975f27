#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "compute/datasets/field_map.hpp"

/// What a map view draws: square bins over the detector (or the specimen),
/// each with a value on a colour scale, masked (too few ions) or without a
/// value (no field of the model gives the bin's counts).
struct MapPicture {
  enum class State { value, masked, none };
  struct Cell {
    std::int64_t i = 0, j = 0;  ///< the bin [i b, (i + 1) b) x [j b, (j + 1) b)
    State state = State::value;
    double value = 0.0;
  };
  std::vector<Cell> cells;
  veltrane::map_plane over = veltrane::map_plane::detector;
  double bin = 2.0;
  QString scaleTitle = QStringLiteral("E [V/nm]");
  /// The values are p-values, drawn on a log scale from 1e-4 to 1.
  bool pValues = false;
  /// The legends of the masked and the value-less colour.
  QString maskedText, noneText;

  /// The fields of a pair's map, bins below `minCounts` ions masked.
  static MapPicture ofFieldMap(const veltrane::field_map& map, std::uint64_t minCounts);
};

/// The detector (or specimen) map of a dataset window: one square per bin
/// coloured on the colour ramp of the map figures, a colour bar beside it,
/// and the bin under the mouse reported. Without a map it shows a line
/// saying why.
class FieldMapView : public QWidget {
  Q_OBJECT

 public:
  /// The colour of a bin with too few ions, and of one without a value.
  static QColor maskedColour() { return {150, 150, 150}; }
  static QColor noFieldColour() { return {60, 60, 60}; }
  /// p-values below this are drawn as it.
  static constexpr double leastPValue = 1e-4;

  /// Called with the cell under the mouse (its index in the picture's
  /// cells; -1 when none).
  std::function<void(int cell)> hovered;

  FieldMapView();

  /// Draws `picture`; false (and nothing drawn) when it has too many bins.
  bool setPicture(MapPicture picture);
  /// Draws no map, only `text` ("No map yet: open a data file and a range
  /// file.").
  void clear(const QString& text);
  const MapPicture& picture() const { return picture_; }
  QString emptyText() const { return emptyText_; }
  /// The map drawn, one pixel per bin (x to the right, y up); the pixel of
  /// bin (i, j) and where the centre of that bin lies in the view.
  const QImage& image() const { return image_; }
  QPoint pixelOf(std::int64_t i, std::int64_t j) const;
  QPoint pointOf(std::int64_t i, std::int64_t j) const;
  /// The cell at `position` in the view, or -1.
  int cellAt(const QPoint& position) const;
  /// The low and high end of the colour scale (log10 p for p-values): the
  /// lowest and highest value, or from 20 bins on those of all but the
  /// lowest and highest 2 % (drawn in the colours of the ends).
  double scaleLow() const { return low_; }
  double scaleHigh() const { return high_; }

  /// The size at which the map fills `width` pixels with its bins, its axes
  /// and colour bar, as tall as the bins need and no taller (for a file).
  QSize exportSize(int width) const;
  /// Draws the map with its axes and colour bar into `area`.
  void paintMap(QPainter& painter, const QRect& area) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QRectF imageRect(const QRect& area) const;
  QColor colourOf(const MapPicture::Cell& cell) const;
  double shareOf(double value) const;
  void drawAxes(QPainter& p, const QRectF& r) const;
  void drawColourBar(QPainter& p, const QRect& area, const QRectF& r) const;

  MapPicture picture_;
  QString emptyText_;
  QImage image_;
  std::vector<int> cells_;  // the cell of each pixel, -1 where no ion fell
  std::int64_t iMin_ = 0, jMax_ = 0;
  double low_ = 0.0, high_ = 1.0;
  bool clippedLow_ = false, clippedHigh_ = false;  // values beyond the scale's ends
};
