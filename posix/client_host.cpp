#include "posix/client_host.h"

#include "crypto/secure_zero.h"
#include "engine/secret_text.h"
#include "engine/printable_text.h"
#include "engine/status_log.h"
#include "posix/settings_file.h"

namespace kestrel::client {

std::optional<std::string> Prompter::ask(const std::string& question, bool echo) {
    std::unique_lock<std::mutex> hold(lock_);
    if (aborted_)
        return std::nullopt;
    question_ = question;
    echo_ = echo;
    asked_ = true;
    shown_ = false;
    haveAnswer_ = false;
    hold.unlock();
    wake_();
    hold.lock();
    answered_.wait(hold, [&] { return haveAnswer_ || aborted_; });
    asked_ = false;
    std::optional<std::string> text = std::move(answer_);
    answer_.reset();
    if (aborted_ && text)
        wipeString(*text);
    return aborted_ ? std::nullopt : text;
}

bool Prompter::takeQuestion(std::string& question, bool& echo) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!asked_ || shown_)
        return false;
    shown_ = true;
    question = question_;
    echo = echo_;
    return true;
}

bool Prompter::waiting() const {
    std::lock_guard<std::mutex> hold(lock_);
    return asked_ && shown_ && !haveAnswer_;
}

void Prompter::answer(std::optional<std::string> text) {
    std::lock_guard<std::mutex> hold(lock_);
    if (answer_)
        wipeString(*answer_);
    answer_ = std::move(text);
    haveAnswer_ = true;
    answered_.notify_all();
}

void Prompter::abort() {
    std::lock_guard<std::mutex> hold(lock_);
    aborted_ = true;
    answered_.notify_all();
}

KnownHosts knownHostsFor(const ClientOptions& options) {
    return KnownHosts(options.knownHostsFile.empty() ? KnownHosts::defaultPath() : options.knownHostsFile);
}

ClientHost::ClientHost(const ClientOptions& options, TerminalGeometry size, Prompter& prompter, KnownHosts known)
    : FixedSessionHost(options.user, options.password, options.vt52, size), host_(options.host),
      port_(options.port), user_(options.user), havePassword_(options.havePassword),
      acceptNew_(options.acceptNewHostKey), prompter_(prompter), known_(std::move(known)) {
    setPasswordCamouflage(options.camouflage);
    if (options.compression)
        setCompressionLevel(options.compressionLevel);
}

std::string ClientHost::settingName(const char* keyword) const {
    std::string option = std::string(keyword) == SETTING_PASSWORD_CAMOUFLAGE ? "--password-camouflage"
                                                                             : "--obscure-keystroke-timing";
    return option + " (or " + keyword + "@" + host_ + "= in " + SettingsFile::defaultPath() + ")";
}

std::string ClientHost::password() const {
    if (havePassword_)
        return FixedSessionHost::password();
    std::optional<std::string> typed = prompter_.ask(printable(user_ + "@" + host_) + "'s password: ", false);
    // Moved, not copied: the engine wipes the one copy it gets.
    return typed ? std::move(*typed) : std::string();
}

bool ClientHost::askToTrust(const RsaPublicKey& key) {
    std::string about = "The host key of " + printable(host_) + " port " + std::to_string(port_) +
                        " is not known.\r\n" + "Key: " + std::to_string(modulusBits(key)) + " bits, " +
                        hostKeyFingerprint(key) + "\r\n";
    if (!acceptNew_) {
        std::optional<std::string> reply = prompter_.ask(about + "Trust it and remember it (yes/no)? ", true);
        if (!reply || (*reply != "yes" && *reply != "y")) {
            decision_ = HostKeyDecision::Refused;
            return false;
        }
    } else {
        logStatus(about);
    }
    if (known_.add(host_, port_, key))
        logStatus("Host key remembered in " + printable(known_.path()) + "\r\n");
    else
        logStatus("Warning - could not write " + printable(known_.path()) + "; the key is trusted this once\r\n");
    return true;
}

bool ClientHost::acceptHostKey(const RsaPublicKey& key) {
    HostKeyCheck check = known_.check(host_, port_, key);
    if (check.match == HostKeyMatch::Matches)
        return true;
    if (check.match == HostKeyMatch::Unknown)
        return askToTrust(key);
    if (check.match == HostKeyMatch::Unreadable) {
        decision_ = HostKeyDecision::Unreadable;
        problem_ = check.problem;
        logStatus("ERROR - the known host keys cannot be checked: " + printable(check.problem) + "\r\n");
        return false;
    }
    decision_ = HostKeyDecision::Changed;
    changedLine_ = check.line;
    logStatus("WARNING - THE HOST KEY OF " + printable(host_) + " PORT " + std::to_string(port_) +
              " HAS CHANGED!\r\n" + "Someone may be listening in, or the server's key was replaced.\r\n" +
              "New key: " + std::to_string(modulusBits(key)) + " bits, " + hostKeyFingerprint(key) + "\r\n" +
              "Remove line " + std::to_string(check.line) + " of " + printable(known_.path()) +
              " to accept it.\r\n");
    return false;
}

std::vector<RemoteForward> ClientHost::remoteForwards() const {
    return tunnels_ != nullptr ? tunnels_->remoteForwards() : std::vector<RemoteForward>{};
}

bool ClientHost::takeChannelMessage(const ChannelMessage& message) {
    return tunnels_ != nullptr && tunnels_->takeChannelMessage(message);
}

void ClientHost::sessionStarted() {
    if (tunnels_ != nullptr && state_ != nullptr)
        tunnels_->start(*state_);
}

std::unique_ptr<Tunnels> openTunnels(const ClientOptions& options, std::string& error) {
    if (options.localTunnels.empty() && options.remoteTunnels.empty())
        return nullptr;
    auto tunnels = std::make_unique<Tunnels>(options.localTunnels, options.remoteTunnels);
    if (!tunnels->listen(error))
        return nullptr;
    return tunnels;
}

} // namespace kestrel::client
