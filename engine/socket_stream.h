// One blocking TCP connection to the server. The stream knows nothing of
// packets: it moves bytes and reads the server's identification line.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrel {

using SocketHandle = std::intptr_t;
constexpr SocketHandle SOCKET_CLOSED = -1;

// The identification line is the only text read byte by byte; a server that
// sends more than this (the "\n" included) is not speaking the protocol.
constexpr std::size_t LINE_BUFFER_SIZE = 500;
// One receive call takes up to this much of what the socket holds, so bulk
// output of small packets costs one call per many packets instead of two per
// packet. Larger reads go straight to their destination.
constexpr std::size_t READ_AHEAD_SIZE = 32 * 1024;

class SocketStream {
public:
    SocketStream() = default;
    explicit SocketStream(SocketHandle handle) : handle_(handle) {}
    // Copies share the connection; neither copy closes it on destruction.
    // Bytes read ahead stay with the copy that read them.
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

    // From now on receives take whatever the socket holds (up to
    // READ_AHEAD_SIZE) and serve later reads from it. Only for a stream that
    // is the one reader of its connection.
    void enableReadAhead();
    // Hands the bytes this copy read ahead to another copy that takes over
    // the reading (the cipher transport after the plain one).
    void passReadAheadTo(SocketStream& next);
    // Received bytes not yet handed to a reader, and where they start.
    std::size_t readAheadCount() const { return aheadEnd_ - aheadStart_; }
    const uint8_t* readAheadData() const { return ahead_.get() + aheadStart_; }

private:
    std::size_t takeReadAhead(uint8_t* destination, std::size_t count);
    bool fillReadAhead();


    // Written by the user-interface thread's close while the worker may be
    // reading it.
    std::atomic<SocketHandle> handle_{SOCKET_CLOSED};
    // Only the reading thread touches these.
    std::unique_ptr<uint8_t[]> ahead_;
    std::size_t aheadStart_ = 0;
    std::size_t aheadEnd_ = 0;
};

// The platform's socket layer, started once per program before any open.
bool socketLayerStart();
void socketLayerStop();

} // namespace kestrel
