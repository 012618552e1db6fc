#pragma once

#include <QPoint>
#include <Qt>

// One mouse event as a session window hands it to RdpBasic: the position already in server pixels and
// the buttons held at the time of the event.
struct MouseInput {
    QPoint position;
    Qt::MouseButtons buttons = Qt::NoButton;

    MouseInput() = default;
    MouseInput(QPoint position, Qt::MouseButtons buttons)
        : position(position)
        , buttons(buttons) {}
};
