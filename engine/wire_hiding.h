// What the clear length field of every packet would tell an eavesdropper
// about the password, and the messages that deny it. The caller holds the
// session's send lock for every call here: the pool and the send cipher's
// chain are shared with every other send.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/random_pool.h"
#include "engine/session_host.h"
#include "engine/transport.h"

namespace kestrel {

// Password packets are hidden among the lengths up to the next multiple of
// this many characters (at least this many).
constexpr std::size_t PASSWORD_LENGTH_BLOCK = 32;
// A password longer than any server takes (sshd-style servers stop at a few
// hundred bytes) is sent without camouflage: hiding it would cost one packet
// per possible length, and the length of such a password tells little.
constexpr std::size_t PASSWORD_CAMOUFLAGE_LIMIT = 1024;

// The largest password length the camouflage of this one covers: the next
// multiple of PASSWORD_LENGTH_BLOCK, at least one block.
std::size_t camouflageCeiling(std::size_t passwordLength);

// The password message, alone, zero-padded or among ignore messages of every
// other length up to the ceiling, the real one at a random place. False when
// a send failed (the server may already have closed the connection).
bool sendPasswordMessage(CipherTransport& transport, RandomPool& pool, std::string_view password,
                         PasswordCamouflage camouflage);

// One ignore message carrying `length` random bytes: its packet has the same
// length field as a standard-input message of `length` bytes.
bool sendIgnoreMessage(CipherTransport& transport, RandomPool& pool, std::size_t length);

// Uniform in [0, bound), bound > 0.
uint32_t poolRandomBelow(RandomPool& pool, uint32_t bound);

} // namespace kestrel
