#pragma once

#include "viewer/widgets/RdpWidget.h"

#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QRect>

class QPainter;
class QRegion;
class QPropertyAnimation;
class VnWorkTeam;
class VnSurface;

// The whole remote desktop (window id 0): paints the session's main surface scaled by the session's
// scaling factor, hands key, mouse and wheel events to the session's input object and follows the
// remote pointer shape. While another participant holds the input, an overlay marks that participant's
// pointer and pulses when it is pressed.
class RdpWidgetDesktop : public RdpWidget {
    Q_OBJECT
    Q_PROPERTY(double overlayMouseClickRadius READ overlayMouseClickRadius WRITE setOverlayMouseClickRadius)
    Q_PROPERTY(QPoint overlayMousePosition READ overlayMousePosition WRITE setOverlayMousePosition)

public:
    static constexpr double overlayOpacity = 0.7;
    static constexpr double pressRadius = 10.0;
    static constexpr int pressAnimationMs = 100;

    RdpWidgetDesktop(RdpMaster* master, quint32 windowId, QWidget* parent = nullptr);
    ~RdpWidgetDesktop() override;

    double overlayMouseClickRadius() const { return clickRadius; }
    void setOverlayMouseClickRadius(double radius);
    QPoint overlayMousePosition() const { return mousePosition; }
    void setOverlayMousePosition(QPoint position);

    // True while another participant holds the input (this client's status is set and not "input").
    bool isOverlayShown() const;
    // The area the overlay covers; empty while no pointer position is known.
    QRect overlayRect() const;
    QPropertyAnimation* pressAnimation() const { return clickAnimation; }

    // The local area to repaint when `serverArea` of the surface changed: the outward-rounded mapping,
    // and with smoothing (any factor but 1) a margin for the pixels that smoothing blends in.
    static QRect localArea(const QRect& serverArea, double factor);

public slots:
    void disconnectFromSession();
    void showOptionsDialog();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    VnSurface* mainView() const;
    bool sessionReady() const;
    QPoint serverPosition(QPoint local) const;
    void fitToSurface(QSize surfaceSize, double factor);
    void animatePress(bool down);
    QPoint overlayPoint() const;
    VnWorkTeam* decodeTeam() const;
    // Paints what it can of `area` of the opaque surface image scaled by zoom; returns the rest.
    QRegion paintScaled(QPainter& painter, const QImage& image, double zoom, const QRegion& area);
    double overlayRadius() const;

    QPixmap overlayCursor;
    // Scaled pixels of the repainted area, kept between paints while the view is zoomed.
    QImage scaleBuffer;
    double clickRadius = 0.0;
    QPoint mousePosition;
    // Nothing draws the overlay until a position has been reported.
    bool mousePositionKnown = false;
    QPropertyAnimation* clickAnimation = nullptr;
};
