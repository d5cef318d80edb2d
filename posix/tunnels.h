// Forwarded connections of one session: listeners for -L, the server's
// connections for -R, and every channel between them and the server.
//
// Three threads share the table. The session's worker hands over what the
// server sends and may block in it; the pump moves bytes between the local
// sockets and the table and never waits for the server connection; the
// sender puts the pump's packets on the connection and is the only one that
// waits for it. Protocol 1 has no flow control per channel, so memory stays
// bounded this way:
// - a channel reads its local socket only while none of its data waits at
//   the sender, so a busy connection pauses every reader in turn;
// - data towards a local socket is held up to CHANNEL_BUFFER_LIMIT; beyond
//   that the worker stops reading the connection until the socket drains.
//   A local program that stops reading thus slows every channel and the
//   terminal, but nothing is lost.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/channel_messages.h"
#include "posix/port_forward.h"

namespace kestrel {
struct SessionState;
class PacketBuffer;
}

namespace kestrel::client {

// Channels at once: far more than a browser opens to one device, and few
// enough that a server flooding port opens cannot take every descriptor.
constexpr std::size_t MAX_CHANNELS = 256;
// Packets waiting for the sender before the worker stops taking the
// server's messages: a server that sends port opens (each answered) while
// reading nothing would otherwise grow the queue without end. Room for every
// channel's data chunk and its few control messages.
constexpr std::size_t MAX_OUTGOING_PACKETS = 4 * MAX_CHANNELS;
// Bytes held towards one local socket before the connection's reading stops.
constexpr std::size_t CHANNEL_BUFFER_LIMIT = 256 * 1024;
// One read of a local socket, sent as one channel-data packet.
constexpr std::size_t CHANNEL_READ_SIZE = 16 * 1024;

class Tunnels {
public:
    Tunnels(std::vector<PortForward> local, std::vector<PortForward> remote);
    ~Tunnels();
    Tunnels(const Tunnels&) = delete;
    Tunnels& operator=(const Tunnels&) = delete;

    // Binds every local listener, before the connection is made: a port
    // that is taken is an error the user sees at once.
    bool listen(std::string& error);
    std::vector<RemoteForward> remoteForwards() const;
    // The worker's channel messages; may wait while a local socket is behind.
    bool takeChannelMessage(const ChannelMessage& message);
    // The shell runs: channels may open from now on.
    void start(SessionState& state);
    // The same with the connection's two operations given: sending one
    // packet (false once the connection failed) and ending a blocked send.
    void start(std::function<bool(PacketBuffer&)> send, std::function<void()> interrupt);
    // Ends every wait at once (the session is going); callable from any thread.
    void halt();
    // Halts, waits for the threads, closes every socket. After the worker ended.
    void stop();

    std::size_t openChannels() const;

private:
    enum class Phase { Free, Opening, Connecting, Open };
    struct Channel {
        Phase phase = Phase::Free;
        int fd = -1;
        uint64_t generation = 0;
        uint32_t peer = 0;
        std::string label;
        std::string connectHost; // a server's connection, until it is made
        uint16_t connectPort = 0;
        std::string outbox;     // towards the local socket
        std::size_t sent = 0;   // of outbox, already written
        bool chunkWaiting = false;
        bool needsConnect = false;
        bool doomed = false;        // to be closed by the pump
        bool inputEnded = false;    // close sent: no more data from us
        bool peerEnded = false;     // close received
        bool outputClosed = false;  // close confirmation sent
        bool peerClosedOutput = false; // close confirmation received
        std::size_t pending() const { return outbox.size() - sent; }
    };
    struct Outgoing {
        int type;
        uint32_t number;
        uint32_t second = 0;
        std::string text;
        std::size_t slot = 0;
        uint64_t generation = 0;
    };
    struct Listener {
        int fd;
        const PortForward* forward;
    };

    bool listenAt(const PortForward& forward, const std::string& address, bool optional, std::string& error);
    // Under lock_.
    void queue(Outgoing out);
    void wake();
    Channel* channelFor(uint32_t number);
    int freeSlot() const;
    void takePortOpen(const ChannelMessage& message);
    void takeData(std::unique_lock<std::mutex>& hold, Channel& channel, std::string_view data);
    void endInput(Channel& channel, std::size_t slot);
    void outputFailed(Channel& channel, std::size_t slot);
    void release(Channel& channel);

    // The pump (tunnel_pump.cpp).
    void pumpLoop();
    void acceptOn(const Listener& listener);
    void connectChannel(std::size_t slot);
    void finishConnect(std::size_t slot);
    void readLocal(std::size_t slot);
    void writeLocal(std::size_t slot);
    void sweep();
    void closeEverything();

    void senderLoop();

    std::vector<PortForward> local_;
    std::vector<PortForward> remote_;
    std::vector<Listener> listeners_;
    mutable std::mutex lock_;
    std::condition_variable drained_;  // the worker waits on it
    std::condition_variable sendable_; // the sender waits on it
    std::vector<Channel> channels_;
    std::deque<Outgoing> outgoing_;
    std::size_t nextSlot_ = 0;
    bool stopping_ = false;
    std::function<bool(PacketBuffer&)> send_;
    std::function<void()> interrupt_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread pump_;
    std::thread sender_;
};

} // namespace kestrel::client
