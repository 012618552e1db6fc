#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

// While it lives, folder (below root) takes no new files but its file stays writable. Root ignores
// permissions, so a root process acts as the unprivileged user "nobody" meanwhile.
class ReadOnlyFolder {
public:
    ReadOnlyFolder(const QString& root, const QString& folder, const QString& file)
        : m_folder(folder)
        , m_root(::geteuid() == 0) {
        ::chmod(QFile::encodeName(file).constData(), 0666);
        ::chmod(QFile::encodeName(folder).constData(), 0555);
        if (m_root) {
            // nobody has to reach the folder: every folder from root down to it opens for reading.
            const QString top = QDir(root).absolutePath();
            for (QString dir = QFileInfo(folder).absolutePath();; dir = QFileInfo(dir).absolutePath()) {
                ::chmod(QFile::encodeName(dir).constData(), 0755);
                if (dir == top || dir == QLatin1String("/"))
                    break;
            }
            m_dropped = ::seteuid(65534) == 0;
        }
    }
    ~ReadOnlyFolder() {
        if (m_dropped && ::seteuid(0) != 0)
            qFatal("could not become root again");
        ::chmod(QFile::encodeName(m_folder).constData(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    // Whether creating a file in the folder really fails now.
    bool effective() const {
        QFile probe(QDir(m_folder).filePath(QStringLiteral("probe")));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            return false;
        }
        return true;
    }

private:
    QString m_folder;
    bool m_root = false;
    bool m_dropped = false;
};
