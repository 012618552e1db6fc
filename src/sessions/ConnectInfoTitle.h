#pragma once

#include <QString>

class ConnectInfo;

// The name under which a connected session is shown: the reply's "name", else its session id.
QString connectInfoTitle(const ConnectInfo& info);
