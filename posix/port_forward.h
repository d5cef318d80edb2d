// What -L, -R, LocalForward and RemoteForward say: a port to listen on and
// the host and port the other side connects to for each connection.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::client {

struct PortForward {
    std::string bindAddress; // local listeners only; empty: loopback
    uint16_t listenPort = 0;
    std::string host;
    uint16_t hostPort = 0;

    std::string target() const { return host + ":" + std::to_string(hostPort); }
};

// "[bind_address:]port:host:hostport" as the command line gives it, or
// "[bind_address:]port host:hostport" as a configuration line does; an IPv6
// address goes in brackets, and "*" binds every interface. Remote
// forwardings take no bind address: the protocol has no field for one.
// Nothing, with the complaint in error, for anything else.
std::optional<PortForward> parsePortForward(std::string_view text, bool remote, std::string& error);

} // namespace kestrel::client
