#include "connections/ConnectionEditorWidget.h"

#include <QIntValidator>
#include <QJsonArray>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace {

// A host that begins with "-" would reach ssh as an option.
const QRegularExpression hostPattern(QStringLiteral("[^\\s-].*"));

bool acceptable(const QLineEdit* edit) {
    QString text = edit->text();
    int pos = 0;
    return edit->validator() && edit->validator()->validate(text, pos) == QValidator::Acceptable;
}

} // namespace

QString ConnectionEditorWidget::listToText(const QJsonValue& value) {
    if (value.isString())
        return value.toString();
    if (!value.isArray())
        return QString();
    QStringList parts;
    for (const QJsonValue& item : value.toArray()) {
        const QString text = item.isString() ? item.toString() : item.toVariant().toString();
        if (text.isEmpty())
            continue;
        parts << (text.contains(QRegularExpression(QStringLiteral("\\s"))) ? QLatin1Char('"') + text + QLatin1Char('"')
                                                                              : text);
    }
    return parts.join(QLatin1Char(' '));
}

QStringList ConnectionEditorWidget::textToList(const QString& text) {
    const QString trimmed = text.trimmed();
    const QStringList pieces = trimmed.split(QLatin1Char('"'));
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    if (pieces.size() == 1)
        return trimmed.split(blanks);
    QStringList items;
    for (int i = 0; i < pieces.size(); ++i) {
        if (i % 2 == 1) {
            const QString quoted = pieces.at(i).trimmed();
            if (!quoted.isEmpty())
                items << quoted;
        } else {
            for (const QString& part : pieces.at(i).split(blanks))
                if (!part.trimmed().isEmpty())
                    items << part.trimmed();
        }
    }
    return items;
}

bool ConnectionEditorWidget::fieldsSavable(const QLineEdit* host, const QLineEdit* port) {
    return acceptable(host) && (port->text().isEmpty() || acceptable(port));
}

void ConnectionEditorWidget::setupHostAndPort(QLineEdit* host, QLineEdit* port) {
    host->setValidator(new QRegularExpressionValidator(hostPattern, host));
    port->setValidator(new QIntValidator(1, 65535, port));
}

QString ConnectionEditorWidget::portText(const QJsonObject& json) {
    const int port = json.value(QLatin1String("port")).toInt();
    return port >= 1 && port <= 65535 ? QString::number(port) : QString();
}

void ConnectionEditorWidget::savePort(QJsonObject& json, const QLineEdit* port) {
    bool ok = false;
    const uint value = port->text().toUInt(&ok);
    if (ok && value >= 1 && value <= 65535)
        json.insert(QStringLiteral("port"), int(value));
    else
        json.remove(QStringLiteral("port"));
}
