#include "posix/keygen_command.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "crypto/secure_zero.h"
#include "engine/key_generation.h"
#include "posix/client_options.h"
#include "posix/identity_options.h"
#include "engine/host_key.h"
#include "engine/system_random.h"

namespace kestrel::client {

namespace {

constexpr int EXIT_KEYGEN_FAILED = 1;
constexpr mode_t PRIVATE_MODE = 0600;
constexpr mode_t PUBLIC_MODE = 0644;

// One line typed on the terminal without echo; nothing when there is no
// terminal or the input ends.
std::optional<std::string> askHidden(int tty, const char* question) {
    termios saved;
    if (tcgetattr(tty, &saved) != 0)
        return std::nullopt;
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    ssize_t ignored = write(tty, question, std::strlen(question));
    (void)ignored;
    tcsetattr(tty, TCSAFLUSH, &quiet);
    std::string line;
    char c;
    bool ended = false;
    while (line.size() <= MAX_PASSPHRASE) {
        ssize_t n = read(tty, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended = true;
            break;
        }
        if (c == '\n' || c == '\r')
            break;
        line += c;
    }
    tcsetattr(tty, TCSAFLUSH, &saved);
    if (ended || line.size() > MAX_PASSPHRASE) {
        secureZero(line.data(), line.size());
        return std::nullopt;
    }
    return line;
}

// The passphrase from the options, or asked twice on the terminal.
bool choosePassphrase(const ClientOptions& options, std::string& passphrase, std::string& reason) {
    if (options.havePassphrase) {
        passphrase = options.passphrase;
        return true;
    }
    int tty = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty < 0) {
        reason = "no terminal to ask for a passphrase: give --passphrase-file or KESTREL_PASSPHRASE "
                 "(an empty one leaves the key unprotected)";
        return false;
    }
    std::optional<std::string> first = askHidden(tty, "Enter passphrase (empty for no passphrase): ");
    std::optional<std::string> second =
        first ? askHidden(tty, "Enter the same passphrase again: ") : std::nullopt;
    close(tty);
    bool same = first && second && *first == *second;
    if (same)
        passphrase = *first;
    for (std::optional<std::string>* typed : {&first, &second})
        if (*typed)
            secureZero((*typed)->data(), (*typed)->size());
    if (!same)
        reason = first && second ? "the passphrases differ; nothing written" : "no passphrase given";
    return same;
}

std::string defaultComment() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const char* user = std::getenv("USER");
    return std::string(user != nullptr ? user : "user") + "@" + host;
}

// A new file only: an existing key is never overwritten.
bool writeNew(const std::string& path, const uint8_t* data, std::size_t size, mode_t mode, std::string& reason) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        reason = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    bool ok = done == size && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        reason = "cannot write " + path;
        unlink(path.c_str());
    }
    return ok;
}

} // namespace

int runKeygen(const ClientOptions& options, std::string& reason) {
    const std::string& file = options.keygenFile;
    const std::string publicFile = file + ".pub";
    for (const std::string& path : {file, publicFile})
        if (access(path.c_str(), F_OK) == 0) {
            reason = path + " exists; remove it first (an existing key is never overwritten)";
            return EXIT_KEYGEN_FAILED;
        }
    std::string passphrase;
    if (!choosePassphrase(options, passphrase, reason))
        return EXIT_KEYGEN_FAILED;
    std::printf("Generating a %u-bit RSA key...\n", unsigned(options.keygenBits));
    std::fflush(stdout);
    RsaPrivateKey key;
    std::string comment = options.keygenCommentGiven ? options.keygenComment : defaultComment();
    SecretBytes contents;
    bool made = generateRsaKey(options.keygenBits, systemRandomBytes, key) &&
                writeKeyFile(key, comment, passphrase, systemRandomBytes, contents);
    secureZero(passphrase.data(), passphrase.size());
    if (!made) {
        reason = "cannot make the key (the system's random source failed, or the comment is longer than " +
                 std::to_string(KEY_COMMENT_MAX) + " bytes)";
        return EXIT_KEYGEN_FAILED;
    }
    RsaPublicKey publicKey;
    copyPublicKey(publicKey, key);
    std::string line = publicKeyLine(publicKey, comment);
    if (!writeNew(file, contents.bytes.data(), contents.bytes.size(), PRIVATE_MODE, reason))
        return EXIT_KEYGEN_FAILED;
    if (!writeNew(publicFile, reinterpret_cast<const uint8_t*>(line.data()), line.size(), PUBLIC_MODE, reason)) {
        unlink(file.c_str());
        return EXIT_KEYGEN_FAILED;
    }
    std::printf("Private key (identity) saved in %s\nPublic key saved in %s\nFingerprint: %u bits, %s %s\n",
                file.c_str(), publicFile.c_str(), unsigned(key.bits), hostKeyFingerprint(publicKey).c_str(),
                comment.c_str());
    return 0;
}

} // namespace kestrel::client
