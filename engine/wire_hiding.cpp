#include "engine/wire_hiding.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "crypto/secure_zero.h"

namespace kestrel {

namespace {

bool sendString(CipherTransport& transport, int type, const void* bytes, std::size_t length) {
    PacketBuffer buffer;
    buffer.beginPacket(uint8_t(type));
    buffer.putBytesString(bytes, length);
    bool sent = transport.writePacket(buffer) == 0;
    buffer.wipe();
    return sent;
}

bool sendPadded(CipherTransport& transport, std::string_view password) {
    std::string padded(password);
    padded.resize(camouflageCeiling(password.size()), '\0');
    bool sent = sendString(transport, MSG_CMSG_AUTH_PASSWORD, padded.data(), padded.size());
    secureZero(padded.data(), padded.size());
    return sent;
}

// Every string length from 0 to the ceiling once, in random order; the
// password's own length is the password.
bool sendCamouflaged(CipherTransport& transport, RandomPool& pool, std::string_view password) {
    std::vector<uint32_t> lengths(camouflageCeiling(password.size()) + 1);
    for (uint32_t i = 0; i < lengths.size(); ++i)
        lengths[i] = i;
    for (std::size_t i = lengths.size() - 1; i > 0; --i)
        std::swap(lengths[i], lengths[poolRandomBelow(pool, uint32_t(i + 1))]);
    bool sent = true;
    for (uint32_t length : lengths) {
        // Once the server has gone, the rest would only fail too.
        if (!sent)
            break;
        sent = length == password.size()
                   ? sendString(transport, MSG_CMSG_AUTH_PASSWORD, password.data(), password.size())
                   : sendIgnoreMessage(transport, pool, length);
    }
    return sent;
}

} // namespace

std::size_t camouflageCeiling(std::size_t passwordLength) {
    std::size_t blocks = (passwordLength + PASSWORD_LENGTH_BLOCK - 1) / PASSWORD_LENGTH_BLOCK;
    return std::max<std::size_t>(blocks, 1) * PASSWORD_LENGTH_BLOCK;
}

bool sendPasswordMessage(CipherTransport& transport, RandomPool& pool, std::string_view password,
                         PasswordCamouflage camouflage) {
    if (password.size() > PASSWORD_CAMOUFLAGE_LIMIT)
        camouflage = PasswordCamouflage::None;
    switch (camouflage) {
    case PasswordCamouflage::IgnoreMessages:
        return sendCamouflaged(transport, pool, password);
    case PasswordCamouflage::ZeroPadding:
        return sendPadded(transport, password);
    case PasswordCamouflage::None:
        break;
    }
    return sendString(transport, MSG_CMSG_AUTH_PASSWORD, password.data(), password.size());
}

bool sendIgnoreMessage(CipherTransport& transport, RandomPool& pool, std::size_t length) {
    std::string filler(length, '\0');
    for (char& byte : filler)
        byte = char(poolGetByte(pool));
    return sendString(transport, MSG_IGNORE, filler.data(), filler.size());
}

uint32_t poolRandomBelow(RandomPool& pool, uint32_t bound) {
    // Values past the last whole multiple of bound are drawn again, so that
    // no result is likelier than another.
    uint32_t limit = uint32_t(0x100000000ULL - 0x100000000ULL % bound - 1);
    for (;;) {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | poolGetByte(pool);
        if (value <= limit)
            return value % bound;
    }
}

} // namespace kestrel
