#pragma once

#include <QChartView>
#include <QMenu>
#include <QObject>
#include <QString>
#include <functional>

/// What a user can do with a chart beyond looking at it, the same for every
/// chart of the program: a right-click menu with "Save as…" (PNG, SVG or PDF
/// through a file dialog; the vector formats keep curves as paths and text as
/// text), "Copy image" and "Reset zoom"; rubber-band zoom with the mouse, Esc
/// to reset it; and a tooltip with E, log10 of the value and the value itself
/// of the point nearest the mouse.
class ChartTools : public QObject {
  Q_OBJECT

 public:
  /// `fileStem` names the file the dialog proposes (the element); `quantity`
  /// is what the curves show the logarithm of ("P" or "f").
  ChartTools(QChartView* view, std::function<QString()> fileStem, QString quantity);

  /// Asks for a file name: a file dialog unless a test puts a stand-in here.
  /// Gets the proposed name; returns the chosen one, or empty when cancelled.
  static std::function<QString(QWidget* parent, const QString& proposed)> fileChooser;

  /// The right-click menu, as it is shown.
  QMenu* menu() const { return menu_; }
  /// Writes the chart to `fileName`, in the format its suffix names (png,
  /// svg, pdf). Returns an empty text or the message that was shown.
  QString saveAs(const QString& fileName);
  void saveAsWithDialog();
  void copyImage();
  void resetZoom();
  /// The tooltip for the mouse at `position` in the view's viewport; empty
  /// when no point lies within 12 pixels.
  QString hoverText(const QPoint& position) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QChartView* view_;
  QWidget* viewport_;
  std::function<QString()> fileStem_;
  QString quantity_;
  QMenu* menu_;
};
