// The start parameter form in the real web engine, under a private X server: fields are filled by
// script, OK or Cancel is clicked in the page, and the dialog's result is read back.

#include "bookmarks/StartParamsForm.h"

#include "HttpsServer.h"
#include "WebEngineTestMain.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

constexpr int wait = 30000;

QVariant evaluate(QWebEnginePage* page, const QString& script) {
    QVariant result;
    bool done = false;
    page->runJavaScript(script, [&](const QVariant& value) {
        result = value;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, wait))
        return QVariant(QStringLiteral("<timeout>"));
    return result;
}

// Shows the form and waits until its page is ready to be filled.
bool showForm(StartParamsForm& form, const QString& html, bool allowUnsafeHtml = false) {
    form.setFormHtml(html, allowUnsafeHtml);
    form.show();
    QWebEnginePage* page = form.view()->page();
    return QTest::qWaitFor(
        [&] { return evaluate(page, "document.body && document.body.getAttribute('data-ready')") == "1"; },
        wait);
}

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(QByteArray(text).replace('\'', '"')).object();
}

using HttpsPeer::Response;
using HttpsPeer::Server;

// A page elsewhere whose script takes the form's channel object and accepts the dialog with its own
// data, as a hostile server's page would.
void serveHostilePage(Server& server) {
    QFile channelScript(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
    const QByteArray script = channelScript.open(QIODevice::ReadOnly) ? channelScript.readAll() : QByteArray();
    server.route("GET", QStringLiteral("/qwebchannel.js"),
                 [script](const HttpsPeer::Request&) { return Response::raw(script, "application/javascript"); },
                 false);
    server.route("GET", QStringLiteral("/evil.html"),
                 [](const HttpsPeer::Request&) {
                     return Response::page("<script src='/qwebchannel.js'></script><script>"
                                           "new QWebChannel(qt.webChannelTransport, function (channel) {"
                                           "  channel.objects.webObj.submit({evil: 'yes'});"
                                           "});</script>");
                 },
                 false);
}

} // namespace

class TestStartParamsForm : public QObject {
    Q_OBJECT
private slots:
    void submits_data() {
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("fill");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("no fields") << "<p>Nothing to ask</p>" << "" << QJsonObject();
        QTest::newRow("text") << "<input name='a' value='x'><input value='unnamed'><input name='' value='e'>"
                              << "" << json("{'a':'x'}");
        QTest::newRow("checkbox checked") << "<input type='checkbox' name='c' value='yes'>"
                                          << "document.querySelector('[name=c]').checked = true;"
                                          << json("{'c':'yes'}");
        QTest::newRow("checkbox unchecked") << "<input type='checkbox' name='c' value='yes'>" << ""
                                            << json("{'c':''}");
        QTest::newRow("boolean checked") << "<input type='checkbox' data-type='boolean' name='b' value='false'>"
                                         << "document.querySelector('[name=b]').checked = true;"
                                         << json("{'b':true}");
        QTest::newRow("boolean unchecked") << "<input type='checkbox' data-type='boolean' name='b' value='on'>"
                                           << "" << json("{'b':false}");
        QTest::newRow("numbers") << "<input data-type='number' name='n' value='12.5'>"
                                    "<input data-type='number' name='m' value='abc'>"
                                 << "" << json("{'n':12.5,'m':null}");
        QTest::newRow("json") << "<textarea data-type='json' name='j'>[1, \"two\", {\"x\": 3}]</textarea>"
                                 "<input data-type='json' name='bad' value='{nope'>"
                                 "<input data-type='other' name='o' value='1'>"
                              << "" << json("{'j':[1,'two',{'x':3}]}");
        QTest::newRow("disabled and buttons")
            << "<input name='d' value='1' disabled><button name='b' value='2'>B</button>"
               "<input type='submit' name='s' value='3'><input type='file' name='f'><input name='k' value='4'>"
            << "" << json("{'k':'4'}");
        QTest::newRow("radio: the checked one")
            << "<input type='radio' name='r' value='first'><input type='radio' name='r' value='last'>"
            << "document.querySelector('[value=first]').checked = true;" << json("{'r':'first'}");
        QTest::newRow("radio: none checked")
            << "<input type='radio' name='r' value='first'><input type='radio' name='r' value='last'>" << ""
            << QJsonObject();
        QTest::newRow("typed by the user") << "<select name='s'><option>a</option><option>b</option></select>"
                                           << "document.querySelector('[name=s]').value = 'b';"
                                           << json("{'s':'b'}");
        QTest::newRow("named elements that hold no value")
            << "<a name='anchor'>A</a><fieldset name='group'><input name='inner' value='i'></fieldset>"
               "<img name='picture' alt=''><a name='flag' data-type='boolean'>B</a>"
            << "" << json("{'inner':'i'}");
        QTest::newRow("multiple select: every chosen value")
            << "<select multiple name='m'><option selected>a</option><option>b</option>"
               "<option selected>c</option></select>"
               "<select multiple name='n' data-type='number'><option selected>1</option>"
               "<option selected>2.5</option></select>"
               "<select multiple name='none'><option>x</option></select>"
            << "" << json("{'m':['a','c'],'n':[1,2.5],'none':[]}");
    }

