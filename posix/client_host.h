// What the session asks the person at the terminal: the password when none
// was given, and whether to trust a host key seen for the first time. The
// questions are asked on the session's worker thread and answered by the main
// loop, which shows them in the terminal and collects the typed line.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "engine/session_host.h"
#include "posix/client_options.h"
#include "engine/known_hosts.h"
#include "posix/tunnels.h"

namespace kestrel::client {

// A typed answer never needs more (passwords are bounded by the server).
constexpr std::size_t MAX_ANSWER = MAX_PASSWORD;

class Prompter {
public:
    explicit Prompter(std::function<void()> wake) : wake_(std::move(wake)) {}

    // Worker: blocks until the main loop answers; nothing when aborted.
    std::optional<std::string> ask(const std::string& question, bool echo);

    // Main loop: a question posted and not yet shown.
    bool takeQuestion(std::string& question, bool& echo);
    bool waiting() const;
    void answer(std::optional<std::string> text);
    // Ends the current and every later question without an answer.
    void abort();

private:
    std::function<void()> wake_;
    mutable std::mutex lock_;
    std::condition_variable answered_;
    bool asked_ = false;
    bool shown_ = false;
    bool echo_ = false;
    bool aborted_ = false;
    std::string question_;
    std::optional<std::string> answer_;
    bool haveAnswer_ = false;
};

enum class HostKeyDecision { None, Refused, Changed, Unreadable };

// The file UserKnownHostsFile names, else the default: every mode reads the same.
KnownHosts knownHostsFor(const ClientOptions& options);

class ClientHost : public FixedSessionHost {
public:
    ClientHost(const ClientOptions& options, TerminalGeometry size, Prompter& prompter, KnownHosts known);

    std::string password() const override;
    bool acceptHostKey(const RsaPublicKey& key) override;
    std::string settingName(const char* keyword) const override;

    std::vector<RemoteForward> remoteForwards() const override;
    bool takeChannelMessage(const ChannelMessage& message) override;
    void sessionStarted() override;
    // The session's forwarded connections, when it has any.
    void attachTunnels(Tunnels* tunnels, SessionState* state) {
        tunnels_ = tunnels;
        state_ = state;
    }

    HostKeyDecision decision() const { return decision_; }
    std::size_t changedLine() const { return changedLine_; }
    const std::string& problem() const { return problem_; }
    const KnownHosts& knownHosts() const { return known_; }

private:
    bool askToTrust(const RsaPublicKey& key);

    std::string host_;
    uint16_t port_;
    std::string user_;
    bool havePassword_;
    bool acceptNew_;
    Prompter& prompter_;
    KnownHosts known_;
    HostKeyDecision decision_ = HostKeyDecision::None;
    std::size_t changedLine_ = 0;
    std::string problem_;
    Tunnels* tunnels_ = nullptr;
    SessionState* state_ = nullptr;
};

// The session's tunnels, listening already; nothing when none are asked
// for, or when a listener cannot be had (the reason in error).
std::unique_ptr<Tunnels> openTunnels(const ClientOptions& options, std::string& error);

} // namespace kestrel::client
