#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QSize>
#include <QString>

// An image as a PNG data: URL, as servers send icons and pictures inline.
inline QString pngDataUrl(const QImage& image) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

// A flat opaque PNG of the given size as a data: URL.
inline QString pngDataUrl(const QSize& size, const QColor& colour = Qt::red) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return pngDataUrl(image);
}
