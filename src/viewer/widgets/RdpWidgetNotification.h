#pragma once

#include <QWidget>

class QLabel;

// The banner that slides down at the top right of the session window. Its text is plain text: names
// of participants never turn into markup.
class RdpWidgetNotification : public QWidget {
    Q_OBJECT

public:
    explicit RdpWidgetNotification(QWidget* parent = nullptr);

    QString text() const;
    // Sets the text and fits the height to it for the current width (at most 300 pixels).
    void setText(const QString& text);

private:
    QLabel* label;
};
