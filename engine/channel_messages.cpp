#include "engine/channel_messages.h"

namespace kestrel {

bool readChannelMessage(int type, PacketBuffer& buffer, ChannelMessage& message) {
    message = ChannelMessage{};
    message.type = type;
    message.channel = buffer.getUint32();
    if (type == MSG_CHANNEL_OPEN_CONFIRMATION) {
        message.peer = buffer.getUint32();
    } else if (type == MSG_CHANNEL_DATA) {
        message.data = buffer.getStringView();
    } else if (type == MSG_PORT_OPEN) {
        std::string_view host = buffer.getStringView();
        if (host.size() > MAX_FORWARD_HOST_NAME)
            return false;
        message.host.assign(host);
        message.port = buffer.getUint32();
        // An originator string may follow when both sides asked for it;
        // this client never does, and whatever follows is not needed.
    }
    return !buffer.failed();
}

void putChannelData(PacketBuffer& buffer, uint32_t channel, const char* data, std::size_t length) {
    buffer.beginPacket(MSG_CHANNEL_DATA);
    buffer.putUint32(channel);
    buffer.putBytesString(data, length);
}

void putChannelNumber(PacketBuffer& buffer, int type, uint32_t channel) {
    buffer.beginPacket(uint8_t(type));
    buffer.putUint32(channel);
}

void putOpenConfirmation(PacketBuffer& buffer, uint32_t channel, uint32_t ours) {
    putChannelNumber(buffer, MSG_CHANNEL_OPEN_CONFIRMATION, channel);
    buffer.putUint32(ours);
}

void putPortOpen(PacketBuffer& buffer, uint32_t ours, const std::string& host, uint32_t port) {
    putChannelNumber(buffer, MSG_PORT_OPEN, ours);
    buffer.putBytesString(host.data(), host.size());
    buffer.putUint32(port);
}

} // namespace kestrel
