#include "viewer/engine/VnCcNotify.h"

#include "viewer/engine/constants/ViewerConstants.h"

#include <QAbstractButton>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

const QString VnCcNotify::BusyStatus =
    QStringLiteral("{ \"error\":{\"name\":\"busy\", \"message\":\"Too many notifications waiting\"}}");
const QString VnCcNotify::DefaultTitle = QStringLiteral("Velnor Notice");
const QString VnCcNotify::CutMark = QStringLiteral(" [\u2026]");

namespace {

Q_LOGGING_CATEGORY(lcNotify, "velnor.clientcomm.notify")

// Cuts `text` to MaxTextLength characters, not inside a surrogate pair, and marks it; true when cut.
bool cutText(QString& text) {
    if (text.size() <= VnCcNotify::MaxTextLength) {
        return false;
    }
    text.truncate(VnCcNotify::MaxTextLength);
    if (text.at(text.size() - 1).isHighSurrogate()) {
        text.chop(1);
    }
    text += VnCcNotify::CutMark;
    return true;
}

} // namespace

VnCcNotify::VnCcNotify(VnClientCommChannel* channel)
    : VnClientCommType(channel) {}

VnCcNotify::~VnCcNotify() {
    if (m_box) {
        // Nothing may reach this listener once it is gone.
        m_box->disconnect(this);
        delete m_box;
    }
}

VnCcNotify::Notification VnCcNotify::parse(quint16 id, const QByteArray& data) {
    Notification n;
    n.id = id;
    QString icon;
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (document.isObject()) {
        const QJsonObject object = document.object();
        n.message = object.value(QStringLiteral("message")).toString();
        n.title = object.value(QStringLiteral("title")).toString();
        icon = object.value(QStringLiteral("icon")).toString();
        const QJsonValue buttons = object.value(QStringLiteral("buttons"));
        if (buttons.isString()) {
            n.buttons << buttons.toString();
        } else if (buttons.isArray()) {
            for (const QJsonValue& button : buttons.toArray()) {
                if (button.isString()) {
                    n.buttons << button.toString();
                }
            }
        }
    }
    if (icon == QLatin1String("question")) {
        n.icon = QMessageBox::Question;
    } else if (icon == QLatin1String("none")) {
        n.icon = QMessageBox::NoIcon;
    } else if (icon == QLatin1String("warning")) {
        n.icon = QMessageBox::Warning;
    } else if (icon == QLatin1String("critical")) {
        n.icon = QMessageBox::Critical;
    } else {
        n.icon = QMessageBox::Information;
    }
    if (n.message.isEmpty()) {
        n.message = QString::fromUtf8(data);
    }
    if (n.title.isEmpty()) {
        n.title = DefaultTitle;
    }
    const bool titleCut = cutText(n.title);
    const bool messageCut = cutText(n.message);
    n.cut = titleCut || messageCut;
    return n;
}

void VnCcNotify::handle(quint16 id, QString, QByteArray data) {
    if (m_waiting.size() >= MaxWaiting) {
        refuse(id, BusyStatus);
        return;
    }
    const Notification n = parse(id, data);
    if (n.cut && !m_cutLogged) {
        m_cutLogged = true;
        qCWarning(lcNotify) << "Notification text cut to" << MaxTextLength << "characters";
    }
    m_waiting.enqueue(n);
    showNext();
}

void VnCcNotify::showNext() {
    if (m_box || m_waiting.isEmpty()) {
        return;
    }
    m_shown = m_waiting.dequeue();
    QMessageBox::StandardButtons buttons = QMessageBox::NoButton;
    const auto& map = VnConstants::notificationButtons();
    for (const QString& name : qAsConst(m_shown.buttons)) {
        buttons |= map.value(name.toLower(), QMessageBox::NoButton);
    }
    // Modal, but without a nested event loop: the answer comes from finished().
    auto* box = new QMessageBox(m_shown.icon, m_shown.title, m_shown.message, buttons, nullptr);
    box->setTextFormat(Qt::PlainText); // the server's text is never markup
    box->setWindowModality(Qt::ApplicationModal);
    m_box = box;
    connect(box, &QMessageBox::finished, this, &VnCcNotify::boxFinished);
    box->show();
}

void VnCcNotify::boxFinished() {
    QMessageBox* box = m_box;
    m_box.clear();
    QString answer;
    if (box) {
        const QMessageBox::StandardButton pressed = box->standardButton(box->clickedButton());
        const auto& map = VnConstants::notificationButtons();
        for (const QString& name : qAsConst(m_shown.buttons)) {
            const QMessageBox::StandardButton button = map.value(name.toLower(), QMessageBox::NoButton);
            if (button != QMessageBox::NoButton && button == pressed) {
                answer = name; // the last listed match wins
            }
        }
        box->disconnect(this);
        box->deleteLater();
    }
    respond(m_shown.id, answer.toLatin1());
    showNext();
}
