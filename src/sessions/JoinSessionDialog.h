#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

class QDialogButtonBox;
class QLineEdit;

// Asks for a guest link to someone else's shared session.
class JoinSessionDialog : public QDialog {
    Q_OBJECT
public:
    // What a guest link names: the server (with any path it lives under), the session and its key.
    struct Link {
        QUrl serverUrl;
        QString sessionId;
        QString sharingKey;
    };
    // A guest link "http(s)://host[:port][/prefix]/client/guest;id=…[;key=…]" split into its parts;
    // false when the text is not one (another scheme, no host, no guest segment or an empty id).
    static bool parse(const QString& text, Link* link);

    explicit JoinSessionDialog(QWidget* parent = nullptr);

    QUrl serverUrl() const;
    QString sessionId() const;
    QString sharingKey() const;

public slots:
    void done(int result) override;

private slots:
    void on_SharingUrlLineEdit_textChanged();

private:
    Link current() const;

    QLineEdit* m_url = nullptr;
    QDialogButtonBox* m_buttons = nullptr;
};
