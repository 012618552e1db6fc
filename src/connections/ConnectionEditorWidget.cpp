#include "connections/ConnectionEditorWidget.h"

#include <QIntValidator>
#include <QJsonArray>
#include <QLineEdit>
#include <QRegularExpression>
#include <QRegularExpressionValidator>

namespace {

// A host that begins with "-" would reach ssh as an option.
const QRegularExpression hostPattern(QStringLiteral("[^\\s-].*"));

// An item in double quotes, as textToList reads it back: a quote inside becomes \", and backslashes
// just before a quote or the closing quote are doubled. Other backslashes stay single, as typed.
QString quoted(const QString& item) {
    QString text(QLatin1Char('"'));
    int backslashes = 0;
    for (const QChar c : item) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        if (c == QLatin1Char('"'))
            text += QString(backslashes * 2 + 1, QLatin1Char('\\'));
        else
            text += QString(backslashes, QLatin1Char('\\'));
        backslashes = 0;
        text += c;
    }
    text += QString(backslashes * 2, QLatin1Char('\\'));
    return text + QLatin1Char('"');
}

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
        if (text.contains(needsQuotes))
            text = quoted(text);
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
        QString item;
        for (++i; i < trimmed.size() && trimmed.at(i) != QLatin1Char('"'); ++i) {
            if (trimmed.at(i) != QLatin1Char('\\')) {
                item += trimmed.at(i);
                continue;
            }
            int end = i;
            while (end < trimmed.size() && trimmed.at(end) == QLatin1Char('\\'))
                ++end;
            const int run = end - i;
            if (end == trimmed.size() || trimmed.at(end) != QLatin1Char('"')) {
                // Backslashes before anything but a quote are what they are.
                item += QString(run, QLatin1Char('\\'));
                i = end - 1;
                continue;
            }
            // Before a quote, pairs are backslashes and an odd one makes the quote part of the item.
            item += QString(run / 2, QLatin1Char('\\'));
            if (run % 2 == 1) {
                item += QLatin1Char('"');
                i = end;
            } else {
                i = end - 1;
            }
        }
        item = item.trimmed();
        if (!item.isEmpty())
            items << item;
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
