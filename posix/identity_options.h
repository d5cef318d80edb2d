// The command line's RSA pieces: identity files, where a passphrase comes
// from, and key generation (--keygen), which runs instead of a session.
#pragma once
#include <CLI/CLI.hpp>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::client {

struct ClientOptions;

// A passphrase file holds one line, and no passphrase needs more.
constexpr std::size_t MAX_PASSPHRASE = 1024;

// Where the parser puts the raw values until the options are settled.
struct IdentityArguments {
    std::vector<std::string> identities;
    std::string passphraseFile;
    std::string keygenFile;
    uint32_t bits = 0;
    std::string comment;
    bool commentGiven = false;
};

void addIdentityOptions(CLI::App& app, IdentityArguments& arguments);
// Copies the values into options and reads the passphrase (--passphrase-file,
// else KESTREL_PASSPHRASE). False with a complaint in message.
bool finishIdentityOptions(IdentityArguments& arguments, ClientOptions& options, std::string& message);

} // namespace kestrel::client
