// The forwarded connections' table against a scripted server: what it
// answers, and what it holds back when the server stops reading.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/packet_buffer.h"
#include "posix/tunnels.h"

namespace kestrel::client {
namespace {

using namespace std::chrono_literals;

// What the client sends, by type and first number; `hold` makes every send
// wait, as a server that reads nothing would.
class ScriptedServer {
public:
    bool send(PacketBuffer& buffer) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return !hold_ || interrupted_; });
        const uint8_t* type = buffer.start() + POS_MESSAGE_TYPE;
        uint32_t number = uint32_t(type[1]) << 24 | uint32_t(type[2]) << 16 | uint32_t(type[3]) << 8 | type[4];
        sent_.push_back({type[0], number});
        changed_.notify_all();
        return !interrupted_;
    }
    void interrupt() { set(interrupted_, true); }
    void hold(bool on) { set(hold_, on); }
    // Waits (bounded) until `count` packets have gone out; what went out.
    std::vector<std::pair<int, uint32_t>> waitSent(std::size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, limit, [&] { return sent_.size() >= count; });
        return sent_;
    }

private:
    void set(bool& flag, bool value) {
        std::lock_guard<std::mutex> guard(lock_);
        flag = value;
        changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    bool hold_ = false;
    bool interrupted_ = false;
    std::vector<std::pair<int, uint32_t>> sent_;
};

void start(Tunnels& tunnels, ScriptedServer& server) {
    tunnels.start([&](PacketBuffer& buffer) { return server.send(buffer); }, [&] { server.interrupt(); });
}

ChannelMessage portOpen(uint32_t channel, const std::string& host, uint32_t port) {
    ChannelMessage message;
    message.type = MSG_PORT_OPEN;
    message.channel = channel;
    message.host = host;
    message.port = port;
    return message;
}

ChannelMessage numbered(int type, uint32_t channel, std::string_view data = {}) {
    ChannelMessage message;
    message.type = type;
    message.channel = channel;
    message.data = data;
    return message;
}

TEST(Tunnels, APortOpenFloodWhileTheServerReadsNothingHoldsTheWorkerNotMemory) {
    Tunnels tunnels({}, {});
    ScriptedServer server;
    start(tunnels, server);
    server.hold(true);
    constexpr std::size_t FLOOD = 3 * MAX_OUTGOING_PACKETS;
    std::atomic<std::size_t> taken{0};
    std::thread worker([&] {
        for (uint32_t i = 0; i < FLOOD; ++i) {
            tunnels.takeChannelMessage(portOpen(i, "10.0.0.1", 22));
            ++taken;
        }
    });
    for (int i = 0; i < 500 && taken.load() < MAX_OUTGOING_PACKETS; ++i)
        std::this_thread::sleep_for(2ms);
    std::this_thread::sleep_for(100ms);
    // One refusal may sit in the blocked send, the rest wait in the queue.
    EXPECT_GE(taken.load(), MAX_OUTGOING_PACKETS - 1);
    EXPECT_LE(taken.load(), MAX_OUTGOING_PACKETS + 1);
    server.hold(false);
    worker.join();
    std::vector<std::pair<int, uint32_t>> sent = server.waitSent(FLOOD);
    ASSERT_EQ(sent.size(), FLOOD);
    for (uint32_t i = 0; i < FLOOD; ++i)
        ASSERT_EQ(sent[i], std::make_pair(MSG_CHANNEL_OPEN_FAILURE, i));
    EXPECT_EQ(tunnels.openChannels(), 0u);
    tunnels.stop();
}

TEST(Tunnels, StopEndsASendTheServerNeverTakes) {
    Tunnels tunnels({}, {});
    ScriptedServer server;
    start(tunnels, server);
    server.hold(true);
    tunnels.takeChannelMessage(portOpen(1, "h", 1));
    tunnels.stop(); // would hang without the interrupt
    tunnels.stop(); // and again, as the destructor does
}

// A -R target here, a port open for it, data both ways, and the close
// handshake from the server's side first: the channel ends up free.
TEST(Tunnels, AServersConnectionCarriesDataAndClosesOnBothSides) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    uint16_t port = ntohs(address.sin_port);

    Tunnels tunnels({}, {PortForward{"", 9000, "127.0.0.1", port}});
    ScriptedServer server;
    start(tunnels, server);
    tunnels.takeChannelMessage(portOpen(7, "127.0.0.1", port));
    int target = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(target, 0);
    EXPECT_EQ(server.waitSent(1).at(0), std::make_pair(MSG_CHANNEL_OPEN_CONFIRMATION, 7u));

    tunnels.takeChannelMessage(numbered(MSG_CHANNEL_DATA, 0, "to the target"));
    char got[64] = {};
    std::size_t have = 0;
    while (have < 13) {
        ssize_t n = ::recv(target, got + have, sizeof got - have, 0);
        ASSERT_GT(n, 0);
        have += std::size_t(n);
    }
    EXPECT_EQ(std::string(got, have), "to the target");
    ASSERT_EQ(::send(target, "back", 4, 0), 4);
    EXPECT_EQ(server.waitSent(2).at(1), std::make_pair(MSG_CHANNEL_DATA, 7u));

    // The server's end: its data is written, then the target sees the end.
    tunnels.takeChannelMessage(numbered(MSG_CHANNEL_CLOSE, 0));
    EXPECT_EQ(server.waitSent(3).at(2), std::make_pair(MSG_CHANNEL_CLOSE_CONFIRMATION, 7u));
    EXPECT_EQ(::recv(target, got, sizeof got, 0), 0);
    ::close(target);
    EXPECT_EQ(server.waitSent(4).at(3), std::make_pair(MSG_CHANNEL_CLOSE, 7u));
    tunnels.takeChannelMessage(numbered(MSG_CHANNEL_CLOSE_CONFIRMATION, 0));
    for (int i = 0; i < 500 && tunnels.openChannels() != 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(tunnels.openChannels(), 0u);
    // Late messages for the freed channel change nothing.
    tunnels.takeChannelMessage(numbered(MSG_CHANNEL_DATA, 0, "late"));
    tunnels.takeChannelMessage(numbered(MSG_CHANNEL_CLOSE, 0));
    EXPECT_EQ(server.waitSent(5, 200ms).size(), 4u);
    tunnels.stop();
    ::close(listener);
}

} // namespace
} // namespace kestrel::client
