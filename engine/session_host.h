// What the engine reads from the program around it while a session runs.
// The engine never reaches for the program's own variables: whatever owns
// them answers through this interface.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrel {

struct RsaPublicKey;

struct TerminalGeometry {
    uint32_t rows;
    uint32_t columns;
    uint32_t widthPixels;
    uint32_t heightPixels;
};

class SessionHost {
public:
    virtual ~SessionHost() = default;
    virtual std::string userName() const = 0;
    // The engine clears its copy once the message is built.
    virtual std::string password() const = 0;
    virtual bool useVt52() const = 0;
    // Asked on the worker (pty request) and the user-interface thread (resize).
    virtual TerminalGeometry geometry() const = 0;
    // Decides on the server's host key before the session key is sent
    // (worker thread). The handheld trusts every key; a desktop client may
    // keep known keys and refuse a changed one.
    virtual bool acceptHostKey(const RsaPublicKey&) { return true; }
    // The zlib level to ask the server for after the login, 0 for none.
    virtual int compressionLevel() const { return 0; }
};

// A host whose values are set up front and may change during the session
// (the geometry on resize); for the headless client and tests.
class FixedSessionHost : public SessionHost {
public:
    FixedSessionHost(std::string user, std::string password, bool vt52, TerminalGeometry size)
        : user_(std::move(user)), password_(std::move(password)), vt52_(vt52), size_(size) {}
    ~FixedSessionHost() override;

    std::string userName() const override { return user_; }
    std::string password() const override { return password_; }
    bool useVt52() const override { return vt52_; }
    TerminalGeometry geometry() const override {
        std::lock_guard<std::mutex> hold(lock_);
        return size_;
    }
    int compressionLevel() const override { return compressionLevel_; }
    void setCompressionLevel(int level) { compressionLevel_ = level; }
    void setGeometry(TerminalGeometry size) {
        std::lock_guard<std::mutex> hold(lock_);
        size_ = size;
    }

private:
    std::string user_;
    std::string password_;
    bool vt52_;
    int compressionLevel_ = 0;
    mutable std::mutex lock_;
    TerminalGeometry size_;
};

} // namespace kestrel
