#include "viewer/widgets/NameDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

const QString kViewer = QStringLiteral("viewer");
const QString kController = QStringLiteral("controller");
const QString kMaster = QStringLiteral("master");

} // namespace

NameDialog::NameDialog(const QString& name, const QString& email, const QString& role, QWidget* parent)
    : QDialog(parent)
    , m_nameLabel(new QLabel(tr("Display Name"), this))
    , m_nameEdit(new QLineEdit(name, this))
    , m_roleLabel(new QLabel(tr("Role"), this))
    , m_roleCombo(new QComboBox(this))
    , m_emailLabel(new QLabel(tr("Email"), this))
    , m_emailEdit(new QLineEdit(email, this))
    , m_buttons(new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this)) {
    setWindowTitle(tr("Enter Your Name"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    resize(439, 166);

    m_nameEdit->setObjectName(QStringLiteral("NameLineEdit"));
    m_roleCombo->setObjectName(QStringLiteral("RoleComboBox"));
    m_emailEdit->setObjectName(QStringLiteral("EmailLineEdit"));
    m_buttons->setObjectName(QStringLiteral("ButtonBox"));

    m_roleCombo->addItem(tr("Make Viewer"), kViewer);
    m_roleCombo->addItem(tr("Make Moderator"), kController);
    m_roleCombo->addItem(tr("Owner"), kMaster);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_nameLabel);
    layout->addWidget(m_nameEdit);
    layout->addWidget(m_roleLabel);
    layout->addWidget(m_roleCombo);
    layout->addWidget(m_emailLabel);
    layout->addWidget(m_emailEdit);
    layout->addWidget(m_buttons);
    m_emailLabel->hide();
    m_emailEdit->hide();

    const int shown = m_roleCombo->findData(role);
    m_roleCombo->setCurrentIndex(shown >= 0 ? shown : m_roleCombo->findData(kViewer));
    if (role == kMaster) {
        setRoleEditable(false);
    } else {
        m_roleCombo->removeItem(m_roleCombo->findData(kMaster));
    }

    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

QString NameDialog::name() const {
    return m_nameEdit->text();
}

QString NameDialog::role() const {
    return m_roleCombo->currentData().toString();
}

void NameDialog::setRoleEditable(bool editable) {
    m_roleLabel->setEnabled(editable);
    m_roleCombo->setEnabled(editable);
}

bool NameDialog::isRoleEditable() const {
    return m_roleCombo->isEnabled();
}
