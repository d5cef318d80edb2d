#include "posix/identity_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "crypto/secure_zero.h"
#include "engine/status_log.h"
#include "posix/client_host.h"
#include "posix/client_options.h"

namespace kestrel::client {

namespace {

// Group and other bits: a private key shared with them is refused.
constexpr mode_t OPEN_TO_OTHERS = 077;
constexpr const char* DEFAULT_IDENTITY = "/.ssh/identity";

void warn(const std::string& path, const std::string& why) {
    logStatus("Warning - " + printable(path) + ": " + why + "\r\n");
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", unsigned(mode & 07777));
    return text;
}

bool readAll(int fd, SecretBytes& contents, std::size_t size) {
    contents.bytes.resize(size);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, contents.bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    contents.bytes.resize(done);
    return done == size;
}

} // namespace

std::string printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return shown;
}

std::string readKeyFileBytes(const std::string& path, SecretBytes& contents) {
    contents.wipe();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::string("cannot open it (") + std::strerror(errno) + ")";
    struct stat info;
    std::string why;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        why = "not a plain file";
    else if ((info.st_mode & OPEN_TO_OTHERS) != 0)
        why = "permissions " + octalMode(info.st_mode) +
              " are too open: a private key must be readable by its owner only (chmod 600); key ignored";
    else if (std::size_t(info.st_size) > KEY_FILE_MAX_SIZE)
        why = "larger than any key file (" + std::to_string(KEY_FILE_MAX_SIZE) + " bytes); key ignored";
    else if (!readAll(fd, contents, std::size_t(info.st_size)))
        why = "cannot read it";
    close(fd);
    if (!why.empty())
        contents.wipe();
    return why;
}

bool KeyFileIdentity::load() {
    if (loaded_)
        return true;
    std::string why = readKeyFileBytes(path_, contents_);
    if (!why.empty()) {
        warn(path_, why);
        return false;
    }
    KeyFileStatus status = readKeyFilePublic(contents_.bytes.data(), contents_.bytes.size(), part_);
    if (status != KEY_FILE_OK) {
        warn(path_, keyFileStatusText(status));
        contents_.wipe();
        return false;
    }
    loaded_ = true;
    return true;
}

bool KeyFileIdentity::publicKey(RsaPublicKey& key) {
    if (!load())
        return false;
    mpz_set(key.modulus, part_.key.modulus);
    mpz_set(key.exponent, part_.key.exponent);
    key.bits = part_.key.bits;
    return true;
}

bool KeyFileIdentity::privateKey(RsaPrivateKey& key) {
    if (!load())
        return false;
    std::string passphrase;
    if (part_.encrypted) {
        std::string label = part_.comment.empty() ? path_ : part_.comment;
        std::optional<std::string> given = passphrase_("Enter passphrase for RSA key '" + printable(label) + "': ");
        if (!given) {
            warn(path_, "no passphrase given");
            return false;
        }
        passphrase = std::move(*given);
    }
    std::string comment;
    KeyFileStatus status = readKeyFilePrivate(contents_.bytes.data(), contents_.bytes.size(), passphrase, key, comment);
    secureZero(passphrase.data(), passphrase.size());
    if (status == KEY_FILE_WRONG_PASSPHRASE)
        logStatus("Bad passphrase for " + printable(path_) + "; trying the next way in.\r\n");
    else if (status != KEY_FILE_OK)
        warn(path_, keyFileStatusText(status));
    return status == KEY_FILE_OK;
}

std::vector<std::string> identityFilesToTry(const ClientOptions& options) {
    if (!options.identityFiles.empty())
        return options.identityFiles;
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0')
        return {};
    std::string path = std::string(home) + DEFAULT_IDENTITY;
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return {};
    return {path};
}

void addIdentities(FixedSessionHost& host, const ClientOptions& options, Prompter& prompter) {
    PassphraseSource source = [&options, &prompter](const std::string& question) -> std::optional<std::string> {
        if (options.havePassphrase)
            return options.passphrase;
        return prompter.ask(question, false);
    };
    for (const std::string& path : identityFilesToTry(options))
        host.addIdentity(std::make_unique<KeyFileIdentity>(path, source));
}

} // namespace kestrel::client
