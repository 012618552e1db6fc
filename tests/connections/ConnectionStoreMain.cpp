#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

int runConnectionModelTests(int argc, char** argv);
int runConnectionImporterTests(int argc, char** argv);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The favourite marks go to settings of this run only.
    QTemporaryDir config;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
    QSettings::setDefaultFormat(QSettings::NativeFormat);
    QCoreApplication::setOrganizationName(QStringLiteral("velnor-tests"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_connection_store"));
    int failures = runConnectionModelTests(argc, argv);
    failures += runConnectionImporterTests(argc, argv);
    return failures;
}
