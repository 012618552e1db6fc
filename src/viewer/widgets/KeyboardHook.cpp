#include "viewer/widgets/KeyboardHook.h"

#include <QCoreApplication>

namespace {

KeyboardHook* processHook = nullptr;
bool postRoutineAdded = false;

} // namespace

KeyboardHook::KeyboardHook(RdpBasic* owner)
    : m_owner(owner)
    , m_platform(ViewerPlatform::instance()) {
    m_library = m_platform->loadLibrary(QString::fromLatin1(LibraryName));
    if (!m_library) {
        return;
    }
    const ViewerPlatform::ProcedureHandle procedure = m_platform->findProcedure(m_library, ProcedureName);
    if (!procedure) {
        return;
    }
    m_hook = m_platform->setKeyboardHook(procedure, m_library);
}

KeyboardHook::~KeyboardHook() {
    if (m_hook) {
        m_platform->removeKeyboardHook(m_hook);
    }
    if (m_library) {
        m_platform->freeLibrary(m_library);
    }
}

KeyboardHook* KeyboardHook::current() {
    return processHook;
}

void KeyboardHook::install(RdpBasic* owner) {
    if (!postRoutineAdded && QCoreApplication::instance()) {
        // Undone while the window system is still there, not at static destruction.
        qAddPostRoutine(&KeyboardHook::release);
        postRoutineAdded = true;
    }
    KeyboardHook* previous = processHook;
    processHook = new KeyboardHook(owner);
    delete previous;
}

void KeyboardHook::releaseFor(const RdpBasic* owner) {
    if (processHook && processHook->owner() == owner) {
        release();
    }
}

void KeyboardHook::release() {
    KeyboardHook* hook = processHook;
    processHook = nullptr;
    delete hook;
}
