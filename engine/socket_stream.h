// One blocking TCP connection to the server. The stream knows nothing of
// packets: it moves bytes and reads the server's identification line.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrel {

using SocketHandle = std::intptr_t;
constexpr SocketHandle SOCKET_CLOSED = -1;

// The identification line is the only text read byte by byte; a server that
// sends more than this (the "\n" included) is not speaking the protocol.
constexpr std::size_t LINE_BUFFER_SIZE = 500;

class SocketStream {
public:
    SocketStream() = default;
    explicit SocketStream(SocketHandle handle) : handle_(handle) {}
    // Copies share the connection; neither copy closes it on destruction.
    SocketStream(const SocketStream& other) : handle_(other.handle()) {}
    SocketStream& operator=(const SocketStream& other) {
        handle_.store(other.handle(), std::memory_order_relaxed);
        return *this;
    }

    // 1 when connected, -1 on failure (including a name that does not resolve).
    int open(const char* host, uint16_t port);
    // Shuts both directions down and releases the handle; a reader blocked on
    // another copy of this stream wakes with an error.
    void close();
    // Wakes a blocked reader without releasing the handle, so that another
    // copy of the stream cannot end up reading a recycled descriptor.
    void shutdownBoth();
    SocketHandle handle() const { return handle_.load(std::memory_order_relaxed); }

    // Sends everything or stops at the first error; returns false on error.
    bool sendBytes(const void* data, std::size_t length);
    bool writeText(const char* text);
    // n on success, -1 when the connection closes or fails first.
    long receiveExactly(void* destination, std::size_t count);
    // The line through its "\n"; false when the connection ends first or the
    // line does not fit LINE_BUFFER_SIZE.
    bool readLine(std::string& line);

private:
    // Written by the user-interface thread's close while the worker may be
    // reading it.
    std::atomic<SocketHandle> handle_{SOCKET_CLOSED};
};

// The platform's socket layer, started once per program before any open.
bool socketLayerStart();
void socketLayerStop();

} // namespace kestrel
