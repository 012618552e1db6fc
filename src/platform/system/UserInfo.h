#pragma once

#include <QString>

namespace platform {

// The login name of the effective user from the user database; empty when it has no entry.
QString loginName();

} // namespace platform
