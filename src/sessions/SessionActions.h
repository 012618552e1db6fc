#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QVariantMap>

class QMenu;
class QWidget;
class Session;

// The session actions by bit code, shared by the session page and the main window's Session menu.
// Bit 1 is no action: it is always set in an allowed-action result and means "may start a session".
namespace SessionAction {
enum Code {
    NewSession = 1,
    Sharing = 2,
    Info = 4,
    Parameters = 8,
    Disconnect = 16,
    Purge = 32,
    ViewLogs = 64,
    ExecuteCommand = 128,
    Settings = 256,
    RestoreWindows = 512,
    Terminate = 1024,
    FullscreenOnConnect = 2048,
    Diagnostics = 4096,
};
} // namespace SessionAction

// Code to translated menu text; built once per process.
const QMap<int, QString>& sessionMenuActions();
// The codes in menu order, separators as 0.
const QList<int>& sessionMenuOrder();
// A "Session" menu with one action per code (the code as its data), each triggering the slot.
QMenu* buildSessionMenu(QWidget* parent, const QObject* receiver, const char* slot);

// The actions the user's session permissions allow: everything when the map is empty.
int sessionPermissionMask(const QVariantMap& sessionPermissions);

// The allowed actions for one session under the allowed mask; own is false for sessions that others
// share with the user. With a menu, its actions are enabled (and Fullscreen on Connect checked) to
// match the result, so that the menu and the main window's mask always agree.
int enabledSessionActions(const Session& session, QMenu* menu, int allowed, bool own);

// The text of the box that reports a background run: "Program Started<br />PID %1", the PID as a
// whole number.
QString backgroundRunText(const QVariantMap& result);
