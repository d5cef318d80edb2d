#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/socket_platform.h"

namespace kestrel {

bool socketLayerStart() { return true; }
void socketLayerStop() {}

namespace platform {

namespace {

bool resolve(const char* host, in_addr& address) {
    // Text starting with 1-9 is a dotted address and is converted, not looked
    // up; a leading "0" or a letter goes to the resolver.
    if (host[0] >= '1' && host[0] <= '9') {
        // inet_addr, as on Winsock, so that short forms such as "127.1" mean
        // the same address on every platform.
        in_addr_t value = inet_addr(host);
        if (value == INADDR_NONE)
            return false;
        address.s_addr = value;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    // Copied out rather than cast: the generic sockaddr promises less
    // alignment than sockaddr_in needs, which older ARM cores do not forgive.
    sockaddr_in first{};
    std::memcpy(&first, found->ai_addr, std::min<std::size_t>(sizeof first, found->ai_addrlen));
    address = first.sin_addr;
    freeaddrinfo(found);
    return true;
}

} // namespace

int socketConnect(const char* host, uint16_t port, SocketHandle& made) {
    sockaddr_in target{};
    if (!resolve(host, target.sin_addr))
        return -1;
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    made = fd < 0 ? SOCKET_CLOSED : fd;
    if (fd < 0)
        return -1;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
        return -1;
    // Keystrokes go out one small packet each; waiting for the peer's ACK
    // before sending the next would make typing lag.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return 1;
}

void socketShutdown(SocketHandle handle) { ::shutdown(int(handle), SHUT_RDWR); }

void socketClose(SocketHandle handle) { ::close(int(handle)); }

long socketSend(SocketHandle handle, const void* data, std::size_t length) {
    ssize_t sent;
    do {
        // No SIGPIPE: a server that went away must end the session, not the program.
        sent = ::send(int(handle), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return long(sent);
}

long socketRecv(SocketHandle handle, void* destination, std::size_t length) {
    if (handle == SOCKET_CLOSED)
        return -1;
    ssize_t got;
    do {
        got = ::recv(int(handle), destination, length, 0);
    } while (got < 0 && errno == EINTR);
    return long(got);
}

} // namespace platform
} // namespace kestrel
