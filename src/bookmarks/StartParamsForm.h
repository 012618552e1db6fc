#pragma once

#include <QDialog>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QWebEngineView;

// What the form page's script sees as "webObj": it hands the collected fields back, or cancels.
class StartParamsWebObject : public QObject {
    Q_OBJECT
    // The server's form for a page that does not take it into its own text.
    Q_PROPERTY(QString formHtml MEMBER formHtml CONSTANT)
public:
    using QObject::QObject;

    QJsonObject data;
    QString formHtml;

public slots:
    void submit(const QVariantMap& fields);
    void cancel();

signals:
    void submitted();
    void cancelled();
};

// Asks the user to fill in the form a server answered a session start with. The caller sets the
// title, calls setFormHtml, shows the dialog and reads formData after acceptance.
class StartParamsForm : public QDialog {
    Q_OBJECT
public:
    explicit StartParamsForm(QWidget* parent = nullptr);

    // allowUnsafeHtml: the server vouches for its form, whose scripts then run in the page. Otherwise
    // the form is put into the page as markup only, and the page runs none of the server's scripts.
    void setFormHtml(const QString& html, bool allowUnsafeHtml = false);
    QJsonObject formData() const { return m_formData; }

    QWebEngineView* view() const { return m_view; }
    StartParamsWebObject* webObject() const { return m_webObject; }

    // The page around the form; %1 is the place of the form's markup.
    static QString formPageTemplate();

private:
    QWebEngineView* m_view = nullptr;
    StartParamsWebObject* m_webObject = nullptr;
    QJsonObject m_formData;
};
