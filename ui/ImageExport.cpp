#include "ui/ImageExport.hpp"

#include <QBuffer>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSvgGenerator>
#include <QWidget>

#include "compute/file_output.hpp"

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

QByteArray renderSvg(QWidget* widget, const QString& title) {
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
  return bytes;
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
