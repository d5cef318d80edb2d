#include "engine/socket_stream.h"

#include <algorithm>
#include <cstring>

#include "engine/socket_platform.h"

namespace kestrel {

int SocketStream::open(const char* host, uint16_t port) {
    SocketHandle made = SOCKET_CLOSED;
    int result = platform::socketConnect(host, port, made);
    handle_.store(made, std::memory_order_relaxed);
    return result;
}

void SocketStream::close() {
    SocketHandle handle = handle_.exchange(SOCKET_CLOSED);
    if (handle == SOCKET_CLOSED)
        return;
    platform::socketShutdown(handle);
    platform::socketClose(handle);
}

void SocketStream::shutdownBoth() {
    SocketHandle handle = this->handle();
    if (handle != SOCKET_CLOSED)
        platform::socketShutdown(handle);
}

bool SocketStream::sendBytes(const void* data, std::size_t length) {
    SocketHandle handle = this->handle();
    if (handle == SOCKET_CLOSED)
        return true;
    // A short send would leave half a packet on the wire and break the
    // cipher chain for every later packet, so the rest is sent too.
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (length > 0) {
        long sent = platform::socketSend(handle, bytes, length);
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= std::size_t(sent);
    }
    return true;
}

bool SocketStream::writeText(const char* text) {
    return sendBytes(text, std::char_traits<char>::length(text));
}

long SocketStream::receiveExactly(void* destination, std::size_t count) {
    auto* bytes = static_cast<uint8_t*>(destination);
    std::size_t received = takeReadAhead(bytes, count);
    while (received < count) {
        std::size_t wanted = count - received;
        if (ahead_ && wanted < READ_AHEAD_SIZE) {
            if (!fillReadAhead())
                return -1;
            received += takeReadAhead(bytes + received, wanted);
            continue;
        }
        long got = platform::socketRecv(handle(), bytes + received, wanted);
        if (got <= 0)
            return -1;
        received += std::size_t(got);
    }
    return long(count);
}

void SocketStream::enableReadAhead() {
    if (!ahead_)
        ahead_ = std::make_unique<uint8_t[]>(READ_AHEAD_SIZE);
}

void SocketStream::passReadAheadTo(SocketStream& next) {
    std::size_t count = readAheadCount();
    if (count == 0)
        return;
    next.enableReadAhead();
    std::memcpy(next.ahead_.get(), readAheadData(), count);
    next.aheadStart_ = 0;
    next.aheadEnd_ = count;
    aheadStart_ = aheadEnd_ = 0;
}

std::size_t SocketStream::takeReadAhead(uint8_t* destination, std::size_t count) {
    std::size_t taken = std::min(count, readAheadCount());
    if (taken > 0) {
        std::memcpy(destination, readAheadData(), taken);
        aheadStart_ += taken;
    }
    return taken;
}

// Called only when the read-ahead is empty: one receive of whatever is there.
bool SocketStream::fillReadAhead() {
    long got = platform::socketRecv(handle(), ahead_.get(), READ_AHEAD_SIZE);
    if (got <= 0)
        return false;
    aheadStart_ = 0;
    aheadEnd_ = std::size_t(got);
    return true;
}

bool SocketStream::readLine(std::string& line) {
    line.clear();
    while (line.size() < LINE_BUFFER_SIZE) {
        char byte = 0;
        if (receiveExactly(&byte, 1) != 1)
            return false;
        line.push_back(byte);
        if (byte == '\n')
            return true;
    }
    return false;
}

} // namespace kestrel
