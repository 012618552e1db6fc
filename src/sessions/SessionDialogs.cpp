#include "sessions/SessionDialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextEdit>
#include <QVBoxLayout>

namespace {

void removeHelpButton(QDialog* dialog) {
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
}

QDialogButtonBox* standardButtons(QDialog* dialog, QDialogButtonBox::StandardButtons buttons,
                                  const char* name = "ButtonBox") {
    auto* box = new QDialogButtonBox(buttons, dialog);
    box->setObjectName(QLatin1String(name));
    box->setOrientation(Qt::Horizontal);
    QObject::connect(box, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return box;
}

QPushButton* flatButton(QWidget* parent, const char* name, const char* icon, const QString& toolTip) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setFlat(true);
    button->setProperty("myFlat", true);
    button->setIcon(QIcon(QLatin1String(icon)));
    button->setToolTip(toolTip);
    return button;
}

QTableWidgetItem* fixedItem(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(item->flags() & ~Qt::ItemIsEditable);
    return item;
}

// One tab of a label above a text field; names are the tab's, its layout's, the label's and the field's.
struct TabNames {
    const char* tab;
    const char* layout;
    const char* label;
    const char* field;
};

QPlainTextEdit* addTextTab(QTabWidget* tabs, const TabNames& names, const QString& labelText,
                           const QString& tabText) {
    auto* tab = new QWidget(tabs);
    tab->setObjectName(QLatin1String(names.tab));
    auto* layout = new QVBoxLayout(tab);
    layout->setObjectName(QLatin1String(names.layout));
    auto* label = new QLabel(labelText, tab);
    label->setObjectName(QLatin1String(names.label));
    auto* field = new QPlainTextEdit(tab);
    field->setObjectName(QLatin1String(names.field));
    layout->addWidget(label);
    layout->addWidget(field);
    tabs->addTab(tab, tabText);
    return field;
}

} // namespace

// ---- ExecDialog

ExecDialog::ExecDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    setWindowTitle(tr("Dialog"));
    resize(400, 300);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tabWidget"));

    m_command = addTextTab(m_tabs, {"CommandTab", "verticalLayout_2", "label", "CommandTextEdit"},
                           tr("Command to Execute *"), tr("Command"));
    m_stdin = addTextTab(m_tabs, {"StdinTab", "verticalLayout_3", "label_2", "StdinTextEdit"}, tr("Stdin"),
                         tr("Stdin"));
    m_tabs->setCurrentIndex(0);

    m_background = new QCheckBox(tr("Run this command in the background"), this);
    m_background->setObjectName(QStringLiteral("BackgroundCheckBox"));
    m_buttons = standardButtons(this, QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(m_tabs);
    layout->addWidget(m_background);
    layout->addWidget(m_buttons);
    QMetaObject::connectSlotsByName(this);
    on_CommandTextEdit_textChanged();
}

void ExecDialog::on_CommandTextEdit_textChanged() {
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(!m_command->toPlainText().isEmpty());
}

void ExecDialog::done(int result) {
    if (result != QDialog::Accepted) {
        QDialog::done(result);
        return;
    }
    const QString command = m_command->toPlainText();
    if (command.isEmpty())
        return;
    QJsonObject params{{QStringLiteral("command"), command}};
    const bool background = m_background->isChecked();
    if (!background)
        params.insert(QStringLiteral("stdin"), m_stdin->toPlainText());
    params.insert(QStringLiteral("env"), QJsonObject());
    emit execCommand(params, background);
    close();
}

// ---- ExecOutputDialog

ExecOutputDialog::ExecOutputDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    setWindowTitle(tr("Dialog"));
    resize(640, 480);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    auto* label = new QLabel(tr("Output"), this);
    label->setObjectName(QStringLiteral("label"));
    m_output = new QTextBrowser(this);
    m_output->setObjectName(QStringLiteral("OutputText"));
    // Output is the server's text: nothing in it is followed.
    m_output->setOpenLinks(false);
    m_output->setOpenExternalLinks(false);
    m_exitCode = new QLabel(tr("Exit Code"), this);
    m_exitCode->setObjectName(QStringLiteral("ExitCodeLabel"));
    m_exitCode->setTextFormat(Qt::PlainText);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    connect(buttons, &QDialogButtonBox::clicked, this, &QDialog::close);
    layout->addWidget(label);
    layout->addWidget(m_output);
    layout->addWidget(m_exitCode);
    layout->addWidget(buttons);
}

void ExecOutputDialog::setExitCode(int code) {
    m_exitCode->setText(QStringLiteral("Exit Code: %1").arg(code));
}

void ExecOutputDialog::setOutput(const QString& html) {
    m_output->setHtml(html);
}

