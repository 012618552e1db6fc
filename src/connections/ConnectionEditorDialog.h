#pragma once

#include <QDialog>
#include <QJsonObject>

class ConnectionEditorWidget;
class QComboBox;
class QDialogButtonBox;
class QVBoxLayout;

// Creates or edits one connection and writes its file into the user connection folder.
class ConnectionEditorDialog : public QDialog {
    Q_OBJECT
public:
    explicit ConnectionEditorDialog(QString userFolder, QWidget* parent = nullptr);

    void setConnection(const QJsonObject& json);
    // What the connection's file held when the form was filled from it: a save over a file that
    // holds something else by then is refused, so that no change made elsewhere is lost.
    void setFileContent(const QByteArray& content);
    ConnectionEditorWidget* editorWidget() const { return m_editor; }
    // The file the last accepted save wrote.
    QString savedPath() const { return m_savedPath; }

    // A file name for a new connection: the base made safe for the file system (no separators, no
    // leading dot, nothing the file system refuses), numbered when taken.
    static QString freeFileName(const QString& folder, QString base, const QString& host);

public slots:
    void done(int result) override;

private slots:
    void on_ConnectionType_currentTextChanged(const QString& text);

private:
    void setEditorWidget(const QJsonObject& json);
    // Writes the form over the file's current content; an error text, or empty on success.
    QString write(const QJsonObject& json);

    QString m_userFolder;
    QString m_savedPath;
    QByteArray m_fileContent;
    bool m_checkFileContent = false;
    QComboBox* m_type = nullptr;
    QVBoxLayout* m_layout = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
    ConnectionEditorWidget* m_editor = nullptr;
};
