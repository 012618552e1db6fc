#include "bookmarks/DataUrlImage.h"

#include <QBuffer>
#include <QImageReader>
#include <QUrl>

QImage imageFromPngDataUrl(const QString& text) {
    if (text.size() > maxDataUrlImageTextSize)
        return QImage();
    const QUrl url(text, QUrl::TolerantMode);
    if (url.scheme() != QLatin1String("data"))
        return QImage();
    const QString path = url.path(QUrl::FullyDecoded);
    const int comma = path.indexOf(QLatin1Char(','));
    if (comma < 0 || path.leftRef(comma) != QLatin1String("image/png;base64"))
        return QImage();

    QByteArray bytes = QByteArray::fromBase64(path.midRef(comma + 1).toLatin1());
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    // Only the PNG reader is allowed to look at server data, and only after its size is known.
    QImageReader reader(&buffer, "png");
    reader.setDecideFormatFromContent(false);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty() || qint64(size.width()) * size.height() > maxDataUrlImagePixels)
        return QImage();
    QImage image;
    if (!reader.read(&image))
        return QImage();
    return image;
}