QString ExecOutputDialog::outputHtml(const QVariantList& output) {
    QStringList lines;
    lines.reserve(output.size());
    for (const QVariant& entry : output) {
        const QVariantMap element = entry.toMap();
        const bool error = element.value(QStringLiteral("type")).toString() == QLatin1String("stderr");
        const QString text = element.value(QStringLiteral("line")).toString().toHtmlEscaped();
        lines.append(QStringLiteral("<span %1>%2</span>")
                         .arg(error ? QStringLiteral("style=\"color:red;\"") : QString(), text));
    }
    // pre-wrap keeps runs of spaces and tabs as the command printed them.
    return QStringLiteral("<div style=\"white-space: pre-wrap;\">%1</div>")
        .arg(lines.join(QStringLiteral("<br />")));
}

// ---- InfoDialog

InfoDialog::InfoDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    setWindowTitle(tr("Session Info"));
    resize(600, 500);
    auto* layout = new QGridLayout(this);
    layout->setObjectName(QStringLiteral("gridLayout"));
    m_table = new QTableWidget(0, 2, this);
    m_table->setObjectName(QStringLiteral("TableWidget"));
    m_table->setHorizontalHeaderLabels({tr("Key"), tr("Value")});
    m_table->setShowGrid(true);
    m_table->setCornerButtonEnabled(true);
    m_table->setFrameShadow(QFrame::Sunken);
    m_table->horizontalHeader()->setDefaultSectionSize(150);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->verticalHeader()->setVisible(false);
    m_table->verticalHeader()->setHighlightSections(false);
    m_table->setSortingEnabled(true);
    m_buttons = new QDialogButtonBox(this);
    m_buttons->setObjectName(QStringLiteral("ButtonBox"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(m_table, 1, 0);
    layout->addWidget(m_buttons, 3, 0);
}

void InfoDialog::addButton(const QString& text) {
    m_buttons->addButton(text, QDialogButtonBox::AcceptRole);
}

void InfoDialog::addRow(const QString& key, const QString& value) {
    // Sorting would move the row between filling its two cells.
    const bool sorting = m_table->isSortingEnabled();
    m_table->setSortingEnabled(false);
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    m_table->setItem(row, 0, fixedItem(key));
    m_table->setItem(row, 1, fixedItem(value));
    m_table->setSortingEnabled(sorting);
}

// ---- LogDialog

LogDialog::LogDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    resize(600, 400);
    auto* layout = new QGridLayout(this);
    layout->setObjectName(QStringLiteral("gridLayout"));
    m_text = new QTextBrowser(this);
    m_text->setObjectName(QStringLiteral("TextBrowser"));
    QFont font(QStringLiteral("Courier"), 10);
    font.setStyleHint(QFont::Monospace);
    m_text->setFont(font);
    m_text->setOpenLinks(false);
    auto* buttons = standardButtons(this, QDialogButtonBox::Close);
    layout->addWidget(m_text, 0, 0);
    layout->addWidget(buttons, 1, 0);
    setTabOrder(m_text, buttons);
}

void LogDialog::append(const QString& text) {
    QTextCursor cursor(m_text->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    m_text->setTextCursor(cursor);
}

// ---- ParamsDialog

ParamsDialog::ParamsDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    setWindowTitle(tr("Dialog"));
    resize(640, 480);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    auto* row = new QHBoxLayout();
    row->setObjectName(QStringLiteral("horizontalLayout"));
    row->addWidget(flatButton(this, "NewParam", ":/fontawesome/create.svg", tr("New Parameter")));
    row->addWidget(flatButton(this, "DeleteParam", ":/fontawesome/delete.svg", tr("Delete Parameter")));
    row->addStretch();
    m_table = new QTableWidget(0, 2, this);
    m_table->setObjectName(QStringLiteral("TableWidget"));
    m_table->setHorizontalHeaderLabels({tr("Key"), tr("Value")});
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setSortingEnabled(true);
    layout->addLayout(row);
    layout->addWidget(m_table);
    layout->addWidget(standardButtons(this, QDialogButtonBox::Ok | QDialogButtonBox::Cancel));
    QMetaObject::connectSlotsByName(this);
}

bool ParamsDialog::isEditableValue(const QVariant& value) {
    switch (int(value.type())) {
    case QMetaType::QString:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return !value.isValid();
    }
}

void ParamsDialog::appendRow(const QString& key, const QString& value, bool editable) {
    // Sorting would move the row between filling its two cells.
    const bool sorting = m_table->isSortingEnabled();
    m_table->setSortingEnabled(false);
    const int row = m_table->rowCount();
    m_table->insertRow(row);
    m_table->setItem(row, 0, editable ? new QTableWidgetItem(key) : fixedItem(key));
    m_table->setItem(row, 1, editable ? new QTableWidgetItem(value) : fixedItem(value));
    m_table->setSortingEnabled(sorting);
}

