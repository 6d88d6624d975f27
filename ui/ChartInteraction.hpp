#pragma once

#include <QObject>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <functional>

class QChartView;
class QMenu;
class QWidget;

/// What a user can do with a chart of a dataset beyond looking at it: drag
/// a rectangle to zoom, turn the wheel to zoom the x axis about the mouse,
/// Esc to reset; a read-out of the point under the mouse as a tooltip (the
/// layout never moves); and a right-click menu with "Save as…" (PNG, SVG or
/// PDF, titled with what the chart shows and its inputs), "Copy image" and
/// "Reset zoom".
class ChartInteraction : public QObject {
  Q_OBJECT

 public:
  /// `title` gives a saved figure's title lines, `proposedName` the file
  /// name a Save as dialog proposes, `hover` the read-out at a point in the
  /// chart's values (empty: none there).
  ChartInteraction(QChartView* view, std::function<QStringList()> title,
                   std::function<QString()> proposedName,
                   std::function<QString(const QPointF&)> hover);

  /// Asks for a file name given the proposed one; empty when cancelled.
  std::function<QString(const QString& proposed)> chooseFile;

  QMenu* menu() const { return menu_; }
  /// Writes the titled chart as `fileName` (PNG, SVG or PDF by its suffix);
  /// emits saved() with the absolute path, or saveFailed() with the
  /// message. Returns that message, or an empty text.
  QString saveAs(const QString& fileName);
  void saveAsWithDialog();
  void copyImage();
  void resetZoom();
  /// Zooms the x axis by `factor` (below 1: in) about the x of `at`, a
  /// point of the plot area in the viewport's coordinates.
  void zoomX(double factor, const QPointF& at);
  /// The read-out for the mouse at `position` in the view's viewport;
  /// empty outside the plot area.
  QString hoverText(const QPoint& position) const;
  /// The read-out shown last (empty when none shows).
  QString lastHover() const { return lastHover_; }

 signals:
  void saved(const QString& path);
  void saveFailed(const QString& message);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QChartView* view_;
  QWidget* viewport_;
  std::function<QStringList()> title_;
  std::function<QString()> proposedName_;
  std::function<QString(const QPointF&)> hover_;
  QMenu* menu_;
  QString lastHover_;
};
