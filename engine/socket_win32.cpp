#include <winsock2.h>
#include <ws2tcpip.h>

#include "engine/socket_platform.h"

namespace kestrel {

bool socketLayerStart() {
    WSADATA data;
    return WSAStartup(MAKEWORD(1, 1), &data) == 0;
}

void socketLayerStop() { WSACleanup(); }

namespace platform {

namespace {

bool resolve(const char* host, in_addr& address) {
    if (host[0] >= '1' && host[0] <= '9') {
        unsigned long value = inet_addr(host);
        if (value == INADDR_NONE)
            return false;
        address.s_addr = value;
        return true;
    }
    hostent* found = gethostbyname(host);
    if (found == nullptr || found->h_addr_list[0] == nullptr || found->h_length != 4)
        return false;
    memcpy(&address, found->h_addr_list[0], 4);
    return true;
}

} // namespace

int socketConnect(const char* host, uint16_t port, SocketHandle& made) {
    sockaddr_in target{};
    if (!resolve(host, target.sin_addr))
        return -1;
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    made = s == INVALID_SOCKET ? SOCKET_CLOSED : SocketHandle(s);
    if (s == INVALID_SOCKET)
        return -1;
    if (::connect(s, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0)
        return -1;
    // Keystrokes go out one small packet each; do not hold them back.
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return 1;
}

void socketShutdown(SocketHandle handle) {
    ::shutdown(SOCKET(handle), SD_BOTH);
    // Unlike POSIX, a receive already blocked on another thread does not
    // return on shutdown; cancelling it makes it fail as the reader expects.
    CancelIoEx(reinterpret_cast<HANDLE>(handle), nullptr);
}

void socketClose(SocketHandle handle) { ::closesocket(SOCKET(handle)); }

long socketSend(SocketHandle handle, const void* data, std::size_t length) {
    // Winsock takes an int count; larger sends are split by the caller's loop.
    int chunk = length > 0x40000000 ? 0x40000000 : int(length);
    int sent = ::send(SOCKET(handle), static_cast<const char*>(data), chunk, 0);
    return sent == SOCKET_ERROR ? -1 : long(sent);
}

long socketRecv(SocketHandle handle, void* destination, std::size_t length) {
    if (handle == SOCKET_CLOSED)
        return -1;
    int chunk = length > 0x40000000 ? 0x40000000 : int(length);
    int got = ::recv(SOCKET(handle), static_cast<char*>(destination), chunk, 0);
    return got == SOCKET_ERROR ? -1 : long(got);
}

} // namespace platform
} // namespace kestrel
