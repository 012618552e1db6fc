#include "sessions/SessionActions.h"

#include "sessions/Session.h"
#include "sessions/ViewerRegistry.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

#include <cmath>

namespace {

const char context[] = "SessionListWidget";

struct Entry {
    int code;
    const char* text;
};

const Entry menuEntries[] = {
    {SessionAction::Info, QT_TRANSLATE_NOOP("SessionListWidget", "&Info")},
    {SessionAction::Sharing, QT_TRANSLATE_NOOP("SessionListWidget", "&Sharing")},
    {SessionAction::Parameters, QT_TRANSLATE_NOOP("SessionListWidget", "&Parameters")},
    {SessionAction::Disconnect, QT_TRANSLATE_NOOP("SessionListWidget", "&Disconnect")},
    {SessionAction::Purge, QT_TRANSLATE_NOOP("SessionListWidget", "P&urge")},
    {SessionAction::ViewLogs, QT_TRANSLATE_NOOP("SessionListWidget", "View &Logs")},
    {SessionAction::ExecuteCommand, QT_TRANSLATE_NOOP("SessionListWidget", "E&xecute Command")},
    {0, nullptr},
    {SessionAction::FullscreenOnConnect, QT_TRANSLATE_NOOP("SessionListWidget", "&Fullscreen on Connect")},
    {SessionAction::Settings, QT_TRANSLATE_NOOP("SessionListWidget", "Settin&gs")},
    {SessionAction::RestoreWindows, QT_TRANSLATE_NOOP("SessionListWidget", "Restore &Windows")},
    {SessionAction::Diagnostics, QT_TRANSLATE_NOOP("SessionListWidget", "D&iagnostics")},
    {0, nullptr},
    {SessionAction::Terminate, QT_TRANSLATE_NOOP("SessionListWidget", "&Terminate")},
};

// Info, Parameters, Purge, View Logs, Execute Command, Terminate and Fullscreen on Connect.
constexpr int sessionActionBits = 3308;
// Settings, Restore Windows and Diagnostics: only with a viewer of the session open here.
constexpr int viewerActionBits = 4864;
// Always allowed by the permission mask: Info, Settings, Restore Windows, Diagnostics.
constexpr int unconditionalBits = 4868;

bool isRootless(const Session& session) {
    return session.windowMode() == QLatin1String("rootless");
}

} // namespace

const QMap<int, QString>& sessionMenuActions() {
    static const QMap<int, QString> texts = [] {
        QMap<int, QString> map;
        for (const Entry& entry : menuEntries)
            if (entry.code != 0)
                map.insert(entry.code, QCoreApplication::translate(context, entry.text));
        return map;
    }();
    return texts;
}

const QList<int>& sessionMenuOrder() {
    static const QList<int> order = [] {
        QList<int> list;
        for (const Entry& entry : menuEntries)
            list.append(entry.code);
        return list;
    }();
    return order;
}

QMenu* buildSessionMenu(QWidget* parent, const QObject* receiver, const char* slot) {
    auto* menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("SessionMenu"));
    menu->setTitle(QCoreApplication::translate(context, "Session"));
    const QMap<int, QString>& texts = sessionMenuActions();
    for (const int code : sessionMenuOrder()) {
        if (code == 0) {
            menu->addSeparator();
            continue;
        }
        const QString text = texts.value(code);
        if (text.isEmpty())
            continue;
        QAction* action = menu->addAction(text);
        action->setCheckable(code == SessionAction::FullscreenOnConnect);
        action->setData(code);
        QObject::connect(action, SIGNAL(triggered()), receiver, slot);
    }
    return menu;
}

int sessionPermissionMask(const QVariantMap& permissions) {
    if (permissions.isEmpty())
        return 0x7fff;
    static const struct {
        const char* key;
        int bits;
    } grants[] = {
        {"share", SessionAction::Sharing},
        {"disconnect", SessionAction::Disconnect},
        {"exec", SessionAction::ExecuteCommand},
        {"params", SessionAction::Parameters | SessionAction::FullscreenOnConnect},
        {"purge", SessionAction::Purge},
        {"log", SessionAction::ViewLogs},
        {"terminate", SessionAction::Terminate},
    };
    int mask = unconditionalBits;
    for (const auto& grant : grants)
        if (permissions.value(QLatin1String(grant.key)).toBool())
            mask |= grant.bits;
    return mask;
}

int enabledSessionActions(const Session& session, QMenu* menu, int allowed, bool own) {
    if (session.id().isEmpty())
        return SessionAction::NewSession;
    int r = (allowed & sessionActionBits) | SessionAction::NewSession;
    const bool rootless = isRootless(session);
    if (session.clientCount() > 0 && findViewer(session.id()))
        r |= allowed & viewerActionBits;
    if (session.clientCount() > 0)
        r |= allowed & SessionAction::Disconnect;
    // Sharing needs the permission, a desktop session and a session that reports sharing, in the page's
    // menu and in the main window alike.
    if (!rootless && session.isSharing())
        r |= allowed & SessionAction::Sharing;
    // A rootless session has no full screen to switch to.
    if (rootless)
        r &= ~SessionAction::FullscreenOnConnect;
    Q_UNUSED(own)

    if (menu) {
        for (QAction* action : menu->actions()) {
            const int code = action->data().toInt();
            if (code == 0)
                continue;
            action->setEnabled(r & code);
            if (code == SessionAction::FullscreenOnConnect)
                action->setChecked(!rootless && session.param(QStringLiteral("windowMode")).toString() ==
                                                    QLatin1String("fullscreen"));
        }
    }
    return r;
}

QString backgroundRunText(const QVariantMap& result) {
    const double pid = result.value(QStringLiteral("pid"), 0).toDouble();
    QString number;
    // PIDs are whole numbers; printed in full, never in exponent notation.
    if (std::isfinite(pid) && std::fabs(pid) < 9007199254740992.0 && pid == std::trunc(pid))
        number = QString::number(qint64(pid));
    else if (std::isfinite(pid))
        number = QString::number(pid, 'f', 0);
    else
        number = QStringLiteral("0");
    return QStringLiteral("Program Started<br />PID %1").arg(number);
}
