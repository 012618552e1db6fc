#pragma once

#include "connections/Connection.h"

#include <QJsonObject>
#include <QWidget>

#include <functional>

class ConnectionItemDelegate;
class ConnectionModel;
class QComboBox;
class QLabel;
class QPushButton;
class QTableView;

// The page on which the user picks, runs, edits, deletes and marks connections. Running prepares the
// connection in currentConnection() and emits doRun; the main window opens it.
class ConnectionWindow : public QWidget {
    Q_OBJECT
public:
    ConnectionWindow(QString userFolder, QString systemFolder, QWidget* parent = nullptr);

    ConnectionPtr currentConnection() const { return m_current; }
    void focusTable();
    QTableView* table() const { return m_table; }
    ConnectionModel* model() const { return m_model; }

    // stamp: set "lastRun" in the file (not for a reconnect of a failed page).
    void runConnection(QJsonObject json, bool stamp = true);
    void editConnection(const QJsonObject& json);
    void deleteConnection(const QJsonObject& json);
    // Asks for a guest link and joins the shared session it names.
    void joinSession();

    // Asks for the login when a connection has none; replaceable for tests.
    std::function<QString(const QString& suggestion, bool* ok)> askLogin;

signals:
    void doRun();

private slots:
    void on_FilterConnectionsComboBox_currentIndexChanged(int index);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    ConnectionPtr connectionAt(const QModelIndex& index) const;
    bool handleKey(QKeyEvent* event);
    void selectRow(int row);
    void moveSelection(int step);
    void showSkippedFiles(const QStringList& paths);
    // Hides the rows the filter at index leaves out.
    void applyFilter(int index);

    QString m_userFolder;
    QString m_systemFolder;
    ConnectionModel* m_model = nullptr;
    ConnectionItemDelegate* m_delegate = nullptr;
    ConnectionPtr m_current;
    QTableView* m_table = nullptr;
    QComboBox* m_filter = nullptr;
    QPushButton* m_newButton = nullptr;
    QPushButton* m_joinButton = nullptr;
    QLabel* m_skippedNotice = nullptr;
};
