#include "rpc/RpcLogging.h"

Q_LOGGING_CATEGORY(lcRpc, "velnor.rpc")
