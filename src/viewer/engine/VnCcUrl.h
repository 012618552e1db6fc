#pragma once

// The "vn-url" service: opens a web address in the desktop's browser and answers whether that worked.
// Only http and https addresses are opened; a remote session must not make this computer open files
// or start other handlers. Nor may it start the browser at its own pace: one address is opened per
// LaunchIntervalMs, up to MaxQueued wait their turn, and further ones are refused.

#include "viewer/engine/VnClientCommChannel.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QQueue>
#include <QUrl>

class QTimer;

class VnCcUrl : public VnClientCommType {
    Q_OBJECT
public:
    static const QString ProcessedText;
    static constexpr int LaunchIntervalMs = 2000;
    static constexpr int MaxQueued = 4;

    explicit VnCcUrl(VnClientCommChannel* channel);

    void handle(quint16 id, QString type, QByteArray data) override;

    // The address the payload names in `url`, or the error object why it is not to be opened.
    static QJsonObject check(const QByteArray& data, QUrl& url);

private:
    struct Pending {
        quint16 id = 0;
        QUrl url;
    };
    void launch(const Pending& pending);
    void launchNext();
    void answer(quint16 id, const QJsonObject& failure);

    QQueue<Pending> m_queue;
    QElapsedTimer m_lastLaunch;
    QTimer* m_timer = nullptr;
    bool m_refusalLogged = false;
};
