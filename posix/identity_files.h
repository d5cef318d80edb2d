// RSA identities from key files. A file is read when the session first
// offers it; one readable by anybody but its owner is refused, as a private
// key it holds can no longer be trusted. The passphrase is asked for only
// once the server has sent a challenge for the key.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "engine/key_file.h"
#include "engine/rsa_identity.h"
#include "engine/session_host.h"

namespace kestrel::client {

struct ClientOptions;
class Prompter;

// The passphrase for a question, or nothing when none can be had.
using PassphraseSource = std::function<std::optional<std::string>(const std::string& question)>;

class KeyFileIdentity : public RsaIdentity {
public:
    KeyFileIdentity(std::string path, PassphraseSource passphrase)
        : path_(std::move(path)), passphrase_(std::move(passphrase)) {}

    std::string name() const override { return path_; }
    bool publicKey(RsaPublicKey& key) override;
    bool privateKey(RsaPrivateKey& key) override;

private:
    bool load();

    std::string path_;
    PassphraseSource passphrase_;
    SecretBytes contents_;
    KeyFilePublicPart part_;
    bool loaded_ = false;
};

// Why a key file cannot be used before it is even parsed (missing, not a
// plain file, too open, too large); empty when it can be read. contents
// receives the bytes.
std::string readKeyFileBytes(const std::string& path, SecretBytes& contents);

// The files to offer: the options' list, or ~/.ssh/identity when the list
// is empty and that file exists.
std::vector<std::string> identityFilesToTry(const ClientOptions& options);

// Adds one identity per file to the host; passphrases come from the options
// when given, otherwise from a question without echo.
void addIdentities(FixedSessionHost& host, const ClientOptions& options, Prompter& prompter);

// Text from a file or a server made safe for the terminal: control bytes
// become '?'.
std::string printable(const std::string& text);

} // namespace kestrel::client
