// The seam between the stream and the platform's sockets: one POSIX and one
// Winsock implementation, chosen at build time.
#pragma once
#include <cstddef>
#include <cstdint>

#include "engine/socket_stream.h"

namespace kestrel::platform {

// Resolves the host and connects. made is set when a socket was created
// (so the caller records it even when the connection fails).
int socketConnect(const char* host, uint16_t port, SocketHandle& made);
void socketShutdown(SocketHandle handle);
void socketClose(SocketHandle handle);
// Bytes moved, 0 when the peer closed (recv only), -1 on error. Interrupted
// calls are retried inside.
long socketSend(SocketHandle handle, const void* data, std::size_t length);
long socketRecv(SocketHandle handle, void* destination, std::size_t length);

} // namespace kestrel::platform
