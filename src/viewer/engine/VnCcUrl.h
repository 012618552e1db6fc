#pragma once

// The "vn-url" service: opens a web address in the desktop's browser and answers whether that worked.
// Only http and https addresses are opened; a remote session must not make this computer open files
// or start other handlers.

#include "viewer/engine/VnClientCommChannel.h"

#include <QJsonObject>

class VnCcUrl : public VnClientCommType {
    Q_OBJECT
public:
    static const QString ProcessedText;

    explicit VnCcUrl(VnClientCommChannel* channel);

    void handle(quint16 id, QString type, QByteArray data) override;

    // The error object for the payload after trying to open its address; empty when it was opened.
    static QJsonObject open(const QByteArray& data);
};
