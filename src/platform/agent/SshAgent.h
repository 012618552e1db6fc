#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// The largest agent message, request or answer, length prefix included. Larger requests are not
// sent; a larger announced answer is not read.
constexpr int agentMaxMessageBytes = 256 * 1024;
constexpr int agentDefaultTimeoutMs = 15000;

// The agent socket of this process's environment (SSH_AUTH_SOCK); empty when there is none.
QString agentSocketPath();

// Sends one request (a big-endian u32 length followed by the body) to the agent listening at
// socketPath and returns the answer's body without its length. Empty when there is no agent, the
// request is too large, the agent does not answer in time, or its answer is cut short or too large.
// Blocks; meant for a pool thread.
QByteArray queryAgent(const QString& socketPath, const QByteArray& request,
                      int timeoutMs = agentDefaultTimeoutMs);

} // namespace platform
