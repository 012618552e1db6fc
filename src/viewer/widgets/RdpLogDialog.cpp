#include "viewer/widgets/RdpLogDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>

RdpLogDialog::RdpLogDialog(QWidget* parent)
    : QDialog(parent) {
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setObjectName(QStringLiteral("RdpLogDialog"));
    resize(600, 400);
    setWindowTitle(QString());

    gridLayout = new QGridLayout(this);
    gridLayout->setObjectName(QStringLiteral("gridLayout"));

    browser = new QTextBrowser(this);
    browser->setObjectName(QStringLiteral("TextBrowser"));
    QFont font(QStringLiteral("Courier"));
    font.setPointSize(10);
    browser->setFont(font);
    gridLayout->addWidget(browser, 0, 0);

    buttonBox = new QDialogButtonBox(this);
    buttonBox->setObjectName(QStringLiteral("ButtonBox"));
    buttonBox->setStandardButtons(QDialogButtonBox::Close);
    gridLayout->addWidget(buttonBox, 1, 0);

    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
    setTabOrder(browser, buttonBox);
}

void RdpLogDialog::append(const QString& text) {
    QTextCursor cursor = browser->textCursor();
    cursor.clearSelection();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    browser->setTextCursor(cursor);
    // The cursor line is visible now; the document's bottom margin below it too.
    QScrollBar* bar = browser->verticalScrollBar();
    bar->setValue(bar->maximum());
}
