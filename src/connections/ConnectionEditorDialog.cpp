#include "connections/ConnectionEditorDialog.h"

#include "connections/ConnectionFileName.h"
#include "connections/ConnectionModel.h"
#include "connections/HttpsConnectionWidget.h"
#include "connections/SshConnectionWidget.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QVBoxLayout>

ConnectionEditorDialog::ConnectionEditorDialog(QString userFolder, QWidget* parent)
    : QDialog(parent)
    , m_userFolder(std::move(userFolder)) {
    setObjectName(QStringLiteral("ConnectionEditorDialog"));
    resize(400, 300);
    setWindowTitle(tr("Edit Connection"));
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    m_type = new QComboBox(this);
    m_type->setObjectName(QStringLiteral("ConnectionType"));
    m_type->addItems({tr("ssh"), tr("https")});
    layout->addWidget(m_type);
    m_layout = new QVBoxLayout;
    m_layout->setObjectName(QStringLiteral("Layout"));
    layout->addLayout(m_layout);
    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->setObjectName(QStringLiteral("ButtonBox"));
    layout->addWidget(m_buttons);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setEditorWidget(QJsonObject{{QStringLiteral("type"), QStringLiteral("ssh")}});
    QMetaObject::connectSlotsByName(this);
}

void ConnectionEditorDialog::setEditorWidget(const QJsonObject& json) {
    const QString type = json.value(QLatin1String("type")).toString();
    if (type.compare(QLatin1String("https"), Qt::CaseInsensitive) == 0)
        m_editor = new HttpsConnectionWidget(json, this);
    else
        m_editor = new SshConnectionWidget(json, this);
    m_layout->addWidget(m_editor);
    QPushButton* ok = m_buttons->button(QDialogButtonBox::Ok);
    connect(m_editor, &ConnectionEditorWidget::canSave, ok, &QPushButton::setEnabled);
    ok->setEnabled(m_editor->isSavable());
}

void ConnectionEditorDialog::setConnection(const QJsonObject& json) {
    delete m_editor;
    m_editor = nullptr;
    const int item = m_type->findText(json.value(QLatin1String("type")).toString(), Qt::MatchFixedString);
    setEditorWidget(json);
    if (item >= 0)
        m_type->setCurrentIndex(item);
}

void ConnectionEditorDialog::setFileContent(const QByteArray& content) {
    m_fileContent = content;
    m_checkFileContent = true;
}

void ConnectionEditorDialog::on_ConnectionType_currentTextChanged(const QString& text) {
    if (!m_editor)
        return;
    m_editor->save();
    QJsonObject json = m_editor->json();
    json.insert(QStringLiteral("type"), text);
    delete m_editor;
    m_editor = nullptr;
    setEditorWidget(json);
}

QString ConnectionEditorDialog::freeFileName(const QString& folder, QString base, const QString& host) {
    static const QRegularExpression refused(QStringLiteral("[/\\\\:*?\"<>|\\x00-\\x1f\\x7f]"));
    base.replace(refused, QStringLiteral("_"));
    while (base.startsWith(QLatin1Char('.')))
        base.remove(0, 1);
    base = base.trimmed();
    if (base.isEmpty() || base.count(QLatin1Char('_')) == base.size()) {
        QString fallback = host;
        fallback.replace(refused, QStringLiteral("_"));
        while (fallback.startsWith(QLatin1Char('.')))
            fallback.remove(0, 1);
        base = fallback.trimmed().isEmpty() ? QStringLiteral("connection") : fallback.trimmed();
    }
    return freeConnectionFileName(folder, base);
}

QString ConnectionEditorDialog::write(const QJsonObject& form) {
    QString path = form.value(QLatin1String("filename")).toString();
    if (!QDir().mkpath(m_userFolder))
        return tr("Could not create directory");
    if (path.isEmpty()) {
        path = QDir(m_userFolder)
                   .filePath(freeFileName(m_userFolder, form.value(QLatin1String("name")).toString(),
                                          form.value(QLatin1String("host")).toString()));
    }
    // The form's keys go over the file's current content, so keys the form does not show survive.
    QJsonObject content;
    if (QFileInfo::exists(path)) {
        QByteArray bytes;
        QString readError;
        if (!ConnectionModel::readBytes(path, &bytes, &readError))
            return tr("%1: %2").arg(QDir::toNativeSeparators(path), readError);
        if (m_checkFileContent && bytes != m_fileContent)
            return tr("%1 was changed elsewhere after this editor read it, and was left as it is. Cancel, "
                      "then edit the connection again to start from what it holds now.")
                .arg(QDir::toNativeSeparators(path));
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject())
            return tr("%1 is not a connection file any more; it was left as it is.")
                .arg(QDir::toNativeSeparators(path));
        content = document.object();
    } else if (m_checkFileContent) {
        return tr("%1 was removed elsewhere after this editor read it; nothing was written.")
            .arg(QDir::toNativeSeparators(path));
    }
    for (auto it = form.begin(); it != form.end(); ++it)
        if (it.key() != QLatin1String("filename"))
            content.insert(it.key(), it.value());
    // The form removes "port" when it holds none.
    if (!form.contains(QLatin1String("port")))
        content.remove(QStringLiteral("port"));
    QSaveFile file(path);
    // A folder the user cannot write may still hold a file they can.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(content).toJson(QJsonDocument::Indented)) < 0 ||
        !file.commit())
        return file.errorString();
    m_savedPath = path;
    return QString();
}

void ConnectionEditorDialog::done(int result) {
    if (result != QDialog::Accepted || !m_editor) {
        QDialog::done(result);
        return;
    }
    m_editor->save();
    const QString error = write(m_editor->json());
    if (!error.isEmpty()) {
        // Nothing typed is lost: the dialog stays open with the input.
        QMessageBox::critical(this, tr("Save file failed"), error);
        return;
    }
    QDialog::done(result);
}
