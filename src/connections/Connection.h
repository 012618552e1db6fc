#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

#include <memory>

class ConnectionEditorWidget;
class QWidget;

// One stored way of reaching a server. Everything that differs between the kinds is virtual.
class Connection {
public:
    virtual ~Connection();

    QString filePath() const { return m_filePath; }
    void setFilePath(QString path) { m_filePath = std::move(path); }
    // Display name given by the store.
    QString name() const { return m_name; }
    void setName(QString name) { m_name = std::move(name); }
    bool isFavorite() const { return m_favorite; }
    void setFavorite(bool favorite) { m_favorite = favorite; }
    // The file lies in the machine-wide folder: not to be edited or deleted.
    bool isSystem() const { return m_system; }
    void setSystem(bool system) { m_system = system; }

    // The object of the connection file, "type" included.
    virtual QJsonObject toJson() const = 0;
    // Fills the fields from a file object; a key that is absent leaves its field unchanged.
    virtual void fromJson(const QJsonObject& json) = 0;
    // One-line address for the list.
    virtual QString url() const = 0;
    // "Label: value" lines joined by line feeds.
    virtual QString description() const = 0;
    // A new, unparented editor of the kind, filled from toJson().
    virtual ConnectionEditorWidget* createEditorWidget() const = 0;
    // Creates the connection's server interface, session page and sign-in dialog; returns the page.
    virtual QWidget* open(QWidget* parent) = 0;

protected:
    Connection() = default;
    Connection(const Connection&) = default;
    Connection& operator=(const Connection&) = default;

private:
    QString m_filePath;
    QString m_name;
    bool m_favorite = false;
    bool m_system = false;
};

using ConnectionPtr = std::shared_ptr<Connection>;
Q_DECLARE_METATYPE(ConnectionPtr)

// Registers ConnectionPtr under its name for queued signals; idempotent.
void registerConnectionPtrMetaType();
