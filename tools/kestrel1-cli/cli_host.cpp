#include "tools/kestrel1-cli/cli_host.h"

#include "engine/printable_text.h"
#include "engine/status_log.h"

namespace kestrel::cli {

CliHost::CliHost(std::string user, std::string password, bool vt52, TerminalGeometry size, std::string host,
                 uint16_t port, KnownHosts known, bool acceptNew)
    : FixedSessionHost(std::move(user), std::move(password), vt52, size), host_(std::move(host)), port_(port),
      known_(std::move(known)), acceptNew_(acceptNew) {}

bool CliHost::refuse(const std::string& why) {
    refused_ = true;
    logStatus(why);
    return false;
}

bool CliHost::acceptHostKey(const RsaPublicKey& key) {
    HostKeyCheck check = known_.check(host_, port_, key);
    std::string where = printable(host_) + " port " + std::to_string(port_);
    std::string file = printable(known_.path());
    std::string shown = std::to_string(modulusBits(key)) + " bits, " + hostKeyFingerprint(key);
    switch (check.match) {
    case HostKeyMatch::Matches:
        logStatus("Host key of " + where + " known: " + shown + "\n");
        return true;
    case HostKeyMatch::Unreadable:
        return refuse("ERROR - the known host keys cannot be checked: " + printable(check.problem) + "\n");
    case HostKeyMatch::Changed:
        return refuse("ERROR - THE HOST KEY OF " + where + " HAS CHANGED: " + shown + "\n" +
                      "Remove line " + std::to_string(check.line) + " of " + file + " to accept the new key.\n");
    case HostKeyMatch::Unknown:
        break;
    }
    if (!acceptNew_)
        return refuse("ERROR - the host key of " + where + " is not known: " + shown + "\n" +
                      "Give --accept-new-host-key to trust it and remember it in " + file + ".\n");
    if (known_.add(host_, port_, key))
        logStatus("New host key of " + where + " trusted: " + shown + "; remembered in " + file + "\n");
    else
        logStatus("New host key of " + where + " trusted for this session only: " + shown + "; " + file +
                  " cannot be written\n");
    return true;
}

} // namespace kestrel::cli
