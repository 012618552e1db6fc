#pragma once

#include "viewer/widgets/RdpWidget.h"

#include <QSize>

class RdpMaster;

// The session's desktop window until the desktop view with its caddy is built in: it shows surface 0
// at the session's scaling factor and asks the session to quit when it is closed. The controller creates
// it in RdpMaster::createDesktopWindow, the one place the desktop view replaces it.
class RdpInterimDesktop : public RdpWidget {
    Q_OBJECT

public:
    RdpInterimDesktop(RdpMaster* master, quint32 windowId, QWidget* parent = nullptr);

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void onSurfaceSizeChanged(int surfaceId, QSize size);
    void onSurfaceContentsChanged(int surfaceId, const QRegion& region);
    double factor() const;

    QSize m_surfaceSize;
};
