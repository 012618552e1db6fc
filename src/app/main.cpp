// Velnor3: the connection manager with the built-in viewer, or one bookmark's session brought up
// from the command line.

#include "app/CloseHelper.h"
#include "app/LaunchModes.h"
#include "rpc/ServerWebView.h"

#include <QApplication>
#include <QIcon>
#include <QLoggingCategory>
#include <QSettings>

static void initAppResources() {
    Q_INIT_RESOURCE(AppResources);
}

int main(int argc, char* argv[]) {
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::Floor);
    QCoreApplication::setAttribute(Qt::AA_UseSoftwareOpenGL);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    QApplication application(argc, argv);
    initAppResources();
    QCoreApplication::setApplicationName(QStringLiteral("Velnor"));
    QCoreApplication::setApplicationVersion(QStringLiteral("3.2.32"));
    QCoreApplication::setOrganizationName(QStringLiteral("Halvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("halvane.example"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/velnor.png")));
    QSettings::setDefaultFormat(QSettings::IniFormat);
    CloseHelper::instance();
    installServerWebView();

    const QStringList arguments = QCoreApplication::arguments();
    switch (launchModeOf(arguments)) {
    case LaunchMode::Ssh:
        return runSshLaunch(application, arguments);
    case LaunchMode::Web:
        return runWebLaunch(application, arguments);
    case LaunchMode::Manager:
        break;
    }
    return runConnectionManager(application);
}
