#include "posix/port_forward.h"

#include <vector>

#include "engine/channel_messages.h"

namespace kestrel::client {

namespace {

// Fields between colons; a colon inside brackets belongs to its field.
bool splitFields(std::string_view text, std::vector<std::string>& fields) {
    std::string field;
    bool bracket = false;
    for (char c : text) {
        if (c == '[' && field.empty() && !bracket) {
            bracket = true;
        } else if (c == ']' && bracket) {
            bracket = false;
        } else if (c == ':' && !bracket) {
            fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields.push_back(field);
    return !bracket;
}

std::optional<uint16_t> port(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    unsigned long value = std::stoul(text);
    if (value < 1 || value > 65535)
        return std::nullopt;
    return uint16_t(value);
}

bool plausibleHost(const std::string& host) {
    if (host.empty() || host.size() > MAX_FORWARD_HOST_NAME)
        return false;
    for (unsigned char c : host)
        if (c <= ' ' || c == 0x7f)
            return false;
    return true;
}

} // namespace

std::optional<PortForward> parsePortForward(std::string_view text, bool remote, std::string& error) {
    std::string joined(text);
    // A configuration line separates the listening side with blanks.
    if (std::size_t blank = joined.find_first_of(" \t"); blank != std::string::npos) {
        std::size_t rest = joined.find_first_not_of(" \t", blank);
        joined = joined.substr(0, blank) + ":" + (rest == std::string::npos ? "" : joined.substr(rest));
    }
    std::vector<std::string> fields;
    if (!splitFields(joined, fields) || fields.size() < 3 || fields.size() > 4) {
        error = "expected [bind_address:]port:host:hostport";
        return std::nullopt;
    }
    PortForward forward;
    if (fields.size() == 4) {
        if (remote) {
            error = "a remote forwarding takes no bind address in protocol 1";
            return std::nullopt;
        }
        // Some clients read an empty address as every interface, others as
        // loopback; guessing either way could expose a port.
        if (fields[0].empty()) {
            error = "an empty bind address: leave it out for loopback, or write * for every interface";
            return std::nullopt;
        }
        forward.bindAddress = fields[0];
        fields.erase(fields.begin());
    }
    std::optional<uint16_t> listen = port(fields[0]);
    std::optional<uint16_t> target = port(fields[2]);
    if (!listen || !target) {
        error = "ports are numbers from 1 to 65535";
        return std::nullopt;
    }
    if (!plausibleHost(fields[1]) || (!forward.bindAddress.empty() && !plausibleHost(forward.bindAddress))) {
        error = "not a host name: " + (plausibleHost(fields[1]) ? forward.bindAddress : fields[1]);
        return std::nullopt;
    }
    forward.listenPort = *listen;
    forward.host = fields[1];
    forward.hostPort = *target;
    return forward;
}

} // namespace kestrel::client
