#include "connections/SshConnection.h"

#include "connections/ConnectionJson.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QRegularExpression>

namespace {

const QString DefaultRun = QStringLiteral("exec velnor-protocol");

void readList(const QJsonObject& json, QLatin1String key, QStringList& list) {
    const QJsonValue value = json.value(key);
    if (!value.isArray())
        return;
    list.clear();
    for (const QJsonValue& item : value.toArray())
        list << item.toString();
}

} // namespace

SshConnection::SshConnection() {
    m_settings.forwardAgent = true;
    m_settings.run = DefaultRun;
}

QJsonObject SshConnection::toJson() const {
    return QJsonObject{
        {QStringLiteral("readOnly"), isSystem()},
        {QStringLiteral("type"), QStringLiteral("ssh")},
        {QStringLiteral("filename"), m_filename},
        {QStringLiteral("name"), m_connectionName},
        {QStringLiteral("host"), m_settings.host},
        {QStringLiteral("port"), int(m_settings.port)},
        {QStringLiteral("run"), m_settings.run},
        {QStringLiteral("user"), m_settings.user},
        {QStringLiteral("forwardAgent"), m_settings.forwardAgent},
        {QStringLiteral("sshOptions"), QJsonArray::fromStringList(m_settings.sshOptions)},
        {QStringLiteral("usePlink"), m_settings.usePlink},
        {QStringLiteral("debugLogging"), m_settings.debugLogging},
        {QStringLiteral("plinkOptions"), QJsonArray::fromStringList(m_settings.plinkOptions)},
    };
}

void SshConnection::fromJson(const QJsonObject& json) {
    if (json.contains(QLatin1String("readOnly")))
        setSystem(json.value(QLatin1String("readOnly")).toBool(false));
    if (json.contains(QLatin1String("filename")))
        m_filename = json.value(QLatin1String("filename")).toString();
    if (json.contains(QLatin1String("name")))
        m_connectionName = json.value(QLatin1String("name")).toString();
    if (json.contains(QLatin1String("host")))
        m_settings.host = json.value(QLatin1String("host")).toString();
    // A port out of range counts as absent: 0 would leave the choice to ssh, which is not what it says.
    if (json.contains(QLatin1String("port")) && !portOutOfRange(json.value(QLatin1String("port"))))
        m_settings.port = portFromJson(json.value(QLatin1String("port")));
    if (json.contains(QLatin1String("user")))
        m_settings.user = json.value(QLatin1String("user")).toString();
    m_settings.run = json.contains(QLatin1String("run")) ? json.value(QLatin1String("run")).toString() : DefaultRun;
    if (json.contains(QLatin1String("forwardAgent")))
        m_settings.forwardAgent = json.value(QLatin1String("forwardAgent")).toBool(true);
    if (json.contains(QLatin1String("usePlink")))
        m_settings.usePlink = json.value(QLatin1String("usePlink")).toBool(false);
    if (json.contains(QLatin1String("debugLogging")))
        m_settings.debugLogging = json.value(QLatin1String("debugLogging")).toBool(false);
    readList(json, QLatin1String("sshOptions"), m_settings.sshOptions);
    readList(json, QLatin1String("plinkOptions"), m_settings.plinkOptions);
}

QString SshConnection::url() const {
    QString text = QStringLiteral("ssh://") + m_settings.host;
    if (m_settings.port != 0 && m_settings.port != 22)
        text += QLatin1Char(':') + QString::number(m_settings.port);
    return text;
}

QString SshConnection::description() const {
    QStringList lines;
    if (!m_connectionName.isEmpty())
        lines << tr("Name: %1").arg(m_connectionName);
    if (!m_settings.host.isEmpty())
        lines << tr("Host: %1").arg(m_settings.host);
    if (m_settings.port != 22)
        lines << tr("Port: %1").arg(m_settings.port);
    if (!m_settings.user.isEmpty())
        lines << tr("User: %1").arg(m_settings.user);
    if (!m_settings.run.isEmpty())
        lines << tr("Run: %1").arg(m_settings.run);
    return lines.join(QLatin1Char('\n'));
}

void SshConnection::addCommandLineOptions(QCommandLineParser& parser) {
    parser.addOption({QStringLiteral("ssh"), tr("SSH Mode")});
    parser.addOption({QStringLiteral("host"), tr("SSH hostname"), QStringLiteral("SSH_HOST")});
    parser.addOption({QStringLiteral("port"), tr("SSH port"), QStringLiteral("SSH_PORT")});
    parser.addOption({QStringLiteral("user"), tr("Remote username"), QStringLiteral("USER")});
    parser.addOption({QStringLiteral("sci"), tr("Remote SCI"), QStringLiteral("SCI")});
    parser.addOption({QStringLiteral("fa"), tr("Forward agent switch")});
    parser.addOption({QStringLiteral("dl"), tr("Verbose ssh logging switch")});
}

bool SshConnection::fromCommandLine(const QCommandLineParser& parser, SshConnection& connection, QString* error) {
    const auto fail = [error](const QString& reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!parser.isSet(QStringLiteral("ssh")))
        return fail(tr("the option --ssh is missing"));
    if (!parser.isSet(QStringLiteral("host")))
        return fail(tr("the option --host is missing"));
    // A host or user that ssh could read as an option, or that holds blanks or control characters,
    // is refused before anything starts.
    static const QRegularExpression unsafe(QStringLiteral("^-|[\\s\\x00-\\x1f\\x7f]"));
    const QString host = parser.value(QStringLiteral("host"));
    const QString user = parser.value(QStringLiteral("user"));
    if (host.isEmpty())
        return fail(tr("the option --host has no value"));
    if (host.contains(unsafe))
        return fail(tr("the value of --host begins with \"-\" or holds blanks or control characters"));
    if (user.contains(unsafe))
        return fail(tr("the value of --user begins with \"-\" or holds blanks or control characters"));
    SshLaunchSettings& settings = connection.m_settings;
    settings.host = host;
    if (parser.isSet(QStringLiteral("port")))
        settings.port = parser.value(QStringLiteral("port")).toUShort(); // not a number: 0
    if (parser.isSet(QStringLiteral("user")))
        settings.user = parser.value(QStringLiteral("user"));
    if (parser.isSet(QStringLiteral("sci")))
        settings.run = parser.value(QStringLiteral("sci"));
    if (parser.isSet(QStringLiteral("fa")))
        settings.forwardAgent = true;
    if (parser.isSet(QStringLiteral("dl")))
        settings.debugLogging = true;
    return true;
}
