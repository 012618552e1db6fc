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
    void save() override;

private:
    QLineEdit* m_run = nullptr;
    QLineEdit* m_sshOptions = nullptr;
    // The options field's text as filled from the object.
    QString m_sshOptionsShown;
    QCheckBox* m_agent = nullptr;
    QCheckBox* m_debug = nullptr;
};
