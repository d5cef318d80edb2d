// One protocol-1 RSA identity the client may offer. The public half is all
// the server sees first; the private half is asked for only when the server
// has answered with a challenge, so nobody types a passphrase for a key the
// server does not know.
#pragma once
#include <string>

#include "engine/rsa_private_key.h"
#include "engine/session.h"

namespace kestrel {

class RsaIdentity {
public:
    virtual ~RsaIdentity() = default;
    // Shown in status lines (a file name, say).
    virtual std::string name() const = 0;
    // False, after a status line saying why, when the identity cannot be offered.
    virtual bool publicKey(RsaPublicKey& key) = 0;
    // False, after a status line saying why (wrong passphrase, ...), when the
    // private half cannot be had. Called on the session's worker thread.
    virtual bool privateKey(RsaPrivateKey& key) = 0;
};

} // namespace kestrel
