#include "sessions/SessionFileManager.h"

#include "rpc/RpcInstance.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineDownloadItem>
#include <QWebEngineHistory>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {

QString tr(const char* text) {
    return QCoreApplication::translate("SessionListWidget", text);
}

QPushButton* historyButton(QWidget* parent, const char* name, const char* icon) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setFlat(true);
    button->setProperty("myFlat", true);
    button->setIcon(QIcon(QLatin1String(icon)));
    button->setFixedWidth(32);
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return button;
}

// Asks where to save one download; an empty answer cancels it.
void saveDownload(QWebEngineDownloadItem* download, QWidget* page, QLabel* status) {
    const QString proposed =
        QStringLiteral("%1/%2").arg(download->downloadDirectory(), download->downloadFileName());
    const QString path = QFileDialog::getSaveFileName(page, tr("Save File"), proposed);
    if (path.isEmpty()) {
        download->cancel();
        return;
    }
    const QFileInfo target(path);
    download->setDownloadDirectory(target.absolutePath());
    download->setDownloadFileName(target.fileName());
    const QPointer<QLabel> label(status);
    // The label shows rich text; the path in it is the user's, shown as typed.
    const QString shown = QDir::toNativeSeparators(target.absoluteFilePath()).toHtmlEscaped();
    QObject::connect(download, &QWebEngineDownloadItem::downloadProgress, status,
                     [label, shown](qint64 received, qint64 total) {
                         label->setText(
                             QStringLiteral("Downloading %1 %2 / %3").arg(shown).arg(received).arg(total));
                     });
    QObject::connect(download, &QWebEngineDownloadItem::finished, status, [label, download, target, shown] {
        if (download->state() == QWebEngineDownloadItem::DownloadCompleted) {
            const QString link = QUrl::fromLocalFile(target.absoluteFilePath()).toString(QUrl::FullyEncoded);
            label->setText(
                QStringLiteral("<a href='%1'>%2</a> finished downloading").arg(link.toHtmlEscaped(), shown));
        } else {
            // An interrupted or cancelled download is not reported as finished.
            label->setText(QStringLiteral("%1 was not downloaded: %2")
                               .arg(shown, download->interruptReasonString().toHtmlEscaped()));
        }
    });
    download->accept();
}

} // namespace

QDialog* openFileManager(const QSharedPointer<RpcInstance>& rpc, const ServiceInfo& service, QWidget* page) {
    if (!rpc)
        return nullptr;
    QWebEngineView* view = rpc->openWebView(QStringLiteral("/user/file-manager"), service);
    if (!view)
        return nullptr;
    auto* dialog = new QDialog(page);
    dialog->setObjectName(QStringLiteral("FileManagerDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->resize(1024, 768);
    auto* layout = new QVBoxLayout(dialog);
    auto* buttons = new QHBoxLayout();
    QPushButton* back = historyButton(dialog, "BackButton", ":/images/resources/arrow-circle-left-dark.svg");
    QPushButton* forward =
        historyButton(dialog, "ForwardButton", ":/images/resources/arrow-circle-right-dark.svg");
    buttons->addWidget(back);
    buttons->addWidget(forward);
    buttons->addStretch();
    layout->addLayout(buttons);
    view->setParent(dialog);
    view->resize(1024, 768);
    layout->addWidget(view);
    auto* status = new QLabel(dialog);
    status->setObjectName(QStringLiteral("StatusLabel"));
    status->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    status->setTextFormat(Qt::RichText);
    status->setTextInteractionFlags(Qt::TextBrowserInteraction);
    status->setOpenExternalLinks(true);
    layout->addWidget(status);

    const auto refresh = [view, back, forward] {
        back->setEnabled(view->history()->canGoBack());
        forward->setEnabled(view->history()->canGoForward());
    };
    refresh();
    QObject::connect(back, &QPushButton::clicked, view, &QWebEngineView::back);
    QObject::connect(forward, &QPushButton::clicked, view, &QWebEngineView::forward);
    QObject::connect(view, &QWebEngineView::urlChanged, dialog, refresh);
    // The history may take the new entry only after the URL has changed.
    QObject::connect(view, &QWebEngineView::loadFinished, dialog, refresh);
    QObject::connect(
        view->page()->profile(), &QWebEngineProfile::downloadRequested, dialog,
        [page, status](QWebEngineDownloadItem* download) { saveDownload(download, page, status); });
    view->show();
    dialog->show();
    return dialog;
}
