#include "connections/SshConnectionWidget.h"

#include "connections/SshConnection.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>

namespace {

const char defaultRun[] = "exec velnor-protocol";

} // namespace

SshConnectionWidget::SshConnectionWidget(const QJsonObject& json, QWidget* parent)
    : ConnectionEditorWidget(json, parent) {
    setObjectName(QStringLiteral("SshConnectionWidget"));
    setWindowTitle(QStringLiteral("Form"));
    auto* outer = new QFormLayout(this);
    auto* tabs = new QTabWidget(this);
    outer->addRow(tabs);
    auto* general = new QWidget(tabs);
    auto* generalForm = new QFormLayout(general);
    makeAddressFields(general, QStringLiteral("22"));
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

    fillAddressFields();
    const QString run = json.value(QLatin1String("run")).toString();
    m_run->setText(run.isEmpty() ? QLatin1String(defaultRun) : run);
    m_agent->setChecked(json.value(QLatin1String("forwardAgent")).toBool(true));
    m_debug->setChecked(json.value(QLatin1String("debugLogging")).toBool(false));
    m_sshOptionsShown = listToText(json.value(QLatin1String("sshOptions")));
    m_sshOptions->setText(m_sshOptionsShown);
}

void SshConnectionWidget::save() {
    saveAddressFields();
    m_json.insert(QStringLiteral("run"), m_run->text());
    m_json.insert(QStringLiteral("forwardAgent"), m_agent->isChecked());
    m_json.insert(QStringLiteral("debugLogging"), m_debug->isChecked());
    // The text shows a list only approximately (empty items are left out): a stored list whose text
    // was not edited stays as it is.
    if (!m_json.value(QLatin1String("sshOptions")).isArray() || m_sshOptions->text() != m_sshOptionsShown)
        m_json.insert(QStringLiteral("sshOptions"),
                      QJsonArray::fromStringList(textToList(m_sshOptions->text())));
}

ConnectionPtr SshConnectionWidget::connection() const {
    auto connection = std::make_shared<SshConnection>();
    connection->fromJson(m_json);
    return connection;
}
