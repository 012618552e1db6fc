#pragma once

#include "rpc/ConnectInfo.h"

#include <QString>

// The name under which a connected session is shown: the reply's "name" parameter, or its session
// id when that is empty.
QString connectInfoTitle(const ConnectInfo& info);
