#pragma once

#include "connections/Connection.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>
#include <QWidget>

class QLineEdit;

// The form of one connection kind: built from the connection's JSON object, writes the input back
// into it key by key (keys the form does not show stay as they are) and says whether it can be saved.
class ConnectionEditorWidget : public QWidget {
    Q_OBJECT
public:
    virtual ConnectionPtr connection() const = 0;
    QJsonObject json() const { return m_json; }
    virtual void save() = 0;
    // The host is acceptable under its validator, and the port is empty or a number 1 to 65535.
    bool isSavable() const;

    // Option lists as the user types them: items separated by blanks, an item with blanks or quotes
    // in double quotes. Inside quotes \" stands for a quote and other backslashes for themselves; only
    // backslashes just before a quote are paired, as listToText writes them.
    static QString listToText(const QJsonValue& value);
    static QStringList textToList(const QString& text);

signals:
    void canSave(bool savable);

public slots:
    void savable() { emit canSave(isSavable()); }

protected:
    ConnectionEditorWidget(const QJsonObject& json, QWidget* parent);

    static QLineEdit* field(QWidget* parent, const char* name, const QString& placeholder = QString());
    // The fields both kinds show: host, user, port and name, made under parent with their checks.
    void makeAddressFields(QWidget* parent, const QString& portPlaceholder);
    // Fills the address fields from the JSON object; from then on every change of the host or the
    // port re-evaluates savability.
    void fillAddressFields();
    // Writes the address fields into the JSON object; "port" is removed when the field holds no port.
    void saveAddressFields();

    QJsonObject m_json;
    QLineEdit* m_host = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_name = nullptr;
};
