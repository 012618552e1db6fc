#pragma once

#include <QDialog>

class QDialogButtonBox;
class QGridLayout;
class QTextBrowser;

// The session's log window: a read-only text that follows its end, and a Close button.
class RdpLogDialog : public QDialog {
    Q_OBJECT

public:
    explicit RdpLogDialog(QWidget* parent = nullptr);

    QTextBrowser* textBrowser() const { return browser; }

public slots:
    // Appends the text as it is (no line break is added) and scrolls to the end.
    void append(const QString& text);

private:
    QGridLayout* gridLayout;
    QTextBrowser* browser;
    QDialogButtonBox* buttonBox;
};
