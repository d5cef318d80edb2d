// What an eavesdropper reads from the clear length fields of the password
// message and of typed input. The wire is a real loopback connection without
// a cipher, read frame by frame on the far end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "crypto/byte_order.h"
#include "engine/keystroke_scheduler.h"
#include "engine/wire_hiding.h"
#include "tests/engine/test_support.h"

namespace kestrel {
namespace {

struct Frame {
    int type;
    uint32_t length; // the clear length field
    std::string data;
};

// One pool for the whole run: fresh pools made in the same millisecond
// would repeat each other's output.
RandomPool& sharedPool() {
    static RandomPool* pool = [] {
        auto* made = new RandomPool;
        poolInit(*made, (test::scratchFolder("wire-hiding") + "/ssh_seedfile").c_str());
        return made;
    }();
    return *pool;
}

// Both ends of a connection: the engine's cipher transport (cipher none)
// sending, the raw frames read back on the other end.
class Wire {
public:
    Wire() : plain_(pair_.client), sender_(plain_, contexts_), reader_(pair_.server) {
        sender_.setSessionKey(nullptr, 0);
    }

    // The frames sent so far; the sender's end is closed first.
    std::vector<Frame> frames() {
        plain_.stream().shutdownBoth();
        std::vector<Frame> all;
        for (;;) {
            uint8_t head[4];
            if (reader_.stream().receiveExactly(head, 4) < 0)
                return all;
            uint32_t length = loadBe32(head);
            std::vector<uint8_t> body(length + 8 - length % 8);
            if (reader_.stream().receiveExactly(body.data(), body.size()) < 0)
                return all;
            std::size_t type = body.size() - length;
            uint32_t dataLength = loadBe32(&body[type + 1]);
            all.push_back({body[type], length, std::string(body.begin() + type + 5, body.begin() + type + 5 + dataLength)});
        }
    }

