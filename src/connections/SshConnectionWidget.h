#pragma once

#include "connections/ConnectionEditorWidget.h"

class QCheckBox;

// The form of an ssh connection. ssh always runs here: the other ssh program's settings are not
// offered, and what a file says of them is kept as it is.
class SshConnectionWidget : public ConnectionEditorWidget {
    Q_OBJECT
public:
    explicit SshConnectionWidget(const QJsonObject& json, QWidget* parent = nullptr);

    ConnectionPtr connection() const override;
    QJsonObject json() const override { return m_json; }
    void save() override;
    bool isSavable() const override;

private slots:
    void on_HostLineEdit_textChanged(const QString&) { savable(); }

private:
    QJsonObject m_json;
    QLineEdit* m_host = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_name = nullptr;
    QLineEdit* m_run = nullptr;
    QLineEdit* m_sshOptions = nullptr;
    QCheckBox* m_agent = nullptr;
    QCheckBox* m_debug = nullptr;
};
