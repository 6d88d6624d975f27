#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>
#include <functional>

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
QByteArray renderSvg(QChartView* widget, const QString& title,
                     const QString& description = QString());

/// The file filters of a figure (PNG, SVG, PDF) and of a table, for
/// askSaveFile.
inline const char* const figureFilters =
    "PNG image (*.png);;SVG drawing (*.svg);;PDF document (*.pdf)";
inline const char* const csvFilters = "CSV table (*.csv)";

/// Asks where to save: a file dialog unless a test puts a stand-in here. It
/// gets the window, the proposed file (an absolute path) and the filters; it
/// returns the chosen file, or an empty text when cancelled.
extern std::function<QString(QWidget* parent, const QString& proposed, const QString& filters)>
    saveFileChooser;

/// Asks for the file to save to through saveFileChooser, proposing `name` in
/// the folder saved to last (the working directory at first). Returns the
/// chosen file as an absolute path, with the suffix of the first filter added
/// when it has none of its filters' suffixes; empty when cancelled.
QString askSaveFile(QWidget* parent, const QString& name, const QString& filters);
QByteArray renderPdf(QWidget* widget, const QString& title);