void ParamsDialog::addParam(const QString& key, const QVariant& value) {
    const bool editable = isEditableValue(value);
    QString text;
    if (editable) {
        text = value.toString();
    } else {
        // Shown for reading only; lists and maps have no text of their own.
        const QJsonValue json = QJsonValue::fromVariant(value);
        text =
            json.isObject() ? QString::fromUtf8(QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact))
            : json.isArray() ? QString::fromUtf8(QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact))
                             : value.toString();
    }
    if (!key.isEmpty())
        m_original.insert(key, text);
    appendRow(key, text, editable);
}

void ParamsDialog::on_NewParam_clicked() {
    appendRow(QString(), QString(), true);
    // Sorting may have placed the new row anywhere; find it by its item.
    QTableWidgetItem* key = nullptr;
    for (int r = 0; r < m_table->rowCount() && !key; ++r) {
        QTableWidgetItem* item = m_table->item(r, 0);
        if (item && item->text().isEmpty() && (item->flags() & Qt::ItemIsEditable))
            key = item;
    }
    if (key) {
        m_table->setCurrentItem(key);
        m_table->editItem(key);
    }
}

void ParamsDialog::on_DeleteParam_clicked() {
    const int row = m_table->currentRow();
    if (m_table->rowCount() == 0 || row < 0)
        return;
    if (const QTableWidgetItem* key = m_table->item(row, 0))
        m_removedKeys.insert(key->text(), QString());
    m_table->removeRow(row);
}

void ParamsDialog::done(int result) {
    if (result != QDialog::Accepted) {
        QDialog::done(result);
        return;
    }
    QMap<QString, QString> rows;
    for (int r = 0; r < m_table->rowCount(); ++r) {
        const QTableWidgetItem* key = m_table->item(r, 0);
        if (!key || key->text().isEmpty())
            continue;
        const QTableWidgetItem* value = m_table->item(r, 1);
        rows.insert(key->text(), value ? value->text() : QString());
    }
    QVariantMap changes;
    // Removed: deleted in the dialog, or renamed away, and not added again.
    for (auto it = m_removedKeys.constBegin(); it != m_removedKeys.constEnd(); ++it)
        if (!it.key().isEmpty() && !rows.contains(it.key()))
            changes.insert(it.key(), QString());
    for (auto it = m_original.constBegin(); it != m_original.constEnd(); ++it)
        if (!rows.contains(it.key()))
            changes.insert(it.key(), QString());
    for (auto it = rows.constBegin(); it != rows.constEnd(); ++it) {
        const auto original = m_original.constFind(it.key());
        if (original != m_original.constEnd() && original.value() == it.value())
            continue;
        changes.insert(it.key(), it.value());
    }
    emit newParams(changes);
    QDialog::done(result);
}

// ---- QuestionDialog

QuestionDialog::QuestionDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    resize(300, 125);
    auto* layout = new QGridLayout(this);
    layout->setObjectName(QStringLiteral("gridLayout"));
    m_label = new QLabel(tr("Questions?"), this);
    m_label->setObjectName(QStringLiteral("QuestionLabel"));
    // The question quotes a session name as the server gave it.
    m_label->setTextFormat(Qt::PlainText);
    m_label->setWordWrap(true);
    m_buttons = new QDialogButtonBox(this);
    m_buttons->setObjectName(QStringLiteral("ButtonBox"));
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(m_label, 0, 0);
    layout->addWidget(m_buttons, 2, 0);
}

void QuestionDialog::setQuestion(const QString& question) {
    m_label->setText(question);
}

QPushButton* QuestionDialog::addAcceptButton(const QString& text) {
    return m_buttons->addButton(text, QDialogButtonBox::AcceptRole);
}

QPushButton* QuestionDialog::addRejectButton(const QString& text) {
    return m_buttons->addButton(text, QDialogButtonBox::RejectRole);
}

// ---- SessionLogDialog

SessionLogDialog::SessionLogDialog(QWidget* parent)
    : QDialog(parent) {
    removeHelpButton(this);
    setWindowTitle(tr("Dialog"));
    resize(400, 300);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    m_combo = new QComboBox(this);
    m_combo->setObjectName(QStringLiteral("ComboBox"));
    m_combo->setInsertPolicy(QComboBox::InsertAlphabetically);
    m_text = new QTextEdit(this);
    m_text->setObjectName(QStringLiteral("TextEdit"));
    m_text->setReadOnly(true);
    m_text->setAcceptRichText(false);
    layout->addWidget(m_combo);
    layout->addWidget(m_text);
    layout->addWidget(standardButtons(this, QDialogButtonBox::Close));
    connect(m_combo, &QComboBox::currentTextChanged, this, [this](const QString& name) {
        m_text->setPlainText(name);
        m_text->setPlainText(m_combo->currentData().toString());
    });
}

void SessionLogDialog::addLog(const QString& name, const QVariant& text) {
    m_combo->addItem(name, text);
}
