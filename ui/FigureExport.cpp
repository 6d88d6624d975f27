#include "ui/FigureExport.hpp"

#include <QBuffer>
#include <QFileInfo>
#include <QFont>
#include <QFontMetrics>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSvgGenerator>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>
#include <QtCharts/QChartView>

#include "ui/ImageExport.hpp"

namespace {

// The title block: a margin around lines of text, the first one bold.
constexpr int margin = 10;
constexpr int firstSize = 13;
constexpr int lineSize = 11;

QFont titleFont(bool first) {
  QFont font(QStringLiteral("Sans Serif"));
  font.setPixelSize(first ? firstSize : lineSize);
  font.setBold(first);
  return font;
}

int lineHeight(bool first) { return QFontMetrics(titleFont(first)).height() + 2; }

// Each title line broken at blanks so that it fits `width`; a word wider
// than that stands on a line of its own.
QStringList wrapped(const QStringList& lines, int width) {
  QStringList out;
  for (qsizetype n = 0; n < lines.size(); ++n) {
    const QFontMetrics metrics(titleFont(n == 0));
    QString line;
    for (const QString& word : lines[n].split(' ', Qt::SkipEmptyParts)) {
      const QString longer = line.isEmpty() ? word : line + ' ' + word;
      if (!line.isEmpty() && metrics.horizontalAdvance(longer) > width) {
        out << line;
        line = word;
      } else {
        line = longer;
      }
    }
    out << line;
  }
  return out;
}

// The wrapped lines with whether each belongs to the first title line.
struct TitleBlock {
  QStringList lines;
  std::vector<bool> first;
  int height = 0;
};

TitleBlock titleBlock(const TitledFigure& figure) {
  TitleBlock block;
  const int width = std::max(80, figure.size.width() - 2 * margin);
  for (qsizetype n = 0; n < figure.title.size(); ++n) {
    for (const QString& line : wrapped({figure.title[n]}, width)) {
      block.lines << line;
      block.first.push_back(n == 0);
      block.height += lineHeight(n == 0);
    }
  }
  if (!block.lines.isEmpty()) block.height += 2 * margin;
  return block;
}

void paintTitle(QPainter& painter, const TitleBlock& block) {
  painter.save();
  painter.setPen(Qt::black);
  int y = margin;
  for (qsizetype n = 0; n < block.lines.size(); ++n) {
    const bool first = block.first[static_cast<std::size_t>(n)];
    painter.setFont(titleFont(first));
    y += lineHeight(first);
    painter.drawText(QPointF(margin, y - 4), block.lines[n]);
  }
  painter.restore();
}

void paintFigure(QPainter& painter, const TitledFigure& figure, const TitleBlock& block) {
  paintTitle(painter, block);
  painter.save();
  painter.translate(0, block.height);
  painter.setClipRect(QRect(QPoint(0, 0), figure.size));
  if (figure.paint) figure.paint(painter);
  painter.restore();
}

QByteArray bodySvgOf(const TitledFigure& figure) {
  if (!figure.bodySvg.isEmpty()) return figure.bodySvg;
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QSvgGenerator svg;
  svg.setOutputDevice(&buffer);
  svg.setSize(figure.size);
  svg.setViewBox(QRect(QPoint(0, 0), figure.size));
  QPainter painter(&svg);
  if (figure.paint) figure.paint(painter);
  painter.end();
  return bytes;
}

}  // namespace

TitledFigure chartFigure(QChartView* view, const QStringList& title) {
  TitledFigure figure;
  figure.title = title;
  figure.size = view->size();
  figure.paint = [view](QPainter& painter) { view->render(&painter); };
  figure.bodySvg = renderSvg(view, title.value(0));
  return figure;
}

QStringList wrappedTitle(const TitledFigure& figure) { return titleBlock(figure).lines; }

QImage figureImage(const TitledFigure& figure) {
  const TitleBlock block = titleBlock(figure);
  QImage image(figure.size.width(), figure.size.height() + block.height,
               QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::white);
  QPainter painter(&image);
  paintFigure(painter, figure, block);
  return image;
}

