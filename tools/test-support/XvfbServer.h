#pragma once

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTest>

#include <cstdio>

// A private X server for one test executable: started on a free display number chosen by the
// server itself, stopped when the object goes.
class XvfbServer {
public:
    XvfbServer() = default;
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;
    ~XvfbServer() { stop(); }

    // Empty on success, otherwise why the server did not start.
    QString start() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (program.isEmpty()) {
            return QStringLiteral("Xvfb is not installed");
        }
        process.setProgram(program);
        // The server writes its display number to the given descriptor once it accepts clients.
        process.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                              QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                              QStringLiteral("1024x768x24")});
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start();
        if (!process.waitForStarted(10000)) {
            return QStringLiteral("Xvfb did not start: %1").arg(process.errorString());
        }
        QByteArray out;
        while (!out.contains('\n')) {
            if (!process.waitForReadyRead(10000)) {
                return QStringLiteral("Xvfb gave no display number: %1")
                    .arg(QString::fromLocal8Bit(process.readAllStandardError()));
            }
            out += process.readAllStandardOutput();
        }
        bool ok = false;
        const int number = out.trimmed().toInt(&ok);
        if (!ok) {
            return QStringLiteral("Xvfb wrote no display number: %1").arg(QString::fromLocal8Bit(out));
        }
        name = QStringLiteral(":%1").arg(number);
        return {};
    }

    void stop() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }

    QString displayName() const { return name; }

private:
    QProcess process;
    QString name;
};

// Runs one Qt Test object in a QApplication on the xcb platform of a private X server. The set-up
// installs Xvfb, so a server that does not start fails the test rather than skipping it.
template <typename TestObject>
int runTestUnderXvfb(int argc, char** argv) {
    XvfbServer server;
    const QString failure = server.start();
    if (!failure.isEmpty()) {
        std::printf("FAIL: %s\n", qPrintable(failure));
        return 1;
    }
    qputenv("DISPLAY", server.displayName().toLatin1());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    TestObject test;
    return QTest::qExec(&test, argc, argv);
}
