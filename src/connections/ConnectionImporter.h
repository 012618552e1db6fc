#pragma once

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>

class QXmlStreamReader;

// Turns an older XML connection file into connection JSON and writes it as a new connection file.
class ConnectionImporter {
    Q_DECLARE_TR_FUNCTIONS(ConnectionImporter)
public:
    bool hasError() const { return m_error; }
    QString errorString() const { return m_errorString; }

    // The converted object; empty when nothing could be converted.
    QJsonObject read(const QString& path);
    // Writes json into folder under a new, sanitised name, or under ownFileName (a connection file's
    // own name) when that is free; false when the file could not be written.
    bool save(const QJsonObject& json, const QString& folder, const QString& ownFileName = QString());
    bool write(const QJsonObject& json, const QString& folder, const QString& fileName);

    QJsonObject convertSsh(QXmlStreamReader& reader);
    QJsonObject convertWeb(QXmlStreamReader& reader);

private:
    void setError(const QString& message);
    void clearError();

    bool m_error = false;
    QString m_errorString;
};
