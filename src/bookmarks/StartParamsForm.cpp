#include "bookmarks/StartParamsForm.h"

#include <QRandomGenerator>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>

namespace {

// The form's page stays what the program loaded: the server's markup may ask for a refresh, a link,
// a form's action or a script's navigation, and any of those would take the channel object along to
// whatever page came next. Only the load the form itself starts goes through; no new window opens.
class FormPage : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

    // Lets the next main-frame load through, and nothing after it.
    void expectOwnLoad() { m_ownLoadExpected = true; }

protected:
    bool acceptNavigationRequest(const QUrl&, NavigationType, bool isMainFrame) override {
        if (!isMainFrame || !m_ownLoadExpected)
            return false;
        m_ownLoadExpected = false;
        return true;
    }

    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }

private:
    bool m_ownLoadExpected = false;
};

// Collects the form's fields into one object. A group of radio buttons gives its checked button's
// value, and nothing when none is checked; a multiple choice gives the list of its chosen values.
// Named elements that hold no value (an anchor, a fieldset, an image) are not fields.
const char collectScript[] = R"(
function cancel() { if (window.webObj) webObj.cancel(); }
// The value as its data-type asks, wrapped; null when it is left out.
function convert(value, dataType) {
    if (dataType === null)
        return { value: String(value) };
    if (dataType === "number") {
        var n = parseFloat(value);
        return { value: isNaN(n) ? null : n };
    }
    if (dataType === "boolean")
        return { value: value !== "" };
    if (dataType === "json") {
        try { return { value: JSON.parse(value) }; } catch (e) { return null; }
    }
    return null;
}
function doSubmit() {
    var form = document.getElementById("my_custom_form");
    var p = {};
    var all = form ? form.querySelectorAll("[name]") : [];
    for (var i = 0; i < all.length; ++i) {
        var el = all[i];
        var type = (el.type || "").toLowerCase();
        if (!el.name || el.disabled || ["file", "reset", "submit", "button"].indexOf(type) >= 0)
            continue;
        if (type === "radio" && !el.checked)
            continue;
        var dataType = el.getAttribute("data-type");
        if (type === "select-multiple") {
            var chosen = [];
            for (var k = 0; k < el.options.length; ++k) {
                if (!el.options[k].selected)
                    continue;
                var one = convert(el.options[k].value, dataType);
                if (one !== null)
                    chosen.push(one.value);
            }
            if (dataType === null || ["number", "boolean", "json"].indexOf(dataType) >= 0)
                p[el.name] = chosen;
            continue;
        }
        var value = el.value;
        if (value === undefined || value === null)
            continue;
        if (type === "checkbox" && !el.checked)
            value = "";
        var converted = convert(value, dataType);
        if (converted !== null)
            p[el.name] = converted.value;
    }
    if (window.webObj) webObj.submit(p);
}
)";

} // namespace

void StartParamsWebObject::submit(const QVariantMap& fields) {
    data = QJsonObject::fromVariantMap(fields);
    emit submitted();
}

void StartParamsWebObject::cancel() {
    emit cancelled();
}

QString StartParamsForm::formPageTemplate() {
    // @NONCE@ and @CSP@ are filled per page; %1 is the form.
    return QStringLiteral(
               "<!DOCTYPE html><html><head><meta charset=\"utf-8\">@CSP@"
               "<link rel=\"stylesheet\" href=\"qrc:///bootstrap.min.css\">"
               "<script src=\"qrc:///qtwebchannel/qwebchannel.js\"></script>"
               "<script src=\"qrc:///jquery.min.js\"></script>"
               "<script nonce=\"@NONCE@\">"
               "new QWebChannel(qt.webChannelTransport, function (channel) {"
               "  window.webObj = channel.objects.webObj;"
               "  var fill = function () {"
               "    var form = document.getElementById(\"my_custom_form\");"
               "    if (form && webObj.formHtml) form.innerHTML = webObj.formHtml;"
               "    document.body.setAttribute(\"data-ready\", \"1\");"
               "  };"
               "  if (document.readyState === \"loading\") document.addEventListener(\"DOMContentLoaded\", fill);"
               "  else fill();"
               "});"
               "</script>"
               "<script nonce=\"@NONCE@\">") +
           QLatin1String(collectScript) +
           QStringLiteral(
               "</script></head><body>"
               "<div class=\"m-2 p-2\"><form id=\"my_custom_form\">%1</form></div>"
               "<div style=\"position: fixed; bottom: 20px; right: 20px;\">"
               "<button type=\"button\" id=\"cancelButton\" class=\"btn btn-secondary\">Cancel</button> "
               "<button type=\"button\" id=\"okButton\" class=\"btn btn-primary\">OK</button>"
               "</div>"
               // Handlers are attached by script: the policy of a markup-only page refuses inline ones.
               "<script nonce=\"@NONCE@\">"
               "document.getElementById(\"cancelButton\").addEventListener(\"click\", cancel);"
               "document.getElementById(\"okButton\").addEventListener(\"click\", doSubmit);"
               "document.getElementById(\"my_custom_form\").addEventListener(\"submit\","
               "  function (event) { event.preventDefault(); });"
               "</script></body></html>");
}

StartParamsForm::StartParamsForm(QWidget* parent)
    : QDialog(parent) {
    Q_INIT_RESOURCE(StartParamsAssets);
    setObjectName(QStringLiteral("Dialog"));
    resize(640, 480);
    setWindowTitle(tr("Dialog"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* outer = new QVBoxLayout(this);
    outer->setObjectName(QStringLiteral("verticalLayout"));
    auto* inner = new QVBoxLayout;
    inner->setObjectName(QStringLiteral("Layout"));
    outer->addLayout(inner);

    m_view = new QWebEngineView(this);
    m_view->setPage(new FormPage(m_view));
    inner->addWidget(m_view);
    auto* channel = new QWebChannel(m_view->page());
    m_webObject = new StartParamsWebObject(this);
    connect(m_webObject, &StartParamsWebObject::submitted, this, [this] {
        m_formData = m_webObject->data;
        accept();
    });
    connect(m_webObject, &StartParamsWebObject::cancelled, this, &QDialog::reject);
    channel->registerObject(QStringLiteral("webObj"), m_webObject);
    m_view->page()->setWebChannel(channel);
}

void StartParamsForm::setFormHtml(const QString& html, bool allowUnsafeHtml) {
    const QString nonce = QString::number(QRandomGenerator::system()->generate64(), 36);
    QString page = formPageTemplate();
    page.replace(QLatin1String("@NONCE@"), nonce);
    if (allowUnsafeHtml) {
        page.replace(QLatin1String("@CSP@"), QString());
        m_webObject->formHtml.clear();
        page = page.arg(html);
    } else {
        // Markup only: the page's own scripts run, none of the form's. The form arrives through the
        // channel, so its size is not bounded by what a page text may hold.
        page.replace(QLatin1String("@CSP@"),
                     QStringLiteral("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                                    "script-src qrc: 'nonce-%1'; style-src qrc: 'unsafe-inline'; "
                                    "img-src qrc: data:; font-src qrc: data:\">")
                         .arg(nonce));
        m_webObject->formHtml = html;
        page = page.arg(QString());
    }
    static_cast<FormPage*>(m_view->page())->expectOwnLoad();
    m_view->setHtml(page, QUrl());
}
