#pragma once

#include <QSet>
#include <QtGlobal>

// The first port from first (up to, not including, last) on which nothing on 127.0.0.1 accepts
// a connection; last when every one does. Ports in skip are passed over without probing.
quint16 findFreeLocalPort(quint16 first, quint16 last, const QSet<quint16>& skip = QSet<quint16>());
// The same search begun at start and wrapping around to first.
quint16 findFreeLocalPort(quint16 first, quint16 last, const QSet<quint16>& skip, quint16 start);
