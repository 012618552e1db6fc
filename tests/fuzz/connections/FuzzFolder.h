#pragma once

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

inline void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// The one folder a fuzz target works in, removed when the run ends. The settings go there too.
class FuzzFolder {
public:
    static FuzzFolder& instance() {
        static FuzzFolder folder;
        return folder;
    }

    QString path(const QString& name) const { return m_root.filePath(name); }

    // Writes the input as the file name in the folder.
    QString writeInput(const QString& name, const uint8_t* data, size_t size) const {
        const QString file = path(name);
        QFile out(file);
        check(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        check(out.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
        return file;
    }

    // Nothing was written beside what the target itself names.
    void checkOnly(const QStringList& names) const {
        const QStringList entries =
            QDir(m_root.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString& entry : entries)
            check(entry == QLatin1String("config") || names.contains(entry));
    }

private:
    FuzzFolder() {
        check(m_root.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(path(QStringLiteral("config"))));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path(QStringLiteral("config")));
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, path(QStringLiteral("config")));
    }

    QTemporaryDir m_root;
};
