#pragma once

#include <QImage>
#include <QString>

// Largest Base64 text and pixel count accepted from a server-supplied image.
constexpr int maxDataUrlImageTextSize = 48 * 1024 * 1024;
constexpr qint64 maxDataUrlImagePixels = qint64(1) << 25;

// Decodes "data:image/png;base64,..." into an image. Anything else (another media type,
// no comma, data that is not PNG, or a picture above the caps) gives a null image.
QImage imageFromPngDataUrl(const QString& text);
