#include "connections/ConnectionWindow.h"

#include "connections/ConnectionEditorDialog.h"
#include "connections/ConnectionItemDelegate.h"
#include "connections/ConnectionModel.h"
#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"
#include "sessions/JoinSessionDialog.h"
#include "sessions/SessionJoin.h"

#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QSettings>
#include <QTableView>
#include <QVBoxLayout>

namespace {

const char filterKey[] = "ConnectionFilterIndex";
constexpr int favoritesFilter = 0;
constexpr int systemFilter = 2;
constexpr int allFilter = 3;

// Sets "lastRun" in the file's current content, written to a temporary file and renamed into place.
// A file that no longer parses is left alone.
QString stampLastRun(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return file.errorString();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    file.close();
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return QObject::tr("%1 is not a connection file any more.").arg(QDir::toNativeSeparators(path));
    QJsonObject object = document.object();
    object.insert(QStringLiteral("lastRun"), QDateTime::currentSecsSinceEpoch());
    QSaveFile out(path);
    // A folder the user cannot write may still hold a file they can.
    out.setDirectWriteFallback(true);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(object).toJson(QJsonDocument::Indented)) < 0 ||
        !out.commit())
        return out.errorString();
    return QString();
}

} // namespace

ConnectionWindow::ConnectionWindow(QString userFolder, QString systemFolder, QWidget* parent)
    : QWidget(parent)
    , m_userFolder(std::move(userFolder))
    , m_systemFolder(std::move(systemFolder)) {
    registerConnectionPtrMetaType();
    setObjectName(QStringLiteral("ConnectionWindow"));
    resize(758, 538);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName(QStringLiteral("verticalLayout"));
    auto* bar = new QHBoxLayout;
    bar->setObjectName(QStringLiteral("horizontalLayout"));
    m_newButton = new QPushButton(this);
    m_newButton->setObjectName(QStringLiteral("newConnectionButton"));
    m_newButton->setToolTip(tr("New Connection"));
    m_filter = new QComboBox(this);
    m_filter->setObjectName(QStringLiteral("FilterConnectionsComboBox"));
    m_joinButton = new QPushButton(this);
    m_joinButton->setObjectName(QStringLiteral("JoinSessionButton"));
    m_joinButton->setToolTip(tr("Join Session"));
    bar->addWidget(m_newButton);
    bar->addWidget(m_filter);
    bar->addWidget(m_joinButton);
    bar->addItem(new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    layout->addLayout(bar);
    m_skippedNotice = new QLabel(this);
    m_skippedNotice->setObjectName(QStringLiteral("SkippedFilesNotice"));
    m_skippedNotice->setTextFormat(Qt::PlainText);
    m_skippedNotice->setWordWrap(true);
    m_skippedNotice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_skippedNotice->hide();
    layout->addWidget(m_skippedNotice);
    m_table = new QTableView(this);
    m_table->setObjectName(QStringLiteral("tableView"));
    layout->addWidget(m_table);
    setWindowTitle(tr("Connections"));

    m_table->setAlternatingRowColors(true);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setShowGrid(false);
    m_table->horizontalHeader()->hide();
    m_table->verticalHeader()->hide();

    m_model = new ConnectionModel(m_userFolder, m_systemFolder, {QStringLiteral("name")}, this);
    m_delegate = new ConnectionItemDelegate(this);
    m_table->setModel(m_model);
    m_table->setItemDelegate(m_delegate);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->resizeRowsToContents();
    m_table->setEditTriggers(QAbstractItemView::AllEditTriggers);
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(50);

    // The filter items come after the model, so filling the combo applies nothing yet.
    {
        const QSignalBlocker blocker(m_filter);
        m_filter->addItems({tr("Favorites"), tr("User"), tr("System"), tr("All")});
    }

    connect(m_delegate, &ConnectionItemDelegate::deleteIndex, this, [this](const QModelIndex& index) {
        // Held before the reload: the row may then belong to another connection.
        const ConnectionPtr connection = connectionAt(index);
        if (!connection)
            return;
        deleteConnection(connection->toJson());
        // The mark goes only once the file is really gone.
        if (!QFileInfo::exists(connection->filePath())) {
            connection->setFavorite(false);
            m_model->updateFavorite(connection);
        }
    });
    connect(m_delegate, &ConnectionItemDelegate::editIndex, this, [this](const QModelIndex& index) {
        if (const ConnectionPtr connection = connectionAt(index))
            editConnection(connection->toJson());
    });
    connect(m_delegate, &ConnectionItemDelegate::doubleClicked, this, [this] {
        if (const ConnectionPtr connection = connectionAt(m_table->currentIndex()))
            runConnection(connection->toJson());
    });
    connect(m_delegate, &ConnectionItemDelegate::favoriteIndex, this, [this](const QModelIndex& index, bool checked) {
        const ConnectionPtr connection = connectionAt(index);
        if (!connection || connection->isFavorite() == checked)
            return;
        connection->setFavorite(checked);
        m_model->updateFavorite(connection);
        m_table->setRowHidden(index.row(), m_filter->currentIndex() == favoritesFilter && !checked);
        m_table->setFocus(Qt::OtherFocusReason);
    });
    connect(m_newButton, &QPushButton::clicked, this, [this] { editConnection(QJsonObject()); });
    connect(m_joinButton, &QPushButton::clicked, this, &ConnectionWindow::joinSession);
    connect(m_model, &ConnectionModel::skippedFilesChanged, this, &ConnectionWindow::showSkippedFiles);
    // Rows that come with a reload, also one started by another page, pass the filter too.
    connect(m_model, &ConnectionModel::connectionsUpdated, this,
            [this] { applyFilter(m_filter->currentIndex()); });
    showSkippedFiles(m_model->skippedFiles());
    connect(m_table, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (const ConnectionPtr connection = connectionAt(index))
            runConnection(connection->toJson());
    });

    m_table->installEventFilter(this);
    installEventFilter(this);
    m_newButton->setIcon(QIcon(QStringLiteral(":/images/resources/plus-round-dark.svg")));
    m_joinButton->setIcon(QIcon(QStringLiteral(":/images/resources/android-share-alt.svg")));
    QMetaObject::connectSlotsByName(this);

    askLogin = [this](const QString& suggestion, bool* ok) {
        return QInputDialog::getText(this, tr("Login"), tr("Username:"), QLineEdit::Normal, suggestion, ok);
    };

    // A mistyped setting counts as absent.
    bool valid = false;
    int filter = QSettings().value(QLatin1String(filterKey), allFilter).toInt(&valid);
    if (!valid || filter < 0 || filter > allFilter)
        filter = allFilter;
    if (m_model->rowCount() == 0)
        filter = allFilter;
    if (m_filter->currentIndex() == filter)
        on_FilterConnectionsComboBox_currentIndexChanged(filter);
    else
        m_filter->setCurrentIndex(filter);
    if (m_model->rowCount() > 0) {
        int first = 0;
        while (first < m_model->rowCount() && m_table->isRowHidden(first))
            ++first;
        selectRow(first < m_model->rowCount() ? first : 0);
    }
}

