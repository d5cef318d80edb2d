// What the engine reads from the program around it while a session runs.
// The engine never reaches for the program's own variables: whatever owns
// them answers through this interface.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace kestrel {

struct RsaPublicKey;

// What the session runs once logged in. The default is the handheld's: a
// shell on a pseudo-terminal.
struct SessionRequest {
    bool terminal = true;
    std::optional<std::string> command; // sent with the execute-command message
};

enum class OutputStream { Stdout, Stderr };

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

    virtual SessionRequest request() const { return {}; }
    // The terminal type named in the pty request.
    virtual std::string terminalType() const { return useVt52() ? "vt52" : "vt100"; }
    // Server output (worker thread). A host that takes it (true) gets the
    // bytes exact, zero bytes included, and the exit confirmation goes out
    // only after this returns, so it should have written them by then. By
    // default (false) they are shown in the terminal as text.
    virtual bool takeOutput(OutputStream, const char*, std::size_t) { return false; }
    // The shell or command has been requested (worker thread): input sent
    // from now on goes straight out instead of waiting.
    virtual void sessionStarted() {}
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
    void setGeometry(TerminalGeometry size) {
        std::lock_guard<std::mutex> hold(lock_);
        size_ = size;
    }

private:
    std::string user_;
    std::string password_;
    bool vt52_;
    mutable std::mutex lock_;
    TerminalGeometry size_;
};

} // namespace kestrel
