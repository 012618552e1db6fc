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
    static const QRegularExpression needsQuotes(QStringLiteral("[\\s\"]"));
    QStringList parts;
    for (const QJsonValue& item : value.toArray()) {
        QString text = item.isString() ? item.toString() : item.toVariant().toString();
        if (text.isEmpty())
            continue;
        if (text.contains(needsQuotes)) {
            // Inside quotes a backslash escapes a quote or a backslash, so the item comes back whole.
            text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
                .replace(QLatin1Char('"'), QLatin1String("\\\""));
            text = QLatin1Char('"') + text + QLatin1Char('"');
        }
        parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

QStringList ConnectionEditorWidget::textToList(const QString& text) {
    const QString trimmed = text.trimmed();
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    if (!trimmed.contains(QLatin1Char('"')))
        return trimmed.split(blanks);
    // Unquoted text splits at blanks; a quoted part, up to the next unescaped quote or the end, is one
    // item.
    QStringList items;
    QString unquoted;
    const auto flushUnquoted = [&items, &unquoted] {
        for (const QString& part : unquoted.split(blanks, Qt::SkipEmptyParts))
            items << part;
        unquoted.clear();
    };
    for (int i = 0; i < trimmed.size(); ++i) {
        if (trimmed.at(i) != QLatin1Char('"')) {
            unquoted += trimmed.at(i);
            continue;
        }
        flushUnquoted();
        QString quoted;
        for (++i; i < trimmed.size() && trimmed.at(i) != QLatin1Char('"'); ++i) {
            const bool escape =
                trimmed.at(i) == QLatin1Char('\\') && i + 1 < trimmed.size() &&
                (trimmed.at(i + 1) == QLatin1Char('"') || trimmed.at(i + 1) == QLatin1Char('\\'));
            if (escape)
                ++i;
            quoted += trimmed.at(i);
        }
        quoted = quoted.trimmed();
        if (!quoted.isEmpty())
            items << quoted;
    }
    flushUnquoted();
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
