// Opens the TCP connection with a time-limit, so that an unreachable host
// ends with a message instead of the system's minutes-long wait.
#pragma once
#include <cstdint>
#include <string>

#include "engine/socket_stream.h"

namespace kestrel::client {

// A connected blocking socket, or SOCKET_CLOSED with the reason in error.
// The wait also ends when cancelFd becomes readable (a signal arrived).
// keepAlive turns on TCP keep-alive probes for the connection.
SocketHandle connectWithin(const std::string& host, uint16_t port, double seconds, int cancelFd,
                           std::string& error, bool keepAlive = true);

} // namespace kestrel::client
