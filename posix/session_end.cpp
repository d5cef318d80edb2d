#include "posix/session_end.h"

namespace kestrel::client {

int sessionExitCode(SessionEnd end, const SessionState& state, const ClientHost& host,
                    const ClientOptions& options, const std::string& detail, std::string& reason) {
    std::string where = options.host + " port " + std::to_string(options.port);
    switch (end) {
    case END_SERVER_EXIT:
        return state.exitStatus ? int(*state.exitStatus & 0xff) : 0;
    case END_SERVER_DISCONNECT:
        // A command ended by a signal has no exit status: the server says so
        // in its reason.
        reason = "the server at " + where + " closed the session";
        if (!state.disconnectReason.empty())
            reason += ": " + state.disconnectReason;
        return EXIT_SESSION_LOST;
    case END_CONNECTION_LOST:
        reason = "connection to " + where + " lost";
        return EXIT_SESSION_LOST;
    case END_LOGIN_REFUSED:
        reason = "login as " + options.user + " refused by " + where;
        if (!state.disconnectReason.empty())
            reason += ": " + state.disconnectReason;
        return EXIT_LOGIN_REFUSED;
    default:
        break;
    }
    if (host.decision() == HostKeyDecision::Changed) {
        reason = "the host key of " + where + " has changed; remove line " + std::to_string(host.changedLine()) +
                 " of " + host.knownHosts().path() + " to accept the new key";
        return EXIT_HOST_KEY_REFUSED;
    }
    if (host.decision() == HostKeyDecision::Unreadable) {
        reason = "the host key of " + where + " cannot be checked: " + host.problem();
        return EXIT_HOST_KEY_REFUSED;
    }
    if (host.decision() == HostKeyDecision::Refused) {
        reason = "the host key of " + where + " was not accepted";
        if (!options.acceptNewHostKey)
            reason += " (--accept-new-host-key trusts a new key without asking)";
        return EXIT_HOST_KEY_REFUSED;
    }
    reason = "protocol failure with " + where;
    if (!detail.empty())
        reason += ": " + detail;
    return EXIT_PROTOCOL_FAILED;
}

} // namespace kestrel::client
