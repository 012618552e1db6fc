#pragma once

#include <QString>

namespace platform {

// The login name of the effective user: from the user database, else the USER environment variable,
// else the numeric user id; never empty and at most 256 characters (as the system's own buffer holds).
QString loginName();

// The choice itself: the first non-empty of the database name and the USER variable, else the id,
// cut to 256 characters without splitting a surrogate pair.
QString chooseLoginName(const QString& databaseName, const QString& userVariable, unsigned long userId);

} // namespace platform
