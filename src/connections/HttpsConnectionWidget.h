#pragma once

#include "connections/ConnectionEditorWidget.h"

class QCheckBox;
class QComboBox;

// The form of an https connection.
class HttpsConnectionWidget : public ConnectionEditorWidget {
    Q_OBJECT
public:
    explicit HttpsConnectionWidget(const QJsonObject& json, QWidget* parent = nullptr);

    ConnectionPtr connection() const override;
    QJsonObject json() const override { return m_json; }
    void save() override;
    bool isSavable() const override;

private slots:
    void on_HostLineEdit_textChanged(const QString&) { savable(); }
    void on_AuthComboBox_currentTextChanged(const QString& text);

private:
    QJsonObject m_json;
    QLineEdit* m_host = nullptr;
    QLineEdit* m_user = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_uri = nullptr;
    QComboBox* m_auth = nullptr;
    QLineEdit* m_name = nullptr;
    QCheckBox* m_ssl = nullptr;
    QCheckBox* m_direct = nullptr;
};
