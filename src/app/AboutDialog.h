#pragma once

#include <QDialog>
#include <QString>

class QLabel;

// The about box: product and version, the maker's notice and link, and the open-source components
// this build ships with links to their licence texts beside the program.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // The folder holding the licence texts: "doc" inside the program's folder, or the program's
    // folder itself when it has no "doc".
    static QString documentationFolder(const QString& applicationFolder);
    // The components' lines with their web and licence links, for that documentation folder.
    static QString contributionsText(const QString& documentationFolder);
};

// One about box per process, created on first use and deleted when the application quits.
void showAboutDialog();
// The client's documentation page in the desktop's web browser.
void openDocumentation();