ConnectionPtr ConnectionWindow::connectionAt(const QModelIndex& index) const {
    return index.isValid() ? index.data(ConnectionModel::ConnectionPtrRole).value<ConnectionPtr>() : nullptr;
}

void ConnectionWindow::showSkippedFiles(const QStringList& paths) {
    QStringList names;
    for (const QString& path : paths)
        names.append(QDir::toNativeSeparators(path));
    m_skippedNotice->setText(tr("These connection files could not be read and are left as they are: %1")
                                 .arg(names.join(QStringLiteral(", "))));
    m_skippedNotice->setVisible(!paths.isEmpty());
}

void ConnectionWindow::joinSession() {
    auto* dialog = new JoinSessionDialog(this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    connect(dialog, &QDialog::accepted, this, [dialog] {
        const QUrl server = dialog->serverUrl();
        HttpsConnection connection;
        connection.setHost(server.host(QUrl::FullyDecoded));
        connection.setPort(static_cast<quint16>(server.port(443)));
        // The server may live under a path; the guest link keeps it.
        connection.setUri(server.path(QUrl::FullyEncoded));
        joinSharedSession(connection, dialog->sessionId(), dialog->sharingKey(), QString());
    });
    dialog->open();
}

void ConnectionWindow::focusTable() {
    m_table->setFocus(Qt::OtherFocusReason);
}

void ConnectionWindow::selectRow(int row) {
    const QModelIndex index = m_model->index(row, 0);
    if (!index.isValid())
        return;
    m_table->setCurrentIndex(index);
    m_table->selectRow(row);
    m_table->setFocus(Qt::OtherFocusReason);
    m_table->edit(index);
}

void ConnectionWindow::moveSelection(int step) {
    const int current = m_table->currentIndex().row();
    for (int row = current + step; row >= 0 && row < m_model->rowCount(); row += step) {
        if (!m_table->isRowHidden(row)) {
            selectRow(row);
            return;
        }
    }
}

void ConnectionWindow::on_FilterConnectionsComboBox_currentIndexChanged(int index) {
    applyFilter(index);
    QSettings().setValue(QLatin1String(filterKey), index);
}

void ConnectionWindow::applyFilter(int index) {
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex cell = m_model->index(row, 0);
        bool shown = true;
        if (index == 0)
            shown = cell.data(ConnectionModel::FavoriteRole).toBool();
        else if (index == 1)
            shown = cell.data(ConnectionModel::UserConnectionRole).toBool();
        else if (index == 2)
            shown = cell.data(ConnectionModel::SystemRole).toBool();
        m_table->setRowHidden(row, !shown);
    }
    const int current = m_table->currentIndex().row();
    if (current >= 0 && m_table->isRowHidden(current)) {
        for (int row = 0; row < m_model->rowCount(); ++row) {
            if (!m_table->isRowHidden(row)) {
                selectRow(row);
                break;
            }
        }
    }
}

