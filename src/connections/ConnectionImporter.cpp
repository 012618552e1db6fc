#include "connections/ConnectionImporter.h"

#include "connections/ConnectionFileName.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSaveFile>
#include <QUrl>
#include <QXmlStreamReader>

namespace {

// Walks the root's descendants up to its end element, handing each start element to handle().
template <typename Handler>
void convert(QXmlStreamReader& reader, QLatin1String root, QJsonObject* result, Handler handle) {
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isEndElement() && reader.name() == root)
            break;
        if (reader.isStartElement()) {
            // An element cut off by a broken document gives no value.
            const QJsonObject before = *result;
            handle(reader.name().toString());
            if (reader.hasError())
                *result = before;
        }
    }
}

QString elementText(QXmlStreamReader& reader) {
    return reader.readElementText(QXmlStreamReader::IncludeChildElements);
}

} // namespace

void ConnectionImporter::setError(const QString& message) {
    m_error = true;
    m_errorString = message;
}

void ConnectionImporter::clearError() {
    m_error = false;
    m_errorString.clear();
}

QJsonObject ConnectionImporter::read(const QString& path) {
    clearError();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        setError(tr("Could not open file %1 for reading").arg(path));
        return {};
    }
    QXmlStreamReader reader(&file);
    QJsonObject result;
    while (!reader.atEnd() && !reader.isStartElement())
        reader.readNext();
    if (reader.isStartElement()) {
        if (reader.name() == QLatin1String("WebConnection"))
            result = convertWeb(reader);
        else if (reader.name() == QLatin1String("SshConnection"))
            result = convertSsh(reader);
    }
    if (reader.hasError())
        setError(reader.errorString());
    else if (result.isEmpty())
        setError(tr("%1 is not an older connection file").arg(path));
    return result;
}

QJsonObject ConnectionImporter::convertSsh(QXmlStreamReader& reader) {
    QJsonObject json{{QStringLiteral("type"), QStringLiteral("ssh")}};
    convert(reader, QLatin1String("SshConnection"), &json, [&](const QString& name) {
        if (name == QLatin1String("Host"))
            json.insert(QStringLiteral("host"), elementText(reader));
        else if (name == QLatin1String("Name"))
            json.insert(QStringLiteral("name"), elementText(reader));
        else if (name == QLatin1String("User"))
            json.insert(QStringLiteral("user"), elementText(reader));
        else if (name == QLatin1String("Sci"))
            json.insert(QStringLiteral("run"), elementText(reader));
        else if (name == QLatin1String("ForwardAgent"))
            json.insert(QStringLiteral("forwardAgent"), elementText(reader) == QLatin1String("true"));
    });
    return json;
}

QJsonObject ConnectionImporter::convertWeb(QXmlStreamReader& reader) {
    QJsonObject json{{QStringLiteral("type"), QStringLiteral("https")}};
    convert(reader, QLatin1String("WebConnection"), &json, [&](const QString& name) {
        if (name == QLatin1String("Url")) {
            const QUrl url(elementText(reader));
            json.insert(QStringLiteral("host"), url.host(QUrl::FullyDecoded));
            json.insert(QStringLiteral("port"), url.port(443));
            // A server under a path keeps it.
            const QString path = url.path(QUrl::FullyDecoded);
            if (!path.isEmpty() && path != QLatin1String("/"))
                json.insert(QStringLiteral("uri"), path);
        } else if (name == QLatin1String("Name")) {
            json.insert(QStringLiteral("name"), elementText(reader));
        } else if (name == QLatin1String("User")) {
            json.insert(QStringLiteral("user"), elementText(reader));
        } else if (name == QLatin1String("IgnoreSslErrors")) {
            json.insert(QStringLiteral("ignoreSslErrors"), elementText(reader) == QLatin1String("true"));
        }
    });
    return json;
}

bool ConnectionImporter::save(const QJsonObject& json, const QString& folder, const QString& ownFileName) {
    clearError();
    // A connection file keeps its own name where that is free, and is numbered on it where not.
    if (!ownFileName.isEmpty()) {
        const QString own = QFileInfo(ownFileName).fileName();
        const QString suffix = QStringLiteral(".velnor");
        const QString base = own.endsWith(suffix) ? own.chopped(suffix.size()) : own;
        return write(json, folder, freeConnectionFileName(folder, base));
    }
    // The name, else the host: an empty base would make a hidden ".velnor".
    QString base = json.value(QLatin1String("name")).toString();
    if (base.isEmpty())
        base = json.value(QLatin1String("host")).toString();
    if (base.isEmpty())
        base = QStringLiteral("velnor_import");
    // Without Unicode properties \W is everything but ASCII letters, digits and the underscore.
    static const QRegularExpression nonWord(QStringLiteral("\\W"));
    base.replace(nonWord, QStringLiteral("_"));
    return write(json, folder, freeConnectionFileName(folder, base));
}

bool ConnectionImporter::write(const QJsonObject& json, const QString& folder, const QString& fileName) {
    QJsonObject content = json;
    content.remove(QStringLiteral("filename"));
    // Written aside and moved into place, so a failed write never leaves a half file behind.
    QSaveFile file(QDir(folder).filePath(fileName));
    if (!file.open(QIODevice::WriteOnly)) {
        setError(file.errorString());
        return false;
    }
    file.write(QJsonDocument(content).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        setError(file.errorString());
        return false;
    }
    return true;
}
