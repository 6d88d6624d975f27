#include "ui/ImageExport.hpp"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

namespace {

QString writeInPlace(const QImage& image, const QString& fileName) {
  QFile out(fileName);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) return out.errorString();
  QImageWriter writer(&out, "png");
  if (!writer.write(image)) return writer.errorString();
  if (!out.flush() || out.error() != QFileDevice::NoError) return out.errorString();
  out.close();
  if (out.error() != QFileDevice::NoError) return out.errorString();
  return {};
}

}  // namespace

QString savePng(const QImage& image, const QString& fileName) {
  const QFileInfo info(fileName);
  if (info.isDir()) return QStringLiteral("a folder of that name is in the way");
  // A link to a device (say /dev/full) must not be replaced by a renamed file.
  if (info.exists() && !info.isFile()) return writeInPlace(image, fileName);

  QSaveFile out(fileName);
  if (!out.open(QIODevice::WriteOnly)) return out.errorString();
  QImageWriter writer(&out, "png");
  if (!writer.write(image)) {
    const QString error = writer.errorString();
    out.cancelWriting();
    return error;
  }
  if (!out.commit()) return out.errorString();
  return {};
}
