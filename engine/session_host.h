// What the engine reads from the program around it while a session runs.
// The engine never reaches for the program's own variables: whatever owns
// them answers through this interface.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/channel_messages.h"

namespace kestrel {

struct RsaPublicKey;
class RsaIdentity;

// How the password message hides the password's length from an eavesdropper,
// who reads every packet's length field in clear.
enum class PasswordCamouflage {
    // Among ignore messages of every other length a password packet could
    // have (the default).
    IgnoreMessages,
    // The password string padded with zero bytes, for servers that choke on
    // ignore messages but compare the password as a C string.
    ZeroPadding,
    None,
};

// The setting names the engine's advice lines use; each front end tells how
// its user finds them (settingName).
constexpr const char* SETTING_PASSWORD_CAMOUFLAGE = "PasswordCamouflage";
constexpr const char* SETTING_OBSCURE_KEYSTROKE_TIMING = "ObscureKeystrokeTiming";

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
    // RSA identities offered, in order, before the password (worker thread).
    virtual std::vector<RsaIdentity*> identities() { return {}; }
    virtual bool useVt52() const = 0;
    // Asked on the worker (pty request) and the user-interface thread (resize).
    virtual TerminalGeometry geometry() const = 0;
    // Decides on the server's host key before the session key is sent
    // (worker thread). Refused unless the program says otherwise: whoever
    // sits on the path could otherwise pose as the server and take the
    // password. Each front end keeps its known keys and asks its own way.
    virtual bool acceptHostKey(const RsaPublicKey&) { return false; }
    virtual PasswordCamouflage passwordCamouflage() const { return PasswordCamouflage::IgnoreMessages; }
    // How the user reaches the setting called keyword (one of SETTING_...),
    // as a status line names it.
    virtual std::string settingName(const char* keyword) const { return keyword; }
    // The zlib level to ask the server for after the login, 0 for none.
    virtual int compressionLevel() const { return 0; }

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

    // Forwarded connections. The ports the server is asked to listen on,
    // requested before the shell starts.
    virtual std::vector<RemoteForward> remoteForwards() const { return {}; }
    // A channel message, read and checked (worker thread). It may block to
    // stop the reading of the connection while a local socket is behind.
    // False when the program has no channels: a port open is then refused.
    virtual bool takeChannelMessage(const ChannelMessage&) { return false; }
};

// A host whose values are set up front and may change during the session
// (the geometry on resize); for the headless client and tests. It refuses
// every host key unless told to trust any (tests and benchmarks against
// their own server).
class FixedSessionHost : public SessionHost {
public:
    // The password is copied, never moved: a moved short string leaves its
    // characters behind in the source. The caller wipes its own copy.
    FixedSessionHost(std::string user, const std::string& password, bool vt52, TerminalGeometry size)
        : user_(std::move(user)), password_(password), vt52_(vt52), size_(size) {}
    ~FixedSessionHost() override;

    std::string userName() const override { return user_; }
    std::string password() const override { return password_; }
    std::vector<RsaIdentity*> identities() override;
    void addIdentity(std::unique_ptr<RsaIdentity> identity);
    bool useVt52() const override { return vt52_; }
    PasswordCamouflage passwordCamouflage() const override { return camouflage_; }
    void setPasswordCamouflage(PasswordCamouflage camouflage) { camouflage_ = camouflage; }
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
    bool acceptHostKey(const RsaPublicKey&) override { return trustAnyHostKey_; }
    void trustAnyHostKey() { trustAnyHostKey_ = true; }

private:
    std::string user_;
    std::string password_;
    // shared_ptr: deletes through the type it was made with, so this header
    // needs no definition of RsaIdentity.
    std::vector<std::shared_ptr<RsaIdentity>> identities_;
    bool vt52_;
    PasswordCamouflage camouflage_ = PasswordCamouflage::IgnoreMessages;
    int compressionLevel_ = 0;
    mutable std::mutex lock_;
    TerminalGeometry size_;
    bool trustAnyHostKey_ = false;
};

} // namespace kestrel
