#include "connections/Connection.h"

Connection::~Connection() = default;

void registerConnectionPtrMetaType() {
    qRegisterMetaType<ConnectionPtr>("ConnectionPtr");
}
