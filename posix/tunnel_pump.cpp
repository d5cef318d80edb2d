// The pump: the one thread that touches the local sockets. It never waits
// for the server connection, so data towards the local sockets keeps
// draining whatever the sender is stuck on.
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/status_log.h"
#include "posix/tunnels.h"

namespace kestrel::client {

namespace {

void warn(const std::string& line) { logStatus("Warning - " + line + "\r\n"); }

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

// Started without waiting; -1 with errno when it failed at once.
int connectTo(const std::string& host, uint16_t port, int& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || found == nullptr) {
        error = EHOSTUNREACH;
        return -1;
    }
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    error = errno;
    if (fd >= 0 && ::connect(fd, found->ai_addr, found->ai_addrlen) != 0 && errno != EINPROGRESS) {
        error = errno;
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

} // namespace

void Tunnels::pumpLoop() {
    std::unique_lock<std::mutex> hold(lock_);
    std::vector<pollfd> waits;
    // Which channel, and which of its lives, each entry after the listeners is.
    std::vector<std::pair<std::size_t, uint64_t>> owners;
    while (!stopping_) {
        sweep();
        waits.assign(1, pollfd{wakeRead_, POLLIN, 0});
        for (const Listener& listener : listeners_)
            waits.push_back({listener.fd, POLLIN, 0});
        owners.clear();
        for (std::size_t slot = 0; slot < channels_.size(); ++slot) {
            const Channel& channel = channels_[slot];
            short events = 0;
            if (channel.phase == Phase::Connecting)
                events = POLLOUT;
            if (channel.phase == Phase::Open) {
                bool reading = !channel.inputEnded && !channel.chunkWaiting;
                events = short((reading ? POLLIN : 0) | (channel.pending() > 0 ? POLLOUT : 0));
            }
            // Nothing asked of a socket: left out, or a hung-up one would
            // wake the loop for ever.
            if (events == 0)
                continue;
            waits.push_back({channel.fd, events, 0});
            owners.emplace_back(slot, channel.generation);
        }
        hold.unlock();
        int ready = ::poll(waits.data(), nfds_t(waits.size()), -1);
        hold.lock();
        if (ready < 0 && errno != EINTR)
            break;
        if ((waits[0].revents & POLLIN) != 0) {
            char drain[256];
            while (::read(wakeRead_, drain, sizeof drain) > 0) {
            }
        }
        for (std::size_t i = 0; i < listeners_.size(); ++i)
            if ((waits[1 + i].revents & POLLIN) != 0)
                acceptOn(listeners_[i]);
        std::size_t first = 1 + listeners_.size();
        for (std::size_t i = 0; i < owners.size(); ++i) {
            auto [slot, generation] = owners[i];
            short seen = waits[first + i].revents;
            Channel& channel = channels_[slot];
            if (seen == 0 || channel.generation != generation || channel.doomed)
                continue;
            if (channel.phase == Phase::Connecting) {
                finishConnect(slot);
                continue;
            }
            if ((seen & (POLLOUT | POLLERR | POLLHUP)) != 0 && channel.pending() > 0)
                writeLocal(slot);
            if ((seen & (POLLIN | POLLERR | POLLHUP)) != 0 && !channel.inputEnded && !channel.chunkWaiting)
                readLocal(slot);
        }
    }
}

void Tunnels::acceptOn(const Listener& listener) {
    int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    int slot = freeSlot();
    if (slot < 0) {
        warn("too many forwarded connections; one to " + listener.forward->target() + " was closed");
        ::close(fd);
        return;
    }
    nextSlot_ = std::size_t(slot) + 1;
    Channel& channel = channels_[std::size_t(slot)];
    channel.phase = Phase::Opening;
    channel.fd = fd;
    channel.label = listener.forward->target();
    queue({MSG_PORT_OPEN, uint32_t(slot), listener.forward->hostPort, listener.forward->host, std::size_t(slot),
           channel.generation});
}

void Tunnels::connectChannel(std::size_t slot) {
    Channel& channel = channels_[slot];
    channel.needsConnect = false;
    int error = 0;
    channel.fd = connectTo(channel.connectHost, channel.connectPort, error);
    if (channel.fd < 0) {
        warn("cannot connect to " + channel.label + " for the server: " + std::strerror(error));
        queue({MSG_CHANNEL_OPEN_FAILURE, channel.peer, 0, {}, slot, 0});
        channel.doomed = true;
    }
}

void Tunnels::finishConnect(std::size_t slot) {
    Channel& channel = channels_[slot];
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(channel.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    if (error != 0) {
        warn("cannot connect to " + channel.label + " for the server: " + std::strerror(error));
        queue({MSG_CHANNEL_OPEN_FAILURE, channel.peer, 0, {}, slot, 0});
        channel.doomed = true;
        return;
    }
    channel.phase = Phase::Open;
    queue({MSG_CHANNEL_OPEN_CONFIRMATION, channel.peer, uint32_t(slot), {}, slot, channel.generation});
}

void Tunnels::readLocal(std::size_t slot) {
    Channel& channel = channels_[slot];
    std::string data(CHANNEL_READ_SIZE, '\0');
    ssize_t got = ::recv(channel.fd, data.data(), data.size(), 0);
    if (got < 0 && wouldBlock(errno))
        return;
    if (got < 0) {
        outputFailed(channel, slot);
        return;
    }
    if (got == 0) {
        endInput(channel, slot);
        return;
    }
    data.resize(std::size_t(got));
    channel.chunkWaiting = true;
    queue({MSG_CHANNEL_DATA, channel.peer, 0, std::move(data), slot, channel.generation});
}

void Tunnels::writeLocal(std::size_t slot) {
    Channel& channel = channels_[slot];
    ssize_t put = ::send(channel.fd, channel.outbox.data() + channel.sent, channel.pending(), MSG_NOSIGNAL);
    if (put < 0 && wouldBlock(errno))
        return;
    if (put < 0) {
        outputFailed(channel, slot);
        return;
    }
    channel.sent += std::size_t(put);
    if (channel.pending() == 0) {
        channel.outbox.clear();
        channel.sent = 0;
        // A burst's worth of storage is not kept for a quiet channel.
        if (channel.outbox.capacity() > CHANNEL_READ_SIZE)
            channel.outbox.shrink_to_fit();
    }
    if (channel.pending() < CHANNEL_BUFFER_LIMIT)
        drained_.notify_all();
}

// Opens what the worker asked for, passes on the end of the server's data
// once it is written, and frees the channels both sides have finished with.
void Tunnels::sweep() {
    for (std::size_t slot = 0; slot < channels_.size(); ++slot) {
        Channel& channel = channels_[slot];
        if (channel.phase == Phase::Free)
            continue;
        if (channel.needsConnect && !channel.doomed)
            connectChannel(slot);
        if (channel.phase == Phase::Open && channel.peerEnded && channel.pending() == 0 && !channel.outputClosed) {
            ::shutdown(channel.fd, SHUT_WR);
            channel.outputClosed = true;
            queue({MSG_CHANNEL_CLOSE_CONFIRMATION, channel.peer, 0, {}, slot, channel.generation});
        }
        bool finished = channel.inputEnded && channel.peerClosedOutput && channel.peerEnded && channel.outputClosed;
        if (channel.doomed || finished)
            release(channel);
    }
}

void Tunnels::closeEverything() {
    std::lock_guard<std::mutex> hold(lock_);
    for (Channel& channel : channels_)
        if (channel.phase != Phase::Free)
            release(channel);
    for (Listener& listener : listeners_)
        ::close(listener.fd);
    listeners_.clear();
    outgoing_.clear();
}

} // namespace kestrel::client
