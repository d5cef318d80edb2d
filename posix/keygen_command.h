// kestrel1 --keygen FILE: a new RSA identity in FILE (mode 0600, protected
// by a passphrase unless it is empty) and its public key line in FILE.pub.
#pragma once
#include <string>

namespace kestrel::client {

struct ClientOptions;

// The exit code; reason says what went wrong.
int runKeygen(const ClientOptions& options, std::string& reason);

} // namespace kestrel::client
