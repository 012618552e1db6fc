#include "BookmarkRoutes.h"

#include "TestImages.h"

#include <QBuffer>
#include <QColor>
#include <QImage>

namespace HttpsPeer {

const QStringList BookmarkRoutes::operations{QStringLiteral("list"), QStringLiteral("edit"),
                                             QStringLiteral("delete"), QStringLiteral("favorite"),
                                             QStringLiteral("unfavorite")};

namespace {

int indexOf(const QJsonArray& entries, const QString& id) {
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).toObject().value(QLatin1String("id")).toString() == id)
            return i;
    }
    return -1;
}

void removeId(QJsonArray& entries, const QString& id) {
    for (int i = entries.size() - 1; i >= 0; --i) {
        const QJsonValue v = entries.at(i);
        if (v.toString() == id || v.toObject().value(QLatin1String("id")).toString() == id)
            entries.removeAt(i);
    }
}

} // namespace

BookmarkRoutes::BookmarkRoutes(Server& server) {
    for (const QString& operation : operations) {
        const QByteArray method = operation == QLatin1String("list") ? "GET" : "POST";
        server.route(method, QStringLiteral("/v3/api/bookmark/") + operation, [this, operation](const Request& r) {
            const QJsonObject body = r.json();
            m_received[operation].append(body);
            const bool refused = m_refused.contains(operation);
            QList<int>& late = m_lateTakes[operation];
            if (!late.isEmpty()) {
                return Response::later(late.takeFirst(), [this, operation, body, refused] {
                    return refused ? Response::error(m_errorName, m_errorMessage)
                                   : Response::result(apply(operation, body));
                });
            }
            Response response = refused ? Response::error(m_errorName, m_errorMessage)
                                        : Response::result(apply(operation, body));
            QList<int>& next = m_nextDelays[operation];
            return response.after(next.isEmpty() ? m_delayMs : next.takeFirst());
        });
    }
}

void BookmarkRoutes::refuse(const QStringList& refused, const QString& name, const QString& message) {
    m_refused = QSet<QString>(refused.begin(), refused.end());
    m_errorName = name;
    m_errorMessage = message;
}

int BookmarkRoutes::requestCount() const {
    int n = 0;
    for (const auto& list : m_received)
        n += list.size();
    return n;
}

QJsonObject BookmarkRoutes::lists() const {
    return QJsonObject{{QStringLiteral("system"), system},
                       {QStringLiteral("user"), user},
                       {QStringLiteral("suggestions"), suggestions},
                       {QStringLiteral("history"), history},
                       {QStringLiteral("favorites"), favorites}};
}

QJsonObject BookmarkRoutes::apply(const QString& operation, const QJsonObject& body) {
    const QString id = body.value(QLatin1String("id")).toString();
    if (operation == QLatin1String("edit")) {
        const QString key = id.isEmpty() ? QStringLiteral("new%1").arg(m_nextId++) : id;
        const int at = indexOf(user, key);
        QJsonObject entry = at >= 0 ? user.at(at).toObject() : QJsonObject{{QStringLiteral("id"), key}};
        for (const char* field : {"name", "command", "geometry"}) {
            if (body.contains(QLatin1String(field)))
                entry.insert(QLatin1String(field), body.value(QLatin1String(field)));
        }
        if (at >= 0)
            user[at] = entry;
        else
            user.append(entry);
    } else if (operation == QLatin1String("delete")) {
        removeId(user, id);
        removeId(history, id);
        removeId(favorites, id);
    } else if (operation == QLatin1String("favorite")) {
        if (!favorites.contains(id))
            favorites.append(id);
    } else if (operation == QLatin1String("unfavorite")) {
        removeId(favorites, id);
    }
    return lists();
}

QJsonObject BookmarkRoutes::entry(const QString& id, const QString& name, const QString& command,
                                  const QString& geometry, const QStringList& tags, const QString& icon) {
    QJsonObject o{{QStringLiteral("id"), id},
                  {QStringLiteral("name"), name},
                  {QStringLiteral("command"), command},
                  {QStringLiteral("geometry"), geometry},
                  {QStringLiteral("tags"), QJsonArray::fromStringList(tags)}};
    if (!icon.isEmpty())
        o.insert(QStringLiteral("icon"), icon);
    return o;
}

QString BookmarkRoutes::pngIcon(const QColor& colour, int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(colour);
    return pngDataUrl(image);
}

} // namespace HttpsPeer
