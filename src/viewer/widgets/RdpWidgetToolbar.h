#pragma once

#include <QWidget>

class QPushButton;

// Loads the session windows' icons and images into the resource system (once; safe to call again).
void initRdpWidgetResources();

// The strip of six buttons that slides down from the top edge of the session window.
class RdpWidgetToolbar : public QWidget {
    Q_OBJECT

public:
    explicit RdpWidgetToolbar(QWidget* parent = nullptr);

    bool isResizeChecked() const;
    void setResizeChecked(bool checked);
    void setResizeEnabled(bool enabled);
    void setFullScreenChecked(bool checked);

signals:
    void clickedDisconnect();
    void clickedResize(bool on);
    void clickedFullScreen(bool on);
    void clickedOptions();
    void clickedDiagnostics(bool on);
    void clickedSharing();

private:
    QPushButton* addButton(const char* name, const char* icon, bool checkable, const QString& toolTip);

    QPushButton* resizeButton = nullptr;
    QPushButton* fullScreenButton = nullptr;
};
