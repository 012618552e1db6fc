#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QSize>
#include <QStringList>
#include <QWeakPointer>

#include <functional>

class QTimer;
class RpcInstance;

// Fetches session screenshots: at most four outstanding, starts paced apart, a load without an
// answer in time counts as failed.
class ScreenShotLoader : public QObject {
    Q_OBJECT
public:
    static constexpr int maxInFlight = 4;
    static constexpr int pacingInterval = 200;
    static constexpr int answerTimeout = 30000;
    static const QSize requestSize;

    ScreenShotLoader(const QSharedPointer<RpcInstance>& rpc, QObject* parent = nullptr);

    void request(const QString& id);
    // Moves a waiting id to that place in the queue (clamped to its length); false when it is not waiting.
    bool moveTo(const QString& id, int position);
    // Drops the id from the queue; a load already started still answers.
    void cancel(const QString& id);
    // Empties the queue. Loads still outstanding keep counting toward the limit until they answer.
    void clear();

    QStringList queue() const { return m_queue; }
    QSet<QString> inFlight() const { return m_inFlight; }
    QTimer* pacingTimer() const { return m_pacingTimer; }
    void setAnswerTimeout(int ms) { m_answerTimeout = ms; }

signals:
    void succeeded(QString sessionId, QImage img);
    void failed(QString sessionId);

private:
    void next();
    void load(const QString& id);
    void settled(const QString& id);
    void logFailure(const QString& id, const QString& message);

    QSharedPointer<RpcInstance> m_rpc;
    QStringList m_queue;
    QSet<QString> m_inFlight;
    QTimer* m_pacingTimer = nullptr;
    int m_answerTimeout = answerTimeout;
};

// One picture per session id, refreshed when it is older than the refresh age. Only cards that are
// painted or on screen are kept: an entry neither painted nor on screen for the painted age goes,
// and beyond maxEntries the one painted longest ago goes, so that scrolling through thousands of
// sessions holds and asks for no more than the cards on screen and the last few pages.
class ScreenShotCache : public QObject {
    Q_OBJECT
public:
    static constexpr int refreshAge = 30000;
    static constexpr int paintedAge = 2 * refreshAge;
    static constexpr int maxEntries = 256;
    static constexpr int tickInterval = 1000;
    // Paints closer together than this count as one pass over the cards on screen.
    static constexpr int paintPassGap = 50;

    struct Entry {
        QString sessionId;
        QImage image;
        QDateTime time;
        // When the card was last painted (asked for its picture), and in which order.
        QDateTime painted;
        quint64 paintOrder = 0;
    };

    ScreenShotCache(const QSharedPointer<RpcInstance>& rpc, QObject* parent = nullptr);

    // The current picture; the first call for an id starts its load and returns a null image.
    QImage screenShot(const QString& sessionId);
    void remove(const QString& sessionId);
    void clear();

    bool contains(const QString& sessionId) const { return m_entries.contains(sessionId); }
    int size() const { return m_entries.size(); }
    ScreenShotLoader* loader() const { return m_loader; }
    QTimer* refreshTimer() const { return m_refreshTimer; }
    void setRefreshAge(int ms) { m_refreshAge = ms; }
    void setPaintedAge(int ms) { m_paintedAge = ms; }
    // Whether a session's card is in the view's viewport now. The view repaints a card only when
    // something about it changes, so one on screen counts as painted whatever its refreshes do.
    void setOnScreen(std::function<bool(const QString&)> onScreen) { m_onScreen = std::move(onScreen); }

signals:
    void updatedScreenShot(QString sessionId);

private:
    void refresh();
    void loaded(const QString& id, const QImage& img);
    void loadFailed(const QString& id);
    void evictLeastRecentlyPainted();

    QHash<QString, Entry> m_entries;
    ScreenShotLoader* m_loader = nullptr;
    QTimer* m_refreshTimer = nullptr;
    int m_refreshAge = refreshAge;
    int m_paintedAge = paintedAge;
    quint64 m_paintOrder = 0;
    std::function<bool(const QString&)> m_onScreen;
    // The cards of the latest paint pass go to the front of the loader's queue, in paint order.
    QElapsedTimer m_lastPaint;
    int m_paintedInPass = 0;
};
