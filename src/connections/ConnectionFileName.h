#pragma once

#include <QString>

// The first of "base.velnor", "base (1).velnor", "base (2).velnor" ... that names nothing in folder.
// A base too long for the file system's names is shortened, a whole character at a time, until the
// name fits.
QString freeConnectionFileName(const QString& folder, const QString& base);
