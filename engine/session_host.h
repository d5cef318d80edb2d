// What the engine reads from the program around it while a session runs.
// The engine never reaches for the program's own variables: whatever owns
// them answers through this interface.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel {

struct RsaPublicKey;
class RsaIdentity;

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
    // RSA identities offered, in order, before the password (worker thread).
    virtual std::vector<RsaIdentity*> identities() { return {}; }
    virtual bool useVt52() const = 0;
    // Asked on the worker (pty request) and the user-interface thread (resize).
    virtual TerminalGeometry geometry() const = 0;
    // Decides on the server's host key before the session key is sent
    // (worker thread). The handheld trusts every key; a desktop client may
    // keep known keys and refuse a changed one.
    virtual bool acceptHostKey(const RsaPublicKey&) { return true; }
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
    std::vector<RsaIdentity*> identities() override;
    void addIdentity(std::unique_ptr<RsaIdentity> identity);
    bool useVt52() const override { return vt52_; }
    TerminalGeometry geometry() const override {
        std::lock_guard<std::mutex> hold(lock_);
        return size_;
    }
    void setGeometry(TerminalGeometry size) {
        std::lock_guard<std::mutex> hold(lock_);
        size_ = size;
    }

private:
    std::string user_;
    std::string password_;
    // shared_ptr: deletes through the type it was made with, so this header
    // needs no definition of RsaIdentity.
    std::vector<std::shared_ptr<RsaIdentity>> identities_;
    bool vt52_;
    mutable std::mutex lock_;
    TerminalGeometry size_;
};

} // namespace kestrel
