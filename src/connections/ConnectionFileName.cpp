#include "connections/ConnectionFileName.h"

#include <QDir>
#include <QFile>

#include <unistd.h>

namespace {

// Longest file name, in bytes, that the folder's file system takes.
int longestName(const QString& folder) {
    const long limit = ::pathconf(
        QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(), _PC_NAME_MAX);
    return limit > 0 ? int(limit) : 255;
}

QString fitted(QString base, const QString& suffix, int limit) {
    // Every character takes a byte at least.
    if (base.size() > limit)
        base.truncate(limit);
    if (!base.isEmpty() && QChar(base.back()).isHighSurrogate())
        base.chop(1);
    while (!base.isEmpty() && QFile::encodeName(base + suffix).size() > limit) {
        base.chop(1);
        if (!base.isEmpty() && QChar(base.back()).isHighSurrogate())
            base.chop(1);
    }
    return base + suffix;
}

} // namespace

QString freeConnectionFileName(const QString& folder, const QString& base) {
    const QDir dir(folder);
    const int limit = longestName(folder);
    QString name = fitted(base, QStringLiteral(".velnor"), limit);
    // One arg() call: a base holding "%1" or "%2" stays as it is.
    for (int number = 1; dir.exists(name); ++number)
        name = fitted(base, QStringLiteral(" (%1).velnor").arg(number), limit);
    return name;
}
