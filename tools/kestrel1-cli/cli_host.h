// The headless client's answers to the session: fixed login fields, and host
// keys checked against the same known_hosts file the interactive client
// keeps. Nobody is there to ask, so a new key is trusted only when the
// command line says so, and a changed key never.
#pragma once
#include <cstddef>
#include <string>

#include "engine/known_hosts.h"
#include "engine/session_host.h"

namespace kestrel::cli {

class CliHost : public FixedSessionHost {
public:
    CliHost(std::string user, std::string password, bool vt52, TerminalGeometry size, std::string host,
            uint16_t port, KnownHosts known, bool acceptNew);

    bool acceptHostKey(const RsaPublicKey& key) override;
    // True once a host key was refused (the run's exit code says so).
    bool refusedHostKey() const { return refused_; }

private:
    bool refuse(const std::string& why);

    std::string host_;
    uint16_t port_;
    KnownHosts known_;
    bool acceptNew_;
    bool refused_ = false;
};

} // namespace kestrel::cli
