// velnorcli: shows one session whose display endpoint is given on the command line, and ends with it.

#include "PasswordInput.h"
#include "platform/system/UserInfo.h"
#include "platform/viewer/ViewerPlatform.h"
#include "viewer/engine/RdpInstance.h"
#include "viewer/engine/TerminalText.h"

#include <QApplication>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QIcon>
#include <QLoggingCategory>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QSettings>
#include <QTextStream>
#include <QUrl>
#include <QVariantMap>

#include <cstdio>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Exit code of a session that ended with an error (the finish message goes to standard error).
constexpr int kSessionFailed = 3;

// The tunnel port as an unsigned 16-bit decimal number.
bool parseTunnelPort(const QString& text, quint16& port) {
    bool ok = false;
    const uint value = text.toUInt(&ok, 10);
    if (!ok || value > 65535) {
        return false;
    }
    port = quint16(value);
    return true;
}

// A session ends normally when it was quit or the server closed it without naming a fault.
bool endedWithError(const RdpInstance& instance) {
    return instance.finishLevel() != 0 && instance.finishLevel() != Protocol::ErrorLevel::Unspecified;
}

} // namespace

int main(int argc, char* argv[]) {
#ifdef __GLIBC__
    // Images (decoded tiles, composed updates, surfaces) come and go every frame. Left to itself the
    // allocator raises its mapping threshold after the first one is freed and serves the next from its
    // heaps, which then keep the memory after the session has gone quiet; a fixed threshold maps every
    // large block of its own and gives it back when it is freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    if (ViewerPlatform::instance()->available(ViewerPlatform::Feature::Console)) {
        ViewerPlatform::instance()->attachParentConsole();
    }

    std::vector<QByteArray> argumentStore;
    for (int i = 0; i < argc; ++i) {
        argumentStore.emplace_back(argv[i]);
    }
    for (const QByteArray& extra : ViewerPlatform::extraApplicationArguments()) {
        argumentStore.push_back(extra);
    }
    std::vector<char*> arguments;
    for (QByteArray& argument : argumentStore) {
        arguments.push_back(argument.data());
    }
    arguments.push_back(nullptr);
    int argumentCount = int(argumentStore.size());

    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argumentCount, arguments.data());
    QApplication::setApplicationName(QStringLiteral("Velnor"));
    QApplication::setApplicationVersion(QStringLiteral("3.2.32"));
    QApplication::setOrganizationName(QStringLiteral("Halvane"));
    QApplication::setOrganizationDomain(QStringLiteral("halvane.example"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/Velnor.png")));
    QApplication::setQuitOnLastWindowClosed(false);
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QCommandLineParser parser;
    const QCommandLineOption urlOption(
        QStringLiteral("url"), QApplication::translate("main", "The websocket of the session"),
        QStringLiteral("URL"), QStringLiteral("ws://localhost:4000/client/protocol"));
    const QCommandLineOption userOption(
        QStringLiteral("user"),
        QApplication::translate("main", "The name to identify yourself to the session with"),
        QStringLiteral("USER"));
    const QCommandLineOption passwordOption(
        QStringLiteral("password"),
        QApplication::translate("main", "The password to connect to the session with"),
        QStringLiteral("PASSWORD"));
    const QCommandLineOption tportOption(
        QStringLiteral("tport"), QApplication::translate("main", "The port the SOCKS proxy is listening on"),
        QStringLiteral("T_PORT"), QStringLiteral("0"));
    const QCommandLineOption geometryOption(
        QStringLiteral("geometry"),
        QApplication::translate("main", "The geometry to use when displaying the session"),
        QStringLiteral("GEOMETRY"), QStringLiteral("1024x768"));
    const QCommandLineOption sessionIdOption(QStringLiteral("sessionId"),
                                             QApplication::translate("main", "The id of the session"),
                                             QStringLiteral("SESSION_ID"));
    parser.addOptions({urlOption, userOption, passwordOption, tportOption, geometryOption, sessionIdOption});

    if (!parser.parse(QApplication::arguments())) {
        QTextStream(stderr) << "velnorcli: " << terminalText(parser.errorText()) << '\n';
        parser.showHelp(1);
    }
    if (!parser.isSet(urlOption)) {
        parser.showHelp(2);
    }

    quint16 tunnelPort = 0;
    if (!parseTunnelPort(parser.value(tportOption), tunnelPort)) {
        QTextStream(stderr) << "velnorcli: "
                            << QApplication::translate("main",
                                                       "The SOCKS proxy port \"%1\" is not a port number.")
                                   .arg(parser.value(tportOption))
                            << '\n';
        parser.showHelp(1);
    }
    QNetworkProxy proxy(QNetworkProxy::DefaultProxy);
    if (tunnelPort != 0) {
        proxy = QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("localhost"), tunnelPort);
    }

    QString user = parser.value(userOption);
    if (user.isEmpty()) {
        user = platform::loginName();
    }
    QString password = parser.value(passwordOption);
    if (password.isEmpty()) {
        password = readPasswordFromStandardInput();
    }

    RdpInstance instance;
    // The session's end ends the event loop, whose result is the exit code.
    QObject::connect(&instance, &RdpInstance::finished, &app,
                     [&instance] { QCoreApplication::exit(endedWithError(instance) ? kSessionFailed : 0); });
    RdpDefaultHandlers handlers(&instance);

    const QString urlText = parser.value(urlOption);
    QVariantMap connectInfo;
    connectInfo.insert(QStringLiteral("SessionId"), parser.value(sessionIdOption));
    connectInfo.insert(QStringLiteral("RealHost"), urlText);

    instance.start(QNetworkRequest(QUrl(urlText, QUrl::TolerantMode)), proxy, user, password,
                   parser.value(geometryOption), QString(), false, connectInfo);
    password = QString();

    const int result = app.exec();
    // The ended session's controller and windows go before the application object.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (result == kSessionFailed) {
        const QString message = instance.finishMessage().isEmpty()
                                    ? QApplication::translate("main", "The session ended with level %1.")
                                          .arg(instance.finishLevel())
                                    : instance.finishMessage();
        // The message is the server's own text.
        QTextStream(stderr) << "velnorcli: " << terminalText(message) << '\n';
    }
    return result;
}
