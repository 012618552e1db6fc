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
    void save() override;

private slots:
    void on_AuthComboBox_currentTextChanged(const QString& text);

private:
    QLineEdit* m_uri = nullptr;
    QComboBox* m_auth = nullptr;
    QCheckBox* m_ssl = nullptr;
    QCheckBox* m_direct = nullptr;
};
