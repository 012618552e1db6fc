#include "connections/SshConnectionWidget.h"

#include "connections/SshConnection.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>

namespace {

QLineEdit* field(QWidget* parent, const char* name, const QString& placeholder = QString()) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    return edit;
}

const char defaultRun[] = "exec velnor-protocol";

} // namespace

SshConnectionWidget::SshConnectionWidget(const QJsonObject& json, QWidget* parent)
    : ConnectionEditorWidget(parent)
    , m_json(json) {
    setObjectName(QStringLiteral("SshConnectionWidget"));
    setWindowTitle(QStringLiteral("Form"));
    auto* outer = new QFormLayout(this);
    auto* tabs = new QTabWidget(this);
    outer->addRow(tabs);
    auto* general = new QWidget(tabs);
    auto* generalForm = new QFormLayout(general);
    m_host = field(general, "HostLineEdit", QStringLiteral("server.example.com"));
    m_user = field(general, "UserLineEdit", QStringLiteral("username"));
    m_port = field(general, "PortLineEdit", QStringLiteral("22"));
    m_name = field(general, "NameLineEdit");
    generalForm->addRow(new QLabel(tr("Host<span style=\"color:#aa0000;\">*</span>"), general), m_host);
    generalForm->addRow(tr("User"), m_user);
    generalForm->addRow(new QLabel(tr("Port"), general), m_port);
    generalForm->addRow(tr("Name"), m_name);
    tabs->addTab(general, tr("General"));

    auto* advanced = new QWidget(tabs);
    auto* advancedForm = new QFormLayout(advanced);
    m_run = field(advanced, "SciLineEdit", QLatin1String(defaultRun));
    auto* runLabel = new QLabel(tr("Run"), advanced);
    runLabel->setObjectName(QStringLiteral("SciLabel"));
    advancedForm->addRow(runLabel, m_run);
    m_sshOptions = field(advanced, "SshOptionsEdit");
    auto* optionsLabel = new QLabel(tr("SSH Options"), advanced);
    optionsLabel->setObjectName(QStringLiteral("SshOptionsLabel"));
    advancedForm->addRow(optionsLabel, m_sshOptions);
    m_agent = new QCheckBox(tr("Forward Agent Connections"), advanced);
    m_agent->setObjectName(QStringLiteral("AgentCheckBox"));
    m_debug = new QCheckBox(tr("Debug Logging"), advanced);
    m_debug->setObjectName(QStringLiteral("DebugCheckBox"));
    advancedForm->addRow(QString(), m_agent);
    advancedForm->addRow(QString(), m_debug);
    tabs->addTab(advanced, tr("Advanced"));
    tabs->setCurrentIndex(0);
    setupHostAndPort(m_host, m_port);

    m_name->setText(json.value(QLatin1String("name")).toString());
    m_host->setText(json.value(QLatin1String("host")).toString());
    m_user->setText(json.value(QLatin1String("user")).toString());
    m_port->setText(portText(json));
    const QString run = json.value(QLatin1String("run")).toString();
    m_run->setText(run.isEmpty() ? QLatin1String(defaultRun) : run);
    m_agent->setChecked(json.value(QLatin1String("forwardAgent")).toBool(true));
    m_debug->setChecked(json.value(QLatin1String("debugLogging")).toBool(false));
    m_sshOptions->setText(listToText(json.value(QLatin1String("sshOptions"))));

    QMetaObject::connectSlotsByName(this);
    connect(m_port, &QLineEdit::textChanged, this, &ConnectionEditorWidget::savable);
}

bool SshConnectionWidget::isSavable() const {
    return fieldsSavable(m_host, m_port);
}

void SshConnectionWidget::save() {
    m_json.insert(QStringLiteral("name"), m_name->text());
    m_json.insert(QStringLiteral("host"), m_host->text());
    savePort(m_json, m_port);
    m_json.insert(QStringLiteral("user"), m_user->text());
    m_json.insert(QStringLiteral("run"), m_run->text());
    m_json.insert(QStringLiteral("forwardAgent"), m_agent->isChecked());
    m_json.insert(QStringLiteral("debugLogging"), m_debug->isChecked());
    m_json.insert(QStringLiteral("sshOptions"), QJsonArray::fromStringList(textToList(m_sshOptions->text())));
}

ConnectionPtr SshConnectionWidget::connection() const {
    auto connection = std::make_shared<SshConnection>();
    connection->fromJson(m_json);
    connection->setSystem(m_json.value(QLatin1String("readOnly")).toBool());
    return connection;
}
