#include "rpc/ConnectInfo.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonValue>

namespace {

void readString(const QJsonObject& object, const char* key, QString& field) {
    const QJsonValue v = object.value(QLatin1String(key));
    if (v.isString())
        field = v.toString();
}

// A port outside 0..65535 is no port at all rather than some other port.
void readPort(const QJsonObject& object, const char* key, quint16& field) {
    const QJsonValue v = object.value(QLatin1String(key));
    if (!v.isDouble())
        return;
    const double d = v.toDouble();
    field = (d >= 0 && d < 65536) ? static_cast<quint16>(d) : 0;
}

} // namespace

ConnectInfo ConnectInfo::fromJson(const QJsonObject& reply) {
    ConnectInfo info;
    readString(reply, "id", info.m_id);
    readString(reply, "password", info.m_password);
    readString(reply, "geometry", info.m_geometry);
    readString(reply, "windowMode", info.m_windowMode);
    readString(reply, "baseUrl", info.m_baseUrl);
    readString(reply, "uri", info.m_uri);
    readPort(reply, "tcpPort", info.m_tcpPort);
    readPort(reply, "webSocketPort", info.m_webSocketPort);

    const QJsonValue urls = reply.value(QLatin1String("urls"));
    if (urls.isArray()) {
        for (const QJsonValue& u : urls.toArray())
            info.m_urls.append(u.toString());
    }

    const QJsonValue params = reply.value(QLatin1String("params"));
    if (params.isObject()) {
        const QJsonObject p = params.toObject();
        for (auto it = p.begin(); it != p.end(); ++it)
            info.m_params.insert(it.key(), it.value().toVariant());
    }

    for (const char* key : {"authtoken", "signData", "prompt"}) {
        const QJsonValue v = reply.value(QLatin1String(key));
        if (v.isString())
            info.m_auth.insert(QLatin1String(key), v.toString());
    }

    const QString stage = reply.value(QLatin1String("stage")).toString();
    if (!stage.isEmpty()) {
        info.m_stage = stage;
        if (!info.m_auth.isEmpty())
            info.m_auth.insert(QStringLiteral("stage"), stage);
    }

    if (info.m_stage == QLatin1String("schedule")) {
        info.m_scheduleCode = reply.value(QLatin1String("code")).toInt(0);
        info.m_scheduleHtml = reply.value(QLatin1String("html")).toBool(false);
        for (const QJsonValue& entry : reply.value(QLatin1String("output")).toArray()) {
            if (!entry.isObject())
                continue;
            const QJsonObject o = entry.toObject();
            info.m_scheduleOutput.append(ScheduleOutputLine{o.value(QLatin1String("line")).toString(),
                                                            o.value(QLatin1String("type")).toString(),
                                                            o.value(QLatin1String("eof")).toBool()});
        }
    }

    if (info.m_stage == QLatin1String("form")) {
        const QJsonObject form = reply.value(QLatin1String("form")).toObject();
        info.m_form.id = form.value(QLatin1String("id")).toString();
        info.m_form.html = form.value(QLatin1String("html")).toString();
        info.m_form.name = form.value(QLatin1String("name")).toString();
        info.m_form.allowUnsafeHtml = form.value(QLatin1String("allowUnsafeHtml")).toBool(false);
    }
    return info;
}

QVariant ConnectInfo::param(const QString& key, const QVariant& defaultValue) const {
    const auto it = m_params.constFind(key);
    return it == m_params.constEnd() ? defaultValue : it.value();
}

QString ConnectInfo::scheduleResultHtml() const {
    if (m_scheduleOutput.isEmpty()) {
        if (m_scheduleCode == 0)
            return QCoreApplication::translate("ConnectInfo", "The session has been scheduled.");
        return QCoreApplication::translate("ConnectInfo", "The schedule operation failed with code %1.")
            .arg(m_scheduleCode);
    }

    int stdoutCount = 0;
    for (const ScheduleOutputLine& l : m_scheduleOutput) {
        if (l.type == QLatin1String("stdout"))
            ++stdoutCount;
    }

    QString html;
    if (stdoutCount == 0)
        html = QStringLiteral("<strong>%1</strong><br />")
                   .arg(QCoreApplication::translate("ConnectInfo", "The schedule operation returned this:"));
    for (const ScheduleOutputLine& l : m_scheduleOutput) {
        if (l.type == QLatin1String("stdout")) {
            html += m_scheduleHtml ? l.line + QLatin1Char('\n')
                                   : l.line.toHtmlEscaped() + QLatin1String("<br />\n");
        } else if (stdoutCount != 0) {
            html += QLatin1String("<span class=\"text-danger\">") + l.line.toHtmlEscaped() +
                    QLatin1String("</span><br />\n");
        } else {
            html += l.line.toHtmlEscaped() + QLatin1String("<br />\n");
        }
    }
    return html;
}
