#include "sessions/ServerHtml.h"

#include <QBuffer>
#include <QDesktopServices>
#include <QImageReader>
#include <QLabel>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QUrl>

#include <utility>

namespace {

constexpr int maxDataUrlLength = 256 * 1024;
constexpr int maxImageSide = 2048;

bool isOwnResource(const QString& name) {
    return name.startsWith(QLatin1String(":/")) ||
           name.startsWith(QLatin1String("qrc:"), Qt::CaseInsensitive);
}

// A data: URL holding an image whose size can be read and is bounded, so that showing it cannot
// take much memory.
bool isSmallDataImage(const QString& name) {
    if (name.size() > maxDataUrlLength || !name.startsWith(QLatin1String("data:"), Qt::CaseInsensitive))
        return false;
    const int comma = name.indexOf(QLatin1Char(','));
    if (comma < 0)
        return false;
    const QStringRef header = name.midRef(5, comma - 5);
    QByteArray payload = QByteArray::fromPercentEncoding(name.mid(comma + 1).toLatin1());
    if (header.endsWith(QLatin1String(";base64"), Qt::CaseInsensitive))
        payload = QByteArray::fromBase64(payload);
    QBuffer buffer(&payload);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    return size.isValid() && size.width() <= maxImageSide && size.height() <= maxImageSide;
}

bool allowed(const QString& name) {
    return isOwnResource(name) || isSmallDataImage(name);
}

// A document that loads nothing and notes what its HTML asked for.
class InertDocument : public QTextDocument {
public:
    QStringList requested;

protected:
    QVariant loadResource(int, const QUrl& name) override {
        requested << name.toString();
        return QVariant();
    }
};

} // namespace

QString ServerHtml::withoutOutsideResources(const QString& html) {
    InertDocument document;
    document.setHtml(html);
    QList<std::pair<int, int>> dropped;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (format.isImageFormat() && !allowed(format.toImageFormat().name()))
                dropped.append({fragment.position(), fragment.length()});
        }
    }
    QTextCursor cursor(&document);
    for (int i = dropped.size() - 1; i >= 0; --i) {
        cursor.setPosition(dropped[i].first);
        cursor.setPosition(dropped[i].first + dropped[i].second, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    const QString cleaned = document.toHtml();

    // The label reads the cleaned HTML again; check that it would ask for nothing from elsewhere.
    InertDocument check;
    check.setHtml(cleaned);
    check.setTextWidth(400);
    (void)check.size();
    for (const QString& name : qAsConst(check.requested)) {
        if (!allowed(name))
            return Qt::convertFromPlainText(document.toPlainText());
    }
    return cleaned;
}

void ServerHtml::openOnlyWebLinks(QLabel* label) {
    label->setOpenExternalLinks(false);
    QObject::connect(label, &QLabel::linkActivated, label, [](const QString& link) {
        const QUrl url(link, QUrl::TolerantMode);
        const QString scheme = url.scheme().toLower();
        if (url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")))
            QDesktopServices::openUrl(url);
    });
}
