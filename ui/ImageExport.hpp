#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

class QWidget;
class QChartView;

/// Writes `bytes` as the file `fileName` through the program's one file
/// helper: a regular file is replaced at once by a renamed temporary file, so
/// a failed save leaves the old file or none, never a half-written one; a
/// device or pipe is written in place without waiting for a reader. Returns an
/// empty text on success, otherwise the reason.
QString saveBytes(const QByteArray& bytes, const QString& fileName);

/// "Could not save <absolute path>: <reason>", the program's message for a
/// file that could not be saved (compute's file_failure_message).
QString saveFailure(const QString& fileName, const QString& reason);

/// `image` encoded as PNG.
QByteArray pngBytes(const QImage& image);

/// Writes `image` as a PNG file (see saveBytes).
QString savePng(const QImage& image, const QString& fileName);

/// `widget` drawn from its content at its own size: as a bitmap, as SVG and
/// as PDF. The vector formats keep curves as paths and text as text; the SVG
/// curves are clipped to the chart's plot area as on the screen.
QImage renderImage(QWidget* widget);
/// `widget` as SVG as Qt's painter draws it (`description` left out when
/// empty); renderSvg adds to this what a chart needs.
QByteArray renderWidgetSvg(QWidget* widget, const QString& title,
                           const QString& description = QString());
QByteArray renderSvg(QChartView* widget, const QString& title);
QByteArray renderPdf(QWidget* widget, const QString& title);
