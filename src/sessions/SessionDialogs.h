#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTableWidget;
class QTextBrowser;
class QTextEdit;

// The small dialogs of the session page. None talks to the server; callers do, and set
// delete-on-close. Server text is always shown as plain text.

// A command to run in a session. Ok is enabled while the command is not empty.
class ExecDialog : public QDialog {
    Q_OBJECT
public:
    explicit ExecDialog(QWidget* parent = nullptr);

    QPlainTextEdit* commandEdit() const { return m_command; }
    QPlainTextEdit* stdinEdit() const { return m_stdin; }
    QCheckBox* backgroundCheckBox() const { return m_background; }
    QDialogButtonBox* buttonBox() const { return m_buttons; }

    void done(int result) override;

signals:
    // {"command", "stdin" (foreground only), "env": {}} and whether to run in the background.
    void execCommand(QJsonObject params, bool bg);

public slots:
    void on_CommandTextEdit_textChanged();

private:
    QTabWidget* m_tabs = nullptr;
    QPlainTextEdit* m_command = nullptr;
    QPlainTextEdit* m_stdin = nullptr;
    QCheckBox* m_background = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

// A command's output and exit code.
class ExecOutputDialog : public QDialog {
    Q_OBJECT
public:
    explicit ExecOutputDialog(QWidget* parent = nullptr);

    void setExitCode(int code);
    // HTML as built by outputHtml; links in it never open anything.
    void setOutput(const QString& html);

    QTextBrowser* outputView() const { return m_output; }
    QLabel* exitCodeLabel() const { return m_exitCode; }

    // The reply's "output" array as HTML: each line escaped, its white space kept, stderr lines
    // red, lines joined with "<br />".
    static QString outputHtml(const QVariantList& output);

private:
    QTextBrowser* m_output = nullptr;
    QLabel* m_exitCode = nullptr;
};

// A key/value table with buttons of the accept role.
class InfoDialog : public QDialog {
    Q_OBJECT
public:
    explicit InfoDialog(QWidget* parent = nullptr);

    void addButton(const QString& text);
    void addRow(const QString& key, const QString& value);

    QTableWidget* table() const { return m_table; }
    QDialogButtonBox* buttonBox() const { return m_buttons; }

private:
    QTableWidget* m_table = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

// A read-only text log that follows its end.
class LogDialog : public QDialog {
    Q_OBJECT
public:
    explicit LogDialog(QWidget* parent = nullptr);

    QTextBrowser* textView() const { return m_text; }

public slots:
    // Appended as plain text; callers add their own line ends.
    void append(const QString& text);

private:
    QTextBrowser* m_text = nullptr;
};

// Edits a session's parameter map. Accepting emits only what changed: keys added or changed with
// their text, keys removed with an empty string. Values that are neither text, numbers nor
// booleans are shown read-only and never sent unless their row is deleted.
class ParamsDialog : public QDialog {
    Q_OBJECT
public:
    explicit ParamsDialog(QWidget* parent = nullptr);

    void addParam(const QString& key, const QVariant& value);
    QTableWidget* table() const { return m_table; }
    QVariantMap removedKeys() const { return m_removedKeys; }

    void done(int result) override;

    // Whether a value can be edited as text in the table.
    static bool isEditableValue(const QVariant& value);

signals:
    void newParams(QVariantMap params);

public slots:
    void on_NewParam_clicked();
    void on_DeleteParam_clicked();

private:
    void appendRow(const QString& key, const QString& value, bool editable);

    QTableWidget* m_table = nullptr;
    QVariantMap m_removedKeys;
    // The parameters as given, by key, as the text shown for them.
    QMap<QString, QString> m_original;
};

// A question with two custom buttons; the question is plain text.
class QuestionDialog : public QDialog {
    Q_OBJECT
public:
    explicit QuestionDialog(QWidget* parent = nullptr);

    void setQuestion(const QString& question);
    QPushButton* addAcceptButton(const QString& text);
    QPushButton* addRejectButton(const QString& text);

    QLabel* questionLabel() const { return m_label; }
    QDialogButtonBox* buttonBox() const { return m_buttons; }

private:
    QLabel* m_label = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};

// A session's logs, one per name in a combo box; the chosen log is shown as plain text.
class SessionLogDialog : public QDialog {
    Q_OBJECT
public:
    explicit SessionLogDialog(QWidget* parent = nullptr);

    void addLog(const QString& name, const QVariant& text);

    QComboBox* comboBox() const { return m_combo; }
    QTextEdit* textView() const { return m_text; }

private:
    QComboBox* m_combo = nullptr;
    QTextEdit* m_text = nullptr;
};
