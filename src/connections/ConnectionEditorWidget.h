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
    using QWidget::QWidget;

    virtual ConnectionPtr connection() const = 0;
    virtual QJsonObject json() const = 0;
    virtual void save() = 0;
    virtual bool isSavable() const = 0;

    // Option lists as the user types them: items separated by blanks, an item with blanks in quotes.
    static QString listToText(const QJsonValue& value);
    static QStringList textToList(const QString& text);

signals:
    void canSave(bool savable);

public slots:
    void savable() { emit canSave(isSavable()); }

protected:
    // The host is acceptable under its validator, and the port is empty or a number 1 to 65535.
    static bool fieldsSavable(const QLineEdit* host, const QLineEdit* port);
    static void setupHostAndPort(QLineEdit* host, QLineEdit* port);
    static QString portText(const QJsonObject& json);
    // "port" set from the field, removed when the field holds no port.
    static void savePort(QJsonObject& json, const QLineEdit* port);
};
