#include "ui/ImageExport.hpp"

#include <QBuffer>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QSvgGenerator>
#include <QWidget>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>

#include "compute/curves/file_output.hpp"

QString saveBytes(const QByteArray& bytes, const QString& fileName) {
  const auto reason = veltrane::write_file(
      fileName.toStdString(),
      std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  return reason ? QString::fromStdString(*reason) : QString();
}

QByteArray pngBytes(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "png");
  writer.write(image);
  return bytes;
}

QString savePng(const QImage& image, const QString& fileName) {
  const QByteArray bytes = pngBytes(image);
  if (bytes.isEmpty()) return QStringLiteral("the image could not be encoded");
  return saveBytes(bytes, fileName);
}

QImage renderImage(QWidget* widget) {
  QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  widget->render(&painter);
  return image;
}

namespace {

// Qt's SVG writer gives the chart's lines as <polyline> elements and leaves
// out the clipping to the plot area that the screen has. Here each becomes a
// <path> of the same points ("M x,y L x,y ..."), which drawing programs edit
// better, and the curves (the lines drawn 2 px wide) are clipped to the plot
// area again, in the user space of the group that draws them.
QByteArray polylinesAsPaths(const QByteArray& svg, const QRectF& plot) {
  static const QRegularExpression token(
      QStringLiteral("(<g\\b[^>]*>)|<polyline([^>]*?) points=\"([^\"]*)\"\\s*/>"));
  static const QRegularExpression width(QStringLiteral("stroke-width=\"([^\"]*)\""));
  static const QRegularExpression shift(
      QStringLiteral("transform=\"matrix\\(1,0,0,1,([-0-9.e]+),([-0-9.e]+)\\)\""));
  const QString text = QString::fromUtf8(svg);
  QString out, clips;
  QStringList shifts;
  QString groupWidth;
  QPointF groupShift;
  qsizetype last = 0;
  auto it = token.globalMatch(text);
  while (it.hasNext()) {
    const auto match = it.next();
    if (!match.captured(1).isEmpty()) {
      const QString group = match.captured(1);
      groupWidth = width.match(group).captured(1);
      const auto m = shift.match(group);
      groupShift = m.hasMatch() ? QPointF(m.captured(1).toDouble(), m.captured(2).toDouble())
                                : QPointF(0, 0);
      continue;
    }
    out += QStringView(text).mid(last, match.capturedStart() - last);
    const QStringList points = match.captured(3).split(' ', Qt::SkipEmptyParts);
    QString d;
    for (qsizetype i = 0; i < points.size(); ++i) {
      d += (i == 0 ? "M " : i == 1 ? " L " : " ") + points[i];
    }
    QString clip;
    if (groupWidth == "2" && plot.isValid()) {
      const QString key = QStringLiteral("%1,%2").arg(groupShift.x()).arg(groupShift.y());
      qsizetype index = shifts.indexOf(key);
      if (index < 0) {
        index = shifts.size();
        shifts << key;
        const QRectF r = plot.translated(-groupShift);
        clips += QStringLiteral(
                     "<clipPath id=\"plot%1\" clipPathUnits=\"userSpaceOnUse\"><rect x=\"%2\" "
                     "y=\"%3\" width=\"%4\" height=\"%5\"/></clipPath>\n")
                     .arg(index)
                     .arg(r.x())
                     .arg(r.y())
                     .arg(r.width())
                     .arg(r.height());
      }
      clip = QStringLiteral(" clip-path=\"url(#plot%1)\"").arg(index);
    }
    out += "<path" + match.captured(2) + clip + " d=\"" + d + "\"/>";
    last = match.capturedEnd();
  }
  out += QStringView(text).mid(last);
  const qsizetype defs = out.indexOf("<defs>");
  if (!clips.isEmpty()) {
    if (defs >= 0) {
      out.insert(defs + 6, "\n" + clips);
    } else {
      out.insert(out.indexOf('>', out.indexOf("<svg")) + 1, "\n<defs>\n" + clips + "</defs>\n");
    }
  }
  return out.toUtf8();
}

}  // namespace

QByteArray renderSvg(QChartView* widget, const QString& title) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QSvgGenerator svg;
  svg.setOutputDevice(&buffer);
  svg.setSize(widget->size());
  svg.setViewBox(QRect(QPoint(0, 0), widget->size()));
  svg.setTitle(title);
  svg.setDescription(QStringLiteral("Veltrane: post-field-ionisation curves"));
  QPainter painter(&svg);
  widget->render(&painter);
  painter.end();
  QChart* chart = widget->chart();
  const QRectF plot =
      widget->mapFromScene(chart->mapToScene(chart->plotArea())).boundingRect().toRectF();
  return polylinesAsPaths(bytes, plot);
}

QByteArray renderPdf(QWidget* widget, const QString& title) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QPdfWriter pdf(&buffer);
  pdf.setTitle(title);
  pdf.setCreator(QStringLiteral("Veltrane"));
  // One page of the widget's size, one point per pixel, no margins.
  pdf.setPageSize(QPageSize(QSizeF(widget->size()), QPageSize::Point));
  pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
  pdf.setResolution(72);
  QPainter painter(&pdf);
  widget->render(&painter);
  painter.end();
  return bytes;
}
