#pragma once

#include <QLoggingCategory>

// "velnor.rpc": debug output of both server transports.
Q_DECLARE_LOGGING_CATEGORY(lcRpc)
