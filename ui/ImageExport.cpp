#include "ui/ImageExport.hpp"

#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QRegularExpression>
#include <QSvgGenerator>
#include <QWidget>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
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
// area again, in the user space of the group that draws them: the group
// begun last before the line, whose stroke width and translation
// ("matrix(1,0,0,1,dx,dy)") it takes. The document is read and written as
// XML, token by token; what is not a line is copied as it is.
class SvgLines {
 public:
  explicit SvgLines(const QRectF& plot) : plot_(plot) {}

  QByteArray rewrite(const QByteArray& svg) {
    collectClips(svg);
    width_.clear();
    shift_ = QPointF();
    QByteArray out;
    QXmlStreamReader in(svg);
    in.setNamespaceProcessing(false);
    QXmlStreamWriter writer(&out);
    bool clipsWritten = clips_.isEmpty();
    while (!in.atEnd()) {
      in.readNext();
      if (in.isStartElement() && in.qualifiedName() == u"g") takeGroup(in.attributes());
      if (in.isStartElement() && in.qualifiedName() == u"polyline") {
        writePath(writer, in.attributes());
        in.skipCurrentElement();
        continue;
      }
      writer.writeCurrentToken(in);
      if (!clipsWritten && in.isStartElement() &&
          (in.qualifiedName() == u"defs" || (in.qualifiedName() == u"svg" && !hasDefs_))) {
        if (in.qualifiedName() == u"svg") writer.writeStartElement("defs");
        writeClips(writer);
        if (in.qualifiedName() == u"svg") writer.writeEndElement();
        clipsWritten = true;
      }
    }
    return in.hasError() ? svg : out;
  }

 private:
  // The clip paths the lines need, one per translation of a group that
  // draws curves; and whether the document has a <defs> to hold them.
  void collectClips(const QByteArray& svg) {
    QXmlStreamReader in(svg);
    in.setNamespaceProcessing(false);
    while (!in.atEnd()) {
      in.readNext();
      if (!in.isStartElement()) continue;
      if (in.qualifiedName() == u"defs") hasDefs_ = true;
      if (in.qualifiedName() == u"g") takeGroup(in.attributes());
      if (in.qualifiedName() == u"polyline") (void)clipOf();
    }
  }

  void takeGroup(const QXmlStreamAttributes& attributes) {
    width_ = attributes.value(QLatin1String("stroke-width")).toString();
    // Only a pure translation is read; any other transform counts as none.
    const QString transform = attributes.value(QLatin1String("transform")).toString();
    const QString prefix = QStringLiteral("matrix(1,0,0,1,");
    shift_ = QPointF();
    if (!transform.startsWith(prefix) || !transform.endsWith(')')) return;
    const QStringList by = transform.mid(prefix.size()).chopped(1).split(',');
    bool x_ok = false, y_ok = false;
    const double x = by.size() == 2 ? by[0].toDouble(&x_ok) : 0.0;
    const double y = by.size() == 2 ? by[1].toDouble(&y_ok) : 0.0;
    if (x_ok && y_ok) shift_ = QPointF(x, y);
  }

  // The index of the clip path of a line in the present group, or -1 for
  // one that is not a curve.
  qsizetype clipOf() {
    if (width_ != "2" || !plot_.isValid()) return -1;
    const QString key = QStringLiteral("%1,%2").arg(shift_.x()).arg(shift_.y());
    qsizetype index = keys_.indexOf(key);
    if (index < 0) {
      index = keys_.size();
      keys_ << key;
      clips_ << plot_.translated(-shift_);
    }
    return index;
  }

  void writeClips(QXmlStreamWriter& writer) const {
    for (qsizetype i = 0; i < clips_.size(); ++i) {
      const QRectF& r = clips_[i];
      writer.writeStartElement("clipPath");
      writer.writeAttribute("id", QStringLiteral("plot%1").arg(i));
      writer.writeAttribute("clipPathUnits", "userSpaceOnUse");
      writer.writeEmptyElement("rect");
      writer.writeAttribute("x", QString::number(r.x()));
      writer.writeAttribute("y", QString::number(r.y()));
      writer.writeAttribute("width", QString::number(r.width()));
      writer.writeAttribute("height", QString::number(r.height()));
      writer.writeEndElement();
    }
  }