bool ConnectionWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_table && event->type() == QEvent::FocusIn) {
        QModelIndex current = m_table->currentIndex();
        if (!current.isValid())
            current = m_model->index(0, 0);
        if (current.isValid()) {
            m_table->setCurrentIndex(current);
            m_table->edit(current);
        }
    }
    if ((watched == m_table || watched == this) && event->type() == QEvent::KeyPress)
        return handleKey(static_cast<QKeyEvent*>(event));
    return QWidget::eventFilter(watched, event);
}

bool ConnectionWindow::handleKey(QKeyEvent* event) {
    if (!m_table->currentIndex().isValid() && m_model->rowCount() > 0) {
        m_table->setCurrentIndex(m_model->index(0, 0));
        m_table->setFocus(Qt::OtherFocusReason);
    }
    // A row the filter hides is not there for the user: nothing to run, edit or delete.
    const QModelIndex current = m_table->currentIndex();
    const ConnectionPtr connection =
        current.isValid() && !m_table->isRowHidden(current.row()) ? connectionAt(current) : nullptr;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (connection)
            runConnection(connection->toJson());
        return true;
    case Qt::Key_Space:
        // A system connection is neither edited nor deleted, as its row buttons say.
        if (connection && !connection->isSystem())
            editConnection(connection->toJson());
        return true;
    case Qt::Key_N:
        editConnection(QJsonObject());
        return true;
    case Qt::Key_Backspace:
        if (connection && !connection->isSystem())
            deleteConnection(connection->toJson());
        return true;
    case Qt::Key_Escape:
        close();
        return true;
    case Qt::Key_Left:
    case Qt::Key_Up:
        moveSelection(-1);
        return true;
    case Qt::Key_Right:
    case Qt::Key_Down:
        moveSelection(1);
        return true;
    default:
        return false;
    }
}

void ConnectionWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_N)
        editConnection(QJsonObject());
    else if (event->key() == Qt::Key_Escape)
        close();
    else
        QWidget::keyPressEvent(event);
}

void ConnectionWindow::runConnection(QJsonObject json, bool stamp) {
    const QString path = json.value(QLatin1String("filename")).toString();
    const ConnectionPtr listed = connectionAt(m_table->currentIndex());
    const bool system = listed && listed->filePath() == path && listed->isSystem();
    // System connections are not stamped: their folder is normally read-only.
    if (stamp && !path.isEmpty() && !system) {
        const QString error = stampLastRun(path);
        if (!error.isEmpty())
            QMessageBox::critical(this, tr("Save file failed"), error);
    }
    if (json.value(QLatin1String("user")).toString().isEmpty()) {
        bool ok = false;
        const QString answer = askLogin(QDir::home().dirName(), &ok);
        if (!ok || answer.isEmpty())
            return;
        json.insert(QStringLiteral("user"), answer);
    }
    ConnectionPtr connection;
    const QString type = json.value(QLatin1String("type")).toString();
    if (type == QLatin1String("ssh"))
        connection = std::make_shared<SshConnection>();
    else if (type == QLatin1String("https"))
        connection = std::make_shared<HttpsConnection>();
    else
        return;
    connection->fromJson(json);
    connection->setFilePath(path);
    connection->setSystem(system);
    m_current = connection;
    emit doRun();
}

void ConnectionWindow::editConnection(const QJsonObject& json) {
    QJsonObject form = json;
    QByteArray content;
    const QString path = json.value(QLatin1String("filename")).toString();
    if (!path.isEmpty()) {
        // The editor starts from the file as it is now: another page may have changed it since this
        // one listed it.
        QString error;
        const bool system = !m_systemFolder.isEmpty() && QDir(QFileInfo(path).path()) == QDir(m_systemFolder);
        const ConnectionPtr current = ConnectionModel::readFile(path, system, &content, &error);
        if (!current) {
            QMessageBox::critical(this, tr("Edit Connection"),
                                  tr("%1 cannot be edited: %2").arg(QDir::toNativeSeparators(path), error));
            ConnectionModel::reloadAll();
            focusTable();
            return;
        }
        form = current->toJson();
    }
    auto* dialog = new ConnectionEditorDialog(m_userFolder, this);
    if (form.contains(QLatin1String("type")))
        dialog->setConnection(form);
    if (!path.isEmpty())
        dialog->setFileContent(content);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    // A top-level dialog: the page hides while it is open.
    dialog->setWindowFlag(Qt::Window);
    connect(dialog, &QDialog::accepted, this, [this] {
        if (m_filter->currentIndex() == favoritesFilter || m_filter->currentIndex() == systemFilter)
            m_filter->setCurrentIndex(allFilter);
        ConnectionModel::reloadAll();
        on_FilterConnectionsComboBox_currentIndexChanged(m_filter->currentIndex());
    });
    connect(dialog, &QDialog::finished, this, [this] {
        show();
        focusTable();
    });
    dialog->show();
    hide();
}

void ConnectionWindow::deleteConnection(const QJsonObject& json) {
    QString name = json.value(QLatin1String("name")).toString();
    if (name.isEmpty())
        name = json.value(QLatin1String("host")).toString();
    if (QMessageBox::question(this, tr("Remove Connection"), tr("Are you sure you want to delete %1?").arg(name),
                              QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    const QString path = json.value(QLatin1String("filename")).toString();
    if (!QFile::remove(path))
        QMessageBox::critical(this, tr("Remove Connection Failed"), tr("Could not remove file: %1").arg(path));
    ConnectionModel::reloadAll();
    focusTable();
}
