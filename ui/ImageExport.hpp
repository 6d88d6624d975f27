#pragma once

#include <QImage>
#include <QString>

/// Writes `image` as a PNG file. A regular file (or a new one) is written
/// beside its place and renamed into it, so a failed save leaves the old file
/// or none, never a half-written image; a device or other special file is
/// written in place. Returns an empty text on success, otherwise the reason.
QString savePng(const QImage& image, const QString& fileName);