    void submits() {
        QFETCH(QString, html);
        QFETCH(QString, fill);
        QFETCH(QJsonObject, expected);
        StartParamsForm form;
        QVERIFY(showForm(form, html));
        QSignalSpy accepted(&form, &QDialog::accepted);
        if (!fill.isEmpty())
            evaluate(form.view()->page(), fill);
        evaluate(form.view()->page(), "document.getElementById('okButton').click();");
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, wait);
        QCOMPARE(form.formData(), expected);
        QCOMPARE(form.result(), int(QDialog::Accepted));
    }

    // The page's stylesheet and scripts come from the program itself.
    void assetsLoad() {
        StartParamsForm form;
        QVERIFY(showForm(form, "<input name='a'>"));
        QCOMPARE(evaluate(form.view()->page(), "typeof jQuery"), QVariant("function"));
        QCOMPARE(evaluate(form.view()->page(),
                          "getComputedStyle(document.getElementById('okButton')).display"),
                 QVariant("inline-block"));
    }

    // The server's scripts and handlers never run, unless it vouches for its form.
    void serverScripts_data() {
        QTest::addColumn<bool>("allowUnsafeHtml");
        QTest::addColumn<QVariant>("evil");
        QTest::newRow("markup only") << false << QVariant("undefined");
        QTest::newRow("unsafe allowed") << true << QVariant("number");
    }

    void serverScripts() {
        QFETCH(bool, allowUnsafeHtml);
        QFETCH(QVariant, evil);
        StartParamsForm form;
        QVERIFY(showForm(form,
                         "<script>window.evil = 1;</script><img src='data:,' onerror='window.evil = 2'>"
                         "<input name='a' value='x' onfocus='window.evil = 3' autofocus>",
                         allowUnsafeHtml));
        QTest::qWait(300);
        QCOMPARE(evaluate(form.view()->page(), "typeof window.evil"), evil);
        // The page's own buttons still work.
        QSignalSpy accepted(&form, &QDialog::accepted);
        evaluate(form.view()->page(), "document.getElementById('okButton').click();");
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, wait);
        QCOMPARE(form.formData(), json("{'a':'x'}"));
    }

    // Whatever the form does, the view stays on the program's own page: nothing elsewhere is loaded,
    // and nothing but that page reaches the channel object.
    void staysOnItsPage_data() {
        QTest::addColumn<bool>("allowUnsafeHtml");
        QTest::addColumn<QString>("html");
        QTest::addColumn<QString>("action");
        const QString evil = QStringLiteral("EVIL/evil.html");
        const QString refresh = QStringLiteral("<meta http-equiv='refresh' content='0;url=%1'>");
        for (const bool unsafe : {false, true}) {
            const char* mode = unsafe ? "unsafe allowed: " : "markup only: ";
            QTest::newRow(QByteArray(mode).append("meta refresh")) << unsafe << refresh.arg(evil) << "";
            QTest::newRow(QByteArray(mode).append("refresh to a local file"))
                << unsafe << refresh.arg("file:///etc/hostname") << "";
            QTest::newRow(QByteArray(mode).append("refresh to the program's resources"))
                << unsafe << refresh.arg("qrc:///jquery.min.js") << "";
            QTest::newRow(QByteArray(mode).append("link"))
                << unsafe << QString("<a id='go' href='%1'>go</a>").arg(evil)
                << "document.getElementById('go').click();";
            QTest::newRow(QByteArray(mode).append("link to a new window"))
                << unsafe << QString("<a id='go' href='%1' target='_blank'>go</a>").arg(evil)
                << "document.getElementById('go').click();";
            QTest::newRow(QByteArray(mode).append("form action elsewhere"))
                << unsafe << QString("<input name='a' value='x'>")
                << QString("var f = document.createElement('form'); f.action = '%1';"
                           "document.body.appendChild(f); f.submit();")
                       .arg(evil);
            QTest::newRow(QByteArray(mode).append("submit button with its own action"))
                << unsafe << QString("<button id='go' type='submit' formaction='%1'>go</button>").arg(evil)
                << "document.getElementById('go').click();";
            QTest::newRow(QByteArray(mode).append("script sets the location"))
                << unsafe << QString() << QString("window.location.href = '%1';").arg(evil);
            QTest::newRow(QByteArray(mode).append("window.open"))
                << unsafe << QString() << QString("window.open('%1');").arg(evil);
        }
    }

    void staysOnItsPage() {
        QFETCH(bool, allowUnsafeHtml);
        QFETCH(QString, html);
        QFETCH(QString, action);
        Server server;
        QVERIFY2(server.start(Server::Http), qPrintable(server.error()));
        serveHostilePage(server);
        const QString evil = server.url().toString(QUrl::StripTrailingSlash);
        html.replace("EVIL", evil);
        action.replace("EVIL", evil);

        StartParamsForm form;
        QSignalSpy accepted(&form, &QDialog::accepted);
        QVERIFY(showForm(form, html, allowUnsafeHtml));
        QWebEnginePage* page = form.view()->page();
        const QUrl ownUrl = page->url();
        if (!action.isEmpty())
            evaluate(page, action);
        // A navigation that got through reaches the server or accepts the dialog well within this.
        (void)QTest::qWaitFor([&] { return !server.requests().isEmpty() || accepted.count() > 0; }, 1500);
        QCOMPARE(server.requests().size(), 0);
        QCOMPARE(accepted.count(), 0);
        QCOMPARE(page->url(), ownUrl);
        QCOMPARE(evaluate(page, "document.getElementById('okButton') !== null"), QVariant(true));
        // The form itself still works.
        evaluate(page, "document.getElementById('okButton').click();");
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, wait);
        QVERIFY(!form.formData().contains("evil"));
    }

    // A form larger than a page text may hold still loads.
    void largeForm() {
        const QString big = QStringLiteral("<input type='hidden' name='big' value='%1'>")
                                .arg(QString(3 * 1024 * 1024, QLatin1Char('x')));
        StartParamsForm form;
        QVERIFY(showForm(form, big));
        QSignalSpy accepted(&form, &QDialog::accepted);
        evaluate(form.view()->page(), "document.getElementById('okButton').click();");
        QTRY_COMPARE_WITH_TIMEOUT(accepted.size(), 1, wait);
        QCOMPARE(form.formData().value("big").toString().size(), 3 * 1024 * 1024);
    }

    // Cancel in the page, or closing the window, rejects and keeps no data.
    void cancelAndClose() {
        {
            StartParamsForm form;
            QVERIFY(showForm(form, "<input name='a' value='x'>"));
            QSignalSpy rejected(&form, &QDialog::rejected);
            evaluate(form.view()->page(), "document.getElementById('cancelButton').click();");
            QTRY_COMPARE_WITH_TIMEOUT(rejected.size(), 1, wait);
            QVERIFY(form.formData().isEmpty());
        }
        StartParamsForm form;
        QVERIFY(showForm(form, "<input name='a' value='x'>"));
        QSignalSpy rejected(&form, &QDialog::rejected);
        form.close();
        QCOMPARE(rejected.size(), 1);
        QVERIFY(form.formData().isEmpty());
    }
};

int main(int argc, char** argv) {
    return runWebEngineTest<TestStartParamsForm>(argc, argv);
}

#include "tst_start_params_form.moc"