  void writePath(QXmlStreamWriter& writer, const QXmlStreamAttributes& attributes) {
    writer.writeEmptyElement("path");
    QString points;
    for (const QXmlStreamAttribute& a : attributes) {
      if (a.qualifiedName() == u"points") {
        points = a.value().toString();
      } else {
        writer.writeAttribute(a.qualifiedName().toString(), a.value().toString());
      }
    }
    if (const qsizetype clip = clipOf(); clip >= 0) {
      writer.writeAttribute("clip-path", QStringLiteral("url(#plot%1)").arg(clip));
    }
    const QStringList xy = points.split(' ', Qt::SkipEmptyParts);
    QString d;
    for (qsizetype i = 0; i < xy.size(); ++i) d += (i == 0 ? "M " : i == 1 ? " L " : " ") + xy[i];
    writer.writeAttribute("d", d);
  }

  QRectF plot_;
  bool hasDefs_ = false;
  QString width_;
  QPointF shift_;
  QStringList keys_;
  QList<QRectF> clips_;
};

}  // namespace

QString saveFailure(const QString& fileName, const QString& reason) {
  return QString::fromStdString(veltrane::file_failure_message(
      "Could not save", fileName.toStdString(), reason.toStdString()));
}

QByteArray renderWidgetSvg(QWidget* widget, const QString& title, const QString& description) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QSvgGenerator svg;
  svg.setOutputDevice(&buffer);
  svg.setSize(widget->size());
  svg.setViewBox(QRect(QPoint(0, 0), widget->size()));
  svg.setTitle(title);
  if (!description.isEmpty()) svg.setDescription(description);
  QPainter painter(&svg);
  widget->render(&painter);
  painter.end();
  return bytes;
}

QByteArray renderSvg(QChartView* widget, const QString& title, const QString& description) {
  const QByteArray bytes = renderWidgetSvg(widget, title, description);
  QChart* chart = widget->chart();
  const QRectF plot =
      widget->mapFromScene(chart->mapToScene(chart->plotArea())).boundingRect().toRectF();
  return SvgLines(plot).rewrite(bytes);
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

std::function<QString(QWidget*, const QString&, const QString&)> saveFileChooser =
    [](QWidget* parent, const QString& proposed, const QString& filters) {
      QString filter;
      QString name = QFileDialog::getSaveFileName(parent, QStringLiteral("Save as"), proposed,
                                                  filters, &filter);
      // A name typed without a suffix takes the one of the filter chosen.
      static const QRegularExpression suffix(QStringLiteral("\\*(\\.[A-Za-z0-9]+)"));
      if (!name.isEmpty() && QFileInfo(name).suffix().isEmpty()) {
        name += suffix.match(filter).captured(1);
      }
      return name;
    };

namespace {

// The folder of the last save, where the next one is proposed.
QString& lastSaveFolder() {
  static QString folder;
  return folder;
}

// The suffixes the filters name ("PNG image (*.png);;SVG drawing (*.svg)"
// gives png, svg), in their order.
QStringList filterSuffixes(const QString& filters) {
  QStringList suffixes;
  static const QRegularExpression pattern(QStringLiteral("\\*\\.([A-Za-z0-9]+)"));
  for (auto it = pattern.globalMatch(filters); it.hasNext();) {
    suffixes << it.next().captured(1).toLower();
  }
  return suffixes;
}

}  // namespace

QString askSaveFile(QWidget* parent, const QString& name, const QString& filters) {
  if (!saveFileChooser) return QString();
  const QString folder = lastSaveFolder().isEmpty() ? QDir::currentPath() : lastSaveFolder();
  QString chosen = saveFileChooser(parent, QDir(folder).absoluteFilePath(name), filters);
  if (chosen.isEmpty()) return QString();
  chosen = QDir::current().absoluteFilePath(chosen);
  const QStringList suffixes = filterSuffixes(filters);
  if (!suffixes.isEmpty() && !suffixes.contains(QFileInfo(chosen).suffix().toLower())) {
    chosen += "." + suffixes.front();
  }
  lastSaveFolder() = QFileInfo(chosen).absolutePath();
  return chosen;
}
