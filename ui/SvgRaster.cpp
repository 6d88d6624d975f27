#include "ui/SvgRaster.hpp"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

namespace {

// Fonts need a graphics application; a program without one gets one on the
// offscreen platform, which needs no display.
// False when the program runs an application without graphics.
bool ensureGraphics() {
  if (QCoreApplication::instance() != nullptr) {
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
  }
  // Qt's own notes (a missing runtime folder and the like) are not the
  // program's to print; its errors are.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", qPrintable(text));
  });
  static int argc = 3;
  static char name[] = "veltrane-curves", platform[] = "-platform", offscreen[] = "offscreen";
  static char* argv[] = {name, platform, offscreen, nullptr};
  // Kept to the end of the program: Qt must not be torn down among the
  // static objects.
  static QGuiApplication* const application = new QGuiApplication(argc, argv);
  (void)application;
  return true;
}

}  // namespace

std::optional<std::string> svgToPng(const std::string& svg, std::string& png) {
  if (!ensureGraphics()) return "drawing needs Qt's graphics, and this program runs without them";
  QSvgRenderer renderer(QByteArray::fromStdString(svg));
  if (!renderer.isValid()) return "the drawing is not a valid SVG document";
  constexpr double scale = 2.0;
  const QSize size = (renderer.defaultSize() * scale).expandedTo(QSize(1, 1));
  QImage image(size, QImage::Format_RGB32);
  if (image.isNull()) return "no memory for an image of this size";
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
  }
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) return "the image could not be encoded as PNG";
  png = bytes.toStdString();
  return std::nullopt;
}
