// Every resource path written in the sources (":/..." in a string literal) must be found in each
// program that holds that literal, or the icon or image it names shows as nothing. The sources are
// read at test time; which program holds a literal is read from the programs' files; which resources
// a program has is asked of the program itself, through a probe preloaded into it.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QtTest>

namespace {

const QStringList programs{QStringLiteral("Velnor3"), QStringLiteral("velnorcli"), QStringLiteral("murrow")};

// The literal as the compiler leaves it in a program: UTF-16 from QStringLiteral, or the bytes of a
// plain C string, each ended by its terminator.
bool programHolds(const QByteArray& image, const QString& literal) {
    QByteArray utf16;
    for (const QChar c : literal)
        utf16.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    return image.contains(literal.toUtf8() + '\0') || image.contains(utf16 + QByteArray(2, '\0'));
}

} // namespace

class TestResourcePaths : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void everyPathResolvesInItsPrograms_data();
    void everyPathResolvesInItsPrograms();

private:
    QMap<QString, QStringList> m_uses; // path -> "file:line" where it is written
    QHash<QString, QByteArray> m_images; // program -> its file
    QHash<QString, QSet<QString>> m_found; // program -> paths it resolves
};

void TestResourcePaths::initTestCase() {
    const QDir source(qEnvironmentVariable("VELNOR_SOURCE_DIR"));
    QVERIFY(source.exists(QStringLiteral("src")));
    const QRegularExpression literal(QStringLiteral("\"(:/[^\"\\\\\\n]*)\""));
    QDirIterator files(source.filePath(QStringLiteral("src")), {"*.cpp", "*.h"}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            auto match = literal.globalMatch(QString::fromUtf8(lines.at(i)));
            while (match.hasNext()) {
                const QString path = match.next().captured(1);
                // A literal ending in "/" is a folder that the code completes with names of its own
                // (or a test of whether a name is a resource at all), not a path.
                if (path.endsWith(QLatin1Char('/')))
                    continue;
                m_uses[path] << QStringLiteral("%1:%2").arg(source.relativeFilePath(file.fileName())).arg(i + 1);
            }
        }
    }
    QVERIFY(!m_uses.isEmpty());

    const QString probe = qEnvironmentVariable("VELNOR_RESOURCE_PROBE");
    QVERIFY(QFile::exists(probe));
    const QDir bin(QCoreApplication::applicationDirPath());
    for (const QString& program : programs) {
        QFile file(bin.filePath(program));
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
        m_images.insert(program, file.readAll());

        QProcess run;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LD_PRELOAD"), probe);
        env.insert(QStringLiteral("VELNOR_PROBE_PATHS"), m_uses.keys().join(QLatin1Char('\n')));
        // A sanitizer runtime wants to be loaded first; here the probe is.
        const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   (asan.isEmpty() ? QString() : asan + QLatin1Char(':')) + QStringLiteral("verify_asan_link_order=0"));
        run.setProcessEnvironment(env);
        run.start(file.fileName(), QStringList());
        QVERIFY(run.waitForStarted());
        const bool ended = run.waitForFinished(120000);
        if (!ended) {
            run.kill();
            run.waitForFinished();
        }
        QVERIFY2(ended, qPrintable(program + QStringLiteral(" did not end")));
        const QList<QByteArray> answer = run.readAllStandardOutput().split('\n');
        QVERIFY2(answer.contains("probed"), qPrintable(program + QStringLiteral(": the probe did not run")));
        QSet<QString>& found = m_found[program];
        for (const QByteArray& line : answer) {
            if (line.startsWith("found "))
                found.insert(QString::fromUtf8(line.mid(6)));
        }
    }
}

void TestResourcePaths::everyPathResolvesInItsPrograms_data() {
    QTest::addColumn<QString>("path");
    for (auto it = m_uses.cbegin(); it != m_uses.cend(); ++it)
        QTest::newRow(qPrintable(it.key())) << it.key();
}

void TestResourcePaths::everyPathResolvesInItsPrograms() {
    QFETCH(QString, path);
    const QString where = m_uses.value(path).join(QStringLiteral(", "));
    QStringList holders;
    for (const QString& program : programs) {
        if (programHolds(m_images.value(program), path))
            holders << program;
    }
    QVERIFY2(!holders.isEmpty(), qPrintable(QStringLiteral("no program holds the path written at %1").arg(where)));
    for (const QString& program : holders) {
        QVERIFY2(m_found.value(program).contains(path),
                 qPrintable(QStringLiteral("%1 has no resource %2 (written at %3)").arg(program, path, where)));
    }
}

QTEST_GUILESS_MAIN(TestResourcePaths)
#include "tst_resource_paths.moc"
