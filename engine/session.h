// One SSH session: the record the driver, the key exchange and the cipher
// choice work on, and its teardown.
#pragma once
#include <atomic>
#include <cstdint>
#include <gmp.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "engine/random_pool.h"
#include "engine/session_host.h"
#include "engine/transport.h"

namespace kestrel {

struct RsaPublicKey {
    RsaPublicKey() { mpz_init(exponent), mpz_init(modulus); }
    ~RsaPublicKey() { mpz_clear(exponent), mpz_clear(modulus); }
    RsaPublicKey(const RsaPublicKey&) = delete;
    RsaPublicKey& operator=(const RsaPublicKey&) = delete;

    mpz_t exponent;
    mpz_t modulus;
    uint32_t bits = 0; // as announced, which need not match the modulus
};

// The cipher type while the key exchange runs.
constexpr uint8_t CIPHER_NEGOTIATING = 255;

// Keystrokes typed between the key exchange and the shell start wait for the
// shell; the queue is bounded so a stuck handshake cannot grow it without end.
constexpr std::size_t PENDING_INPUT_LIMIT = 64 * 1024;

struct SessionState {
    SessionState(std::unique_ptr<Transport> plain, uint32_t preference, SessionHost& inputs);
    ~SessionState();
    SessionState(const SessionState&) = delete;
    SessionState& operator=(const SessionState&) = delete;

    uint8_t cipherType = 0;
    uint8_t cookie[8] = {};
    uint8_t sessionId[16] = {};
    // The server's supported-authentications mask (bit 1 << method).
    uint32_t authMask = 0;
    RandomPool pool = {};
    std::unique_ptr<RsaPublicKey> serverKey;
    std::unique_ptr<Transport> plainTransport;
    // Set by the worker under sendLock; the user-interface thread reads it
    // under sendLock too.
    std::unique_ptr<CipherTransport> cipherTransport;
    uint32_t cipherPreference;
    SessionHost& host;
    std::string seedFileName = SEED_FILE_NAME;

    // The keyed state of both directions; cleared when the session goes.
    CipherContexts contexts = {};
    // Every packet of the session goes out under this lock, so packets from
    // the worker and the user-interface thread never interleave on the wire
    // or in the send cipher's chain.
    std::mutex sendLock;
    bool shellStarted = false;     // guarded by sendLock
    std::string pendingInput;      // guarded by sendLock
    bool windowSizePending = false; // guarded by sendLock
    bool inputEnded = false;       // guarded by sendLock
    std::atomic<bool> workerRunning{false};
    // The remote command's exit status, once the server has reported it.
    std::optional<uint32_t> exitStatus;
    // The reason of the server's disconnect, as shown to the user.
    std::string disconnectReason;
};

// Sends one packet on the plain or the cipher transport under the send lock.
int sendPacket(SessionState& state, Transport& transport, PacketBuffer& buffer);

// Wakes a worker blocked on the connection (the user's disconnect, a time-out)
// without releasing the handle the worker still holds.
void interruptSession(SessionState& state);

// Closes the connection once and frees the record. Refuses (false) while the
// worker still runs the session: freeing it then would pull the record from
// under the worker.
bool destroySession(SessionState* state);

} // namespace kestrel