// The body's SVG moved below the title: its root's children in a group
// translated by the title's height, its own title and description left out.
QByteArray figureSvg(const TitledFigure& figure) {
  const TitleBlock block = titleBlock(figure);
  const QByteArray body = bodySvgOf(figure);
  const int width = figure.size.width();
  const int height = figure.size.height() + block.height;
  QByteArray out;
  QXmlStreamWriter w(&out);
  w.writeStartDocument();
  w.writeStartElement("svg");
  w.writeAttribute("width", QString::number(width));
  w.writeAttribute("height", QString::number(height));
  w.writeAttribute("viewBox", QStringLiteral("0 0 %1 %2").arg(width).arg(height));
  w.writeAttribute("xmlns", "http://www.w3.org/2000/svg");
  w.writeAttribute("xmlns:xlink", "http://www.w3.org/1999/xlink");
  w.writeAttribute("version", "1.2");
  w.writeAttribute("baseProfile", "tiny");
  w.writeTextElement("title", figure.title.value(0));
  w.writeTextElement("desc", figure.title.join('\n'));
  w.writeStartElement("g");
  w.writeAttribute("fill", "black");
  w.writeAttribute("stroke", "none");
  w.writeAttribute("font-family", "Sans Serif");
  int y = margin;
  for (qsizetype n = 0; n < block.lines.size(); ++n) {
    const bool first = block.first[static_cast<std::size_t>(n)];
    y += lineHeight(first);
    w.writeStartElement("text");
    w.writeAttribute("x", QString::number(margin));
    w.writeAttribute("y", QString::number(y - 4));
    w.writeAttribute("font-size", QString::number(first ? firstSize : lineSize));
    w.writeAttribute("font-weight", first ? "700" : "400");
    w.writeAttribute("xml:space", "preserve");
    w.writeCharacters(block.lines[n]);
    w.writeEndElement();
  }
  w.writeEndElement();
  w.writeStartElement("g");
  w.writeAttribute("transform", QStringLiteral("translate(0,%1)").arg(block.height));
  QXmlStreamReader in(body);
  in.setNamespaceProcessing(false);
  int depth = 0;
  while (!in.atEnd()) {
    in.readNext();
    if (in.isStartElement()) {
      ++depth;
      if (depth == 1) continue;  // the body's root
      if (depth == 2 && (in.qualifiedName() == u"title" || in.qualifiedName() == u"desc")) {
        in.skipCurrentElement();
        --depth;
        continue;
      }
    } else if (in.isEndElement()) {
      if (--depth == 0) continue;
    } else if (depth < 2 || in.isStartDocument() || in.isEndDocument() || in.isDTD()) {
      continue;
    }
    w.writeCurrentToken(in);
  }
  w.writeEndElement();
  w.writeEndElement();
  w.writeEndDocument();
  return out;
}

QByteArray figurePdf(const TitledFigure& figure) {
  const TitleBlock block = titleBlock(figure);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QPdfWriter pdf(&buffer);
  pdf.setTitle(figure.title.join(QStringLiteral("; ")));
  pdf.setCreator(QStringLiteral("Veltrane"));
  // One page of the figure's size, one point per pixel, no margins.
  pdf.setPageSize(QPageSize(QSizeF(figure.size.width(), figure.size.height() + block.height),
                            QPageSize::Point));
  pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
  pdf.setResolution(72);
  QPainter painter(&pdf);
  paintFigure(painter, figure, block);
  painter.end();
  return bytes;
}

QString saveFigure(const TitledFigure& figure, const QString& fileName) {
  const QString suffix = QFileInfo(fileName).suffix().toLower();
  if (suffix == "svg") return saveBytes(figureSvg(figure), fileName);
  if (suffix == "pdf") return saveBytes(figurePdf(figure), fileName);
  if (suffix == "png") return savePng(figureImage(figure), fileName);
  return QStringLiteral("the format is named by the suffix: .png, .svg or .pdf");
}
