#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>

class QChartView;
class QPainter;

/// A figure as a file carries it: title lines that say what it shows and
/// from which inputs, above a body drawn by a painter. In SVG the title is
/// text (one <text> element per line, the first also the document's
/// <title>), in PDF the document's title too, and in PNG it is drawn.
struct TitledFigure {
  QStringList title;
  QSize size;  ///< of the body
  /// Draws the body into (0, 0, size) of the painter.
  std::function<void(QPainter&)> paint;
  /// The body as an SVG document of its own, when it needs more than the
  /// painter gives (a chart's curves clipped to its plot area); empty: the
  /// painter draws it.
  QByteArray bodySvg;
};

/// A chart view as a figure body (its SVG with the curves clipped).
TitledFigure chartFigure(QChartView* view, const QStringList& title);

/// The figure's title lines wrapped to its width, as they are drawn.
QStringList wrappedTitle(const TitledFigure& figure);

QImage figureImage(const TitledFigure& figure);
QByteArray figureSvg(const TitledFigure& figure);
QByteArray figurePdf(const TitledFigure& figure);

/// Writes the figure as PNG, SVG or PDF, by the suffix of `fileName`;
/// returns the reason it could not (an empty text when it could).
QString saveFigure(const TitledFigure& figure, const QString& fileName);
