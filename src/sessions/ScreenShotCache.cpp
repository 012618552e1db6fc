#include "sessions/ScreenShotCache.h"

#include "rpc/RpcInstance.h"

#include <QTimer>

const QSize ScreenShotLoader::requestSize(256, 192);

ScreenShotLoader::ScreenShotLoader(const QSharedPointer<RpcInstance>& rpc, QObject* parent)
    : QObject(parent)
    , m_rpc(rpc)
    , m_pacingTimer(new QTimer(this)) {
    m_pacingTimer->setSingleShot(true);
    m_pacingTimer->setInterval(pacingInterval);
    connect(m_pacingTimer, &QTimer::timeout, this, [this] {
        if (m_inFlight.size() < maxInFlight)
            next();
    });
}

void ScreenShotLoader::request(const QString& id) {
    if (!m_inFlight.contains(id) && !m_queue.contains(id))
        m_queue.append(id);
    if (m_inFlight.size() < maxInFlight && !m_pacingTimer->isActive())
        next();
}

bool ScreenShotLoader::moveTo(const QString& id, int position) {
    const int at = m_queue.indexOf(id);
    if (at < 0)
        return false;
    m_queue.move(at, qBound(0, position, m_queue.size() - 1));
    return true;
}

void ScreenShotLoader::cancel(const QString& id) {
    m_queue.removeAll(id);
}

void ScreenShotLoader::clear() {
    m_queue.clear();
    m_pacingTimer->stop();
}

void ScreenShotLoader::next() {
    if (m_queue.isEmpty())
        return;
    load(m_queue.takeFirst());
    m_pacingTimer->start();
}

void ScreenShotLoader::logFailure(const QString& id, const QString& message) {
    if (m_rpc)
        m_rpc->appendLog(QStringLiteral("Failed to get a screen shot for session %1: %2").arg(id, message));
}

void ScreenShotLoader::settled(const QString& id) {
    m_inFlight.remove(id);
    if (!m_pacingTimer->isActive())
        next();
}

void ScreenShotLoader::load(const QString& id) {
    if (!m_rpc)
        return;
    RpcPromise<QImage>* promise = m_rpc->screenshot(id, requestSize.width(), requestSize.height());
    promise->setParent(this);
    connect(promise, &RpcPromiseBase::succeeded, promise, &QObject::deleteLater);
    connect(promise, &RpcPromiseBase::failed, promise, &QObject::deleteLater);

    // A server that never answers must not hold one of the four places for good; the late
    // answer goes with the promise.
    auto* timeout = new QTimer(promise);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this, promise, id] {
        promise->disconnect(this);
        promise->deleteLater();
        logFailure(id, tr("no answer"));
        settled(id);
        emit failed(id);
    });
    timeout->start(m_answerTimeout);

    connect(promise, &RpcPromiseBase::succeeded, this, [this, promise, timeout, id] {
        timeout->stop();
        const QImage image = promise->value;
        settled(id);
        if (image.isNull()) {
            logFailure(id, tr("the answer is no readable picture"));
            emit failed(id);
            return;
        }
        emit succeeded(id, image);
    });
    connect(promise, &RpcPromiseBase::failed, this,
            [this, timeout, id](const QString&, const QString& message, const QVariantMap&) {
                timeout->stop();
                logFailure(id, message);
                settled(id);
                emit failed(id);
            });
    m_inFlight.insert(id);
}

ScreenShotCache::ScreenShotCache(const QSharedPointer<RpcInstance>& rpc, QObject* parent)
    : QObject(parent)
    , m_loader(new ScreenShotLoader(rpc, this))
    , m_refreshTimer(new QTimer(this)) {
    connect(m_loader, &ScreenShotLoader::succeeded, this, &ScreenShotCache::loaded, Qt::DirectConnection);
    connect(m_loader, &ScreenShotLoader::failed, this, &ScreenShotCache::loadFailed, Qt::DirectConnection);
    connect(m_refreshTimer, &QTimer::timeout, this, &ScreenShotCache::refresh);
    m_refreshTimer->start(tickInterval);
}

QImage ScreenShotCache::screenShot(const QString& sessionId) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    // The cards on screen load before those scrolled past, top to bottom.
    if (!m_lastPaint.isValid() || m_lastPaint.elapsed() > paintPassGap)
        m_paintedInPass = 0;
    m_lastPaint.start();
    auto it = m_entries.find(sessionId);
    if (it != m_entries.end()) {
        it->painted = now;
        it->paintOrder = ++m_paintOrder;
        if (m_loader->moveTo(sessionId, m_paintedInPass))
            ++m_paintedInPass;
        return it->image;
    }
    if (m_entries.size() >= maxEntries)
        evictLeastRecentlyPainted();
    m_entries.insert(sessionId, Entry{sessionId, QImage(), now, now, ++m_paintOrder});
    m_loader->request(sessionId);
    if (m_loader->moveTo(sessionId, m_paintedInPass))
        ++m_paintedInPass;
    return QImage();
}

void ScreenShotCache::evictLeastRecentlyPainted() {
    auto oldest = m_entries.end();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
        if (oldest == m_entries.end() || it->paintOrder < oldest->paintOrder)
            oldest = it;
    if (oldest == m_entries.end())
        return;
    m_loader->cancel(oldest.key());
    m_entries.erase(oldest);
}

void ScreenShotCache::remove(const QString& sessionId) {
    m_loader->cancel(sessionId);
    m_entries.remove(sessionId);
}

void ScreenShotCache::clear() {
    m_loader->clear();
    m_entries.clear();
}

void ScreenShotCache::refresh() {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QStringList ids = m_entries.keys();
    QStringList evicted;
    for (const QString& id : ids) {
        Entry& entry = m_entries[id];
        // A failed or slow refresh repaints nothing, so a card on screen may go unpainted for long;
        // it keeps its picture. One neither painted nor on screen for a while has been scrolled
        // away, and goes.
        if (entry.painted.addMSecs(m_paintedAge) < now && m_onScreen && m_onScreen(id))
            entry.painted = now;
        if (entry.painted.addMSecs(m_paintedAge) < now) {
            m_loader->cancel(id);
            m_entries.remove(id);
            evicted.append(id);
        } else if (entry.time.addMSecs(m_refreshAge) < now) {
            m_loader->request(id);
        }
    }
    // A card still on screen asks again when it is repainted.
    for (const QString& id : qAsConst(evicted))
        emit updatedScreenShot(id);
}

void ScreenShotCache::loaded(const QString& id, const QImage& img) {
    auto it = m_entries.find(id);
    if (it == m_entries.end())
        return;
    if (!img.isNull()) {
        // Kept at card size: a large picture is not held as sent.
        const QSize card = ScreenShotLoader::requestSize;
        it->image = (img.width() > card.width() || img.height() > card.height())
                        ? img.scaled(card, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                        : img;
    }
    it->time = QDateTime::currentDateTimeUtc();
    emit updatedScreenShot(id);
}

void ScreenShotCache::loadFailed(const QString& id) {
    auto it = m_entries.find(id);
    if (it != m_entries.end())
        it->time = QDateTime::currentDateTimeUtc();
}
