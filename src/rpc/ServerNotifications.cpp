#include "rpc/ServerNotifications.h"

#include <QMessageBox>

ServerNotifications::ServerNotifications(const QString& title, std::function<void(const QString&)> log,
                                         QObject* parent)
    : QObject(parent)
    , m_title(title)
    , m_log(std::move(log)) {}

ServerNotifications::~ServerNotifications() {
    // A box on screen stays until the user closes it; it just no longer calls back.
    if (m_box)
        m_box->disconnect(this);
}

QString ServerNotifications::cutText(const QString& message) {
    if (message.size() <= maxTextLength)
        return message;
    int length = maxTextLength;
    if (message.at(length - 1).isHighSurrogate())
        --length;
    return message.left(length) + tr("\n[... the rest of this message was cut]");
}

void ServerNotifications::notify(int level, const QString& message) {
    if (message.isEmpty())
        return;
    if (m_box && m_waiting.size() >= maxWaiting) {
        if (!m_refusing && m_log)
            m_log(tr("Too many server notifications at once; later ones are not shown."));
        m_refusing = true;
        return;
    }
    m_waiting.enqueue(Notification{level, cutText(message)});
    showNext();
}

void ServerNotifications::showNext() {
    if (m_box)
        return;
    if (m_waiting.isEmpty()) {
        m_refusing = false;
        return;
    }
    const Notification n = m_waiting.dequeue();
    const QMessageBox::Icon icon = n.level == 1   ? QMessageBox::Critical
                                   : n.level >= 3 ? QMessageBox::Information
                                                  : QMessageBox::Warning;
    auto* box = new QMessageBox(icon, m_title, n.message);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::ApplicationModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_box = box;
    connect(box, &QMessageBox::finished, this, [this] {
        m_box.clear();
        showNext();
    });
    box->show();
}
