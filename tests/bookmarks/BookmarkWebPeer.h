#pragma once

// The web transport signed in to the HTTPS test server, which answers from one bookmark state.

#include "BookmarkRoutes.h"
#include "HttpsServer.h"
#include "rpc/RpcInstanceWeb.h"

#include <QSharedPointer>

struct BookmarkWebPeer {
    HttpsPeer::Server server;
    HttpsPeer::BookmarkRoutes routes{server};
    QSharedPointer<RpcInstance> rpc;

    bool start() {
        if (!server.start(HttpsPeer::Server::Http))
            return false;
        auto* web = new RpcInstanceWeb(server.url(), false, false, nullptr);
        web->setAuthToken(QString::fromUtf8(server.token()));
        rpc.reset(web);
        return true;
    }
};
