#include "app/LaunchModes.h"

#include "app/BookmarkBringUp.h"
#include "app/MainWindow.h"
#include "app/StartupFolders.h"
#include "connections/ConnectionImporter.h"
#include "connections/HttpsConnection.h"
#include "connections/SshConnection.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QXmlStreamReader>

#include <cstdio>

Q_LOGGING_CATEGORY(lcLaunch, "velnor.launch")

namespace {

QCommandLineOption bookmarkOption() {
    return QCommandLineOption(QStringLiteral("bid"), QCoreApplication::translate("MainFile", "Bookmark ID"),
                              QStringLiteral("BOOKMARK_ID"));
}

// The options of one connection kind and the bookmark. The parsers only parse: unknown options and
// missing values are no reason to stop.
template <class ConnectionKind>
void parseLaunchOptions(QCommandLineParser& parser, const QStringList& arguments) {
    ConnectionKind::addCommandLineOptions(parser);
    parser.addOption(bookmarkOption());
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.parse(arguments);
}

// A command line that cannot be read: said on standard error, where the user who typed it is
// looking, and in a box.
void reportLaunchFailure(const QString& failure, const QString& reason) {
    const QString text = QCoreApplication::translate("MainFile", "%1: %2").arg(failure, reason);
    std::fprintf(stderr, "%s: %s\n", qPrintable(QFileInfo(QCoreApplication::applicationFilePath()).fileName()),
                 text.toLocal8Bit().constData());
    std::fflush(stderr);
    QMessageBox box(QMessageBox::Critical, QString(), text, QMessageBox::Ok);
    box.setObjectName(QStringLiteral("LaunchFailureBox"));
    box.exec();
}

// Older connection files are XML documents with one of two roots, whatever their name.
bool isOlderConnectionFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader reader(&file);
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement)
            return reader.name() == QLatin1String("SshConnection") || reader.name() == QLatin1String("WebConnection");
    }
    return false;
}

// The event loop of a launch. Afterwards the objects let go during the last events are deleted, so
// that the server interface ends and stops its ssh process before the program does. A launch that
// ended in its failure box exits with 1, so that a script can tell.
int runLaunchLoop(QApplication& application, int failuresBefore) {
    const int result = application.exec();
    for (int round = 0; round < 4; ++round)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result == 0 && bringUpFailures() > failuresBefore ? 1 : result;
}

// Brings up one bookmark's session from the command line; a connection or bookmark the arguments do
// not give is reported and ends the program with 1.
template <class ConnectionKind>
int runBookmarkLaunch(QApplication& application, const QStringList& arguments, const char* parseFailure,
                      void (*launch)(const ConnectionKind&, const QString&)) {
    QCommandLineParser parser;
    parseLaunchOptions<ConnectionKind>(parser, arguments);
    ConnectionKind connection;
    QString reason;
    if (!ConnectionKind::fromCommandLine(parser, connection, &reason)) {
        reportLaunchFailure(QCoreApplication::translate("MainFile", parseFailure), reason);
        return 1;
    }
    if (parser.value(QStringLiteral("bid")).isEmpty()) {
        reportLaunchFailure(QCoreApplication::translate("MainFile", "Failed to parse a bookmark ID"),
                            parser.isSet(QStringLiteral("bid"))
                                ? QCoreApplication::translate("MainFile", "the option --bid has no value")
                                : QCoreApplication::translate("MainFile", "the option --bid is missing"));
        return 1;
    }
    const int failuresBefore = bringUpFailures();
    launch(connection, parser.value(QStringLiteral("bid")));
    return runLaunchLoop(application, failuresBefore);
}

} // namespace

LaunchMode launchModeOf(const QStringList& arguments) {
    QCommandLineParser ssh;
    parseLaunchOptions<SshConnection>(ssh, arguments);
    if (ssh.isSet(QStringLiteral("ssh")))
        return LaunchMode::Ssh;
    QCommandLineParser web;
    parseLaunchOptions<HttpsConnection>(web, arguments);
    if (web.isSet(QStringLiteral("web")))
        return LaunchMode::Web;
    return LaunchMode::Manager;
}

int runSshLaunch(QApplication& application, const QStringList& arguments) {
    static const char failure[] = QT_TRANSLATE_NOOP("MainFile", "Failed to parse an SSH connection");
    return runBookmarkLaunch<SshConnection>(application, arguments, failure, launchSshBookmark);
}

int runWebLaunch(QApplication& application, const QStringList& arguments) {
    static const char failure[] = QT_TRANSLATE_NOOP("MainFile", "Failed to parse a Web connection");
    return runBookmarkLaunch<HttpsConnection>(application, arguments, failure, launchWebBookmark);
}

bool importOlderFolder(const QString& source, const QString& destination, bool* hadCandidates) {
    const QDir folder(source);
    QStringList candidates;
    const QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QFileInfo& entry : entries)
        if (isOlderConnectionFile(entry.absoluteFilePath()))
            candidates << entry.absoluteFilePath();
    if (hadCandidates)
        *hadCandidates = !candidates.isEmpty();
    if (candidates.isEmpty())
        return true;
    ConnectionImporter importer;
    int imported = 0;
    for (const QString& path : candidates) {
        const QJsonObject json = importer.read(path);
        if (importer.hasError()) {
            qCDebug(lcLaunch) << importer.errorString();
            continue;
        }
        if (!importer.save(json, destination)) {
            qCDebug(lcLaunch) << importer.errorString();
            continue;
        }
        ++imported;
    }
    return imported > 0;
}

void firstStartImport(const QString& userDataFolder) {
    const QDir data(userDataFolder);
    const QString mine = data.filePath(QStringLiteral("MyConnections"));
    if (QFileInfo::exists(mine))
        return;
    if (!QDir().mkpath(mine))
        return;
    bool sshCandidates = false;
    bool webCandidates = false;
    const bool ssh = importOlderFolder(data.filePath(QStringLiteral("SshConnections")), mine, &sshCandidates);
    const bool web = importOlderFolder(data.filePath(QStringLiteral("WebConnections")), mine, &webCandidates);
    // A folder whose older files all failed is tried again at the next start; rmdir removes only an
    // empty folder, so nothing imported meanwhile is lost.
    if ((sshCandidates && !ssh) || (webCandidates && !web))
        QDir().rmdir(mine);
}

int runConnectionManager(QApplication& application) {
    const QString user = userDataFolder(installType(), QCoreApplication::applicationDirPath());
    const QString system = systemDataDirectory();
    firstStartImport(user);
    auto* window = new MainWindow(&application, userConnectionFolder(user), systemConnectionFolder(system));
    window->show();
    window->openConnectionList();
    const int result = application.exec();
    return result;
}
