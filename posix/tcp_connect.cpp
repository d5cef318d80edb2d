#include "posix/tcp_connect.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::client {

namespace {

using Clock = std::chrono::steady_clock;

// 0 connected, otherwise an errno value (ETIMEDOUT, ECANCELED, ...).
int tryAddress(int fd, const addrinfo& address, Clock::time_point deadline, int cancelFd) {
    if (connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS)
        return errno;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return ETIMEDOUT;
        pollfd waits[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
        int ready = poll(waits, cancelFd >= 0 ? 2 : 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return errno;
        if (cancelFd >= 0 && (waits[1].revents & POLLIN) != 0)
            return ECANCELED;
        if (waits[0].revents != 0) {
            int failure = 0;
            socklen_t length = sizeof failure;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length);
            return failure;
        }
    }
}

} // namespace

SocketHandle connectWithin(const std::string& host, uint16_t port, double seconds, int cancelFd,
                           std::string& error, bool keepAlive) {
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int lookup = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (lookup != 0) {
        error = gai_strerror(lookup);
        return SOCKET_CLOSED;
    }
    int failure = 0;
    for (addrinfo* address = found; address != nullptr; address = address->ai_next) {
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address->ai_protocol);
        if (fd < 0) {
            failure = errno;
            continue;
        }
        failure = tryAddress(fd, *address, deadline, cancelFd);
        if (failure == 0) {
            freeaddrinfo(found);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            // The system's probe timing, as other clients leave it: a peer
            // that vanished then ends the session instead of leaving it hung.
            if (keepAlive)
                setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
            return fd;
        }
        close(fd);
        if (failure == ETIMEDOUT || failure == ECANCELED)
            break;
    }
    freeaddrinfo(found);
    if (failure == ETIMEDOUT)
    {
        char text[64];
        std::snprintf(text, sizeof text, "no answer within %g s", seconds);
        error = text;
    }
    else if (failure == ECANCELED)
        error = "interrupted";
    else
        error = std::strerror(failure);
    return SOCKET_CLOSED;
}

} // namespace kestrel::client
