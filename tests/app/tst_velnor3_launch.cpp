// Velnor3 as a real process in its launch modes: it signs in over ssh (sshd with the test server
// interface) or over https (the HTTPS test server's staged sign-in), asks for one bookmark's session,
// shows it from the display simulator in the built-in viewer, and ends with 0 when the viewer ends.

#include "SshdHarness.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {

constexpr int processTimeoutMs = 90000;

QString program(const QString& name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

// A peer program that prints its URL on its first line.
bool startPeer(QProcess& process, const QString& name, const QStringList& arguments, QUrl* url) {
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program(name), arguments);
    if (!process.waitForStarted(10000))
        return false;
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(20000))
            return false;
    }
    *url = QUrl(QString::fromUtf8(process.readLine()).trimmed());
    return url->isValid();
}

// The simulator ends the session quietly (a level that shows no box) after two frames and then
// writes what the client sent.
QStringList simArguments(const QString& report, const QString& password) {
    return {"--transport", "ws", "--password", password, "--desktop", "--end-after-acks", "2",
            "--end-level", "9", "--report", report, "--once"};
}

QJsonObject readJson(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

QProcessEnvironment launchEnvironment(const QTemporaryDir& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("SSH_ASKPASS");
    env.remove("SSH_AUTH_SOCK");
    return env;
}

QString quoted(const QString& text) {
    QString inner = text;
    return QLatin1Char('\'') + inner.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
}

} // namespace

class TestVelnor3Launch : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QString missing;
        if (!SshdHarness::toolsAvailable(&missing))
            QSKIP(qPrintable(missing + " is not installed"));
        QString error;
        QVERIFY2(m_sshd.start(&error), qPrintable(error));
    }

    void sshLaunchShowsTheBookmarkSession() {
        QTemporaryDir home;
        QProcess sim;
        QUrl display;
        const QString report = home.filePath("report.json");
        QVERIFY(startPeer(sim, "velnor-display-sim", simArguments(report, "pw"), &display));

        // The interface answers the bookmark's connect with the simulator's endpoint.
        const QJsonObject reply{{"stage", "success"}, {"id", "s42"}, {"password", "pw"},
                                {"geometry", "800x600"}, {"windowMode", "desktop"},
                                {"webSocketPort", display.port()}, {"uri", display.path()},
                                {"params", QJsonObject{{"name", "Bookmarked"}}}};
        const QJsonObject script{
            {"methods", QJsonObject{{"/v3/api/session/connect/shortcut", QJsonObject{{"result", reply}}}}}};
        QFile scriptFile(home.filePath("script.json"));
        QVERIFY(scriptFile.open(QIODevice::WriteOnly));
        scriptFile.write(QJsonDocument(script).toJson());
        scriptFile.close();
        const QString record = home.filePath("record.jsonl");

        // The program runs the system's ssh from the PATH; this one trusts exactly the test server.
        QVERIFY(QDir().mkpath(home.filePath("bin")));
        QFile wrapper(home.filePath("bin/ssh"));
        QVERIFY(wrapper.open(QIODevice::WriteOnly));
        QStringList options;
        for (const QString& option : m_sshd.clientOptions())
            options << quoted(option);
        wrapper.write(QStringLiteral("#!/bin/sh\nexec /usr/bin/ssh %1 \"$@\"\n").arg(options.join(' ')).toUtf8());
        wrapper.close();
        QVERIFY(wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess velnor;
        QProcessEnvironment env = launchEnvironment(home);
        env.insert("PATH", home.filePath("bin") + QLatin1Char(':') + env.value("PATH"));
        velnor.setProcessEnvironment(env);
        const QString command = QStringLiteral("%1 --script %2 --record %3")
                                    .arg(program("velnor-test-server-interface"), scriptFile.fileName(), record);
        velnor.start(program("Velnor3"), {"--ssh", "--host", m_sshd.host(), "--port", QString::number(m_sshd.port()),
                                          "--user", m_sshd.user(), "--sci", command, "--bid", "b42"});
        QVERIFY(velnor.waitForStarted(10000));
        QVERIFY2(velnor.waitForFinished(processTimeoutMs), velnor.readAllStandardError().constData());
        QCOMPARE(velnor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(velnor.exitCode(), 0);

        // The viewer signed in to the simulator's session as the connection's user.
        QVERIFY(sim.waitForFinished(10000));
        const QJsonObject sent = readJson(report);
        QCOMPARE(sent.value("displayName").toString(), m_sshd.user());
        QVERIFY(sent.value("gotSecurity").toBool());
        QCOMPARE(sent.value("passwordHex").toString(), QString::fromLatin1(QByteArray("pw").toHex()));
        QFile requests(record);
        QVERIFY(requests.open(QIODevice::ReadOnly));
        QVERIFY(requests.readAll().contains("\"id\":\"b42\""));
    }

    void webLaunchShowsTheBookmarkSession() {
        QTemporaryDir home;
        QProcess sim;
        QUrl display;
        const QString report = home.filePath("report.json");
        QVERIFY(startPeer(sim, "velnor-display-sim", simArguments(report, "session-password"), &display));
        QProcess server;
        QUrl url;
        QVERIFY(startPeer(server, "velnor-https-server",
                          {"--sign-in-steps", "", "--shortcut-display", display.toString(), "--shortcut-name", "Web"},
                          &url));

        QProcess velnor;
        velnor.setProcessEnvironment(launchEnvironment(home));
        velnor.start(program("Velnor3"), {"--web", "--url", url.toString(), "--user", "tester", "--issl",
                                          "--bid", "b43"});
        QVERIFY(velnor.waitForStarted(10000));
        QVERIFY2(velnor.waitForFinished(processTimeoutMs), velnor.readAllStandardError().constData());
        QCOMPARE(velnor.exitStatus(), QProcess::NormalExit);
        QCOMPARE(velnor.exitCode(), 0);

        QVERIFY(sim.waitForFinished(10000));
        const QJsonObject sent = readJson(report);
        QCOMPARE(sent.value("displayName").toString(), QStringLiteral("tester"));
        QVERIFY(sent.value("gotSecurity").toBool());
        server.terminate();
        QVERIFY(server.waitForFinished(10000));
        // One request line per request: the bookmark's connect carries its id.
        const QByteArray log = server.readAllStandardError();
        bool asked = false;
        for (const QByteArray& line : log.split('\n'))
            asked = asked || (line.startsWith("POST /v3/api/bookmark/shortcut ") && line.contains("\"id\":\"b43\""));
        QVERIFY2(asked, log.constData());
    }

private:
    SshdHarness m_sshd;
};

QTEST_GUILESS_MAIN(TestVelnor3Launch)
#include "tst_velnor3_launch.moc"
