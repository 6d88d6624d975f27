#pragma once

#include <QChartView>
#include <QMenu>
#include <QObject>
#include <QPointF>
#include <QString>
#include <functional>

class QValueAxis;

/// What a user can do with a chart beyond looking at it, the same for every
/// chart of the program (any QChartView):
///  - a right-click menu with "Save as…" (PNG, SVG or PDF through a file
///    dialog; the vector formats keep curves as paths and text as text, and
///    carry the figure's title as their document title), "Copy image" and
///    "Reset zoom";
///  - zoom: drag a rectangle, turn the wheel over the plot (about the mouse),
///    Esc to reset;
///  - a tooltip as the mouse moves over the plot: by default the series, E,
///    log10 of the value and the value itself of the point nearest the mouse;
///    a window may give its own read-out;
///  - round tick values on every value axis whatever its range (zoomed or
///    not): 1, 2, 2.5 or 5 times a power of ten apart, on multiples of that
///    step, at least about 50 pixels apart, and the axis numbers in the
///    locale's format.
/// The chart's look and content (its title, series, axes) stay the window's.
class ChartTools : public QObject {
  Q_OBJECT

 public:
  /// `fileStem` names the file the dialog proposes (the element);
  /// `quantity` is what the curves show the logarithm of ("P" or "f"), for
  /// the default read-out.
  ChartTools(QChartView* view, std::function<QString()> fileStem, QString quantity);

  /// The figure's title as saved files name it (the document title of SVG
  /// and PDF); without one, the chart's own title, else "Veltrane: <stem>".
  void setTitle(std::function<QString()> title) { title_ = std::move(title); }
  QString title() const;

  /// A window's own read-out: the text for the value under the mouse (x, y in
  /// the axes of the chart's first series) at `position` in the viewport;
  /// empty for none. Set to nothing for the default read-out.
  using HoverText = std::function<QString(const QPointF& value, const QPoint& position)>;
  void setHoverText(HoverText text) { hover_ = std::move(text); }

  /// The directions drag and wheel zoom (both by default; Qt::Horizontal for
  /// a chart whose y axis should stay, such as a spectrum's).
  void setZoomDirections(Qt::Orientations directions);

  /// The right-click menu, as it is shown.
  QMenu* menu() const { return menu_; }
  /// Writes the chart to `fileName`, in the format its suffix names (png,
  /// svg, pdf; anything else PNG), drawn as it is shown. Returns an empty
  /// text, or the message "Could not save <path>: <reason>" that was shown
  /// in a message box. Emits saved() with the absolute path written.
  QString saveAs(const QString& fileName);
  /// Asks for the file (askSaveFile, proposing "<stem>.png" and the formats)
  /// and saves; returns the path written, or empty (cancelled or failed).
  QString saveAsWithDialog();
  void copyImage();
  void resetZoom();
  /// The tooltip for the mouse at `position` in the view's viewport: the
  /// window's read-out, or the nearest point within 12 pixels; empty when
  /// there is none.
  QString hoverText(const QPoint& position) const;

  /// Keeps the ticks of `axis` of `chart` round at every change of its
  /// range or of the plot's size (done for the chart's value axes at
  /// construction; an axis added later is given here).
  static void keepTicksRound(QValueAxis* axis, QChart* chart);
  /// The step between round ticks over `span`, for an axis `pixels` long
  /// (unknown: 0), at least about `minimumPixels` apart: 1, 2, 2.5 or 5
  /// times a power of ten.
  static double roundTickStep(double span, double pixels, double minimumPixels);
  /// The same for the range from `min` to `max`, preferring a step up to two
  /// sizes larger whose ticks fall on both ends.
  static double roundTickStep(double min, double max, double pixels, double minimumPixels);

 signals:
  /// A file was written: its absolute path.
  void saved(const QString& path);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString nearestPointText(const QPoint& position) const;
  void wheelZoom(const QPointF& scenePosition, double steps);

  QChartView* view_;
  QWidget* viewport_;
  std::function<QString()> fileStem_;
  std::function<QString()> title_;
  HoverText hover_;
  QString quantity_;
  Qt::Orientations zoom_ = Qt::Horizontal | Qt::Vertical;
  QMenu* menu_;
};
