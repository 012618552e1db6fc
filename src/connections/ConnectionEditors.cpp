#include "connections/HttpsConnection.h"
#include "connections/HttpsConnectionWidget.h"
#include "connections/SshConnection.h"
#include "connections/SshConnectionWidget.h"

ConnectionEditorWidget* HttpsConnection::createEditorWidget() const {
    return new HttpsConnectionWidget(toJson());
}

ConnectionEditorWidget* SshConnection::createEditorWidget() const {
    return new SshConnectionWidget(toJson());
}
