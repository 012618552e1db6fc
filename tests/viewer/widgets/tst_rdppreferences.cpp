#include "viewer/widgets/RdpPreferences.h"

#include <QDateTime>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString serverGroup = QStringLiteral("RdpServerPreferences");
const QString missing = QStringLiteral("<missing>");

QString serverName(int i) {
    return QStringLiteral("s%1").arg(i, 2, 10, QLatin1Char('0'));
}

QStringList serverGroups() {
    QSettings settings;
    settings.beginGroup(serverGroup);
    return settings.childGroups();
}

// Remembered servers s00, s01, ... with LastAccess 1000 + i, except where `overrides` says otherwise
// (`missing` leaves the value out).
void seedServers(int count, const QMap<QString, QString>& overrides = {}) {
    QSettings settings;
    settings.beginGroup(serverGroup);
    for (int i = 0; i < count; ++i) {
        const QString name = serverName(i);
        settings.beginGroup(name);
        settings.setValue(QStringLiteral("Compression"), 3);
        const QString access = overrides.value(name, QString::number(1000 + i));
        if (access != missing) {
            settings.setValue(QStringLiteral("LastAccess"), access);
        }
        settings.endGroup();
    }
}

using AccessMap = QMap<QString, QString>;

} // namespace

class TestRdpPreferences : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QCoreApplication::setOrganizationName(QStringLiteral("VelnorTest"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_rdppreferences"));
        QSettings::setDefaultFormat(QSettings::IniFormat);
    }

    void init() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir->path());
    }

    void globalPreferenceRoundTrip() {
        QCOMPARE(readGlobalPreference(QStringLiteral("CaptureKeys"), true), QVariant(true));
        writeGlobalPreference(QStringLiteral("CaptureKeys"), false);
        QCOMPARE(readGlobalPreference(QStringLiteral("CaptureKeys"), true).toBool(), false);
        QVERIFY(serverGroups().isEmpty());
    }

    void unknownServerReadsDefaultAndCreatesNothing() {
        QCOMPARE(readServerPreference(QStringLiteral("host"), QStringLiteral("Compression"), 5), QVariant(5));
        QVERIFY(serverGroups().isEmpty());
        QSettings settings;
        QVERIFY(settings.allKeys().isEmpty());
    }

    void emptyServerKeyIsNoServer() {
        writeServerPreference(QString(), QStringLiteral("Compression"), 2);
        QCOMPARE(readServerPreference(QString(), QStringLiteral("Compression"), 5), QVariant(5));
        QSettings settings;
        QVERIFY(settings.allKeys().isEmpty());
    }

    void readAndWriteCountAsAccess() {
        seedServers(1, {{serverName(0), QStringLiteral("1")}});
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        QCOMPARE(readServerPreference(serverName(0), QStringLiteral("Compression"), 5).toInt(), 3);
        QSettings settings;
        QVERIFY(settings.value(QStringLiteral("RdpServerPreferences/s00/LastAccess")).toLongLong() >= before);

        writeServerPreference(QStringLiteral("other"), QStringLiteral("DPI"), 96);
        QVERIFY(settings.value(QStringLiteral("RdpServerPreferences/other/LastAccess")).toLongLong() >=
                before);
        QCOMPARE(readServerPreference(QStringLiteral("other"), QStringLiteral("DPI"), 0).toInt(), 96);
    }

    void eviction_data() {
        QTest::addColumn<int>("seeded");
        QTest::addColumn<AccessMap>("overrides");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("evicted");

        using Map = AccessMap;
        QTest::newRow("50 remembered: added without eviction") << 50 << Map() << "new" << QString();
        QTest::newRow("51 remembered: the oldest goes") << 51 << Map() << "new"
                                                        << "s00";
        QTest::newRow("least recent wins") << 51 << Map{{"s17", "5"}} << "new"
                                           << "s17";
        QTest::newRow("missing LastAccess goes first") << 51 << Map{{"s05", "1"}, {"s30", missing}} << "new"
                                                       << "s30";
        QTest::newRow("last missing in the walk wins")
            << 51 << Map{{"s10", missing}, {"s40", missing}} << "new"
            << "s40";
        QTest::newRow("unreadable LastAccess counts as missing")
            << 51 << Map{{"s03", "2"}, {"s12", "garbage"}} << "new"
            << "s12";
        QTest::newRow("tie: first in the walk wins") << 51 << Map{{"s08", "7"}, {"s33", "7"}} << "new"
                                                     << "s08";
        QTest::newRow("remembered server never evicts") << 60 << Map() << "s03" << QString();
        QTest::newRow("key differing in case is new") << 51 << Map() << "S03"
                                                      << "s00";
    }

    void eviction() {
        QFETCH(int, seeded);
        QFETCH(AccessMap, overrides);
        QFETCH(QString, server);
        QFETCH(QString, evicted);

        seedServers(seeded, overrides);
        writeServerPreference(server, QStringLiteral("Compression"), 4);

        const QStringList groups = serverGroups();
        const bool isNew = !server.startsWith(QLatin1Char('s'));
        const int expected = seeded + (evicted.isEmpty() && isNew ? 1 : 0);
        QCOMPARE(groups.size(), expected);
        QVERIFY(groups.contains(server));
        for (int i = 0; i < seeded; ++i) {
            QCOMPARE(groups.contains(serverName(i)), serverName(i) != evicted);
        }
        QCOMPARE(readServerPreference(server, QStringLiteral("Compression"), 0).toInt(), 4);
    }

    void capacityHoldsOverManyWrites() {
        for (int i = 0; i < 60; ++i) {
            writeServerPreference(QStringLiteral("host%1").arg(i), QStringLiteral("DPI"), i);
        }
        QCOMPARE(serverGroups().size(), 51);
    }

    void serverKeysDifferingInCaseAreDifferentGroups() {
        writeServerPreference(QStringLiteral("Host"), QStringLiteral("DPI"), 1);
        writeServerPreference(QStringLiteral("host"), QStringLiteral("DPI"), 2);
        QCOMPARE(readServerPreference(QStringLiteral("Host"), QStringLiteral("DPI"), 0).toInt(), 1);
        QCOMPARE(readServerPreference(QStringLiteral("host"), QStringLiteral("DPI"), 0).toInt(), 2);
        QCOMPARE(serverGroups().size(), 2);
    }

    void urlKeysRoundTrip_data() {
        QTest::addColumn<QString>("server");
        QTest::newRow("WebSocket URL") << "wss://example.com:8443/client/protocol?token=a%2Fb";
        QTest::newRow("backslashes") << "C:\\shares\\host";
        QTest::newRow("percent and slash") << "50%/done";
        QTest::newRow("escape look-alike") << "a%2Fb";
        QTest::newRow("slash it looks like") << "a/b";
        QTest::newRow("group separator only") << "/";
    }

    void urlKeysRoundTrip() {
        QFETCH(QString, server);
        writeServerPreference(server, QStringLiteral("ScalingFactor"), 0.67);
        QCOMPARE(readServerPreference(server, QStringLiteral("ScalingFactor"), 1.0).toDouble(), 0.67);

        // One group, no nesting.
        const QStringList groups = serverGroups();
        QCOMPARE(groups, QStringList{serverPreferenceGroup(server)});
        QSettings settings;
        settings.beginGroup(serverGroup);
        settings.beginGroup(groups.first());
        QVERIFY(settings.childGroups().isEmpty());
    }

    void encodedKeysAreDistinct() {
        writeServerPreference(QStringLiteral("a/b"), QStringLiteral("DPI"), 1);
        writeServerPreference(QStringLiteral("a%2Fb"), QStringLiteral("DPI"), 2);
        writeServerPreference(QStringLiteral("a\\b"), QStringLiteral("DPI"), 3);
        QCOMPARE(serverGroups().size(), 3);
        QCOMPARE(readServerPreference(QStringLiteral("a/b"), QStringLiteral("DPI"), 0).toInt(), 1);
        QCOMPARE(readServerPreference(QStringLiteral("a%2Fb"), QStringLiteral("DPI"), 0).toInt(), 2);
        QCOMPARE(readServerPreference(QStringLiteral("a\\b"), QStringLiteral("DPI"), 0).toInt(), 3);
    }

    void rememberedUrlKeyCountsOnceInEviction() {
        const QString url = QStringLiteral("wss://example.com/client/protocol");
        seedServers(50);
        writeServerPreference(url, QStringLiteral("DPI"), 1);
        QCOMPARE(serverGroups().size(), 51);
        // Written again: recognised as remembered, so nothing is evicted.
        writeServerPreference(url, QStringLiteral("DPI"), 2);
        QCOMPARE(serverGroups().size(), 51);
        QVERIFY(serverGroups().contains(serverName(0)));
        QCOMPARE(readServerPreference(url, QStringLiteral("DPI"), 0).toInt(), 2);
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
};

QTEST_GUILESS_MAIN(TestRdpPreferences)
#include "tst_rdppreferences.moc"
