#include "app/AboutDialog.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList hrefs(const QString& html) {
    QStringList out;
    QRegularExpression href(QStringLiteral("href=\"([^\"]*)\""));
    for (auto it = href.globalMatch(html); it.hasNext();)
        out << it.next().captured(1);
    return out;
}

QStringList licenceLinks(const QString& html) {
    QStringList out;
    for (const QString& h : hrefs(html))
        if (h.startsWith(QLatin1String("file:")))
            out << h;
    return out;
}

} // namespace

// Captures what the desktop would open.
class UrlSink : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

class TestAboutDialog : public QObject {
    Q_OBJECT
private slots:
    void aboutTwiceShowsOneBox() {
        showAboutDialog();
        showAboutDialog();
        int boxes = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            boxes += qobject_cast<AboutDialog*>(w) && w->isVisible();
        QCOMPARE(boxes, 1);
    }

    void documentationFolder() {
        QTemporaryDir app;
        QVERIFY(app.isValid());
        QCOMPARE(AboutDialog::documentationFolder(app.path()), QDir(app.path()).absolutePath());
        QVERIFY(QDir(app.path()).mkdir(QStringLiteral("doc")));
        QCOMPARE(AboutDialog::documentationFolder(app.path()), QDir(app.path()).absoluteFilePath("doc"));
    }

    // Licence links are local file URLs into the documentation folder, even for a folder whose
    // path needs encoding.
    void licenceLinksAreLocalFiles() {
        const QString folder = QStringLiteral("/opt/velnor 3/doc");
        const QStringList links = licenceLinks(AboutDialog::contributionsText(folder));
        QVERIFY(!links.isEmpty());
        for (const QString& link : links) {
            const QUrl url(link, QUrl::StrictMode);
            QVERIFY2(url.isValid() && url.isLocalFile(), qPrintable(link));
            QCOMPARE(QFileInfo(url.toLocalFile()).absolutePath(), folder);
            QVERIFY(url.toLocalFile().endsWith(QLatin1String(" License.html")));
        }
    }

    // Every component built into the program is credited, with a link to its licence page.
    void creditsEveryBuiltInComponent_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("licence");
        QTest::newRow("Qt") << "Qt" << "file:///doc/Qt%20License.html";
        QTest::newRow("OpenSSL") << "OpenSSL" << "file:///doc/OpenSSL%20License.html";
        QTest::newRow("jQuery") << "jQuery" << "file:///doc/jQuery%20License.html";
        QTest::newRow("Bootstrap") << "Bootstrap 4" << "file:///doc/Bootstrap%20License.html";
    }
    void creditsEveryBuiltInComponent() {
        QFETCH(QString, name);
        QFETCH(QString, licence);
        const QString text = AboutDialog::contributionsText(QStringLiteral("/doc"));
        QVERIFY2(text.contains(QStringLiteral("color:#0000ff;\">%1</span>").arg(name)), qPrintable(text));
        QVERIFY2(licenceLinks(text).contains(licence), qPrintable(text));
    }

    // The build puts every listed licence text beside the programs, and the box's links open them
    // with the desktop's handler for files.
    void theBuildShipsTheLicenceTexts() {
        AboutDialog dialog;
        const QString text = dialog.findChild<QLabel*>("labelContributions")->text();
        UrlSink sink;
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &sink, "open");
        for (const QString& link : licenceLinks(text)) {
            const QUrl url(link);
            QVERIFY2(QFileInfo(url.toLocalFile()).size() > 200, qPrintable(url.toLocalFile()));
            QVERIFY(QDesktopServices::openUrl(url));
        }
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
        QCOMPARE(sink.opened.size(), licenceLinks(text).size());
        QVERIFY(!dialog.findChild<QLabel*>("labelLogo")->pixmap(Qt::ReturnByValue).isNull());
    }
};

QTEST_MAIN(TestAboutDialog)
#include "tst_about_dialog.moc"
