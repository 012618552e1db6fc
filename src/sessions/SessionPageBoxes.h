#pragma once

// The session page's message boxes: no parent, not modal, deleted when closed. Server text goes in
// through the forms below, escaped; only the operation's own sentence is markup.

#include "sessions/ServerHtml.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QString>

namespace SessionPageBoxes {

inline QMessageBox* looseBox(QMessageBox::Icon icon, const QString& title, const QString& text) {
    auto* box = new QMessageBox(icon, title, text, QMessageBox::Close);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    return box;
}

// A loose box that shows the server's own HTML: it loads nothing from elsewhere and opens only web links.
inline QMessageBox* serverHtmlBox(QMessageBox::Icon icon, const QString& title, const QString& html) {
    QMessageBox* box = looseBox(icon, title, ServerHtml::withoutOutsideResources(html));
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label")))
        ServerHtml::openOnlyWebLinks(label);
    return box;
}

// "<application> Error", translated in the given context.
inline QString errorTitle(const char* context) {
    return QCoreApplication::translate(context, "%1 Error").arg(QCoreApplication::applicationName());
}

// The sentence with the server's message put into its %1.
inline QString shortForm(const QString& sentence, const QString& message) {
    return sentence.arg(message.toHtmlEscaped());
}

// "sentence<br><br>message<br>(error name)".
inline QString longForm(const QString& sentence, const QString& message, const QString& name) {
    return QStringLiteral("%1<br><br>%2<br>(%3)").arg(sentence, message.toHtmlEscaped(), name.toHtmlEscaped());
}

} // namespace SessionPageBoxes
