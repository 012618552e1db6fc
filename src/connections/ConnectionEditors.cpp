#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

// The editor widgets are built on top of these types; until they link in, there is no editor.
ConnectionEditorWidget* HttpsConnection::createEditorWidget() const {
    return nullptr;
}

ConnectionEditorWidget* SshConnection::createEditorWidget() const {
    return nullptr;
}
