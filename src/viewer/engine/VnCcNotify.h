#pragma once

// The "vn-notify" service: a message box on the server's behalf, answered with the name of the button
// that was pressed. One box at a time; later notifications wait their turn.

#include "viewer/engine/VnClientCommChannel.h"

#include <QMessageBox>
#include <QPointer>
#include <QQueue>
#include <QStringList>

class VnCcNotify : public VnClientCommType {
    Q_OBJECT
public:
    // Notifications waiting behind the open box; more are refused.
    static constexpr int MaxWaiting = 32;
    static const QString BusyStatus;
    static const QString DefaultTitle;
    // Longer titles and messages are cut to this many characters and end in CutMark: a box laid out
    // for millions of characters holds up the whole application.
    static constexpr int MaxTextLength = 64 * 1024;
    static const QString CutMark;

    explicit VnCcNotify(VnClientCommChannel* channel);
    // Closes an open box without answering it.
    ~VnCcNotify() override;

    void handle(quint16 id, QString type, QByteArray data) override;

    // The box on screen, or null.
    QMessageBox* currentBox() const { return m_box; }

    struct Notification {
        quint16 id = 0;
        QString title;
        QString message;
        QMessageBox::Icon icon = QMessageBox::Information;
        QStringList buttons; // as the server spelled them
        bool cut = false;    // the title or the message was cut
    };
    static Notification parse(quint16 id, const QByteArray& data);

private:
    void showNext();
    void boxFinished();

    QQueue<Notification> m_waiting;
    QPointer<QMessageBox> m_box;
    Notification m_shown;
    bool m_cutLogged = false;
};
