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

ConnectionEditorWidget::ConnectionEditorWidget(const QJsonObject& json, QWidget* parent)
    : QWidget(parent)
    , m_json(json) {}

QLineEdit* ConnectionEditorWidget::field(QWidget* parent, const char* name, const QString& placeholder) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    return edit;
}

void ConnectionEditorWidget::makeAddressFields(QWidget* parent, const QString& portPlaceholder) {
    m_host = field(parent, "HostLineEdit", QStringLiteral("server.example.com"));
    m_user = field(parent, "UserLineEdit", QStringLiteral("username"));
    m_port = field(parent, "PortLineEdit", portPlaceholder);
    m_name = field(parent, "NameLineEdit");
    m_host->setValidator(new QRegularExpressionValidator(hostPattern, m_host));
    m_port->setValidator(new QIntValidator(1, 65535, m_port));
}

void ConnectionEditorWidget::fillAddressFields() {
    m_name->setText(m_json.value(QLatin1String("name")).toString());
    m_host->setText(m_json.value(QLatin1String("host")).toString());
    m_user->setText(m_json.value(QLatin1String("user")).toString());
    const int port = m_json.value(QLatin1String("port")).toInt();
    m_port->setText(port >= 1 && port <= 65535 ? QString::number(port) : QString());
    // The port counts for savability as much as the host.
    connect(m_host, &QLineEdit::textChanged, this, &ConnectionEditorWidget::savable);
    connect(m_port, &QLineEdit::textChanged, this, &ConnectionEditorWidget::savable);
}

bool ConnectionEditorWidget::isSavable() const {
    return acceptable(m_host) && (m_port->text().isEmpty() || acceptable(m_port));
}

void ConnectionEditorWidget::saveAddressFields() {
    m_json.insert(QStringLiteral("name"), m_name->text());
    m_json.insert(QStringLiteral("host"), m_host->text());
    bool ok = false;
    const uint value = m_port->text().toUInt(&ok);
    if (ok && value >= 1 && value <= 65535)
        m_json.insert(QStringLiteral("port"), int(value));
    else
        m_json.remove(QStringLiteral("port"));
    m_json.insert(QStringLiteral("user"), m_user->text());
}
