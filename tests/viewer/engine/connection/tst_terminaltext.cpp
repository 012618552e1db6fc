#include "viewer/engine/TerminalText.h"

#include <QtTest>

class TestTerminalText : public QObject {
    Q_OBJECT

private slots:
    void escapes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        QTest::newRow("plain text and spaces") << "Server stopped: maintenance"
                                               << "Server stopped: maintenance";
        QTest::newRow("accents and emoji stay")
            << QString::fromUtf8("Fermé \xF0\x9F\x94\x92") << QString::fromUtf8("Fermé \xF0\x9F\x94\x92");
        QTest::newRow("clear screen and title") << "\x1b[2J\x1b]0;owned\x07"
                                                   "bye"
                                                << "\\x1b[2J\\x1b]0;owned\\x07bye";
        QTest::newRow("forged line") << "ok\r\nvelnorcli: fake"
                                     << "ok\\r\\nvelnorcli: fake";
        QTest::newRow("NUL") << QString(QChar(0)) + "x"
                             << "\\x00x";
        QTest::newRow("tab and DEL") << "a\tb\x7f"
                                     << "a\\tb\\x7f";
        QTest::newRow("C1 control sequence introducer") << QString(QChar(0x9b)) + "2J"
                                                        << "\\x9b2J";
        QTest::newRow("direction override") << QString(QChar(0x202e)) + "txt.exe"
                                            << "\\u202etxt.exe";
        QTest::newRow("line separator") << QString(QChar(0x2028)) << "\\u2028";
        QTest::newRow("lone surrogate") << QString(QChar(0xd800)) + "a"
                                        << "\\ud800a";
        QTest::newRow("tag character") << QString::fromUcs4(U"a\U000E0041") << "a\\U000e0041";
    }

    void escapes() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(terminalText(text), expected);
    }

    void lengths_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");

        const QString full(4096, QLatin1Char('r'));
        QTest::newRow("4096 kept whole") << full << full;
        QTest::newRow("1 MiB cut at 4096")
            << QString(1 << 20, QLatin1Char('r'))
            << full + QStringLiteral(" [... %1 more characters cut]").arg((1 << 20) - 4096);
        // An emoji across the limit is not split in half.
        const QString pairAcross =
            QString(4095, QLatin1Char('r')) + QString::fromUtf8("\xF0\x9F\x94\x92") + "tail";
        QTest::newRow("pair at the limit")
            << pairAcross << QString(4095, QLatin1Char('r')) + QStringLiteral(" [... 6 more characters cut]");
        // The limit counts the server's characters; escapes may make the line longer, but bounded.
        QTest::newRow("escapes count once")
            << QString(5000, QChar(0x1b))
            << QString("\\x1b").repeated(4096) + QStringLiteral(" [... 904 more characters cut]");
    }

    void lengths() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(terminalText(text), expected);
    }
};

QTEST_GUILESS_MAIN(TestTerminalText)
#include "tst_terminaltext.moc"
