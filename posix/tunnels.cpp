#include "posix/tunnels.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "engine/printable_text.h"
#include "engine/protocol.h"
#include "engine/status_log.h"

namespace kestrel::client {

namespace {

// The one listening socket for one address, or -1 with errno set.
int listenOn(const addrinfo& address) {
    int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    // A port left in TIME_WAIT by the last run is free to use; one another
    // program listens on is not.
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, address.ai_addr, address.ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A machine without IPv6 has no ::1 to guard.
bool addressMissing(int error) { return error == EADDRNOTAVAIL || error == EAFNOSUPPORT; }

void warn(const std::string& line) { logStatus("Warning - " + line + "\r\n"); }

} // namespace

Tunnels::Tunnels(std::vector<PortForward> local, std::vector<PortForward> remote)
    : local_(std::move(local)), remote_(std::move(remote)), channels_(MAX_CHANNELS) {}

Tunnels::~Tunnels() { stop(); }

// Without a bind address both loopback addresses are taken: a browser asked
// for localhost may try ::1 first, and whoever else listened there would get
// what was meant for the tunnel.
bool Tunnels::listen(std::string& error) {
    for (const PortForward& forward : local_) {
        bool loopback = forward.bindAddress.empty() || forward.bindAddress == "localhost";
        std::string address = loopback ? "127.0.0.1" : forward.bindAddress == "*" ? "0.0.0.0" : forward.bindAddress;
        if (!listenAt(forward, address, false, error) || (loopback && !listenAt(forward, "::1", true, error)))
            return false;
    }
    return true;
}

bool Tunnels::listenAt(const PortForward& forward, const std::string& address, bool optional, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string port = std::to_string(forward.listenPort);
    std::string where = address + " port " + port + " (-L " + port + ":" + forward.target() + ")";
    if (int failed = getaddrinfo(address.c_str(), port.c_str(), &hints, &found); failed != 0) {
        if (!optional)
            error = "cannot listen on " + where + ": " + gai_strerror(failed);
        return optional;
    }
    int fd = -1;
    int reason = 0;
    for (addrinfo* one = found; one != nullptr && fd < 0; one = one->ai_next) {
        fd = listenOn(*one);
        reason = errno;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        if (optional && addressMissing(reason))
            return true;
        error = "cannot listen on " + where + ": " + std::strerror(reason);
        return false;
    }
    listeners_.push_back({fd, &forward});
    return true;
}

std::vector<RemoteForward> Tunnels::remoteForwards() const {
    std::vector<RemoteForward> requests;
    for (const PortForward& forward : remote_)
        requests.push_back({forward.listenPort, forward.host, forward.hostPort});
    return requests;
}

void Tunnels::start(SessionState& state) {
    start([&state](PacketBuffer& buffer) { return sendChannelPacket(state, buffer); },
          [&state] { interruptSession(state); });
}

void Tunnels::start(std::function<bool(PacketBuffer&)> send, std::function<void()> interrupt) {
    std::lock_guard<std::mutex> hold(lock_);
    if (send_ || stopping_)
        return;
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        warn("cannot start the forwarded connections: " + std::string(std::strerror(errno)));
        return;
    }
    wakeRead_ = pipeEnds[0];
    wakeWrite_ = pipeEnds[1];
    send_ = std::move(send);
    interrupt_ = std::move(interrupt);
    pump_ = std::thread([this] { pumpLoop(); });
    sender_ = std::thread([this] { senderLoop(); });
}

void Tunnels::halt() {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    drained_.notify_all();
    sendable_.notify_all();
    wake();
}

void Tunnels::stop() {
    halt();
    // A send blocked on a server that reads no more ends here.
    if (interrupt_)
        interrupt_();
    if (pump_.joinable())
        pump_.join();
    if (sender_.joinable())
        sender_.join();
    closeEverything();
    for (int* fd : {&wakeRead_, &wakeWrite_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    // The session is destroyed after this; the destructor's stop must not
    // reach for it.
    interrupt_ = nullptr;
}

std::size_t Tunnels::openChannels() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t open = 0;
    for (const Channel& channel : channels_)
        open += channel.phase != Phase::Free ? 1 : 0;
    return open;
}

void Tunnels::wake() {
    if (wakeWrite_ < 0)
        return;
    char byte = 1;
    ssize_t ignored = ::write(wakeWrite_, &byte, 1);
    (void)ignored;
}

void Tunnels::queue(Outgoing out) {
    outgoing_.push_back(std::move(out));
    sendable_.notify_one();
}

Tunnels::Channel* Tunnels::channelFor(uint32_t number) {
    if (number >= channels_.size() || channels_[number].phase == Phase::Free || channels_[number].doomed)
        return nullptr;
    return &channels_[number];
}

// Numbers go round rather than back to the lowest, so a late message for a
// channel just closed does not land on a new one.
int Tunnels::freeSlot() const {
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        std::size_t slot = (nextSlot_ + i) % channels_.size();
        if (channels_[slot].phase == Phase::Free)
            return int(slot);
    }
    return -1;
}

bool Tunnels::takeChannelMessage(const ChannelMessage& message) {
    std::unique_lock<std::mutex> hold(lock_);
    drained_.wait(hold, [&] { return stopping_ || outgoing_.size() < MAX_OUTGOING_PACKETS; });
    if (message.type == MSG_PORT_OPEN) {
        takePortOpen(message);
        wake();
        return true;
    }
    // A message for a channel that is not open is late or hostile; either
    // way there is nothing it could do.
    Channel* channel = channelFor(message.channel);
    if (channel == nullptr)
        return true;
    std::size_t slot = message.channel;
    switch (message.type) {
    case MSG_CHANNEL_OPEN_CONFIRMATION:
        if (channel->phase == Phase::Opening) {
            channel->peer = message.peer;
            channel->phase = Phase::Open;
        }
        break;
    case MSG_CHANNEL_OPEN_FAILURE:
        if (channel->phase == Phase::Opening) {
            warn("the server could not open " + channel->label + "; that connection is closed");
            channel->doomed = true;
        }
        break;
    case MSG_CHANNEL_DATA:
        if (channel->phase == Phase::Open)
            takeData(hold, *channel, message.data);
        break;
    case MSG_CHANNEL_CLOSE:
        if (channel->phase == Phase::Open)
            channel->peerEnded = true;
        break;
    case MSG_CHANNEL_CLOSE_CONFIRMATION:
        if (channel->phase == Phase::Open) {
            channel->peerClosedOutput = true;
            endInput(*channel, slot);
        }
        break;
    }
    wake();
    return true;
}

// Only the targets the user named: a server could otherwise make the client
// connect anywhere its own network reaches.
void Tunnels::takePortOpen(const ChannelMessage& message) {
    const PortForward* wanted = nullptr;
    for (const PortForward& forward : remote_)
        if (forward.hostPort == message.port && strcasecmp(forward.host.c_str(), message.host.c_str()) == 0)
            wanted = &forward;
    std::string label = printable(message.host) + ":" + std::to_string(message.port);
    int slot = wanted != nullptr && !stopping_ ? freeSlot() : -1;
    if (slot < 0) {
        warn(wanted == nullptr ? "Server opened a connection to " + label + ", which was not forwarded; refused"
                               : "too many forwarded connections; refused one to " + label);
        queue({MSG_CHANNEL_OPEN_FAILURE, message.channel, 0, {}, 0, 0});
        return;
    }
    nextSlot_ = std::size_t(slot) + 1;
    Channel& channel = channels_[std::size_t(slot)];
    channel.phase = Phase::Connecting;
    channel.peer = message.channel;
    channel.label = label;
    channel.connectHost = wanted->host;
    channel.connectPort = wanted->hostPort;
    channel.needsConnect = true;
}

void Tunnels::takeData(std::unique_lock<std::mutex>& hold, Channel& channel, std::string_view data) {
    if (channel.outputClosed || channel.peerEnded)
        return;
    if (channel.sent > CHANNEL_BUFFER_LIMIT) {
        channel.outbox.erase(0, channel.sent);
        channel.sent = 0;
    }
    channel.outbox.append(data);
    wake();
    uint64_t generation = channel.generation;
    drained_.wait(hold, [&] {
        return stopping_ || channel.generation != generation || channel.pending() < CHANNEL_BUFFER_LIMIT;
    });
}

void Tunnels::endInput(Channel& channel, std::size_t slot) {
    if (channel.inputEnded)
        return;
    channel.inputEnded = true;
    queue({MSG_CHANNEL_CLOSE, channel.peer, 0, {}, slot, channel.generation});
}

// The local socket takes nothing more: what waits for it is dropped and the
// server told both ways.
void Tunnels::outputFailed(Channel& channel, std::size_t slot) {
    channel.outbox.clear();
    channel.sent = 0;
    if (!channel.outputClosed) {
        channel.outputClosed = true;
        queue({MSG_CHANNEL_CLOSE_CONFIRMATION, channel.peer, 0, {}, slot, channel.generation});
    }
    endInput(channel, slot);
    drained_.notify_all();
}

void Tunnels::release(Channel& channel) {
    if (channel.fd >= 0)
        ::close(channel.fd);
    uint64_t generation = channel.generation + 1;
    channel = Channel{};
    channel.generation = generation;
    drained_.notify_all();
}

void Tunnels::senderLoop() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        sendable_.wait(hold, [&] { return stopping_ || !outgoing_.empty(); });
        if (stopping_)
            return;
        Outgoing out = std::move(outgoing_.front());
        outgoing_.pop_front();
        if (outgoing_.size() + 1 == MAX_OUTGOING_PACKETS)
            drained_.notify_all();
        hold.unlock();
        PacketBuffer buffer;
        if (out.type == MSG_CHANNEL_DATA)
            putChannelData(buffer, out.number, out.text.data(), out.text.size());
        else if (out.type == MSG_PORT_OPEN)
            putPortOpen(buffer, out.number, out.text, out.second);
        else if (out.type == MSG_CHANNEL_OPEN_CONFIRMATION)
            putOpenConfirmation(buffer, out.number, out.second);
        else
            putChannelNumber(buffer, out.type, out.number);
        bool sent = send_(buffer);
        buffer.wipe();
        hold.lock();
        if (!sent) {
            // The connection failed; the worker ends the session.
            outgoing_.clear();
            continue;
        }
        Channel& channel = channels_[out.slot];
        if (out.type == MSG_CHANNEL_DATA && channel.generation == out.generation) {
            channel.chunkWaiting = false;
            wake();
        }
    }
}

} // namespace kestrel::client
