#include "posix/identity_options.h"

#include <cstdlib>

#include "crypto/secure_zero.h"
#include "engine/key_generation.h"
#include "posix/client_files.h"
#include "posix/client_options.h"
#include "posix/environment_secret.h"

namespace kestrel::client {

void addIdentityOptions(CLI::App& app, IdentityArguments& arguments) {
    app.add_option("-i,--identity", arguments.identities,
                   "RSA identity (protocol 1 private key file), tried in order before the password; "
                   "repeatable (default ~/.ssh/identity when it exists)")
        ->allow_extra_args(false); // one file per -i: the target after it stays the target
    app.add_option("--passphrase-file", arguments.passphraseFile,
                   "passphrase of the identities (or of a new key) from the first line of FILE; "
                   "KESTREL_PASSPHRASE also works; otherwise it is asked");
    auto* keygen = app.add_option("--keygen", arguments.keygenFile,
                                  "make a new RSA key pair: FILE (mode 0600) and FILE.pub, then exit");
    app.add_option("--bits", arguments.bits, "size of the new key (default 2048)")
        ->check(CLI::Range(KEYGEN_MIN_BITS, KEYGEN_MAX_BITS))
        ->needs(keygen);
    app.add_option("--comment", arguments.comment, "comment of the new key (default user@host)")->needs(keygen);
}

bool finishIdentityOptions(IdentityArguments& arguments, ClientOptions& options, std::string& message) {
    options.identityFiles.insert(options.identityFiles.end(), arguments.identities.begin(),
                                 arguments.identities.end());
    options.keygenFile = arguments.keygenFile;
    options.keygenBits = arguments.bits != 0 ? arguments.bits : KEYGEN_DEFAULT_BITS;
    options.keygenComment = arguments.comment;
    options.keygenCommentGiven = !arguments.comment.empty();
    if (!arguments.passphraseFile.empty()) {
        std::optional<std::string> text = readSmallFile(arguments.passphraseFile, PASSWORD_FILE_LIMIT);
        if (!text) {
            message = "cannot read the passphrase file " + arguments.passphraseFile;
            return false;
        }
        options.passphrase = text->substr(0, text->find_first_of("\r\n"));
        secureZero(text->data(), text->size());
        options.havePassphrase = true;
    } else if (takeSecretFromEnvironment("KESTREL_PASSPHRASE", options.passphrase)) {
        options.havePassphrase = true;
    }
    if (options.passphrase.size() > MAX_PASSPHRASE) {
        message = "passphrase longer than " + std::to_string(MAX_PASSPHRASE) + " bytes";
        return false;
    }
    return true;
}

} // namespace kestrel::client
