#pragma once

#include "connections/Connection.h"

#include <QCoreApplication>

class QCommandLineParser;

// A connection to the server's web interface over HTTPS.
class HttpsConnection : public Connection {
    Q_DECLARE_TR_FUNCTIONS(HttpsConnection)
public:
    static constexpr quint16 DefaultPort = 3300;

    HttpsConnection() = default;

    QJsonObject toJson() const override;
    void fromJson(const QJsonObject& json) override;
    QString url() const override;
    QString description() const override;
    ConnectionEditorWidget* createEditorWidget() const override;
    QWidget* open(QWidget* parent) override;

    QString host() const { return m_host; }
    void setHost(QString host) { m_host = std::move(host); }
    quint16 port() const { return m_port; }
    void setPort(quint16 port) { m_port = port; }
    // The port to use: 0 stands for the default.
    quint16 effectivePort() const { return m_port == 0 ? DefaultPort : m_port; }
    QString uri() const { return m_uri; }
    void setUri(QString uri) { m_uri = std::move(uri); }
    QString user() const { return m_user; }
    QString authMethod() const { return m_authMethod; }
    bool ignoreSslErrors() const { return m_ignoreSslErrors; }
    bool disableDirectMode() const { return m_disableDirectMode; }

    // The options of the web launch mode.
    static void addCommandLineOptions(QCommandLineParser& parser);
    // Fills connection from a parsed command line; false when "web" or "url" is not set or the URL
    // names no server, with the reason, naming the option, in error.
    static bool fromCommandLine(const QCommandLineParser& parser, HttpsConnection& connection,
                                QString* error = nullptr);

private:
    QString m_filename;
    QString m_connectionName;
    QString m_host;
    quint16 m_port = DefaultPort;
    QString m_uri;
    QString m_user;
    QString m_authMethod = QStringLiteral("ssh");
    bool m_readOnly = false;
    // Certificates are verified unless a connection says otherwise.
    bool m_ignoreSslErrors = false;
    bool m_disableDirectMode = false;
};
