#pragma once

#include "platform/viewer/ViewerPlatform.h"

#include <QPointer>

class RdpBasic;

// The low-level keyboard hook behind "Capture all keystrokes". At most one exists in the process; it
// belongs to the RdpBasic of the session that installed it. The hook library is loaded by name only while
// the hook exists; where it or its procedure is missing there is no hook and nothing else changes.
class KeyboardHook {
public:
    static constexpr const char* LibraryName = "grapnel.dll";
    static constexpr const char* ProcedureName = "GrapnelProc";

    explicit KeyboardHook(RdpBasic* owner);
    ~KeyboardHook();
    KeyboardHook(const KeyboardHook&) = delete;
    KeyboardHook& operator=(const KeyboardHook&) = delete;

    RdpBasic* owner() const { return m_owner; }
    bool isHooked() const { return m_hook != 0; }

    // The process's hook, or nullptr.
    static KeyboardHook* current();
    // Installs a new hook for `owner`; the new one is set before the one the process held is removed.
    static void install(RdpBasic* owner);
    // Destroys the process's hook when `owner` holds it.
    static void releaseFor(const RdpBasic* owner);
    // Destroys the process's hook, whoever holds it.
    static void release();

private:
    RdpBasic* m_owner = nullptr;
    ViewerPlatform::Interface* m_platform = nullptr; // the one that loaded and hooked, for the undo
    ViewerPlatform::LibraryHandle m_library = 0;
    ViewerPlatform::HookHandle m_hook = 0;
};
