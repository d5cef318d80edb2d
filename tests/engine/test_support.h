// Shared pieces of the engine tests: a connected socket pair, a status
// recorder, RSA keys made on the spot, a scratch folder.
#pragma once
#include <cstdint>
#include <gmp.h>
#include <mutex>
#include <string>
#include <vector>

#include "engine/socket_stream.h"
#include "engine/status_log.h"

namespace kestrel::test {

// Two ends of one loopback TCP connection (the engine's own send and receive
// paths are exercised, not a stand-in).
struct SocketPair {
    explicit SocketPair(const char* host = "127.0.0.1");
    ~SocketPair();
    SocketHandle client = SOCKET_CLOSED;
    SocketHandle server = SOCKET_CLOSED;
    void closeServer();
};

// Binds itself as the status sink for its lifetime.
class StatusRecorder : public StatusSink {
public:
    StatusRecorder() { bindStatusSink(this); }
    ~StatusRecorder() override { bindStatusSink(nullptr); }
    void feedText(const char* text, std::size_t length) override {
        std::lock_guard<std::mutex> hold(lock_);
        text_.append(text, length);
    }
    std::string text() const {
        std::lock_guard<std::mutex> hold(lock_);
        return text_;
    }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

private:
    mutable std::mutex lock_;
    std::string text_;
};

using Bytes = std::vector<uint8_t>;

struct Mpz {
    Mpz() { mpz_init(value); }
    explicit Mpz(unsigned long v) { mpz_init_set_ui(value, v); }
    ~Mpz() { mpz_clear(value); }
    mpz_t value;
};

struct RsaKeyPair {
    explicit RsaKeyPair(unsigned bits, unsigned long randomSeed);
    ~RsaKeyPair();
    mpz_t e, n, d;
    unsigned bits;
};

// Made once per run (key generation is the slow part): a 768-bit and a
// 1024-bit key, the usual server and host key sizes.
const RsaKeyPair& smallKey();
const RsaKeyPair& largeKey();

std::string scratchFolder(const std::string& leaf);
std::vector<uint8_t> readFile(const std::string& path);

} // namespace kestrel::test
