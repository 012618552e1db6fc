// The fuzz targets read and write connection files only: opening a connection or editing it needs
// the widgets and the server interface, which the fuzz build does not have.

#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <cstdlib>

ConnectionEditorWidget* HttpsConnection::createEditorWidget() const {
    std::abort();
}

QWidget* HttpsConnection::open(QWidget*) {
    std::abort();
}

ConnectionEditorWidget* SshConnection::createEditorWidget() const {
    std::abort();
}

QWidget* SshConnection::open(QWidget*) {
    std::abort();
}
