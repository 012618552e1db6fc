#include "connections/HttpsConnectionWidget.h"

#include "connections/HttpsConnection.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

HttpsConnectionWidget::HttpsConnectionWidget(const QJsonObject& json, QWidget* parent)
    : ConnectionEditorWidget(json, parent) {
    setObjectName(QStringLiteral("HttpsConnectionWidget"));
    setWindowTitle(QStringLiteral("HTTPS"));
    auto* form = new QFormLayout(this);
    makeAddressFields(this, QStringLiteral("3300"));
    m_uri = field(this, "UriLineEdit");
    m_auth = new QComboBox(this);
    m_auth->setObjectName(QStringLiteral("AuthComboBox"));
    m_auth->addItems({QStringLiteral("SSH"), QStringLiteral("OpenID Connect"), QStringLiteral("SAML")});
    m_ssl = new QCheckBox(tr("Ignore SSL errors"), this);
    m_ssl->setObjectName(QStringLiteral("SslCheckBox"));
    m_direct = new QCheckBox(tr("Route all Connections Through Gateway"), this);
    m_direct->setObjectName(QStringLiteral("DisableDirectModeCheckBox"));
    form->addRow(new QLabel(tr("Host<span style=\"color:#aa0000;\">*</span>"), this), m_host);
    form->addRow(tr("User"), m_user);
    form->addRow(new QLabel(tr("Port"), this), m_port);
    form->addRow(tr("Uri"), m_uri);
    form->addRow(tr("Auth"), m_auth);
    form->addRow(tr("Name"), m_name);
    form->addRow(QString(), m_ssl);
    form->addRow(QString(), m_direct);
    // Tab follows the rows; the name field was made before the uri and auth fields.
    setTabOrder(m_port, m_uri);
    setTabOrder(m_uri, m_auth);

    fillAddressFields();
    m_uri->setText(json.value(QLatin1String("uri")).toString());
    // Certificates are verified unless the file says otherwise.
    m_ssl->setChecked(json.value(QLatin1String("ignoreSslErrors")).toBool(false));
    m_direct->setChecked(json.value(QLatin1String("disableDirectMode")).toBool(false));
    const QString method = json.contains(QLatin1String("authMethod"))
                               ? json.value(QLatin1String("authMethod")).toString()
                               : QStringLiteral("ssh");
    const int item = m_auth->findText(method, Qt::MatchExactly | Qt::MatchCaseSensitive);
    m_auth->setCurrentIndex(item >= 0 ? item : 0);
    m_user->setEnabled(m_auth->currentText() == QLatin1String("SSH"));

    QMetaObject::connectSlotsByName(this);
}

void HttpsConnectionWidget::on_AuthComboBox_currentTextChanged(const QString& text) {
    m_user->setEnabled(text == QLatin1String("SSH"));
    savable();
}

void HttpsConnectionWidget::save() {
    saveAddressFields();
    m_json.insert(QStringLiteral("uri"), m_uri->text());
    m_json.insert(QStringLiteral("ignoreSslErrors"), m_ssl->isChecked());
    m_json.insert(QStringLiteral("disableDirectMode"), m_direct->isChecked());
    m_json.insert(QStringLiteral("authMethod"), m_auth->currentText());
}

ConnectionPtr HttpsConnectionWidget::connection() const {
    auto connection = std::make_shared<HttpsConnection>();
    connection->fromJson(m_json);
    return connection;
}
