#include "app/AboutDialog.h"

#include "viewer/widgets/WidgetHelpers.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>
#include <QSpacerItem>
#include <QUrl>

static void initAppResources() {
    Q_INIT_RESOURCE(AppResources);
}

namespace {

const char makerUrl[] = "https://www.halvane.example/";
const char documentationUrl[] = "https://www.halvane.example/velnor3/documentation/";

struct Component {
    const char* name;
    const char* webAddress;
    const char* licenceFile;
};

// What this build ships: Qt (with its web engine and web channel), OpenSSL through Qt's network
// stack, and jQuery and Bootstrap's style sheet in the start parameter form.
const Component components[] = {
    {"Qt", "https://www.qt.io/", "Qt License.html"},
    {"OpenSSL", "https://www.openssl.org/", "OpenSSL License.html"},
    {"jQuery", "https://jquery.com/", "jQuery License.html"},
    {"Bootstrap 4", "https://getbootstrap.com/", "Bootstrap License.html"},
};

QLabel* textLabel(QWidget* parent, const char* name, const QString& placeholder) {
    auto* label = new QLabel(placeholder, parent);
    label->setObjectName(QLatin1String(name));
    label->setOpenExternalLinks(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard |
                                   Qt::LinksAccessibleByMouse);
    return label;
}

} // namespace

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent) {
    initAppResources();
    setObjectName(QStringLiteral("AboutDialog"));
    resize(640, 440);
    auto* grid = new QGridLayout(this);
    grid->setObjectName(QStringLiteral("gridLayout"));
    grid->setSpacing(6);
    grid->setContentsMargins(11, 11, 11, 11);

    auto* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("labelLogo"));
    logo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    logo->setPixmap(QPixmap(QStringLiteral(":/images/velnor_logo.png")));
    grid->addWidget(logo, 0, 0, 5, 1);

    QLabel* product = textLabel(this, "labelProductInformation", tr("PRODUCT INFORMATION"));
    grid->addWidget(product, 0, 1);
    QLabel* contributions = textLabel(this, "labelContributions", tr("CONTRIBUTIONS"));
    grid->addWidget(contributions, 1, 1);
    grid->addItem(new QSpacerItem(20, 20, QSizePolicy::Minimum, QSizePolicy::Expanding), 2, 1, 4, 1);
    grid->addItem(new QSpacerItem(20, 40, QSizePolicy::Minimum, QSizePolicy::Expanding), 5, 0);

    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    product->setText(
        QStringLiteral("<html><body><span style=\"font-size:x-large;\">%1</span><br>"
                       "<span style=\"font-size:medium;\">%2</span><br>"
                       "<span style=\"font-size:medium;\">%3</span><br>"
                       "<a href=\"%4\"><span style=\"font-size:medium; text-decoration:underline; "
                       "color:#0000ff;\">%5</span></a></body></html>")
            .arg(QCoreApplication::applicationName().toHtmlEscaped(),
                 tr("Version %1").arg(QCoreApplication::applicationVersion()).toHtmlEscaped(),
                 tr("Copyright © 2022 %1. All rights reserved.")
                     .arg(QCoreApplication::organizationName())
                     .toHtmlEscaped(),
                 QLatin1String(makerUrl), QCoreApplication::organizationName().toHtmlEscaped()));
    contributions->setText(contributionsText(documentationFolder(QCoreApplication::applicationDirPath())));

    setWindowFlags(windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
}

QString AboutDialog::documentationFolder(const QString& applicationFolder) {
    QDir folder(applicationFolder);
    if (folder.cd(QStringLiteral("doc")))
        return folder.absolutePath();
    return QDir(applicationFolder).absolutePath();
}

QString AboutDialog::contributionsText(const QString& documentationFolder) {
    QStringList lines;
    for (const Component& c : components) {
        const QUrl licence = QUrl::fromLocalFile(QDir(documentationFolder).filePath(QLatin1String(c.licenceFile)));
        lines << QStringLiteral("<a href=\"%1\"><span style=\"font-size:medium; text-decoration:underline; "
                                "color:#0000ff;\">%2</span></a><span style=\"font-size:medium;\"> [</span>"
                                "<a href=\"%3\"><span style=\"font-size:medium; text-decoration:underline; "
                                "color:#0000ff;\">%4</span></a><span style=\"font-size:medium;\">]</span>")
                     .arg(QLatin1String(c.webAddress), QLatin1String(c.name),
                          licence.toString(QUrl::FullyEncoded).toHtmlEscaped(), tr("license"));
    }
    return QStringLiteral("<html><body><span style=\"font-size:medium; font-weight:bold;\">%1</span><br>%2"
                          "</body></html>")
        .arg(tr("Open Source Software"), lines.join(QStringLiteral("<br>")));
}

void showAboutDialog() {
    static QPointer<AboutDialog> box;
    if (!box) {
        box = new AboutDialog;
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, box.data(), &QObject::deleteLater);
    }
    showAndActivateWindow(box);
}

void openDocumentation() {
    QDesktopServices::openUrl(QUrl(QLatin1String(documentationUrl)));
}
