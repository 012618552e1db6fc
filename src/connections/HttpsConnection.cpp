#include "connections/HttpsConnection.h"

#include "connections/ConnectionJson.h"

#include <QCommandLineParser>
#include <QStringList>
#include <QUrl>

namespace {
const QString Ssh = QStringLiteral("SSH");
}

QJsonObject HttpsConnection::toJson() const {
    return QJsonObject{
        {QStringLiteral("type"), QStringLiteral("https")},
        {QStringLiteral("filename"), m_filename},
        {QStringLiteral("name"), m_connectionName},
        {QStringLiteral("host"), m_host},
        {QStringLiteral("port"), int(m_port)},
        {QStringLiteral("user"), m_user},
        {QStringLiteral("uri"), m_uri},
        {QStringLiteral("ignoreSslErrors"), m_ignoreSslErrors},
        {QStringLiteral("disableDirectMode"), m_disableDirectMode},
        {QStringLiteral("authMethod"), m_authMethod},
        {QStringLiteral("readOnly"), m_readOnly},
    };
}

void HttpsConnection::fromJson(const QJsonObject& json) {
    if (json.contains(QLatin1String("readOnly")))
        m_readOnly = json.value(QLatin1String("readOnly")).toBool(false);
    if (json.contains(QLatin1String("filename")))
        m_filename = json.value(QLatin1String("filename")).toString();
    if (json.contains(QLatin1String("name")))
        m_connectionName = json.value(QLatin1String("name")).toString();
    if (json.contains(QLatin1String("host")))
        m_host = json.value(QLatin1String("host")).toString();
    m_port = json.contains(QLatin1String("port")) ? portFromJson(json.value(QLatin1String("port"))) : DefaultPort;
    if (json.contains(QLatin1String("user")))
        m_user = json.value(QLatin1String("user")).toString();
    if (json.contains(QLatin1String("uri"))) {
        // The uri is a path on the server; one written without its leading slash still is one.
        m_uri = json.value(QLatin1String("uri")).toString();
        if (!m_uri.isEmpty() && !m_uri.startsWith(QLatin1Char('/')))
            m_uri.prepend(QLatin1Char('/'));
    }
    if (json.contains(QLatin1String("ignoreSslErrors")))
        m_ignoreSslErrors = json.value(QLatin1String("ignoreSslErrors")).toBool(false);
    if (json.contains(QLatin1String("disableDirectMode")))
        m_disableDirectMode = json.value(QLatin1String("disableDirectMode")).toBool(false);
    if (json.contains(QLatin1String("authMethod")))
        m_authMethod = json.value(QLatin1String("authMethod")).toString(QStringLiteral("ssh"));
}

QString HttpsConnection::url() const {
    // Only the "SSH" method signs in as the user named in the address.
    const bool sshAuth = m_authMethod.isEmpty() || m_authMethod == Ssh;
    QString text = QStringLiteral("https://");
    if (!m_user.isEmpty() && sshAuth)
        text += m_user + QLatin1Char('@');
    text += m_host;
    if (m_port != 443)
        text += QLatin1Char(':') + QString::number(effectivePort());
    text += m_uri;
    if (!sshAuth)
        text += QStringLiteral(" (") + m_authMethod + QStringLiteral(" auth)");
    return text;
}

QString HttpsConnection::description() const {
    QStringList lines;
    if (!m_connectionName.isEmpty())
        lines << tr("Name: %1").arg(m_connectionName);
    if (!m_host.isEmpty())
        lines << tr("Host: %1").arg(m_host);
    if (m_port != 443)
        lines << tr("Port: %1").arg(effectivePort());
    if (!m_user.isEmpty())
        lines << tr("User: %1").arg(m_user);
    if (!m_uri.isEmpty())
        lines << tr("Uri: %1").arg(m_uri);
    if (!m_authMethod.isEmpty())
        lines << tr("Auth Method: %1").arg(m_authMethod);
    return lines.join(QLatin1Char('\n'));
}

void HttpsConnection::addCommandLineOptions(QCommandLineParser& parser) {
    parser.addOption({QStringLiteral("web"), tr("Web Mode")});
    parser.addOption({QStringLiteral("url"), tr("Remote URL"), QStringLiteral("URL")});
    parser.addOption({QStringLiteral("user"), tr("Remote username"), QStringLiteral("USER")});
    parser.addOption({QStringLiteral("issl"), tr("Ignore SSL errors switch")});
    parser.addOption({QStringLiteral("fssh"), tr("Force SSH authentication switch")});
    parser.addOption({QStringLiteral("noDirectMode"), tr("Disable Direct Mode switch")});
    parser.addOption({QStringLiteral("auth-method"), tr("Select Authentication Method"), QStringLiteral("AuthMethod")});
}

bool HttpsConnection::fromCommandLine(const QCommandLineParser& parser, HttpsConnection& connection,
                                      QString* error) {
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!parser.isSet(QStringLiteral("web")))
        return fail(tr("the option --web is missing"));
    if (!parser.isSet(QStringLiteral("url")))
        return fail(tr("the option --url is missing"));
    // The server's address: host, port and path; the user part only when "user" is not given.
    // Without a usable address there is nothing to launch.
    QString text = parser.value(QStringLiteral("url")).trimmed();
    if (text.isEmpty())
        return fail(tr("the option --url has no value"));
    if (!text.contains(QLatin1String("://")))
        text.prepend(QLatin1String("https://"));
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return fail(tr("the value of --url names no server"));
    connection.m_host = url.host(QUrl::FullyDecoded);
    connection.m_port = quint16(url.port(443));
    connection.m_uri = url.path(QUrl::FullyDecoded);
    if (!url.userName().isEmpty())
        connection.m_user = url.userName(QUrl::FullyDecoded);
    if (parser.isSet(QStringLiteral("user")))
        connection.m_user = parser.value(QStringLiteral("user"));
    if (parser.isSet(QStringLiteral("issl")))
        connection.m_ignoreSslErrors = true;
    if (parser.isSet(QStringLiteral("noDirectMode")))
        connection.m_disableDirectMode = true;
    if (parser.isSet(QStringLiteral("auth-method")))
        connection.m_authMethod = parser.value(QStringLiteral("auth-method"));
    return true;
}