    CipherTransport& sender() { return sender_; }
    RandomPool& pool = sharedPool();

private:
    test::SocketPair pair_;
    CipherContexts contexts_ = {};
    Transport plain_;
    NullCipherTransport sender_;
    Transport reader_;
};

std::vector<Frame> passwordFrames(const std::string& password, PasswordCamouflage camouflage) {
    Wire wire;
    EXPECT_TRUE(sendPasswordMessage(wire.sender(), wire.pool, password, camouflage));
    return wire.frames();
}

std::multiset<uint32_t> lengths(const std::vector<Frame>& frames) {
    std::multiset<uint32_t> all;
    for (const Frame& frame : frames)
        all.insert(frame.length);
    return all;
}

TEST(PasswordCamouflageTest, CeilingIsTheNextWholeBlock) {
    const std::pair<std::size_t, std::size_t> cases[] = {{0, 32},  {1, 32},  {4, 32},  {20, 32},
                                                        {32, 32}, {33, 64}, {64, 64}, {65, 96}};
    for (auto [length, ceiling] : cases)
        EXPECT_EQ(camouflageCeiling(length), ceiling) << length;
}

// The point of it all: a 4- and a 20-character password look the same.
TEST(PasswordCamouflageTest, ShortAndLongPasswordsShowTheSameLengths) {
    std::vector<Frame> four = passwordFrames("abcd", PasswordCamouflage::IgnoreMessages);
    std::vector<Frame> twenty = passwordFrames("abcdefghijklmnopqrst", PasswordCamouflage::IgnoreMessages);
    std::multiset<uint32_t> expected;
    for (uint32_t length = 9; length <= 9 + 32; ++length)
        expected.insert(length);
    EXPECT_EQ(lengths(four), expected);
    EXPECT_EQ(lengths(twenty), expected);
}

TEST(PasswordCamouflageTest, TheServerGetsExactlyThePasswordAmongIgnoreMessages) {
    for (const std::string& password : std::vector<std::string>{"", "abcd", std::string(32, 'x'), std::string(40, 'y')}) {
        std::vector<Frame> frames = passwordFrames(password, PasswordCamouflage::IgnoreMessages);
        ASSERT_EQ(frames.size(), camouflageCeiling(password.size()) + 1);
        auto real = std::count_if(frames.begin(), frames.end(),
                                  [](const Frame& f) { return f.type == MSG_CMSG_AUTH_PASSWORD; });
        auto ignored = std::count_if(frames.begin(), frames.end(), [](const Frame& f) { return f.type == MSG_IGNORE; });
        EXPECT_EQ(real, 1);
        EXPECT_EQ(ignored, long(frames.size()) - 1);
        for (const Frame& frame : frames) {
            if (frame.type == MSG_CMSG_AUTH_PASSWORD) {
                EXPECT_EQ(frame.data, password);
            }
        }
    }
}

// Neither the place of the real packet nor the order of the lengths may
// follow from the password.
TEST(PasswordCamouflageTest, TheRealPacketMovesAndTheOrderIsShuffled) {
    std::set<std::size_t> places;
    std::set<std::vector<uint32_t>> orders;
    for (int run = 0; run < 8; ++run) {
        std::vector<Frame> frames = passwordFrames("hunter2", PasswordCamouflage::IgnoreMessages);
        std::vector<uint32_t> order;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            order.push_back(frames[i].length);
            if (frames[i].type == MSG_CMSG_AUTH_PASSWORD)
                places.insert(i);
        }
        orders.insert(order);
        EXPECT_FALSE(std::is_sorted(order.begin(), order.end()));
    }
    EXPECT_GT(places.size(), 3u);
    EXPECT_EQ(orders.size(), 8u);
}

TEST(PasswordCamouflageTest, PaddingAndNoneSendOnePacket) {
    struct Case {
        std::string password;
        PasswordCamouflage camouflage;
        uint32_t length;
        std::string data;
    } cases[] = {
        {"abcd", PasswordCamouflage::ZeroPadding, 41, "abcd" + std::string(28, '\0')},
        {"abcdefghijklmnopqrst", PasswordCamouflage::ZeroPadding, 41, "abcdefghijklmnopqrst" + std::string(12, '\0')},
        {std::string(33, 'z'), PasswordCamouflage::ZeroPadding, 73, std::string(33, 'z') + std::string(31, '\0')},
        {"abcd", PasswordCamouflage::None, 13, "abcd"},
        // Beyond the limit nothing is hidden, whatever the setting.
        {std::string(PASSWORD_CAMOUFLAGE_LIMIT + 1, 'q'), PasswordCamouflage::IgnoreMessages,
         uint32_t(9 + PASSWORD_CAMOUFLAGE_LIMIT + 1), std::string(PASSWORD_CAMOUFLAGE_LIMIT + 1, 'q')},
    };
    for (const Case& c : cases) {
        std::vector<Frame> frames = passwordFrames(c.password, c.camouflage);
        ASSERT_EQ(frames.size(), 1u) << c.password.size();
        EXPECT_EQ(frames[0].type, MSG_CMSG_AUTH_PASSWORD);
        EXPECT_EQ(frames[0].length, c.length);
        EXPECT_EQ(frames[0].data, c.data);
    }
}

// Chaff must be indistinguishable by length from one typed character.
TEST(KeystrokeChaffTest, ChaffHasTheLengthOfOneKeystroke) {
    Wire wire;
    ASSERT_TRUE(sendIgnoreMessage(wire.sender(), wire.pool, CHAFF_DATA_BYTES));
    PacketBuffer key;
    key.beginPacket(MSG_CMSG_STDIN_DATA);
    key.putBytesString("k", 1);
    wire.sender().writePacket(key);
    std::vector<Frame> frames = wire.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].type, MSG_IGNORE);
    EXPECT_EQ(frames[0].length, frames[1].length);
}

TEST(RandomBelowTest, StaysInRangeAndReachesEveryValue) {
    RandomPool& pool = sharedPool();
    for (uint32_t bound : {1u, 2u, 3u, 33u, 1000u}) {
        std::set<uint32_t> seen;
        for (int i = 0; i < 2000; ++i) {
            uint32_t value = poolRandomBelow(pool, bound);
            ASSERT_LT(value, bound);
            seen.insert(value);
        }
        if (bound <= 33) {
            EXPECT_EQ(seen.size(), bound);
        }
    }
}

} // namespace
} // namespace kestrel
