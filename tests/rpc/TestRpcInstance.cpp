#include "TestRpcInstance.h"

void TestRpcInstance::addViewerParameters(ConnectInfo& reply) {
    for (auto it = viewerParameters.begin(); it != viewerParameters.end(); ++it)
        reply.setParam(it.key(), it.value());
}
