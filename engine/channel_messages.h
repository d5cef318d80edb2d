// The messages of forwarded connections ("channels"): what the engine
// reads and writes for them, and the hooks of the program that owns the
// local ends. Channel numbers in a message are always the receiver's own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/packet_buffer.h"

namespace kestrel {

constexpr int MSG_CHANNEL_OPEN_CONFIRMATION = 21; // receiver's number, sender's number
constexpr int MSG_CHANNEL_OPEN_FAILURE = 22;      // receiver's number
constexpr int MSG_CHANNEL_DATA = 23;              // receiver's number, string
// The sender sends no more data on the channel (its socket's input ended).
constexpr int MSG_CHANNEL_CLOSE = 24;
// The sender's socket takes no more: its output side is closed.
constexpr int MSG_CHANNEL_CLOSE_CONFIRMATION = 25;
constexpr int MSG_CMSG_PORT_FORWARD_REQUEST = 28; // server port, host, host port
constexpr int MSG_PORT_OPEN = 29;                 // sender's number, host, port

// A host name a server asks the client to connect to; DNS names are
// shorter, so a longer one is not a name but an attempt to make the client
// hold whatever the server sends.
constexpr std::size_t MAX_FORWARD_HOST_NAME = 255;

constexpr bool isChannelMessage(int type) {
    return (type >= MSG_CHANNEL_OPEN_CONFIRMATION && type <= MSG_CHANNEL_CLOSE_CONFIRMATION) ||
           type == MSG_PORT_OPEN;
}

// A forwarding the client asks the server to listen for (-R).
struct RemoteForward {
    uint16_t serverPort;
    std::string host;
    uint16_t hostPort;
};

// One channel message as read; data points into the packet buffer.
struct ChannelMessage {
    int type = 0;
    uint32_t channel = 0;  // the receiver's number (the sender's for a port open)
    uint32_t peer = 0;     // open confirmation: the sender's number
    std::string_view data; // channel data
    std::string host;      // port open
    uint32_t port = 0;     // port open
};

// False when the message is too short for its fields or the host name is
// over-long.
bool readChannelMessage(int type, PacketBuffer& buffer, ChannelMessage& message);

void putChannelData(PacketBuffer& buffer, uint32_t channel, const char* data, std::size_t length);
void putChannelNumber(PacketBuffer& buffer, int type, uint32_t channel);
void putOpenConfirmation(PacketBuffer& buffer, uint32_t channel, uint32_t ours);
void putPortOpen(PacketBuffer& buffer, uint32_t ours, const std::string& host, uint32_t port);

} // namespace kestrel
